"""Payload strings (unpadded base64 over the digit-free ALPHABET) and framed vectors (8-byte magic,
then a u64 count and the u64 elements, little-endian), written apart from the native codec."""

from __future__ import annotations

import binascii

import numpy as np

ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_~.!*()[]{}"
_STANDARD = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
_TO_STANDARD = bytes.maketrans(ALPHABET, _STANDARD)
_FROM_STANDARD = bytes.maketrans(_STANDARD, ALPHABET)


def encode_payload(data: bytes) -> str:
    return binascii.b2a_base64(data, newline=False).rstrip(b"=").translate(_FROM_STANDARD).decode("ascii")


def decode_payload(text: str) -> bytes:
    standard = text.encode("ascii").translate(_TO_STANDARD)
    return binascii.a2b_base64(standard + b"=" * (-len(standard) % 4))


def encode_vector(magic: bytes, values: np.ndarray) -> bytes:
    elements = np.ascontiguousarray(values, dtype="<u8")
    return magic + len(elements).to_bytes(8, "little") + elements.tobytes()


def decode_vector(magic: bytes, data: bytes) -> np.ndarray:
    count = int.from_bytes(data[8:16], "little")
    assert data[:8] == magic and len(data) == 16 + 8 * count, "not a framed vector"
    return np.frombuffer(data, "<u8", offset=16).astype(np.uint64)
