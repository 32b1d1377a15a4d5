"""Private retrieval for applications: search a public cache locally, fetch the hits by PIR.

    from quorvex import PrivateRetriever, HashingEmbedder, HttpTransport
    retriever = PrivateRetriever("cache/", HashingEmbedder(), HttpTransport("http://127.0.0.1:8765/query"))
    for chunk in retriever.retrieve("how do context managers work?").chunks:
        print(chunk.score, chunk.chunk_id, chunk.text)

The cache is opened and verified once, by the extension module. `search` runs only on
this machine. `retrieve` searches, prepares one PIR query per record of the retrieval
(the real hits padded to a fixed count), hands the query document to the transport,
decodes the response document into the hits' chunks and checks each against the digest
the cache holds for it (TamperedChunk if a server altered it). The transport is any callable
taking the query document bytes and returning the response document bytes; it is the
only part that talks to the server.

A retriever must be used on the thread that created it (the native client is bound to
its thread).
"""

from __future__ import annotations

import json
import pathlib
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from quorvex._native import NativeClient
from quorvex.client.cache_info import CacheInfo
from quorvex.client.chunk_digests import AnswerMismatch, ChunkDigests, TamperedChunk
from quorvex.embedders import Embedder
from quorvex.shared.formats import publication_id

__all__ = ["AnswerMismatch", "EmbedderMismatch", "Hit", "PrivateRetriever", "Retrieval", "RetrievedChunk",
           "TamperedChunk", "Timings", "Transport"]

Transport = Callable[[bytes], bytes]

# The supported profile requires exactly these; the others accept them too.
DEFAULT_TOP_K = 2
DEFAULT_RETRIEVAL_COUNT = 4


class EmbedderMismatch(ValueError):
    """The embedder in use is not the one the cache was published with."""


@dataclass(frozen=True)
class Hit:
    """One local search hit."""
    chunk_id: str
    score: float
    metadata: Any


@dataclass(frozen=True)
class RetrievedChunk:
    """One privately fetched chunk, with the score of the hit it answers."""
    chunk_id: str
    document_id: str
    text: str
    metadata: Any
    score: float


@dataclass(frozen=True)
class Timings:
    """Seconds spent in each step of one retrieval."""
    embed: float
    search_and_prepare: float
    round_trip: float
    decode: float

    @property
    def total(self) -> float:
        return self.embed + self.search_and_prepare + self.round_trip + self.decode


@dataclass(frozen=True)
class Retrieval:
    question: str
    hits: list[Hit]
    chunks: list[RetrievedChunk]
    query_count: int        # PIR queries sent: hits plus padding, the same for every retrieval
    bytes_sent: int         # size of the query document
    bytes_received: int     # size of the response document
    timings: Timings


def _metadata(metadata_json: str | None) -> Any:
    return None if metadata_json is None else json.loads(metadata_json)


class PrivateRetriever:
    def __init__(self, cache_dir: str | pathlib.Path, embedder: Embedder, transport: Transport, *,
                 top_k: int = DEFAULT_TOP_K, retrieval_count: int = DEFAULT_RETRIEVAL_COUNT):
        """Opens and verifies the cache; raises RuntimeError with the module's message if it is unsound,
        EmbedderMismatch if the cache was published with another embedder."""
        self._client = NativeClient.open_public_cache(str(cache_dir))
        self.cache = CacheInfo.read(cache_dir)
        self.digests = ChunkDigests.read(cache_dir)
        if embedder.name != self.cache.embedding_model or embedder.dimensions != self.cache.embedding_dimensions:
            raise EmbedderMismatch(
                f"the cache {cache_dir} was published with the embedding model {self.cache.embedding_model!r} "
                f"({self.cache.embedding_dimensions} dimensions), but the embedder in use is {embedder.name!r} "
                f"({embedder.dimensions} dimensions); search it with the same embedder")
        self.embedder = embedder
        self.publication = publication_id(cache_dir)
        # A transport that can name the publication (HttpTransport) lets the server refuse a query
        # made for a cache it does not serve, before it computes anything.
        bind = getattr(transport, "for_publication", None)
        self.transport = bind(self.publication) if callable(bind) else transport
        self.top_k = top_k
        self.retrieval_count = retrieval_count

    def _embed(self, text: str) -> list[float]:
        if not text.strip():
            raise ValueError("the question is empty: ask something")
        return [float(x) for x in self.embedder.embed_one(text)]

    def search(self, text: str, top_k: int | None = None) -> list[Hit]:
        """The nearest chunks by cosine similarity, best first; nothing leaves this machine."""
        found = self._client.search(self._embed(text), self.top_k if top_k is None else top_k)
        return [Hit(r.chunk_id, r.score, _metadata(r.metadata_json)) for r in found]

    def retrieve(self, text: str) -> Retrieval:
        """Searches, fetches the hits' texts privately through the transport and decodes them."""
        started = time.perf_counter()
        vector = self._embed(text)
        embedded = time.perf_counter()
        prepared = self._client.prepare_retrieval_query(vector, self.top_k, self.retrieval_count)
        query = prepared.query_json
        found = prepared.search_results()
        prepared_at = time.perf_counter()
        response = self.transport(query)
        if not isinstance(response, bytes):
            response = bytes(response)
        answered = time.perf_counter()
        try:
            decoded = self._client.decode_retrieval_response(prepared, response)
        except RuntimeError as error:
            # A server that serves another publication's state answers with noise.
            raise AnswerMismatch(f"the server's answer does not decode against the cache {self.cache.path} "
                                 f"(does the server serve the state published with it?): {error}") from error
        finished = time.perf_counter()

        chunks = []
        for hit, chunk in zip(found, decoded, strict=True):
            # The module pairs records with hits by position only; a publication whose index
            # and records disagree would otherwise hand out another chunk under this hit.
            if chunk.chunk_id != hit.chunk_id:
                raise AnswerMismatch(f"the record fetched for hit {hit.chunk_id!r} holds chunk {chunk.chunk_id!r}: "
                                     "the cache's index and the server's records do not belong together")
            self.digests.check(chunk)
            chunks.append(RetrievedChunk(chunk.chunk_id, chunk.document_id, chunk.text,
                                         _metadata(chunk.metadata_json), hit.score))
        return Retrieval(
            question=text,
            hits=[Hit(r.chunk_id, r.score, _metadata(r.metadata_json)) for r in found],
            chunks=chunks,
            query_count=prepared.retrieval_count,
            bytes_sent=len(query),
            bytes_received=len(response),
            timings=Timings(embedded - started, prepared_at - embedded, answered - prepared_at, finished - answered),
        )
