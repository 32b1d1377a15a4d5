"""Publisher: turns chunks and their embeddings into a public cache and the server's state.

    from quorvex.publish import publish
    publish(chunks, embeddings, "cache/", "server-state/", embedding_model="my-model")

The public cache is what clients download and verify (manifest, checksums, exact index,
PIR scheme description and client hint). The server state directory, which must lie
outside the public cache, holds the padded records and the PIR setup seeds.
Both directories appear all at once or not at all.
"""

from __future__ import annotations

import datetime
import pathlib
import secrets
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from quorvex import _atomic_dirs, _cache_files, profiles
from quorvex._index_files import index_files
from quorvex._records import Chunk, chunk_record_json, normalise_chunks, pad_records, required_record_size
from quorvex._rs_pir import RsSetup
from quorvex._server_state import build_database, state_files
from quorvex._toy_pir import ToySetup

__all__ = ["Chunk", "PublishResult", "publish"]


@dataclass(frozen=True)
class PublishResult:
    public_dir: pathlib.Path
    server_dir: pathlib.Path
    parameter_profile: str
    record_count: int
    record_size_bytes: int
    embedding_dimensions: int
    public_cache_bytes: int


def _nonzero_u64() -> int:
    while True:
        value = secrets.randbits(64)
        if value:
            return value


def _check_text(name: str, value: Any) -> str:
    if not isinstance(value, str) or not value.strip():
        raise ValueError(f"{name} must be a non-empty string")
    return value


def _check_embeddings(embeddings: Any, count: int) -> np.ndarray:
    try:
        with np.errstate(over="ignore"):  # values beyond float32 become infinite and are refused below
            vectors = np.asarray(embeddings, dtype=np.float32)
    except (TypeError, ValueError) as error:
        raise ValueError(f"embeddings must be a 2-D array of numbers: {error}") from None
    if vectors.ndim != 2 or vectors.shape[1] == 0:
        raise ValueError(f"embeddings must be a 2-D array with at least one dimension, got shape {vectors.shape}")
    if vectors.shape[0] != count:
        raise ValueError(f"got {vectors.shape[0]} embeddings for {count} chunks")
    bad = np.argwhere(~np.isfinite(vectors))
    if bad.size:
        row, dimension = bad[0]
        raise ValueError(f"embedding {row} has a non-finite value at dimension {dimension} (as float32)")
    return vectors


def _supported_misfits(count: int, dimensions: int, record_size: int | None, needed_record_size: int) -> list[str]:
    reasons = []
    if count > profiles.SUPPORTED_MAX_RECORDS:
        reasons.append(f"it holds at most {profiles.SUPPORTED_MAX_RECORDS} chunks, got {count}")
    if dimensions != profiles.SUPPORTED_DIMENSIONS:
        reasons.append(f"it requires {profiles.SUPPORTED_DIMENSIONS}-dimensional embeddings, got {dimensions}")
    if record_size is not None and record_size != profiles.SUPPORTED_RECORD_SIZE:
        reasons.append(f"it requires {profiles.SUPPORTED_RECORD_SIZE}-byte records, got record_size_bytes {record_size}")
    if needed_record_size > profiles.SUPPORTED_RECORD_SIZE:
        reasons.append(f"its {profiles.SUPPORTED_RECORD_SIZE}-byte records hold at most "
                       f"{profiles.SUPPORTED_RECORD_SIZE - 4} bytes of chunk record JSON, the longest "
                       f"chunk needs {needed_record_size - 4}")
    return reasons


def _refuse_supported(reasons: list[str], chosen: bool) -> None:
    advice = ("" if chosen else f"; pass profile='{profiles.RS_EXPERIMENTAL}' to publish it with the "
              "experimental, unaudited profile")
    raise ValueError(f"the collection does not fit PIR profile '{profiles.RS_SUPPORTED}': "
                     + "; ".join(reasons) + advice)


def _setup(profile: profiles.Profile, count: int, record_size: int):
    if profile.is_simplepir_rs:
        return RsSetup.new(count, record_size, _nonzero_u64(), secrets.randbits(64))
    return ToySetup.new(count, record_size, _nonzero_u64())


def _check_locations(public_dir: pathlib.Path, server_dir: pathlib.Path, overwrite: bool) -> None:
    public, server = public_dir.resolve(), server_dir.resolve()
    if public == server or public in server.parents or server in public.parents:
        raise ValueError(f"the server state directory {server_dir} must lie outside the public cache "
                         f"{public_dir} (and the other way round)")
    _atomic_dirs.check_target(public_dir, overwrite)
    _atomic_dirs.check_target(server_dir, overwrite)


def publish(chunks: Iterable[Chunk | Mapping[str, Any]], embeddings: Any,
            public_dir: str | pathlib.Path, server_dir: str | pathlib.Path, *,
            embedding_model: str, profile: str | None = None, record_size_bytes: int | None = None,
            bundle_id: str | None = None, bundle_version: str = "1", created_at: str | None = None,
            overwrite: bool = False) -> PublishResult:
    """Writes a complete public cache to public_dir and the PIR server's state to server_dir.

    chunks: Chunk values or mappings with chunk_id, document_id, text and optional metadata
    (any JSON value); record id i is the i-th chunk. embeddings: one row per chunk, stored as
    float32 without normalisation. profile: None picks "simplepir-rs-v0-1000-1k" and refuses a
    collection that does not fit it; "simplepir-rs-experimental-v0" and "toy-development-only-v0"
    are experimental. record_size_bytes: fixed at 1024 for the supported profile; otherwise the
    default is the smallest size that holds the longest chunk record. Raises ValueError, naming
    what would fit, for anything the chosen profile cannot hold.
    """
    public_dir, server_dir = pathlib.Path(public_dir), pathlib.Path(server_dir)
    _check_locations(public_dir, server_dir, overwrite)
    embedding_model = _check_text("embedding_model", embedding_model)
    bundle_id = _check_text("bundle_id", bundle_id if bundle_id is not None else f"quorvex-{secrets.token_hex(8)}")
    bundle_version = _check_text("bundle_version", bundle_version)
    created_at = _check_text("created_at", created_at if created_at is not None else
                             datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"))
    chunk_list = normalise_chunks(chunks)
    if not chunk_list:
        raise ValueError("cannot publish an empty collection: at least one chunk is required")
    vectors = _check_embeddings(embeddings, len(chunk_list))
    count, dimensions = vectors.shape
    if record_size_bytes is not None and (type(record_size_bytes) is not int or record_size_bytes < 4):
        raise ValueError(f"record_size_bytes must be an integer of at least 4, got {record_size_bytes!r}")

    payloads = [chunk_record_json(i, chunk) for i, chunk in enumerate(chunk_list)]
    needed = required_record_size(payloads)
    chosen = profiles.get_profile(profile if profile is not None else profiles.RS_SUPPORTED)
    if chosen.is_supported:
        reasons = _supported_misfits(count, dimensions, record_size_bytes, needed)
        if reasons:
            _refuse_supported(reasons, profile is not None)
        record_size = profiles.SUPPORTED_RECORD_SIZE
    else:
        record_size = record_size_bytes if record_size_bytes is not None else needed

    records = pad_records(payloads, record_size)
    database = build_database(chosen, _setup(chosen, count, record_size), records)

    files = index_files(embedding_model, vectors, chunk_list)
    files["pir/scheme.json"] = _cache_files.scheme_json(chosen, count, record_size)
    files["pir/client_hint.bin"] = database.client_hint_bytes()
    files["pir/server_hint.bin"] = database.server_hint_bytes()
    files["manifest.json"] = _cache_files.manifest_json(
        profile=chosen, bundle_id=bundle_id, bundle_version=bundle_version, embedding_model=embedding_model,
        embedding_dimensions=dimensions, record_count=count, record_size_bytes=record_size, created_at=created_at)
    files["checksums.json"] = _cache_files.checksums_json(files)
    size = _cache_files.public_cache_size(files)
    if chosen.is_supported and size > profiles.SUPPORTED_PUBLIC_CACHE_LIMIT:
        _refuse_supported([f"its public cache holds at most {profiles.SUPPORTED_PUBLIC_CACHE_LIMIT} bytes, "
                           f"this one needs {size} (shorten the chunk ids or metadata)"], profile is not None)

    stages: list[pathlib.Path] = []
    try:
        stages.append(_atomic_dirs.staging_dir(public_dir, private=False))
        stages.append(_atomic_dirs.staging_dir(server_dir, private=True))
        _atomic_dirs.write_tree(stages[0], files)
        _atomic_dirs.write_tree(stages[1], state_files(chosen, database.setup, records))
        _atomic_dirs.commit([(stages[0], public_dir), (stages[1], server_dir)])
    finally:
        _atomic_dirs.discard(stages)
    return PublishResult(public_dir, server_dir, chosen.name, count, record_size, dimensions, size)
