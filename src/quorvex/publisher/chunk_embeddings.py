"""The embedding of every chunk: reused from a previous publication where the chunk is unchanged,
computed by the embedder, here or on a cluster, for the rest."""

from __future__ import annotations

from collections.abc import Iterator, Sequence

import numpy as np
import numpy.typing as npt

from quorvex.embedders import Embedder
from quorvex.publisher.cluster_embedding import ClusterEmbedding
from quorvex.publisher.embedding_reuse import PreviousEmbeddings
from quorvex.publisher.publish import ProgressCallback
from quorvex.publisher.records import Chunk
from quorvex.shared.formats import chunk_digest

__all__ = ["embed_chunks"]

# Texts handed to the embedder at a time: enough for it to batch texts of similar length.
EMBED_BATCH = 256
# Reused rows copied at a time (their row indices and a block of rows held at once).
COPY_ROWS = 16384


def _local_batches(embedder: Embedder, texts: Sequence[str]) -> Iterator[tuple[int, npt.NDArray[np.float32]]]:
    for start in range(0, len(texts), EMBED_BATCH):
        yield start, embedder.embed(texts[start:start + EMBED_BATCH])


def embed_chunks(chunks: Sequence[Chunk], embedder: Embedder, previous: PreviousEmbeddings | None,
                 on_progress: ProgressCallback | None,
                 cluster: ClusterEmbedding | None = None) -> tuple[np.ndarray, int]:
    """One float32 row per chunk, and how many of them were reused from previous; the others computed by
    embedder, or by the cluster's workers when one is given."""
    vectors = np.empty((len(chunks), embedder.dimensions), dtype=np.float32)
    reused: dict[int, int] = {}  # position -> row of previous
    if previous is not None:
        if on_progress:
            on_progress("reusing embeddings", 0, len(chunks))
        for position, chunk in enumerate(chunks):
            row = previous.rows.get(chunk_digest(chunk.chunk_id, chunk.document_id, chunk.text, chunk.metadata))
            if row is not None:
                reused[position] = row
        positions, rows = list(reused), list(reused.values())
        for start in range(0, len(positions), COPY_ROWS):
            vectors[positions[start:start + COPY_ROWS]] = previous.vectors[rows[start:start + COPY_ROWS]]
        if on_progress:
            on_progress("reusing embeddings", len(reused), len(chunks))
    missing = [position for position in range(len(chunks)) if position not in reused]
    if on_progress and missing:
        on_progress("embedding chunks", 0, len(missing))
    texts = [chunks[position].text for position in missing]
    batches = _local_batches(embedder, texts) if cluster is None else cluster.embed(texts)
    done = 0
    for start, embedded in batches:  # (position in texts, rows), in the order they come back
        vectors[missing[start:start + len(embedded)]] = embedded
        done += len(embedded)
        if on_progress:
            on_progress("embedding chunks", done, len(missing))
    return vectors, len(reused)
