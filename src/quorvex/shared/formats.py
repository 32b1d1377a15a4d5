"""The files and messages the roles exchange: what the publisher writes, the server and the
client read, and the identities both sides compute.

Public cache (written by quorvex.publisher, read by the extension module and quorvex.client):
the files below, checksummed in "checksums.json". Each line of "index/metadata.jsonl" carries
RECORD_DIGEST_KEY, the SHA-256 of the whole padded record (record_digest), which the extension
module checks every decoded record against, padding records included, and DIGEST_KEY, the
SHA-256 of the chunk's canonical form (chunk_digest), which an application can check a decoded
chunk against.

Server state (written by quorvex.publisher, read by quorvex.server):
- "server_state.json": STATE_FORMAT, parameter profile, PIR setup (with its seeds), the name
  and SHA-256 of the lane file, and the publication it serves;
- "lanes.bin": the database, lane_rows rows of little-endian u16 lanes, row after row: one
  column per record for simplepir-rs (lane i of a record is its bytes 2i and 2i + 1) and toy
  (lane r is its byte r), see record_lanes; for the balanced profile, one 9-bit digit per lane
  in the layout of quorvex.publisher.lane_blocks.

A publication is named by publication_id: the SHA-256 of its cache's "checksums.json", which
names the size and digest of every other file (the client hint, which depends on the seeds,
included), so two publications share an identifier only if their caches are the same bytes.
A client sends it with each query (PUBLICATION_HEADER); a server that serves another refuses.
"""

from __future__ import annotations

import hashlib
import json
import os
import pathlib
from collections.abc import Iterable
from typing import Any

import numpy as np

from quorvex.shared import profiles

__all__ = [
    "ARTIFACTS", "DIGEST_KEY", "LANES_FILE", "LEXICAL_INDEX_FILE", "PUBLICATION_HEADER", "PUBLIC_CACHE_FILES",
    "RECORD_DIGEST_KEY",
    "STATE_FILE", "STATE_FORMAT", "chunk_digest", "lane_rows", "public_cache_size", "publication_id", "record_digest",
    "record_lanes", "state_json", "write_lanes",
]

ARTIFACTS = {
    "scheme": "pir/scheme.json",
    "client_hint": "pir/client_hint.bin",
    "server_hint": "pir/server_hint.bin",
}

# The files a client reads, in the order its size envelope sums them.
PUBLIC_CACHE_FILES = (
    "manifest.json",
    "checksums.json",
    "index/vectors.bin",
    "index/ids.bin",
    "index/metadata.jsonl",
    "index/index.config.json",
    "pir/scheme.json",
    "pir/client_hint.bin",
)

DIGEST_KEY = "chunk_sha256"
RECORD_DIGEST_KEY = "record_sha256"
PUBLICATION_HEADER = "Quorvex-Publication"

STATE_FORMAT = "quorvex-server-state-v1"
STATE_FILE = "server_state.json"
LANES_FILE = "lanes.bin"

_INT_RANGE = (-(1 << 63), 1 << 64)


# The lexical index of the chunk texts, which a client fuses with the cosine search: in caches of the
# balanced profile (written by quorvex._engine.write_lexical_index, read by the extension module).
LEXICAL_INDEX_FILE = "index/lexical.bin"


def public_cache_size(cache_dir: pathlib.Path) -> int:
    """The bytes of the files a client reads, which the supported profile bounds."""
    lexical = cache_dir / LEXICAL_INDEX_FILE
    return sum((cache_dir / path).stat().st_size for path in PUBLIC_CACHE_FILES) + (
        lexical.stat().st_size if lexical.is_file() else 0)


def publication_id(cache_dir: str | pathlib.Path) -> str:
    """The hexadecimal SHA-256 of the cache's checksums.json."""
    return hashlib.sha256((pathlib.Path(cache_dir) / "checksums.json").read_bytes()).hexdigest()


def _as_read(value: Any) -> Any:
    """The value as a client reads it back: integers beyond 64 bits become floats."""
    if isinstance(value, bool) or value is None or isinstance(value, (str, float)):
        return value
    if isinstance(value, int):
        return value if _INT_RANGE[0] <= value < _INT_RANGE[1] else float(value)
    if isinstance(value, dict):
        return {key: _as_read(item) for key, item in value.items()}
    return [_as_read(item) for item in value]


def chunk_digest(chunk_id: str, document_id: str, text: str, metadata: Any) -> str:
    """The hexadecimal SHA-256 of a chunk's canonical form: the UTF-8 bytes of the compact JSON
    array [chunk_id, document_id, text, metadata] (metadata null when the chunk has none), object
    keys sorted, non-ASCII characters as themselves, integers outside the 64-bit range as the
    floating-point numbers a client reads them as. A client computes it from what it decodes; the
    record id and the padding after the record are not part of what a client returns."""
    canonical = json.dumps([chunk_id, document_id, text, _as_read(metadata)], sort_keys=True,
                           separators=(",", ":"), ensure_ascii=False, allow_nan=False)
    return hashlib.sha256(canonical.encode("utf-8")).hexdigest()


def record_digest(padded_record: bytes) -> str:
    """The hexadecimal SHA-256 of a whole padded PIR record: every byte a query for it decodes
    (length prefix, chunk record JSON and zero filler), which the client checks natively."""
    return hashlib.sha256(padded_record).hexdigest()


def lane_rows(profile: profiles.Profile, record_size_bytes: int) -> int:
    """Rows of a toy or simplepir-rs store's lane data: 16-bit lanes of a record (simplepir-rs) or its
    bytes (toy). A balanced store's shape comes from quorvex._engine.check_store."""
    return profiles.lane_count(record_size_bytes) if profile.is_simplepir_rs else record_size_bytes


def record_lanes(profile: profiles.Profile, records: np.ndarray) -> np.ndarray:
    """The lanes of a block of padded records of a toy or simplepir-rs store (n x record_size_bytes
    uint8), as lane_rows x n u16: one column per record."""
    if profile.is_simplepir_rs:
        count, size = records.shape
        if size % 2:
            records = np.concatenate([records, np.zeros((count, 1), dtype=np.uint8)], axis=1)
        return np.ascontiguousarray(records).view("<u2").T
    return records.T.astype("<u2")


def write_lanes(path: pathlib.Path, lane_rows: int, columns: int, blocks: Iterable[np.ndarray]) -> None:
    """Writes the lane file from consecutive blocks of its columns (lane_rows x w u16 each)."""
    lanes = np.memmap(path, dtype="<u2", mode="w+", shape=(lane_rows, columns))
    first = 0
    for block in blocks:
        lanes[:, first:first + block.shape[1]] = block
        first += block.shape[1]
    if first != columns:
        raise ValueError(f"got {first} lane columns for a store of {columns}")
    lanes.flush()
    del lanes
    with open(path, "rb") as written:
        os.fsync(written.fileno())


def state_json(profile: profiles.Profile, setup: dict[str, int | str], lanes_sha256: str, publication: str) -> bytes:
    """The server_state.json of a store."""
    state = {
        "format": STATE_FORMAT,
        "parameter_profile": profile.name,
        "setup": setup,
        "lanes_file": LANES_FILE,
        "lanes_sha256": lanes_sha256,
        "publication": publication,
    }
    return json.dumps(state, indent=2).encode() + b"\n"
