"""The PIR setup of a store and the two hint files of its public cache.

A setup holds the store's counts, the numbers its profile fixes and the seeds the publisher
derives from the published content. Both hint files start with the setup's magic and its fields
as little-endian u64:

- simplepir-rs ("QVSRC001" client hint, "QVSRS001" server hint): record_count,
  record_size_bytes, lane_count, square_side_len, secret_dimension, mod_power,
  plaintext_modulus, setup_seed, server_hint (the seed of the public matrix); the client hint
  goes on with its row and column counts and square_side_len rows of 64 values.
- toy ("QVSPC001", "QVSPS001"): record_count, record_size_bytes, matrix_width, modulus,
  plaintext_modulus, delta, matrix_seed; the client hint goes on with its value count and
  record_size_bytes rows of 16 values.
- balanced ("QVBLC001", "QVBLS001"): record_count, record_size_bytes, digits_per_record,
  records_per_column, columns, rows, secret_dimension, then the 32-byte key of the public
  matrix; the client hint goes on with rows rows of 1408 little-endian u32 values.

The hint values come from the native engine (quorvex._engine), which computes them from the
server's lane data.
"""

from __future__ import annotations

import hashlib
import itertools
import struct
from dataclasses import asdict, dataclass, fields
from typing import Any, BinaryIO, Protocol

from quorvex.shared import profiles

_RS_SECRET_DIMENSION = 64
_RS_MOD_POWER = 17
_TOY_MATRIX_WIDTH = 16
# Rows of the repeated simplepir-rs hint row written at a time.
_REPEAT_ROWS = 4096


class HintEngine(Protocol):
    def client_hint_rows(self, matrix_seed: int, threads: int) -> tuple[bytes, bytes]: ...

    def balanced_client_hint(self, matrix_key: bytes, threads: int) -> bytes: ...


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

    client_magic = b"QVSRC001"
    server_magic = b"QVSRS001"

    @classmethod
    def new(cls, record_count: int, record_size_bytes: int, setup_seed: int, server_hint: int) -> RsSetup:
        lanes = profiles.lane_count(record_size_bytes)
        return cls(record_count, record_size_bytes, lanes, max(record_count, lanes), _RS_SECRET_DIMENSION,
                   _RS_MOD_POWER, 1 << _RS_MOD_POWER, setup_seed, server_hint)

    @property
    def matrix_seed(self) -> int:
        return self.server_hint

    def expected(self) -> RsSetup:
        return RsSetup.new(self.record_count, self.record_size_bytes, self.setup_seed, self.server_hint)


@dataclass(frozen=True)
class ToySetup:
    record_count: int
    record_size_bytes: int
    matrix_width: int
    modulus: int
    plaintext_modulus: int
    delta: int
    matrix_seed: int

    client_magic = b"QVSPC001"
    server_magic = b"QVSPS001"

    @classmethod
    def new(cls, record_count: int, record_size_bytes: int, matrix_seed: int) -> ToySetup:
        profile = profiles.get_profile(profiles.TOY)
        return cls(record_count, record_size_bytes, _TOY_MATRIX_WIDTH, profile.modulus, profile.plaintext_modulus,
                   profile.modulus // profile.plaintext_modulus, matrix_seed)

    def expected(self) -> ToySetup:
        return ToySetup.new(self.record_count, self.record_size_bytes, self.matrix_seed)


@dataclass(frozen=True)
class BalancedSetup:
    record_count: int
    record_size_bytes: int
    digits_per_record: int
    records_per_column: int
    columns: int
    rows: int
    secret_dimension: int
    matrix_key: bytes  # 32 bytes: the ChaCha20 key of the public matrix

    client_magic = b"QVBLC001"
    server_magic = b"QVBLS001"

    @classmethod
    def new(cls, record_count: int, record_size_bytes: int, shape: dict[str, int], matrix_key: bytes) -> BalancedSetup:
        """The setup of the layout quorvex._engine.check_store gives the store."""
        rows, per_column = shape["lane_rows"], shape["records_per_column"]
        return cls(record_count, record_size_bytes, rows // per_column, per_column, shape["columns"], rows,
                   profiles.get_profile(profiles.BALANCED).matrix_width, matrix_key)


Setup = RsSetup | ToySetup | BalancedSetup


def derived_u64(content: bytes, label: str) -> int:
    """A nonzero 64-bit value derived from the published content, one per label."""
    for counter in itertools.count():
        digest = hashlib.sha256(f"quorvex {label} {counter}\0".encode() + content).digest()
        if value := int.from_bytes(digest[:8], "little"):
            return value
    raise AssertionError("unreachable")


def new_setup(profile: profiles.Profile, record_count: int, record_size_bytes: int, content: bytes,
              shape: dict[str, int]) -> Setup:
    """The setup of a store of the given shape (quorvex._engine.check_store), its seeds derived from
    `content` (a digest of what is published), so that publishing the same store again gives the same
    setup. Nothing here needs to be secret or fresh: the public matrix is public, and the server holds
    no secret of its own."""
    if profile.is_balanced:
        key = hashlib.sha256(b"quorvex public matrix key\0" + content).digest()
        return BalancedSetup.new(record_count, record_size_bytes, shape, key)
    if profile.is_simplepir_rs:
        return RsSetup.new(record_count, record_size_bytes, derived_u64(content, "setup seed"),
                           derived_u64(content, "public matrix seed"))
    return ToySetup.new(record_count, record_size_bytes, derived_u64(content, "public matrix seed"))


def setup_json(setup: Setup) -> dict[str, int | str]:
    """The setup as the server state holds it (a matrix key in hexadecimal)."""
    return {name: value.hex() if isinstance(value, bytes) else value for name, value in asdict(setup).items()}


def _header(setup: Setup) -> bytes:
    return b"".join(value if isinstance(value, bytes) else struct.pack("<Q", value) for value in asdict(setup).values())


def server_hint_bytes(setup: Setup) -> bytes:
    return setup.server_magic + _header(setup)


def write_client_hint(out: BinaryIO, setup: Setup, engine: HintEngine, threads: int) -> None:
    """Writes "pir/client_hint.bin" for the store the engine holds."""
    if isinstance(setup, BalancedSetup):
        out.write(setup.client_magic + _header(setup) + engine.balanced_client_hint(setup.matrix_key, threads))
        return
    rows, repeated = engine.client_hint_rows(setup.matrix_seed, threads)
    out.write(setup.client_magic + _header(setup))
    if isinstance(setup, RsSetup):
        out.write(struct.pack("<2Q", setup.square_side_len, setup.secret_dimension))
        out.write(rows)
        # Every row from lane_count on is the same row; write it in pieces of bounded size.
        remaining = setup.square_side_len - setup.lane_count
        while remaining > 0:
            step = min(remaining, _REPEAT_ROWS)
            out.write(repeated * step)
            remaining -= step
    else:
        out.write(struct.pack("<Q", len(rows) // 8))
        out.write(rows)
