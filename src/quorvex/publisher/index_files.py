"""The four files of a cache's exact embedding index, written in pieces.

- "index/index.config.json": format, metric, model, dimensions and row count;
- "index/vectors.bin": "QVVEC001", u32 dimensions, u64 count, float32 rows (little-endian);
- "index/ids.bin": "QVIDS001", u64 count, one u64 record id per row;
- "index/metadata.jsonl": one {"record_id", "chunk_id", "document_id", "metadata", "chunk_sha256",
  "record_sha256"} per line (the digests: see quorvex.shared.formats).

Row i holds record id i. Vectors are stored as given (converted to float32, not
normalised): the client computes cosine similarity itself.
"""

from __future__ import annotations

import json
import pathlib
import struct
from collections.abc import Callable

import numpy as np

from quorvex.publisher.records import Chunk, metadata_line

INDEX_FORMAT = "quorvex-index-v0"
DISTANCE_METRIC = "cosine_similarity"
# Rows written at a time.
BLOCK_ROWS = 16384


def write_index(root: pathlib.Path, embedding_model: str, vectors: np.ndarray, chunks: list[Chunk],
                record_size_bytes: int, on_rows: Callable[[int], None] = lambda done: None) -> None:
    """Writes the four files under root/index; on_rows(done) follows the rows written."""
    count, dimensions = vectors.shape
    config = {
        "index_format": INDEX_FORMAT,
        "distance_metric": DISTANCE_METRIC,
        "embedding_model": embedding_model,
        "embedding_dimensions": dimensions,
        "vector_count": count,
    }
    index = root / "index"
    index.mkdir(parents=True, exist_ok=True)
    (index / "index.config.json").write_bytes(json.dumps(config, indent=2).encode() + b"\n")
    with open(index / "vectors.bin", "wb") as vector_file, open(index / "ids.bin", "wb") as id_file, \
            open(index / "metadata.jsonl", "wb") as metadata_file:
        vector_file.write(b"QVVEC001" + struct.pack("<IQ", dimensions, count))
        id_file.write(b"QVIDS001" + struct.pack("<Q", count))
        for first in range(0, count, BLOCK_ROWS):
            last = min(first + BLOCK_ROWS, count)
            vector_file.write(np.ascontiguousarray(vectors[first:last], dtype="<f4").tobytes())
            id_file.write(np.arange(first, last, dtype="<u8").tobytes())
            lines = (metadata_line(i, chunks[i], record_size_bytes) + "\n" for i in range(first, last))
            metadata_file.write("".join(lines).encode())
            on_rows(last)
