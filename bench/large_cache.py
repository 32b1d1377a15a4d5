"""Large public caches for the search benchmarks: one short chunk per row of the vectors,
published with the experimental profile (the server state goes beside the cache)."""

from __future__ import annotations

import pathlib

import numpy as np

from quorvex.shared import profiles
from quorvex.publisher.publish import publish


def write_large_cache(public_dir: pathlib.Path, vectors: np.ndarray, embedding_model: str) -> None:
    chunks = [{"chunk_id": f"c{i}", "document_id": f"d{i}", "text": f"row {i}"} for i in range(len(vectors))]
    publish(chunks, vectors, public_dir, public_dir.with_name(public_dir.name + "-state"),
            embedding_model=embedding_model, profile=profiles.RS_EXPERIMENTAL, bundle_id=f"bench-{len(vectors)}",
            created_at="2026-01-01T00:00:00+00:00", overwrite=True)
