"""Server side of the toy SimplePIR backend (profile "toy-development-only-v0").

The database D has one row per record byte and one column per record: D[r][i] is
byte r of record i. A is the record_count x matrix_width toy public matrix. The
client hint is H = D·A mod q and the answer to a query c is D·c mod q.

Decoding gives Δ·D[r][i] + Σ_k D[r][k]·e_k mod q with e_k in {-1, 0, 1}; it rounds
correctly while the noise stays within [-⌊Δ/2⌋, Δ - ⌊Δ/2⌋ - 1]. The noise of a row is
at most 255·record_count in size, so record_count may not exceed
(Δ - ⌊Δ/2⌋ - 1) // 255 = 32896 for q = 2^32, p = 256.
"""

from __future__ import annotations

import struct
from dataclasses import asdict, dataclass

import numpy as np

from quorvex import _codec
from quorvex._matrix import toy_matrix
from quorvex._wrapping import SmallEntryMatrix

CLIENT_HINT_MAGIC = b"QVSPC001"
SERVER_HINT_MAGIC = b"QVSPS001"
MODULUS = 1 << 32
PLAINTEXT_MODULUS = 256
DELTA = MODULUS // PLAINTEXT_MODULUS
MATRIX_WIDTH = 16
MAX_BYTE = 255
MAX_RECORDS = (DELTA - DELTA // 2 - 1) // MAX_BYTE  # 32896
_MASK32 = np.uint64(0xFFFFFFFF)


@dataclass(frozen=True)
class ToySetup:
    record_count: int
    record_size_bytes: int
    matrix_width: int
    modulus: int
    plaintext_modulus: int
    delta: int
    matrix_seed: int

    @classmethod
    def new(cls, record_count: int, record_size_bytes: int, matrix_seed: int) -> "ToySetup":
        return cls(record_count, record_size_bytes, MATRIX_WIDTH, MODULUS, PLAINTEXT_MODULUS, DELTA, matrix_seed)

    def check(self) -> None:
        """Refuses a setup this server cannot answer correctly."""
        fixed = (self.matrix_width, self.modulus, self.plaintext_modulus, self.delta)
        if fixed != (MATRIX_WIDTH, MODULUS, PLAINTEXT_MODULUS, DELTA):
            raise ValueError(f"toy setup does not use the toy profile's numbers: {fixed}")
        if self.matrix_seed == 0:
            raise ValueError("toy setup matrix_seed cannot be zero")
        if self.record_size_bytes < 4:
            raise ValueError("toy setup record_size_bytes must leave room for a length prefix")
        check_noise_margin(self.record_count)

    def header(self) -> bytes:
        return struct.pack("<7Q", *asdict(self).values())

    def to_json(self) -> dict:
        return asdict(self)


def check_noise_margin(record_count: int) -> None:
    if not 1 <= record_count <= MAX_RECORDS:
        raise ValueError(
            f"toy profile holds 1 to {MAX_RECORDS} records, got {record_count}: the answer noise "
            f"255 x record_count must stay below delta/2 = {DELTA // 2}; use profile "
            f"'simplepir-rs-experimental-v0' for larger stores")


class ToyDatabase:
    """The toy database of one store, ready to answer queries."""

    query_magic = _codec.TOY_QUERY_MAGIC
    response_magic = _codec.TOY_RESPONSE_MAGIC

    def __init__(self, setup: ToySetup, records: np.ndarray):
        setup.check()
        if records.shape != (setup.record_count, setup.record_size_bytes):
            raise ValueError(f"records of shape {records.shape} do not match the toy setup")
        self.setup = setup
        self._matrix = SmallEntryMatrix(np.ascontiguousarray(records.T))

    @property
    def query_length(self) -> int:
        return self.setup.record_count

    def answer(self, queries: np.ndarray) -> np.ndarray:
        """record_count x b query columns -> record_size_bytes x b answer columns (mod 2^32)."""
        return self._matrix.matmul(queries) & _MASK32

    def hint(self) -> np.ndarray:
        a = toy_matrix(self.setup.matrix_seed, self.setup.record_count, MATRIX_WIDTH)
        return self._matrix.matmul(a) & _MASK32

    def client_hint_bytes(self) -> bytes:
        hint = self.hint()
        return (CLIENT_HINT_MAGIC + self.setup.header() + struct.pack("<Q", hint.size)
                + hint.astype("<u8").tobytes())

    def server_hint_bytes(self) -> bytes:
        return SERVER_HINT_MAGIC + self.setup.header()
