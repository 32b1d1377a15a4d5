"""Loading the PIR server's private state directory (its files: quorvex.shared.formats).

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
from dataclasses import dataclass
from typing import Any

import numpy as np

from quorvex._engine import PirEngine
from quorvex.shared import profiles
from quorvex.shared.formats import LANES_FILE, STATE_FILE, STATE_FORMAT, lane_rows, record_lanes, write_lanes

_V0_FORMAT = "quorvex-server-state-v0"
_V0_RECORDS_FILE = "records.npy"


@dataclass(frozen=True)
class ServerState:
    profile: profiles.Profile
    record_count: int
    record_size_bytes: int
    setup: dict[str, int | str]  # the PIR setup as the state holds it, seeds included
    engine: PirEngine
    publication: str | None  # None for a state written before publications were named


def _read_state(server_dir: pathlib.Path) -> dict[str, Any]:
    try:
        state = json.loads((server_dir / STATE_FILE).read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ValueError(f"cannot read server state in {server_dir}: {error}") from None
    if not isinstance(state, dict) or state.get("format") not in (STATE_FORMAT, _V0_FORMAT):
        raise ValueError(f"{server_dir / STATE_FILE} is not a {STATE_FORMAT} file")
    return state


def _counts(setup: Any) -> tuple[int, int]:
    """The store's record count and record size from the setup (the engine checks the rest)."""
    counts = [setup.get(key) if isinstance(setup, dict) else None for key in ("record_count", "record_size_bytes")]
    record_count, record_size = counts
    if not (isinstance(record_count, int) and isinstance(record_size, int)
            and all(type(value) is int and 0 < value < 1 << 64 for value in counts)):
        raise ValueError("the setup must hold a positive record_count and record_size_bytes")
    return record_count, record_size


def _v0_engine(server_dir: pathlib.Path, state: dict[str, Any], profile: profiles.Profile, record_count: int,
               record_size: int) -> PirEngine:
    path = server_dir / _V0_RECORDS_FILE
    try:
        records_bytes = path.read_bytes()
    except OSError as error:
        raise ValueError(f"cannot read server state in {server_dir}: {error}") from None
    if hashlib.sha256(records_bytes).hexdigest() != state.get("records_sha256"):
        raise ValueError(f"{path} does not match its recorded checksum")
    records = np.load(io.BytesIO(records_bytes), allow_pickle=False)
    if records.dtype != np.uint8 or records.shape != (record_count, record_size):
        raise ValueError(f"{path} does not hold the setup's {record_count} records of {record_size} bytes")
    # The engine maps a file; a temporary one, unlinked at once, lives as long as the mapping.
    descriptor, name = tempfile.mkstemp(prefix="quorvex-lanes-")
    os.close(descriptor)
    try:
        write_lanes(pathlib.Path(name), lane_rows(profile, record_size), record_count, [record_lanes(profile, records)])
        return PirEngine.open(name, profile.name, record_count, record_size)
    finally:
        os.unlink(name)


def load_state(server_dir: str | pathlib.Path) -> ServerState:
    """Reads and checks a state directory."""
    server_dir = pathlib.Path(server_dir)
    state = _read_state(server_dir)
    state_path = server_dir / STATE_FILE
    try:
        profile = profiles.get_profile(str(state.get("parameter_profile")))
        record_count, record_size = _counts(state.get("setup"))
    except ValueError as error:
        raise ValueError(f"{state_path}: {error}") from None
    publication = state.get("publication")
    if publication is not None and not (isinstance(publication, str) and len(publication) == 64):
        raise ValueError(f"{state_path}: the publication must be a SHA-256 in hexadecimal")
    if state["format"] == _V0_FORMAT:
        engine = _v0_engine(server_dir, state, profile, record_count, record_size)
    else:
        if state.get("lanes_file") != LANES_FILE:
            raise ValueError(f"{state_path} names the lane file {state.get('lanes_file')!r}, expected {LANES_FILE!r}")
        engine = PirEngine.open(str(server_dir / LANES_FILE), profile.name, record_count, record_size)
        if engine.lanes_sha256 != state.get("lanes_sha256"):
            raise ValueError(f"{server_dir / LANES_FILE} does not match its recorded checksum")
    return ServerState(profile, record_count, record_size, state["setup"], engine, publication)
