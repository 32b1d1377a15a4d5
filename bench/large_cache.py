"""Public caches larger than the reference publisher will build, for search benchmarks.

The reference server refuses simplepir-rs stores whose square side exceeds 16384 (it
holds the whole square database in memory), so `publish` cannot make a 100000-row cache.
The client side has no such limit. This module writes only the public cache of such a
store, through the publisher's own file writers, and computes the client hint from the
structure of the database instead of multiplying the full square: the database has
data only in its first lane_count rows (and record_count columns), so

    H = (D - half_p)·A = D[:lanes]·A[:record_count] (in the first lanes rows) - half_p·colsum(A).

No server state is written: these caches are for opening and searching only.
"""

from __future__ import annotations

import pathlib
import secrets
import shutil
import struct

import numpy as np

from quorvex import _cache_files, _rs_pir, profiles
from quorvex._atomic_dirs import write_tree
from quorvex._index_files import index_files
from quorvex._matrix import chacha_matrix
from quorvex._records import chunk_record_json, normalise_chunks, pad_records, required_record_size


def _client_hint(setup: _rs_pir.RsSetup, records: np.ndarray) -> bytes:
    side, lanes, count = setup.square_side_len, setup.lane_count, setup.record_count
    a = chacha_matrix(setup.server_hint, side, _rs_pir.SECRET_DIMENSION)
    even = np.zeros((count, 2 * lanes), dtype=np.uint8)
    even[:, :setup.record_size_bytes] = records
    lane_values = even.view("<u2").astype(np.uint64)  # count x lanes
    with np.errstate(over="ignore"):
        hint = np.empty((side, _rs_pir.SECRET_DIMENSION), dtype=np.uint64)
        hint[:] = np.uint64(0) - np.uint64(_rs_pir.HALF_P) * a.sum(axis=0, dtype=np.uint64)
        for lane in range(lanes):
            hint[lane] += lane_values[:, lane] @ a[:count]
    return (_rs_pir.CLIENT_HINT_MAGIC + setup.header() + struct.pack("<2Q", *hint.shape)
            + hint.astype("<u8").tobytes())


def write_large_cache(public_dir: pathlib.Path, vectors: np.ndarray, embedding_model: str) -> None:
    """An experimental-profile public cache of one short chunk per row of `vectors`."""
    count, dimensions = vectors.shape
    chunks = normalise_chunks({"chunk_id": f"c{i}", "document_id": f"d{i}", "text": f"row {i}"}
                              for i in range(count))
    payloads = [chunk_record_json(i, chunk) for i, chunk in enumerate(chunks)]
    record_size = required_record_size(payloads)
    records = pad_records(payloads, record_size)
    profile = profiles.get_profile(profiles.RS_EXPERIMENTAL)
    setup = _rs_pir.RsSetup.new(count, record_size, secrets.randbits(63) | 1, secrets.randbits(64))
    files = index_files(embedding_model, vectors, chunks)
    files["pir/scheme.json"] = _cache_files.scheme_json(profile, count, record_size)
    files["pir/client_hint.bin"] = _client_hint(setup, records)
    files["pir/server_hint.bin"] = _rs_pir.SERVER_HINT_MAGIC + setup.header()
    files["manifest.json"] = _cache_files.manifest_json(
        profile=profile, bundle_id=f"bench-{count}", bundle_version="1", embedding_model=embedding_model,
        embedding_dimensions=dimensions, record_count=count, record_size_bytes=record_size,
        created_at="2026-01-01T00:00:00+00:00")
    files["checksums.json"] = _cache_files.checksums_json(files)
    if public_dir.exists():
        shutil.rmtree(public_dir)
    public_dir.mkdir(parents=True)
    write_tree(public_dir, files)
