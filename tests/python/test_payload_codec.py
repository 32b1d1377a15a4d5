import base64

import numpy as np
import pytest
from hypothesis import given, strategies as st

from quorvex import _codec

STANDARD = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


@pytest.mark.parametrize("data, text", [
    (b"", ""),
    (b"a", "YQ"),
    (b"abc", "YWJj"),
    (bytes([0xFF, 0xFE, 0xFD]), "}})]"),
    (bytes([0xFB, 0xFF, 0xBF, 0x00]), "{}{}AA"),
])
def test_known_encodings(data, text):
    assert _codec.encode_payload(data) == text
    assert _codec.decode_payload(text) == data


@given(st.binary(max_size=300))
def test_round_trip_and_agreement_with_base64(data):
    text = _codec.encode_payload(data)
    assert _codec.decode_payload(text) == data
    assert len(text) == 4 * (len(data) // 3) + [0, 2, 3][len(data) % 3]
    assert not any(c.isdigit() for c in text)
    # Same bit layout as standard base64, only the alphabet and the missing padding differ.
    standard = base64.b64encode(data).rstrip(b"=")
    assert text.encode().translate(bytes.maketrans(_codec.ALPHABET, STANDARD)) == standard


@pytest.mark.parametrize("text, data", [("YR", b"a"), ("YWJ", b"ab"), ("YWL", b"ab")])
def test_spare_low_bits_of_the_last_group_are_ignored(text, data):
    assert _codec.decode_payload(text) == data


@pytest.mark.parametrize("text, message", [
    ("Y", "invalid payload length"),
    ("12345", "invalid payload length"),  # the length is judged before any character
    ("YQ==", "invalid payload character ="),
    ("YWJ0", "invalid payload character 0"),
    ("YW+j", "invalid payload character +"),
    ("Y\u00e9", "invalid payload character \u00c3"),
    ("\u00e9\u00e9", "invalid payload character \u00c3"),  # four bytes: the length is fine
])
def test_malformed_payload_strings(text, message):
    with pytest.raises(_codec.PayloadError) as error:
        _codec.decode_payload(text)
    assert str(error.value) == message


def test_vector_framing_layout_and_round_trip():
    values = np.array([0, 1, 2**64 - 1, 0x0102030405060708], dtype=np.uint64)
    framed = _codec.encode_vector(b"QVSRQ001", values)
    assert framed[:8] == b"QVSRQ001"
    assert framed[8:16] == (4).to_bytes(8, "little")
    assert framed[16 + 24:] == bytes([8, 7, 6, 5, 4, 3, 2, 1])
    assert len(framed) == 16 + 8 * 4
    decoded = _codec.decode_vector(b"QVSRQ001", framed, 4, "q")
    assert decoded.dtype == np.uint64 and decoded.tolist() == values.tolist()


GOOD = _codec.encode_vector(b"QVSPR001", np.arange(3, dtype=np.uint64))


@pytest.mark.parametrize("data, expected_len, message", [
    (GOOD[:7], 3, "PIR response has an unsupported SimplePIR magic header"),
    (b"QVSRR001" + GOOD[8:], 3, "PIR response has an unsupported SimplePIR magic header"),
    (GOOD[:15], 3, "PIR response ended while reading PIR payload vector length"),
    (GOOD[:16], 4, "PIR response vector length 3 does not match expected 4"),
    (GOOD[:-1], 3, "PIR response ended while reading PIR payload value"),
    (GOOD + b"\0", 3, "PIR response has 1 trailing bytes"),
    (GOOD + bytes(8), 3, "PIR response has 8 trailing bytes"),
])
def test_malformed_vector_framings(data, expected_len, message):
    with pytest.raises(_codec.PayloadError) as error:
        _codec.decode_vector(b"QVSPR001", data, expected_len, "PIR response")
    assert str(error.value) == message


def test_empty_vector_framing():
    framed = _codec.encode_vector(b"QVSPR001", np.array([], dtype=np.uint64))
    assert framed == b"QVSPR001" + bytes(8)
    assert _codec.decode_vector(b"QVSPR001", framed, 0, "x").size == 0
