"""Publishes documents: chunk them to fit the records, embed the chunks, write cache and server state."""

from __future__ import annotations

import contextlib
import dataclasses
import pathlib
import warnings
from collections.abc import Callable, Sequence

import numpy as np

from quorvex.shared import profiles
from quorvex.publisher.documents import Document, chunk_documents, precomputed_embeddings
from quorvex.embedders import Embedder
from quorvex.publisher.chunk_embeddings import embed_chunks
from quorvex.publisher.cluster_embedding import ClusterEmbedding
from quorvex.publisher.embedding_reuse import OtherModel, PreviousEmbeddings, previous_embeddings
from quorvex.publisher.publish import ProgressCallback, PublishResult, publish
from quorvex.publisher.records import Chunk

__all__ = ["publish_documents"]

_U64_MAX = (1 << 64) - 1


def publish_documents(documents: Sequence[Document], public_dir: str | pathlib.Path,
                      server_dir: str | pathlib.Path, *, embedder: Embedder | None = None,
                      embedding_model: str | None = None, profile: str | None = None,
                      record_size_bytes: int = profiles.DEFAULT_RECORD_SIZE, overwrite: bool = False,
                      reuse_from: str | pathlib.Path | None = None, cluster: str | None = None,
                      on_progress: ProgressCallback | None = None,
                      on_chunked: Callable[[Sequence[Chunk]], None] | None = None) -> PublishResult:
    """Chunks, embeds and publishes; returns what publish wrote.

    Documents carrying their own embeddings are published with them under embedding_model
    (required then); otherwise embedder embeds every chunk and names the model, but for the chunks
    a previous publication of the same model holds unchanged: their embeddings are taken from the
    cache reuse_from names (ValueError if it cannot be used), or by default from the cache being
    overwritten (a warning says why, if it cannot be). The result counts the chunks reused.
    cluster, the address of a Dask distributed scheduler ("tcp://host:port"), has its workers embed
    the chunks with the kind of quorvex embedder that embedder is, batches at a time.
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
    reused = 0
    if own is not None:
        if not embedding_model:
            raise ValueError("the documents carry their own embeddings: name their model with embedding_model")
        if cluster is not None:
            raise ValueError("the documents carry their own embeddings: there is nothing to embed on a cluster")
        vectors, model = own, embedding_model
    else:
        if embedder is None:
            raise ValueError("the documents carry no embeddings: an embedder is required")
        if embedding_model and embedding_model != embedder.name:
            raise ValueError(f"embedding_model {embedding_model!r} names another model than the embedder "
                             f"in use ({embedder.name!r})")
        previous = _previous(embedder, reuse_from, public_dir, overwrite)
        with _cluster(cluster, embedder) as remote:
            (vectors, reused), model = embed_chunks(chunks, embedder, previous, on_progress, remote), embedder.name
    result = publish(chunks, vectors, public_dir, server_dir, embedding_model=model, profile=profile,
                     record_size_bytes=record_size_bytes, overwrite=overwrite, on_progress=on_progress)
    return dataclasses.replace(result, reused_embeddings=reused)


def _cluster(address: str | None, embedder: Embedder) -> contextlib.AbstractContextManager[ClusterEmbedding | None]:
    return contextlib.nullcontext() if address is None else ClusterEmbedding(address, embedder)


def _previous(embedder: Embedder, reuse_from: str | pathlib.Path | None, public_dir: str | pathlib.Path,
              overwrite: bool) -> PreviousEmbeddings | None:
    """The previous publication whose embeddings may be reused: the one named, else the one overwritten."""
    if reuse_from is not None:
        try:
            return previous_embeddings(reuse_from, embedder.name, embedder.dimensions)
        except ValueError as unusable:
            raise ValueError(f"cannot reuse the embeddings of {reuse_from}: {unusable}") from None
    if not (overwrite and pathlib.Path(public_dir, "checksums.json").exists()):
        return None
    try:
        return previous_embeddings(public_dir, embedder.name, embedder.dimensions)
    except OtherModel:
        return None
    except ValueError as unusable:
        warnings.warn(f"embedding every chunk anew: the embeddings in {public_dir} cannot be reused, as {unusable}",
                      stacklevel=3)
        return None
