"""Exact products modulo 2^64 of a small-entry matrix with a matrix of u64 values.

numpy's integer matmul does not use BLAS and is slow. Instead, every u64 value is
split into four 16-bit limbs and the product is taken in float64 with BLAS: a
small entry (below 2^16) times a limb (below 2^16) is below 2^32, and a sum of at
most 2^20 such terms stays below 2^52, so every float64 result is an exact integer
whatever the summation order. The four limb products are shifted into place and
added with wrapping u64 arithmetic.
"""

from __future__ import annotations

import numpy as np

SMALL_ENTRY_LIMIT = 1 << 16
_INNER_CHUNK = 1 << 20
_CACHE_ENTRIES = 1 << 25  # keep the float64 copy when it needs at most 256 MiB
_BLOCK_ENTRIES = 1 << 22  # otherwise convert row blocks of this many entries per product
_LIMB_SHIFTS = [np.uint64(16 * k) for k in range(4)]


def _limbs(wide: np.ndarray) -> np.ndarray:
    """k x n u64 -> k x 4n float64, the four 16-bit limbs side by side."""
    wide = np.asarray(wide, dtype=np.uint64)
    mask = np.uint64(0xFFFF)
    return np.concatenate([((wide >> s) & mask).astype(np.float64) for s in _LIMB_SHIFTS], axis=1)


def _combine(products: np.ndarray, n: int) -> np.ndarray:
    """m x 4n exact float64 limb products -> m x n u64 sums modulo 2^64."""
    total = np.zeros((products.shape[0], n), dtype=np.uint64)
    with np.errstate(over="ignore"):
        for k, shift in enumerate(_LIMB_SHIFTS):
            total += products[:, k * n:(k + 1) * n].astype(np.uint64) << shift
    return total


class SmallEntryMatrix:
    """An m x k matrix of integers in 0..2^16-1, multiplied modulo 2^64 by u64 matrices."""

    def __init__(self, entries: np.ndarray):
        entries = np.asarray(entries)
        if entries.ndim != 2 or entries.shape[0] == 0 or entries.shape[1] == 0:
            raise ValueError("a small-entry matrix is two-dimensional and not empty")
        if entries.dtype.kind not in "ui" or (entries.size and (entries.min() < 0 or entries.max() >= SMALL_ENTRY_LIMIT)):
            raise ValueError("small-entry matrix values must be integers from 0 to 65535")
        self.shape = entries.shape
        self._entries = entries.astype(np.uint16)
        self._cached = entries.astype(np.float64) if entries.size <= _CACHE_ENTRIES else None

    def _row_blocks(self):
        if self._cached is not None:
            yield 0, self._cached
            return
        rows = max(1, _BLOCK_ENTRIES // self.shape[1])
        for start in range(0, self.shape[0], rows):
            yield start, self._entries[start:start + rows].astype(np.float64)

    def matmul(self, wide: np.ndarray) -> np.ndarray:
        """(self · wide) modulo 2^64 for a k x n u64 matrix; returns m x n u64."""
        wide = np.asarray(wide, dtype=np.uint64)
        if wide.ndim != 2 or wide.shape[0] != self.shape[1]:
            raise ValueError(f"cannot multiply a {self.shape[0]}x{self.shape[1]} matrix by {wide.shape}")
        n = wide.shape[1]
        out = np.empty((self.shape[0], n), dtype=np.uint64)
        inner = self.shape[1]
        for start, block in self._row_blocks():
            acc = np.zeros((block.shape[0], n), dtype=np.uint64)
            with np.errstate(over="ignore"):
                for k0 in range(0, inner, _INNER_CHUNK):
                    limbs = _limbs(wide[k0:k0 + _INNER_CHUNK])
                    acc += _combine(block[:, k0:k0 + _INNER_CHUNK] @ limbs, n)
            out[start:start + block.shape[0]] = acc
        return out
