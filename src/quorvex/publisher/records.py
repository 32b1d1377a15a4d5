"""Chunks as the publisher receives them, and their padded PIR records.

A PIR record is record_size_bytes long: the length n of the chunk's JSON as an
unsigned 32-bit little-endian number, then n bytes of compact UTF-8 JSON
{"record_id", "chunk_id", "document_id", "text", "metadata"}, then zero bytes.
Its SHA-256 (record_digest) goes into the record's line of the index, so a client checks every
byte a query decodes.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from quorvex.shared.formats import DIGEST_KEY, RECORD_DIGEST_KEY, chunk_digest, record_digest

LENGTH_PREFIX_BYTES = 4


@dataclass(frozen=True)
class Chunk:
    chunk_id: str
    document_id: str
    text: str
    metadata: Any = None


def compact_json(value: Any) -> str:
    """Compact JSON text; NaN and infinities are refused because JSON has no such numbers."""
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


def normalise_chunks(chunks: Iterable[Chunk | Mapping[str, Any]]) -> list[Chunk]:
    """Checks every chunk and returns them as Chunk values, in order."""
    out: list[Chunk] = []
    seen: dict[str, int] = {}
    for position, item in enumerate(chunks):
        if isinstance(item, Chunk):
            chunk = item
        elif isinstance(item, Mapping):
            missing = [k for k in ("chunk_id", "document_id", "text") if k not in item]
            if missing:
                raise ValueError(f"chunk {position} is missing {', '.join(missing)}")
            chunk = Chunk(item["chunk_id"], item["document_id"], item["text"], item.get("metadata"))
        else:
            raise ValueError(f"chunk {position} must be a Chunk or a mapping, got {type(item).__name__}")
        for field in ("chunk_id", "document_id", "text"):
            value = getattr(chunk, field)
            if not isinstance(value, str):
                raise ValueError(f"chunk {position} {field} must be a string, got {type(value).__name__}")
            try:
                value.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(f"chunk {position} {field} is not valid Unicode text") from None
        if not chunk.chunk_id.strip():
            raise ValueError(f"chunk {position} chunk_id cannot be empty")
        if chunk.chunk_id in seen:
            raise ValueError(f"duplicate chunk id {chunk.chunk_id!r} at chunks {seen[chunk.chunk_id]} and {position}")
        seen[chunk.chunk_id] = position
        try:
            compact_json(chunk.metadata).encode("utf-8")
        except (TypeError, ValueError) as error:
            raise ValueError(f"chunk {position} metadata is not JSON: {error}") from None
        out.append(chunk)
    return out


def chunk_record_json(record_id: int, chunk: Chunk) -> bytes:
    return compact_json({
        "record_id": record_id,
        "chunk_id": chunk.chunk_id,
        "document_id": chunk.document_id,
        "text": chunk.text,
        "metadata": chunk.metadata,
    }).encode("utf-8")


def padded_record(record_id: int, chunk: Chunk, record_size_bytes: int) -> bytes:
    """The whole PIR record of a chunk: length prefix, record JSON, zero bytes (the chunk must fit)."""
    payload = chunk_record_json(record_id, chunk)
    framed = len(payload).to_bytes(LENGTH_PREFIX_BYTES, "little") + payload
    return framed + bytes(record_size_bytes - len(framed))


def metadata_line(record_id: int, chunk: Chunk, record_size_bytes: int) -> str:
    """One line of the index's metadata.jsonl (without the line feed), with the digests of the chunk
    and of its whole padded record."""
    row: dict[str, Any] = {"record_id": record_id, "chunk_id": chunk.chunk_id, "document_id": chunk.document_id}
    if chunk.metadata is not None:
        row["metadata"] = chunk.metadata
    row[DIGEST_KEY] = chunk_digest(chunk.chunk_id, chunk.document_id, chunk.text, chunk.metadata)
    row[RECORD_DIGEST_KEY] = record_digest(padded_record(record_id, chunk, record_size_bytes))
    return compact_json(row)


def record_payload_sizes(chunks: list[Chunk]) -> list[int]:
    """The byte length of each chunk's record JSON."""
    return [len(chunk_record_json(i, chunk)) for i, chunk in enumerate(chunks)]


def check_record_sizes(sizes: list[int], record_size_bytes: int) -> None:
    """Refuses, naming the first, a record that does not fit record_size_bytes."""
    for record_id, size in enumerate(sizes):
        if LENGTH_PREFIX_BYTES + size > record_size_bytes:
            raise ValueError(
                f"chunk record {record_id} needs {LENGTH_PREFIX_BYTES + size} bytes "
                f"(4-byte length prefix and {size} bytes of JSON) but records hold "
                f"{record_size_bytes} bytes; shorten the chunk text or metadata to at most "
                f"{record_size_bytes - LENGTH_PREFIX_BYTES} bytes of record JSON")


def padded_record_blocks(chunks: list[Chunk], record_size_bytes: int, block_records: int) -> Iterator[np.ndarray]:
    """The padded records, block_records at a time, each block n x record_size_bytes uint8.

    Every record must fit (check_record_sizes).
    """
    for first in range(0, len(chunks), block_records):
        last = min(first + block_records, len(chunks))
        records = b"".join(padded_record(record_id, chunks[record_id], record_size_bytes)
                           for record_id in range(first, last))
        yield np.frombuffer(records, dtype=np.uint8).reshape(last - first, record_size_bytes)
