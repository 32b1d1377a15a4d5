"""The two public-matrix generators in numpy: an oracle, written apart from the native ones.

- Toy: each entry is the low half of a SplitMix64 mix of the matrix seed and the
  entry's position, so any block of entries can be computed on its own.
- simplepir-rs: the matrix is the keystream of ChaCha20 (RFC 8439 block function,
  20 rounds, zero nonce) read as little-endian 64-bit words, row-major; the key is
  the PCG32 expansion of a 64-bit seed.
"""

from __future__ import annotations

import numpy as np

_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_MIX1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX2 = np.uint64(0x94D049BB133111EB)
_LOW32 = np.uint64(0xFFFFFFFF)

_CHACHA_CONSTANTS = (0x61707865, 0x3320646E, 0x79622D32, 0x6B206574)


def toy_matrix(matrix_seed: int, rows: int, cols: int, first_row: int = 0) -> np.ndarray:
    """Entries (i, j) of the toy public matrix for i in first_row..first_row+rows-1.

    Returns a rows x cols uint64 array of values below 2^32.
    """
    with np.errstate(over="ignore"):
        i = np.arange(first_row, first_row + rows, dtype=np.uint64)[:, None] * _GOLDEN
        j = np.arange(cols, dtype=np.uint64)[None, :] * _MIX1
        z = (np.uint64(matrix_seed) ^ i ^ j) + _GOLDEN
        z = (z ^ (z >> np.uint64(30))) * _MIX1
        z = (z ^ (z >> np.uint64(27))) * _MIX2
        z = z ^ (z >> np.uint64(31))
    return z & _LOW32


def pcg32_key(seed: int) -> list[int]:
    """Eight 32-bit key words expanded from a 64-bit seed with PCG32 (state advanced first)."""
    state = seed & 0xFFFFFFFFFFFFFFFF
    words = []
    for _ in range(8):
        state = (state * 6364136223846793005 + 11634580027462260723) & 0xFFFFFFFFFFFFFFFF
        x = ((state >> 45) ^ (state >> 27)) & 0xFFFFFFFF
        r = state >> 59
        words.append(((x >> r) | (x << (32 - r))) & 0xFFFFFFFF)
    return words


def _rotl(x: np.ndarray, n: int) -> np.ndarray:
    return (x << np.uint32(n)) | (x >> np.uint32(32 - n))


def _quarter(s: list[np.ndarray], a: int, b: int, c: int, d: int) -> None:
    s[a] += s[b]
    s[d] = _rotl(s[d] ^ s[a], 16)
    s[c] += s[d]
    s[b] = _rotl(s[b] ^ s[c], 12)
    s[a] += s[b]
    s[d] = _rotl(s[d] ^ s[a], 8)
    s[c] += s[d]
    s[b] = _rotl(s[b] ^ s[c], 7)


def chacha20_blocks(key: list[int], first_block: int, count: int) -> np.ndarray:
    """Blocks first_block..first_block+count-1 of the ChaCha20 keystream with a zero nonce.

    The block counter is 64 bits wide (words 12 and 13); returns count x 16 uint32 words.
    """
    counters = np.arange(first_block, first_block + count, dtype=np.uint64)
    initial = [np.full(count, w, dtype=np.uint32) for w in (*_CHACHA_CONSTANTS, *key)]
    initial.append((counters & _LOW32).astype(np.uint32))
    initial.append((counters >> np.uint64(32)).astype(np.uint32))
    initial.append(np.zeros(count, dtype=np.uint32))
    initial.append(np.zeros(count, dtype=np.uint32))
    s = [w.copy() for w in initial]
    for _ in range(10):
        _quarter(s, 0, 4, 8, 12)
        _quarter(s, 1, 5, 9, 13)
        _quarter(s, 2, 6, 10, 14)
        _quarter(s, 3, 7, 11, 15)
        _quarter(s, 0, 5, 10, 15)
        _quarter(s, 1, 6, 11, 12)
        _quarter(s, 2, 7, 8, 13)
        _quarter(s, 3, 4, 9, 14)
    return np.stack([w + w0 for w, w0 in zip(s, initial)], axis=1)


def chacha_u64_outputs(seed: int, count: int) -> np.ndarray:
    """The first count 64-bit outputs of the ChaCha20 generator seeded from a u64."""
    blocks = -(-count // 8)
    words = chacha20_blocks(pcg32_key(seed), 0, blocks).astype("<u4").reshape(-1)
    return words.view("<u8")[:count].astype(np.uint64)


def chacha_matrix(seed: int, rows: int, cols: int) -> np.ndarray:
    """The simplepir-rs public matrix: rows x cols generator outputs in row-major order."""
    return chacha_u64_outputs(seed, rows * cols).reshape(rows, cols)
