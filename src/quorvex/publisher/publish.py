"""Publisher: turns chunks and their embeddings into a public cache and the server's state.

    from quorvex.publisher.publish import publish
    publish(chunks, embeddings, "cache/", "server-state/", embedding_model="my-model")

The public cache is what clients download and verify (manifest, checksums, exact index,
PIR scheme description and client hint). The server state directory, which must lie
outside the public cache, holds the PIR lane data and setup seeds. Both directories appear
together or not at all (see _atomic_dirs).

Everything is written in pieces: the embeddings, the lane data and the client hint never
exist twice in memory, so a publish needs little more memory than the store's own bytes.
"""

from __future__ import annotations

import datetime
import hashlib
import os
import pathlib
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from quorvex import _engine
from quorvex.publisher import cache_files
from quorvex.shared import profiles
from quorvex.publisher.atomic_dirs import Publication, check_target
from quorvex._engine import PirEngine
from quorvex.publisher.index_files import write_index
from quorvex.publisher.lane_blocks import block_records, lane_blocks
from quorvex.publisher.pir_setup import new_setup, server_hint_bytes, setup_json, write_client_hint
from quorvex.publisher.records import Chunk, check_record_sizes, normalise_chunks, padded_record_blocks, record_payload_sizes
from quorvex.shared.checksum_list import file_sha256
from quorvex.shared.formats import LANES_FILE, LEXICAL_INDEX_FILE, STATE_FILE, public_cache_size, state_json
from quorvex.shared.formats import write_lanes
from quorvex.shared.formats import publication_id

__all__ = ["Chunk", "ProgressCallback", "PublishResult", "publish"]

# (phase, done, total): called as each long phase of a publish advances.
ProgressCallback = Callable[[str, int, int], None]

# Records padded and written at a time; rows of embeddings checked at a time.
BLOCK_RECORDS = 16384


@dataclass(frozen=True)
class PublishResult:
    public_dir: pathlib.Path
    server_dir: pathlib.Path
    parameter_profile: str
    record_count: int
    record_size_bytes: int
    embedding_dimensions: int
    public_cache_bytes: int
    publication: str  # the identifier clients pin (quorvex.shared.formats.publication_id)
    reused_embeddings: int = 0  # chunks whose embedding publish_documents took from a previous publication


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
    for first in range(0, count, BLOCK_RECORDS):
        bad = np.argwhere(~np.isfinite(vectors[first:first + BLOCK_RECORDS]))
        if bad.size:
            row, dimension = bad[0]
            raise ValueError(f"embedding {first + row} has a non-finite value at dimension {dimension} (as float32)")
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


def _refuse_supported(reasons: list[str]) -> None:
    raise ValueError(f"the collection does not fit PIR profile '{profiles.RS_SUPPORTED}': " + "; ".join(reasons)
                     + f"; the default profile '{profiles.DEFAULT}' holds it")


def _check_locations(public_dir: pathlib.Path, server_dir: pathlib.Path, overwrite: bool) -> None:
    public, server = public_dir.resolve(), server_dir.resolve()
    if public == server or public in server.parents or server in public.parents:
        raise ValueError(f"the server state directory {server_dir} must lie outside the public cache "
                         f"{public_dir} (and the other way round)")
    check_target(public_dir, overwrite)
    check_target(server_dir, overwrite)


def available_memory() -> int | None:
    """Bytes of memory the system could give a process now, or None where that is unknown."""
    try:
        with open("/proc/meminfo", encoding="ascii") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def _free_disk(path: pathlib.Path) -> int:
    while not path.exists():
        path = path.parent
    status = os.statvfs(path)
    return status.f_bavail * status.f_frsize


def _hint_bytes(profile: profiles.Profile, shape: dict[str, int]) -> int:
    """Bytes of the client hint's values: a row of the profile's matrix width per answer element
    (u32 for the balanced profile, u64 otherwise)."""
    return (4 if profile.is_balanced else 8) * shape["answer_length"] * profile.matrix_width


def _check_resources(profile: profiles.Profile, shape: dict[str, int], count: int, dimensions: int,
                     public_dir: pathlib.Path, server_dir: pathlib.Path, threads: int) -> int:
    """Refuses up front a store that this machine cannot hold, naming the bytes it needs; returns the
    threads the client hint may use (each holds a lane_rows x matrix width table of u64 sums)."""
    lane_bytes = 2 * shape["lane_rows"] * shape["columns"]
    per_thread = 8 * shape["lane_rows"] * profile.matrix_width
    memory = available_memory()
    if memory is not None and lane_bytes + 2 * per_thread > memory:
        raise ValueError(f"the store's lane data needs {lane_bytes:,} bytes of memory ({shape['lane_rows']:,} rows of "
                         f"{shape['columns']:,} two-byte lanes), and computing its client hint {2 * per_thread:,} "
                         f"more, but this machine has {memory:,} bytes available")
    needs = {public_dir: 4 * count * dimensions + 8 * count + _hint_bytes(profile, shape), server_dir: lane_bytes}
    for directory, needed in needs.items():
        if needed > _free_disk(directory):
            raise ValueError(f"writing {directory} needs about {needed:,} bytes of disk space, but only "
                             f"{_free_disk(directory):,} are free there")
    return threads if memory is None else max(1, min(threads, (memory - lane_bytes) // per_thread - 1))


def creation_time() -> str:
    """The time a publication states: SOURCE_DATE_EPOCH (seconds since 1970, UTC) where it is set, so
    that publishing the same documents again gives the same bytes, otherwise now."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch is None:
        return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    try:
        if not (epoch.isascii() and epoch.isdigit()):
            raise ValueError
        moment = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
    except (ValueError, OverflowError, OSError):
        raise ValueError(f"SOURCE_DATE_EPOCH must be a whole number of seconds since 1970, got {epoch!r}") from None
    return moment.isoformat(timespec="seconds")


def _content_digest(public: pathlib.Path, profile: profiles.Profile, record_size: int, lanes_sha256: str) -> bytes:
    """A digest of what a publication holds: its profile and record size, the index (embeddings, model,
    chunk metadata and the digest of every record) and the lane data."""
    digest = hashlib.sha256(f"{profile.name}\0{record_size}\0{lanes_sha256}\0".encode())
    for name in ("index.config.json", "vectors.bin", "ids.bin", "metadata.jsonl"):
        digest.update(bytes.fromhex(file_sha256(public / "index" / name)))
    return digest.digest()


def _report(on_progress: ProgressCallback | None, phase: str, done: int, total: int) -> None:
    if on_progress is not None:
        on_progress(phase, done, total)


def publish(chunks: Iterable[Chunk | Mapping[str, Any]], embeddings: Any,
            public_dir: str | pathlib.Path, server_dir: str | pathlib.Path, *,
            embedding_model: str, profile: str | None = None, record_size_bytes: int | None = None,
            bundle_id: str | None = None, bundle_version: str = "1", created_at: str | None = None,
            overwrite: bool = False, threads: int | None = None,
            on_progress: ProgressCallback | None = None) -> PublishResult:
    """Writes a complete public cache to public_dir and the PIR server's state to server_dir.

    chunks: Chunk values or mappings with chunk_id, document_id, text and optional metadata
    (any JSON value); record id i is the i-th chunk. embeddings: one row per chunk, stored as
    float32 without normalisation. profile: None picks "simplepir-balanced-128-v1"; the three
    others ("simplepir-rs-v0-1000-1k", "simplepir-rs-experimental-v0", "toy-development-only-v0")
    are far too weak to hide queries. record_size_bytes: fixed at 1024 for the supported profile; otherwise the
    default is the smallest size that holds the longest chunk record. bundle_id: by default
    derived from the content; created_at: by default SOURCE_DATE_EPOCH where set, else now; so
    the same chunks, embeddings and options with the same SOURCE_DATE_EPOCH publish the same
    bytes, and the same publication id. threads: cores for the client hint (default: all).
    Raises ValueError, naming what would fit, for anything the chosen profile or this machine
    cannot hold.
    """
    public_dir, server_dir = pathlib.Path(public_dir), pathlib.Path(server_dir)
    _check_locations(public_dir, server_dir, overwrite)
    embedding_model = _check_text("embedding_model", embedding_model)
    if bundle_id is not None:
        _check_text("bundle_id", bundle_id)
    bundle_version = _check_text("bundle_version", bundle_version)
    created_at = _check_text("created_at", created_at if created_at is not None else creation_time())
    chunk_list = normalise_chunks(chunks)
    if not chunk_list:
        raise ValueError("cannot publish an empty collection: at least one chunk is required")
    vectors = _check_embeddings(embeddings, len(chunk_list))
    count, dimensions = vectors.shape
    if record_size_bytes is not None and (type(record_size_bytes) is not int or record_size_bytes < 4):
        raise ValueError(f"record_size_bytes must be an integer of at least 4, got {record_size_bytes!r}")

    payload_sizes = record_payload_sizes(chunk_list)
    needed = profiles.MIN_RECORD_SIZE + max(payload_sizes)
    chosen = profiles.get_profile(profile if profile is not None else profiles.DEFAULT)
    if chosen.is_supported:
        reasons = _supported_misfits(count, dimensions, record_size_bytes, needed)
        if reasons:
            _refuse_supported(reasons)
        record_size = profiles.SUPPORTED_RECORD_SIZE
    else:
        record_size = record_size_bytes if record_size_bytes is not None else needed
    check_record_sizes(payload_sizes, record_size)
    shape = _engine.check_store(chosen.name, count, record_size)
    threads = _check_resources(chosen, shape, count, dimensions, public_dir, server_dir,
                               threads or os.cpu_count() or 1)

    with Publication(public_dir, server_dir, overwrite) as staged:
        public, server = staged.public, staged.server
        _report(on_progress, "writing the index", 0, count)
        write_index(public, embedding_model, vectors, chunk_list, record_size,
                    lambda done: _report(on_progress, "writing the index", done, count))
        if chosen.is_balanced:  # the caches of quorvex's own profile carry a lexical index too
            _report(on_progress, "writing the lexical index", 0, 1)
            _engine.write_lexical_index([chunk.text for chunk in chunk_list], str(public / LEXICAL_INDEX_FILE))
            _report(on_progress, "writing the lexical index", 1, 1)
        _report(on_progress, "writing the lane data", 0, count)
        records = _counted(padded_record_blocks(chunk_list, record_size, block_records(chosen, shape, BLOCK_RECORDS)),
                           lambda done: _report(on_progress, "writing the lane data", done, count))
        write_lanes(server / LANES_FILE, shape["lane_rows"], shape["columns"], lane_blocks(chosen, shape, records))
        _report(on_progress, "computing the client hint", 0, 1)
        engine = PirEngine.open(str(server / LANES_FILE), chosen.name, count, record_size)
        # Seeds and the default bundle id follow from the content: the same documents publish the same bytes.
        content = _content_digest(public, chosen, record_size, engine.lanes_sha256)
        setup = new_setup(chosen, count, record_size, content, shape)
        bundle_id = bundle_id if bundle_id is not None else f"quorvex-{content.hex()[:16]}"
        (public / "pir").mkdir()
        with open(public / "pir/client_hint.bin", "wb") as hint:
            write_client_hint(hint, setup, engine, threads)
        _report(on_progress, "computing the client hint", 1, 1)
        (public / "pir/server_hint.bin").write_bytes(server_hint_bytes(setup))
        (public / "pir/scheme.json").write_bytes(cache_files.scheme_json(chosen, count, record_size))
        (public / "manifest.json").write_bytes(cache_files.manifest_json(
            profile=chosen, bundle_id=bundle_id, bundle_version=bundle_version, embedding_model=embedding_model,
            embedding_dimensions=dimensions, record_count=count, record_size_bytes=record_size,
            created_at=created_at))
        listed = [str(p.relative_to(public)) for p in sorted(public.rglob("*")) if p.is_file()]
        _report(on_progress, "computing checksums", 0, 1)
        (public / "checksums.json").write_bytes(cache_files.checksums_json(public, listed))
        _report(on_progress, "computing checksums", 1, 1)
        size = public_cache_size(public)
        if chosen.is_supported and size > profiles.SUPPORTED_PUBLIC_CACHE_LIMIT:
            _refuse_supported([f"its public cache holds at most {profiles.SUPPORTED_PUBLIC_CACHE_LIMIT} bytes, "
                               f"this one needs {size} (shorten the chunk ids or metadata)"])
        publication = publication_id(public)
        (server / STATE_FILE).write_bytes(state_json(chosen, setup_json(setup), engine.lanes_sha256, publication))
        del engine
        _sync_tree(public)
        _sync_tree(server)
        staged.commit()
    return PublishResult(public_dir, server_dir, chosen.name, count, record_size, dimensions, size, publication)


def _counted(blocks: Iterable[np.ndarray], on_records: Callable[[int], None]) -> Iterable[np.ndarray]:
    done = 0
    for block in blocks:
        yield block
        done += len(block)
        on_records(done)


def _sync_tree(root: pathlib.Path) -> None:
    """Flushes every file under root to disk before the directory is put in place."""
    for path in root.rglob("*"):
        if path.is_file():
            with open(path, "rb") as written:
                os.fsync(written.fileno())
