"""The PIR server's private state directory, kept outside the public cache.

- "server_state.json": format "quorvex-server-state-v1", parameter profile, PIR setup (with
  its seeds), the name and SHA-256 of the lane file, and the publication it serves (the
  SHA-256 of the public cache's checksums.json, see quorvex.publication);
- "lanes.bin": the database, lane_rows rows of record_count little-endian u16 lanes, row after
  row. simplepir-rs: lane i of a record is its bytes 2i and 2i + 1; toy: lane r is byte r.

The server maps the lane file read-only, so replicas on one machine share it in memory.
Directories of the earlier format "quorvex-server-state-v0" (the padded records in
"records.npy") are still served: their lanes are built in memory when they are loaded.
"""

from __future__ import annotations

import hashlib
import io
import json
import os
import pathlib
import tempfile
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

import numpy as np

from quorvex import profiles
from quorvex._engine import PirEngine
from quorvex._pir_setup import Setup, setup_from_json, setup_json

STATE_FORMAT = "quorvex-server-state-v1"
STATE_FILE = "server_state.json"
LANES_FILE = "lanes.bin"
_V0_FORMAT = "quorvex-server-state-v0"
_V0_RECORDS_FILE = "records.npy"


def record_lanes(profile: profiles.Profile, records: np.ndarray) -> np.ndarray:
    """The lanes of a block of padded records (n x record_size_bytes uint8), as lane_rows x n u16."""
    if profile.is_simplepir_rs:
        count, size = records.shape
        if size % 2:
            records = np.concatenate([records, np.zeros((count, 1), dtype=np.uint8)], axis=1)
        return np.ascontiguousarray(records).view("<u2").T
    return records.T.astype("<u2")


def write_lanes(path: pathlib.Path, profile: profiles.Profile, record_count: int, record_size_bytes: int,
                blocks: Iterable[np.ndarray]) -> None:
    """Writes the lane file from consecutive blocks of padded records."""
    rows = profiles.lane_count(record_size_bytes) if profile.is_simplepir_rs else record_size_bytes
    lanes = np.memmap(path, dtype="<u2", mode="w+", shape=(rows, record_count))
    first = 0
    for block in blocks:
        lanes[:, first:first + len(block)] = record_lanes(profile, block)
        first += len(block)
    if first != record_count:
        raise ValueError(f"got {first} records for a store of {record_count}")
    lanes.flush()
    del lanes
    with open(path, "rb") as written:
        os.fsync(written.fileno())


def state_json(profile: profiles.Profile, setup: Setup, lanes_sha256: str, publication: str) -> bytes:
    state = {
        "format": STATE_FORMAT,
        "parameter_profile": profile.name,
        "setup": setup_json(setup),
        "lanes_file": LANES_FILE,
        "lanes_sha256": lanes_sha256,
        "publication": publication,
    }
    return json.dumps(state, indent=2).encode() + b"\n"


def _read_state(server_dir: pathlib.Path) -> dict[str, Any]:
    try:
        state = json.loads((server_dir / STATE_FILE).read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ValueError(f"cannot read server state in {server_dir}: {error}") from None
    if not isinstance(state, dict) or state.get("format") not in (STATE_FORMAT, _V0_FORMAT):
        raise ValueError(f"{server_dir / STATE_FILE} is not a {STATE_FORMAT} file")
    return state


def _v0_engine(server_dir: pathlib.Path, state: dict[str, Any], profile: profiles.Profile, setup: Setup) -> PirEngine:
    path = server_dir / _V0_RECORDS_FILE
    try:
        records_bytes = path.read_bytes()
    except OSError as error:
        raise ValueError(f"cannot read server state in {server_dir}: {error}") from None
    if hashlib.sha256(records_bytes).hexdigest() != state.get("records_sha256"):
        raise ValueError(f"{path} does not match its recorded checksum")
    records = np.load(io.BytesIO(records_bytes), allow_pickle=False)
    if records.dtype != np.uint8 or records.shape != (setup.record_count, setup.record_size_bytes):
        raise ValueError(f"{path} does not hold the setup's {setup.record_count} records of "
                         f"{setup.record_size_bytes} bytes")
    # The engine maps a file; a temporary one, unlinked at once, lives as long as the mapping.
    descriptor, name = tempfile.mkstemp(prefix="quorvex-lanes-")
    os.close(descriptor)
    try:
        write_lanes(pathlib.Path(name), profile, setup.record_count, setup.record_size_bytes, [records])
        return PirEngine.open(name, profile.name, setup.record_count, setup.record_size_bytes)
    finally:
        os.unlink(name)


@dataclass(frozen=True)
class ServerState:
    profile: profiles.Profile
    setup: Setup
    engine: PirEngine
    publication: str | None  # None for a state written before publications were named


def load_state(server_dir: str | pathlib.Path) -> ServerState:
    """Reads and checks a state directory."""
    server_dir = pathlib.Path(server_dir)
    state = _read_state(server_dir)
    state_path = server_dir / STATE_FILE
    try:
        profile = profiles.get_profile(str(state.get("parameter_profile")))
        setup = setup_from_json(profile, state.get("setup"))
    except ValueError as error:
        raise ValueError(f"{state_path}: {error}") from None
    publication = state.get("publication")
    if publication is not None and not (isinstance(publication, str) and len(publication) == 64):
        raise ValueError(f"{state_path}: the publication must be a SHA-256 in hexadecimal")
    if state["format"] == _V0_FORMAT:
        return ServerState(profile, setup, _v0_engine(server_dir, state, profile, setup), publication)
    if state.get("lanes_file") != LANES_FILE:
        raise ValueError(f"{state_path} names the lane file {state.get('lanes_file')!r}, expected {LANES_FILE!r}")
    engine = PirEngine.open(str(server_dir / LANES_FILE), profile.name, setup.record_count, setup.record_size_bytes)
    if engine.lanes_sha256 != state.get("lanes_sha256"):
        raise ValueError(f"{server_dir / LANES_FILE} does not match its recorded checksum")
    return ServerState(profile, setup, engine, publication)
