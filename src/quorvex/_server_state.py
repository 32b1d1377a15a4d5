"""The PIR server's private state directory, kept outside the public cache.

- "server_state.json": format name, parameter profile, backend setup (with its seeds)
  and the SHA-256 of the records file;
- "records.npy": the padded PIR records, record_count x record_size_bytes uint8.

The server rebuilds its database matrix from the records at load; the public matrix
comes from the seed in the setup.
"""

from __future__ import annotations

import hashlib
import io
import json
import pathlib

import numpy as np

from quorvex import profiles
from quorvex._rs_pir import RsDatabase, RsSetup
from quorvex._toy_pir import ToyDatabase, ToySetup

STATE_FORMAT = "quorvex-server-state-v0"
STATE_FILE = "server_state.json"
RECORDS_FILE = "records.npy"


def build_database(profile: profiles.Profile, setup: ToySetup | RsSetup, records: np.ndarray):
    if profile.is_simplepir_rs:
        return RsDatabase(setup, records)
    return ToyDatabase(setup, records)


def state_files(profile: profiles.Profile, setup: ToySetup | RsSetup, records: np.ndarray) -> dict[str, bytes]:
    buffer = io.BytesIO()
    np.save(buffer, records, allow_pickle=False)
    records_bytes = buffer.getvalue()
    state = {
        "format": STATE_FORMAT,
        "parameter_profile": profile.name,
        "setup": setup.to_json(),
        "records_sha256": hashlib.sha256(records_bytes).hexdigest(),
    }
    return {STATE_FILE: json.dumps(state, indent=2).encode() + b"\n", RECORDS_FILE: records_bytes}


def load_state(server_dir: pathlib.Path):
    """Reads and checks a state directory; returns (profile, database)."""
    server_dir = pathlib.Path(server_dir)
    try:
        state = json.loads((server_dir / STATE_FILE).read_text(encoding="utf-8"))
        records_bytes = (server_dir / RECORDS_FILE).read_bytes()
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ValueError(f"cannot read server state in {server_dir}: {error}") from None
    if not isinstance(state, dict) or state.get("format") != STATE_FORMAT:
        raise ValueError(f"{server_dir / STATE_FILE} is not a {STATE_FORMAT} file")
    if hashlib.sha256(records_bytes).hexdigest() != state.get("records_sha256"):
        raise ValueError(f"{server_dir / RECORDS_FILE} does not match its recorded checksum")
    profile = profiles.get_profile(state.get("parameter_profile"))
    setup_type = RsSetup if profile.is_simplepir_rs else ToySetup
    fields = state.get("setup")
    if not isinstance(fields, dict) or not all(type(v) is int and v >= 0 for v in fields.values()):
        raise ValueError(f"{server_dir / STATE_FILE} setup must hold non-negative integers")
    try:
        setup = setup_type(**fields)
    except (KeyError, TypeError) as error:
        raise ValueError(f"{server_dir / STATE_FILE} has a malformed setup: {error}") from None
    records = np.load(io.BytesIO(records_bytes), allow_pickle=False)
    if records.dtype != np.uint8:
        raise ValueError(f"{server_dir / RECORDS_FILE} does not hold bytes")
    return profile, build_database(profile, setup, records)
