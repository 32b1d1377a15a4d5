"""Publishes documents: chunk them to fit the records, embed the chunks, write cache and server state."""

from __future__ import annotations

import pathlib
from collections.abc import Callable, Sequence

import numpy as np

from quorvex.shared import profiles
from quorvex.publisher.documents import Document, chunk_documents, precomputed_embeddings
from quorvex.embedders import Embedder
from quorvex.publisher.publish import ProgressCallback, PublishResult, publish
from quorvex.publisher.records import Chunk

__all__ = ["publish_documents"]

EMBED_BATCH = 64
_U64_MAX = (1 << 64) - 1


def _embed(embedder: Embedder, texts: Sequence[str], on_progress: ProgressCallback | None) -> np.ndarray:
    """One float32 row per text, written batch by batch into one array."""
    vectors = np.empty((len(texts), embedder.dimensions), dtype=np.float32)
    for start in range(0, len(texts), EMBED_BATCH):
        vectors[start:start + EMBED_BATCH] = embedder.embed(texts[start:start + EMBED_BATCH])
        if on_progress:
            on_progress("embedding chunks", min(start + EMBED_BATCH, len(texts)), len(texts))
    return vectors


def publish_documents(documents: Sequence[Document], public_dir: str | pathlib.Path,
                      server_dir: str | pathlib.Path, *, embedder: Embedder | None = None,
                      embedding_model: str | None = None, profile: str | None = None,
                      record_size_bytes: int = profiles.DEFAULT_RECORD_SIZE, overwrite: bool = False,
                      on_progress: ProgressCallback | None = None,
                      on_chunked: Callable[[Sequence[Chunk]], None] | None = None) -> PublishResult:
    """Chunks, embeds and publishes; returns what publish wrote.

    Documents carrying their own embeddings are published with them under embedding_model
    (required then); otherwise embedder embeds every chunk and names the model.
    on_progress(phase, done, total) is called as chunks are embedded and as each long phase of
    writing the cache and the server state advances; on_chunked(chunks) once the documents are
    chunked, before anything is embedded.
    """
    chosen = profiles.get_profile(profile if profile is not None else profiles.DEFAULT)
    if chosen.is_supported:
        if record_size_bytes != profiles.SUPPORTED_RECORD_SIZE:
            raise ValueError(f"profile {chosen.name} uses {profiles.SUPPORTED_RECORD_SIZE}-byte records, "
                             f"not {record_size_bytes}")
        max_record_id = profiles.SUPPORTED_MAX_RECORDS - 1
    else:
        max_record_id = _U64_MAX
    chunks = chunk_documents(documents, record_size_bytes, max_record_id=max_record_id)
    if chosen.is_supported and len(chunks) > profiles.SUPPORTED_MAX_RECORDS:
        # The default profile's record ids are wider, which leaves less room for text: count its chunks anew.
        default_chunks = len(chunk_documents(documents, record_size_bytes))
        raise ValueError(f"the {len(documents)} documents make {len(chunks)} chunks of at most "
                         f"{record_size_bytes} bytes, but profile {chosen.name} holds at most "
                         f"{profiles.SUPPORTED_MAX_RECORDS}; publish fewer documents, or use the default "
                         f"profile {profiles.DEFAULT}, which publishes them as {default_chunks} chunks")

    if on_chunked is not None:
        on_chunked(chunks)
    own = precomputed_embeddings(documents)
    vectors: Sequence[Sequence[float]] | np.ndarray
    if own is not None:
        if not embedding_model:
            raise ValueError("the documents carry their own embeddings: name their model with embedding_model")
        vectors, model = own, embedding_model
    else:
        if embedder is None:
            raise ValueError("the documents carry no embeddings: an embedder is required")
        if embedding_model and embedding_model != embedder.name:
            raise ValueError(f"embedding_model {embedding_model!r} names another model than the embedder "
                             f"in use ({embedder.name!r})")
        vectors, model = _embed(embedder, [c.text for c in chunks], on_progress), embedder.name
    return publish(chunks, vectors, public_dir, server_dir, embedding_model=model, profile=profile,
                   record_size_bytes=record_size_bytes, overwrite=overwrite, on_progress=on_progress)
