import numpy as np
import pytest

from quorvex import _wrapping
from quorvex._wrapping import SmallEntryMatrix


def exact(small, wide):
    return [[sum(int(a) * int(b) for a, b in zip(row, col)) % 2**64 for col in wide.T] for row in small]


@pytest.mark.parametrize("shape, n", [((1, 1), 1), ((5, 7), 3), ((40, 33), 4)])
def test_product_is_exact_modulo_two_to_the_64(shape, n):
    rng = np.random.default_rng(sum(shape) + n)
    small = rng.integers(0, 65536, shape, dtype=np.uint64)
    small[0, :] = 65535  # the largest entries and values meet in row 0
    wide = rng.integers(0, 2**64 - 1, (shape[1], n), dtype=np.uint64, endpoint=True)
    wide[:, 0] = 2**64 - 1
    assert SmallEntryMatrix(small).matmul(wide).tolist() == exact(small, wide)


def test_row_blocks_and_inner_chunks_give_the_same_product(monkeypatch):
    rng = np.random.default_rng(9)
    small = rng.integers(0, 65536, (30, 50), dtype=np.uint64)
    wide = rng.integers(0, 2**64 - 1, (50, 4), dtype=np.uint64, endpoint=True)
    expected = SmallEntryMatrix(small).matmul(wide)
    monkeypatch.setattr(_wrapping, "_CACHE_ENTRIES", 0)
    monkeypatch.setattr(_wrapping, "_BLOCK_ENTRIES", 7 * 50)
    monkeypatch.setattr(_wrapping, "_INNER_CHUNK", 16)
    assert (SmallEntryMatrix(small).matmul(wide) == expected).all()
    assert expected.tolist() == exact(small, wide)


@pytest.mark.parametrize("entries", [np.array([[65536]]), np.array([[-1]]), np.array([[0.5]]), np.zeros((0, 3))])
def test_refuses_entries_out_of_range(entries):
    with pytest.raises(ValueError):
        SmallEntryMatrix(entries)
