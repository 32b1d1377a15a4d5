"""Digit-free payload strings and vector framing in Python: an oracle for the tests, written
apart from the native codec.

A payload string is base64 over the alphabet below, without padding: four characters
for every three bytes, two or three characters for a trailing one or two bytes. No
character of the alphabet needs escaping inside a JSON string.

A framed vector is an 8-byte ASCII magic, an unsigned 64-bit element count and the
unsigned 64-bit elements, all little-endian, with nothing after the last element.
"""

from __future__ import annotations

import binascii

import numpy as np

ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_~.!*()[]{}"
_STANDARD = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
_TO_STANDARD = bytes.maketrans(ALPHABET, _STANDARD)
_FROM_STANDARD = bytes.maketrans(_STANDARD, ALPHABET)
_ALPHABET_SET = frozenset(ALPHABET)

TOY_QUERY_MAGIC = b"QVSPQ001"
TOY_RESPONSE_MAGIC = b"QVSPR001"
RS_QUERY_MAGIC = b"QVSRQ001"
RS_RESPONSE_MAGIC = b"QVSRR001"

_U64_LE = np.dtype("<u8")


class PayloadError(ValueError):
    """A payload string or a framed vector that cannot be read."""


def encode_payload(data: bytes) -> str:
    """Writes bytes as a digit-free payload string (never fails)."""
    text = binascii.b2a_base64(bytes(data), newline=False).rstrip(b"=")
    return text.translate(_FROM_STANDARD).decode("ascii")


def decode_payload(text: str) -> bytes:
    """Reads a digit-free payload string back into bytes.

    Spare low bits of a final two- or three-character group are ignored.
    """
    raw = text.encode("utf-8", "surrogatepass")
    if len(raw) % 4 == 1:
        raise PayloadError("invalid payload length")
    if raw.translate(None, ALPHABET):  # something is left once every alphabet byte is deleted
        # Name the first offending byte, read as a code point ("é" shows as "Ã").
        bad = next(b for b in raw if b not in _ALPHABET_SET)
        raise PayloadError(f"invalid payload character {chr(bad)}")
    standard = raw.translate(_TO_STANDARD)
    whole = len(standard) - len(standard) % 4
    out = binascii.a2b_base64(standard[:whole]) if whole else b""
    rest = standard[whole:]
    if rest:
        # Decode the tail by hand so that non-zero spare bits are accepted.
        values = [_STANDARD.index(b) for b in rest]
        tail = bytearray([((values[0] << 2) | (values[1] >> 4)) & 0xFF])
        if len(values) == 3:
            tail.append(((values[1] & 15) << 4 | (values[2] >> 2)) & 0xFF)
        out += bytes(tail)
    return out


def encode_vector(magic: bytes, values: np.ndarray) -> bytes:
    """Frames unsigned 64-bit values behind an 8-byte magic and their count."""
    if len(magic) != 8:
        raise ValueError("a vector magic has exactly 8 bytes")
    elements = np.ascontiguousarray(values, dtype=_U64_LE)
    if elements.ndim != 1:
        raise ValueError("a framed vector is one-dimensional")
    return magic + len(elements).to_bytes(8, "little") + elements.tobytes()


def decode_vector(magic: bytes, data: bytes, expected_len: int, label: str) -> np.ndarray:
    """Reads a framed vector, checking magic, count and exact length."""
    if len(data) < 8 or data[:8] != magic:
        raise PayloadError(f"{label} has an unsupported SimplePIR magic header")
    if len(data) < 16:
        raise PayloadError(f"{label} ended while reading PIR payload vector length")
    count = int.from_bytes(data[8:16], "little")
    if count != expected_len:
        raise PayloadError(f"{label} vector length {count} does not match expected {expected_len}")
    body = len(data) - 16
    if body < 8 * count:
        raise PayloadError(f"{label} ended while reading PIR payload value")
    if body > 8 * count:
        raise PayloadError(f"{label} has {body - 8 * count} trailing bytes")
    return np.frombuffer(data, dtype=_U64_LE, count=count, offset=16).astype(np.uint64)
