"""Server side of the simplepir-rs backend (both "simplepir-rs-..." profiles).

A record is split into lane_count = ceil(record_size_bytes / 2) little-endian 16-bit
lanes. The database D is square_side_len x square_side_len with D[lane][record] the
lane value and 0 in padding rows and columns. A is the square_side_len x 64 ChaCha20
public matrix generated from the setup's server_hint. All arithmetic wraps modulo 2^64.

- client hint H = (D - half_p)·A, every entry of D offset by half_p (padding included);
- answer to a query c = A·s + e + Δ·u is D·c.

The client computes t = ⌊Δ/2⌋ + answer_i - S·half_p - H_i·s with S = Σ c_k, which is
⌊Δ/2⌋ + (D - half_p)_i·c - (D - half_p)_i·A·s = ⌊Δ/2⌋ + Δ·(D[i][j] - half_p) + noise,
noise = Σ_k (D[i][k] - half_p)·e_k. As p·Δ = 2^64, t ≡ Δ·(D[i][j] + half_p) + ⌊Δ/2⌋ + noise,
so ⌊t/Δ⌋ - half_p = D[i][j] when the noise lies in [-⌊Δ/2⌋, Δ - ⌊Δ/2⌋ - 1].
|D - half_p| ≤ half_p, so |noise| ≤ half_p·square_side_len: square_side_len may not
exceed (Δ - ⌊Δ/2⌋ - 1) // half_p = 2^30 - 1.
"""

from __future__ import annotations

import struct
from dataclasses import asdict, dataclass

import numpy as np

from quorvex import _codec
from quorvex._matrix import chacha_matrix
from quorvex._wrapping import SmallEntryMatrix
from quorvex.profiles import lane_count, square_side_len

CLIENT_HINT_MAGIC = b"QVSRC001"
SERVER_HINT_MAGIC = b"QVSRS001"
SECRET_DIMENSION = 64
MOD_POWER = 17
PLAINTEXT_MODULUS = 1 << MOD_POWER
HALF_P = PLAINTEXT_MODULUS // 2
DELTA = (1 << 64) // PLAINTEXT_MODULUS
MAX_SQUARE_SIDE = (DELTA - DELTA // 2 - 1) // HALF_P  # 2^30 - 1
# What the float64 product code and memory of this reference server can take.
SERVER_MAX_SQUARE_SIDE = 16384


@dataclass(frozen=True)
class RsSetup:
    record_count: int
    record_size_bytes: int
    lane_count: int
    square_side_len: int
    secret_dimension: int
    mod_power: int
    plaintext_modulus: int
    setup_seed: int
    server_hint: int

    @classmethod
    def new(cls, record_count: int, record_size_bytes: int, setup_seed: int, server_hint: int) -> "RsSetup":
        return cls(record_count, record_size_bytes, lane_count(record_size_bytes),
                   square_side_len(record_count, record_size_bytes), SECRET_DIMENSION, MOD_POWER,
                   PLAINTEXT_MODULUS, setup_seed, server_hint)

    def check(self) -> None:
        """Refuses a setup this server cannot answer correctly."""
        if self.record_count < 1 or self.record_size_bytes < 4:
            raise ValueError("simplepir-rs setup needs at least one record of at least 4 bytes")
        expected = RsSetup.new(self.record_count, self.record_size_bytes, self.setup_seed, self.server_hint)
        if self != expected:
            raise ValueError(f"simplepir-rs setup is inconsistent: {self} (expected {expected})")
        if self.setup_seed == 0:
            raise ValueError("simplepir-rs setup_seed cannot be zero")
        check_noise_margin(self.square_side_len)

    def header(self) -> bytes:
        return struct.pack("<9Q", *asdict(self).values())

    def to_json(self) -> dict:
        return asdict(self)


def check_noise_margin(side: int) -> None:
    if side > MAX_SQUARE_SIDE:
        raise ValueError(
            f"simplepir-rs square side {side} exceeds {MAX_SQUARE_SIDE}: the answer noise "
            f"half_p x square_side_len must stay below delta/2 = {DELTA // 2}")
    if side > SERVER_MAX_SQUARE_SIDE:
        raise ValueError(
            f"simplepir-rs square side {side} (the larger of record count and lane count) exceeds "
            f"{SERVER_MAX_SQUARE_SIDE}, the most this reference server holds in memory")


class RsDatabase:
    """The square simplepir-rs database of one store, ready to answer queries."""

    query_magic = _codec.RS_QUERY_MAGIC
    response_magic = _codec.RS_RESPONSE_MAGIC

    def __init__(self, setup: RsSetup, records: np.ndarray):
        setup.check()
        if records.shape != (setup.record_count, setup.record_size_bytes):
            raise ValueError(f"records of shape {records.shape} do not match the simplepir-rs setup")
        self.setup = setup
        side, lanes = setup.square_side_len, setup.lane_count
        even = np.zeros((setup.record_count, 2 * lanes), dtype=np.uint8)
        even[:, :setup.record_size_bytes] = records
        lane_values = even.view("<u2")  # record_count x lane_count
        database = np.zeros((side, side), dtype=np.uint16)
        database[:lanes, :setup.record_count] = lane_values.T
        self._matrix = SmallEntryMatrix(database)

    @property
    def query_length(self) -> int:
        return self.setup.square_side_len

    def answer(self, queries: np.ndarray) -> np.ndarray:
        """square_side_len x b query columns -> square_side_len x b answer columns."""
        return self._matrix.matmul(queries)

    def hint(self) -> np.ndarray:
        a = chacha_matrix(self.setup.server_hint, self.setup.square_side_len, SECRET_DIMENSION)
        with np.errstate(over="ignore"):
            column_sums = a.sum(axis=0, dtype=np.uint64)
            return self._matrix.matmul(a) - np.uint64(HALF_P) * column_sums

    def client_hint_bytes(self) -> bytes:
        hint = self.hint()
        return (CLIENT_HINT_MAGIC + self.setup.header() + struct.pack("<2Q", *hint.shape)
                + hint.astype("<u8").tobytes())

    def server_hint_bytes(self) -> bytes:
        return SERVER_HINT_MAGIC + self.setup.header()
