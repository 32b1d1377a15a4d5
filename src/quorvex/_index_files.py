"""The four files of a cache's exact embedding index.

- "index/index.config.json": format, metric, model, dimensions and row count;
- "index/vectors.bin": "QVVEC001", u32 dimensions, u64 count, float32 rows (little-endian);
- "index/ids.bin": "QVIDS001", u64 count, one u64 record id per row;
- "index/metadata.jsonl": one {"record_id", "chunk_id", "document_id", "metadata"} per line.

Row i holds record id i. Vectors are stored as given (converted to float32, not
normalised): the client computes cosine similarity itself.
"""

from __future__ import annotations

import json
import struct

import numpy as np

from quorvex._records import Chunk, metadata_line

INDEX_FORMAT = "quorvex-index-v0"
DISTANCE_METRIC = "cosine_similarity"


def index_files(embedding_model: str, vectors: np.ndarray, chunks: list[Chunk]) -> dict[str, bytes]:
    count, dimensions = vectors.shape
    config = {
        "index_format": INDEX_FORMAT,
        "distance_metric": DISTANCE_METRIC,
        "embedding_model": embedding_model,
        "embedding_dimensions": dimensions,
        "vector_count": count,
    }
    ids = np.arange(count, dtype="<u8")
    lines = "".join(metadata_line(i, chunk) + "\n" for i, chunk in enumerate(chunks))
    return {
        "index/index.config.json": json.dumps(config, indent=2).encode() + b"\n",
        "index/vectors.bin": b"QVVEC001" + struct.pack("<IQ", dimensions, count)
        + np.ascontiguousarray(vectors, dtype="<f4").tobytes(),
        "index/ids.bin": b"QVIDS001" + struct.pack("<Q", count) + ids.tobytes(),
        "index/metadata.jsonl": lines.encode("utf-8"),
    }
