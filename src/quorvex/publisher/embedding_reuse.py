"""The embeddings of a previous publication, for the chunks a republish leaves unchanged.

A chunk's row is reused when its digest (chunk id, document id, text and metadata: see
quorvex.shared.formats.chunk_digest) is one of the previous publication's and the embedding
model is the same. An embedder's row depends only on the text and the model, so the result
is the same bytes as embedding the chunk again. The files read are checked against the
cache's checksums.json first: a damaged or altered cache is refused, not copied from.
"""

from __future__ import annotations

import hashlib
import json
import mmap
import os
import pathlib
import struct
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from quorvex.shared.formats import DIGEST_KEY

__all__ = ["OtherModel", "PreviousEmbeddings", "previous_embeddings"]

_VECTORS = "index/vectors.bin"
_METADATA = "index/metadata.jsonl"
_MANIFEST = "manifest.json"
_VECTOR_HEADER = struct.Struct("<8sIQ")


class OtherModel(ValueError):
    """The cache was embedded with another model (or number of dimensions): nothing in it can be reused."""


@dataclass(frozen=True)
class PreviousEmbeddings:
    cache_dir: pathlib.Path
    rows: Mapping[str, int]     # chunk digest -> row of vectors
    vectors: np.ndarray         # (chunks, dimensions) float32, mapped from the cache's vectors.bin


def _checked_bytes(cache_dir: pathlib.Path, name: str, listed: Mapping[str, Any]) -> memoryview:
    """The file's bytes (mapped, not copied), once their size and SHA-256 are the ones checksums.json gives."""
    entry = listed.get(name)
    if not isinstance(entry, dict):
        raise ValueError(f"its checksums.json does not list {name}")
    try:
        with open(cache_dir / name, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            content = memoryview(mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) if size else b"")
    except OSError as error:
        raise ValueError(f"{name} cannot be read: {error.strerror}") from None
    if len(content) != entry.get("size_bytes") or hashlib.sha256(content).hexdigest() != entry.get("sha256"):
        raise ValueError(f"{name} is not the file its checksums.json names")
    return content


def previous_embeddings(cache_dir: str | pathlib.Path, embedding_model: str, dimensions: int) -> PreviousEmbeddings:
    """The rows of the cache's index by chunk digest; ValueError saying why when they cannot be reused (no
    cache there, another model or dimension, a file that does not match its checksum)."""
    cache_dir = pathlib.Path(cache_dir)
    try:
        listed = json.loads((cache_dir / "checksums.json").read_bytes())["files"]
        if not isinstance(listed, dict):
            raise TypeError
    except FileNotFoundError:
        raise ValueError("it holds no checksums.json") from None
    except (OSError, ValueError, TypeError, KeyError):
        raise ValueError("its checksums.json is not one quorvex writes") from None
    try:
        manifest = dict(json.loads(bytes(_checked_bytes(cache_dir, _MANIFEST, listed))))
    except (TypeError, json.JSONDecodeError):
        raise ValueError(f"its {_MANIFEST} is not one quorvex writes") from None
    if (manifest.get("embedding_model"), manifest.get("embedding_dimensions")) != (embedding_model, dimensions):
        raise OtherModel(f"it was embedded with {manifest.get('embedding_model')!r} "
                         f"({manifest.get('embedding_dimensions')} dimensions), not {embedding_model!r}")
    vectors = _checked_bytes(cache_dir, _VECTORS, listed)
    magic, stored_dimensions, count = _VECTOR_HEADER.unpack(bytes(vectors[:_VECTOR_HEADER.size]).ljust(_VECTOR_HEADER.size, b"\0"))
    if magic != b"QVVEC001" or stored_dimensions != dimensions or len(vectors) != _VECTOR_HEADER.size + 4 * count * dimensions:
        raise ValueError(f"{_VECTORS} does not hold {dimensions}-dimensional rows")
    rows: dict[str, int] = {}
    try:
        for row, line in enumerate(bytes(_checked_bytes(cache_dir, _METADATA, listed)).splitlines()):
            rows.setdefault(str(json.loads(line)[DIGEST_KEY]), row)
    except (ValueError, TypeError, KeyError):
        raise ValueError(f"{_METADATA} has a line without a chunk digest") from None
    if len(rows) > count:
        raise ValueError(f"{_METADATA} names more chunks than {_VECTORS} holds")
    table = np.frombuffer(vectors, dtype="<f4", offset=_VECTOR_HEADER.size).reshape(count, dimensions)
    return PreviousEmbeddings(cache_dir, rows, table)
