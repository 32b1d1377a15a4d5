import numpy as np
import pytest

from quorvex import _matrix

MASK32 = 0xFFFFFFFF


def scalar_block(key, counter):
    """ChaCha20 block function, one block at a time, for cross-checking the vectorised one."""
    def rotl(x, n):
        return ((x << n) | (x >> (32 - n))) & MASK32

    def qr(s, a, b, c, d):
        s[a] = (s[a] + s[b]) & MASK32; s[d] = rotl(s[d] ^ s[a], 16)
        s[c] = (s[c] + s[d]) & MASK32; s[b] = rotl(s[b] ^ s[c], 12)
        s[a] = (s[a] + s[b]) & MASK32; s[d] = rotl(s[d] ^ s[a], 8)
        s[c] = (s[c] + s[d]) & MASK32; s[b] = rotl(s[b] ^ s[c], 7)

    start = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *key,
             counter & MASK32, counter >> 32, 0, 0]
    s = list(start)
    for _ in range(10):
        for a, b, c, d in ((0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15),
                           (0, 5, 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14)):
            qr(s, a, b, c, d)
    return [(x + y) & MASK32 for x, y in zip(s, start)]


def test_splitmix_entries_match_known_values():
    assert [_matrix.public_matrix_entry(1, i, j) for i, j in ((0, 0), (0, 1), (1, 0))] == \
        [2298633409, 1380781559, 3690365641]
    assert _matrix.toy_matrix(1, 2, 2)[:, :].tolist()[0] == [2298633409, 1380781559]
    assert int(_matrix.toy_matrix(1, 2, 2)[1, 0]) == 3690365641


@pytest.mark.parametrize("seed, first_row", [(1, 0), (2**64 - 1, 5), (0x9E3779B97F4A7C15, 1000)])
def test_vectorised_toy_matrix_equals_the_scalar_entry(seed, first_row):
    block = _matrix.toy_matrix(seed, 7, 16, first_row)
    assert block.shape == (7, 16) and block.dtype == np.uint64
    assert block.tolist() == [[_matrix.public_matrix_entry(seed, first_row + i, j) for j in range(16)]
                              for i in range(7)]
    assert int(block.max()) <= MASK32


def test_chacha20_all_zero_key_block_zero_is_the_rfc_vector():
    block = _matrix.chacha20_blocks([0] * 8, 0, 1).astype("<u4").tobytes()
    assert block.hex() == (
        "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
        "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586")


@pytest.mark.parametrize("first_block", [0, 5, 2**32 - 2, 2**40 + 3])
def test_vectorised_blocks_equal_the_scalar_block_function(first_block):
    key = _matrix.pcg32_key(0xDEADBEEF)
    blocks = _matrix.chacha20_blocks(key, first_block, 4)
    assert blocks.tolist() == [scalar_block(key, first_block + k) for k in range(4)]


def test_generator_outputs_for_seed_one():
    assert _matrix.chacha_u64_outputs(1, 3).tolist() == \
        [11413071731502626714, 2822430395410641094, 10085176492196300606]
    assert _matrix.chacha_matrix(1, 1, 3).tolist() == [[11413071731502626714, 2822430395410641094,
                                                       10085176492196300606]]


@pytest.mark.parametrize("rows, cols", [(3, 2), (1, 64), (17, 64), (5, 3)])
def test_matrix_is_the_output_stream_row_major(rows, cols):
    outputs = _matrix.chacha_u64_outputs(42, rows * cols)
    matrix = _matrix.chacha_matrix(42, rows, cols)
    assert matrix.shape == (rows, cols)
    assert matrix.reshape(-1).tolist() == outputs.tolist()
    # Each output is the little-endian u64 of keystream bytes 8k..8k+7.
    key = _matrix.pcg32_key(42)
    stream = b"".join(bytes(np.array(scalar_block(key, b), dtype="<u4").tobytes())
                      for b in range(-(-rows * cols // 8)))
    assert [int.from_bytes(stream[8 * k:8 * k + 8], "little") for k in range(rows * cols)] == outputs.tolist()
