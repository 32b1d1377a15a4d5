"""Private retrieval for applications: search a public cache locally, fetch the hits by PIR.

    from quorvex import PrivateRetriever, HashingEmbedder, HttpTransport
    retriever = PrivateRetriever("cache/", HashingEmbedder(), HttpTransport("http://127.0.0.1:8765/query"))
    for chunk in retriever.retrieve("how do context managers work?").chunks:
        print(chunk.score, chunk.chunk_id, chunk.text)

The cache is opened and verified once, by the extension module. `search` runs only on this
machine: exact cosine similarity, fused with a BM25 ranking of the question's words where the
cache carries a lexical index (quorvex's own profile does). `retrieve` searches, prepares one
PIR query per record of the retrieval (the real hits padded to a fixed count), hands the query
document to the transport, and decodes the response document natively, checking every record
each answer covers (the whole column of the store a query asked for, padding queries included)
against the digest the verified cache holds for it. The transport is any callable taking the
query document bytes and returning the response document bytes; it is the only part that talks
to the server.

A server learns at most one bit from how retrievals fail, once per machine and publication: an
altered answer, or an altered record in the server's own state, fails the same way whichever
records were fetched (TamperedChunk), and that first failure is recorded on disk
(quorvex.client.distrust), so that every later retrieval of the publication at that server, in
any process of this user, is refused before anything is sent (ServerDistrusted). The server's
address comes from the transport's `server_address` (HttpTransport has one); `quorvex distrust`
lists and clears the record.

Pin the publication you were given with `publication=` (the 64 hexadecimal digits `quorvex
verify` prints). A cache without record digests, or of any other profile than the balanced one
(the others are far too weak to hide a query), is refused unless the caller opts in with
`allow_insecure=True`, and then used with an InsecureCacheWarning saying why.

A retriever must be used on the thread that created it (the native client is bound to
its thread).
"""

from __future__ import annotations

import json
import pathlib
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from quorvex._native import DecodedChunk, NativeClient, PreparedRetrieval
from quorvex.client.cache_info import CacheInfo
from quorvex.client.cache_open import open_cache
from quorvex.client.chunk_digests import AnswerMismatch, ChunkDigests, TamperedChunk
from quorvex.client.distrust import DistrustRecord, ServerDistrusted
from quorvex.embedders import Embedder, embedder_for_model, embedder_kind
from quorvex.shared import profiles

__all__ = ["AnswerMismatch", "EmbedderMismatch", "Hit", "InsecureCache", "InsecureCacheWarning", "PrivateRetriever",
           "Retrieval", "RetrievedChunk", "ServerDistrusted", "TamperedChunk", "Timings", "Transport",
           "UnexpectedPublication"]

Transport = Callable[[bytes], bytes]

# The supported profile requires exactly these; the others accept them too.
DEFAULT_TOP_K = profiles.DEFAULT_TOP_K
DEFAULT_RETRIEVAL_COUNT = profiles.FIXED_RETRIEVAL_COUNT


class EmbedderMismatch(ValueError):
    """The embedder in use is not the one the cache was published with."""


class UnexpectedPublication(ValueError):
    """The cache is not the publication the caller pinned."""


class InsecureCache(ValueError):
    """The cache cannot be retrieved from safely; a caller may opt in with allow_insecure=True."""


# The text of the extension module's refusal of a record that differs from its digest.
_INTEGRITY_FAILURE = "fails the integrity check of the records it fetched"


class InsecureCacheWarning(UserWarning):
    """A cache that cannot be retrieved from safely is used because the caller opted in."""


def insecurity(client: NativeClient, cache: CacheInfo) -> list[str]:
    """Why retrieving from the cache would not be safe, if it would not."""
    reasons = []
    if not client.checks_whole_records:
        reasons.append("it gives no digests of its whole records (it was published by an earlier quorvex), so a "
                       "server could alter fetched texts unnoticed, or learn from which retrievals fail which "
                       "records they fetched")
    profile = profiles.get_profile(cache.parameter_profile)
    if not profile.is_balanced:
        reasons.append(f"its PIR profile {profile.name} does not protect queries: {profile.strength}")
    return reasons


def check_publication_id(publication: str) -> str:
    """The identifier if it is one (64 lower-case hexadecimal digits), else ValueError."""
    if len(publication) != 64 or publication.strip("0123456789abcdef"):
        raise ValueError(f"a publication is 64 lower-case hexadecimal digits, got {publication!r}")
    return publication


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
    def __init__(self, cache_dir: str | pathlib.Path, embedder: Embedder | None = None,
                 transport: Transport | None = None, *,
                 top_k: int = DEFAULT_TOP_K, retrieval_count: int = DEFAULT_RETRIEVAL_COUNT,
                 publication: str | None = None, allow_insecure: bool = False,
                 distrust: DistrustRecord | None = None):
        """Opens and verifies the cache; raises RuntimeError with the module's message if it is unsound,
        UnexpectedPublication if it is not the pinned publication, InsecureCache if it cannot be retrieved
        from safely (unless allow_insecure), EmbedderMismatch if it was published with another embedder.
        embedder: None takes quorvex's embedder of the model the cache names (an error says how to install
        it where it is missing). top_k: from 1 to retrieval_count. distrust: where failed retrievals are
        remembered (by default the user's state directory)."""
        if publication is not None:
            check_publication_id(publication)
        if transport is None:
            raise TypeError("PrivateRetriever needs a transport: HttpTransport(url) of the server, or any callable "
                            "from query bytes to response bytes")
        if not 1 <= top_k <= retrieval_count:
            raise ValueError(f"top_k must be from 1 to the retrieval count {retrieval_count}, got {top_k}")
        self._client = open_cache(cache_dir)
        self.publication = self._client.publication  # from the bytes the module verified
        if publication is not None and publication != self.publication:
            raise UnexpectedPublication(f"the cache {cache_dir} is publication {self.publication}, not the pinned "
                                        f"{publication}")
        self.cache = CacheInfo.from_manifest(cache_dir, self._client.manifest_json)
        self.insecurity = insecurity(self._client, self.cache)
        if self.insecurity:
            unsafe = f"the cache {cache_dir} cannot be retrieved from safely: " + "; ".join(self.insecurity)
            if not allow_insecure:
                raise InsecureCache(unsafe + ". Opt in with allow_insecure=True (--allow-insecure) to use it anyway")
            warnings.warn(unsafe, InsecureCacheWarning, stacklevel=2)
        # Whole records are checked natively; a cache without record digests falls back to chunk digests.
        self.digests = None if self._client.checks_whole_records else ChunkDigests.read(cache_dir)
        if embedder is None:
            embedder = embedder_for_model(self.cache.embedding_model)
        if embedder.name != self.cache.embedding_model or embedder.dimensions != self.cache.embedding_dimensions:
            kind = embedder_kind(self.cache.embedding_model)
            raise EmbedderMismatch(
                f"the cache {cache_dir} was published with the embedding model {self.cache.embedding_model!r} "
                f"({self.cache.embedding_dimensions} dimensions), but the embedder in use is {embedder.name!r} "
                f"({embedder.dimensions} dimensions); search it with the same embedder"
                + (f": --embedder {kind}" if kind else ""))
        self.embedder = embedder
        # A transport that can name the publication (HttpTransport) lets the server refuse a query
        # made for a cache it does not serve, before it computes anything.
        bind = getattr(transport, "for_publication", None)
        self.transport = bind(self.publication) if callable(bind) else transport
        # The address a failure is remembered under; None distrusts the publication at every server.
        self.server: str | None = getattr(transport, "server_address", None)
        self.distrust = distrust if distrust is not None else DistrustRecord()
        self.top_k = top_k
        self.retrieval_count = retrieval_count

    def check_trusted(self) -> None:
        """Raises ServerDistrusted if an earlier answer for this publication at this server failed its
        check, on this machine (nothing is sent); returns quietly otherwise."""
        self.distrust.check(self.publication, self.server)

    def _embed(self, text: str) -> list[float]:
        if not text.strip():
            raise ValueError("the question is empty: ask something")
        return [float(x) for x in self.embedder.embed_one(text)]

    def search(self, text: str, top_k: int | None = None) -> list[Hit]:
        """The best chunks, best first, with their cosine similarity: the cosine search fused with the
        lexical index's ranking of the text where the cache has one; nothing leaves this machine."""
        found = self._client.hybrid_search(self._embed(text), text, self.top_k if top_k is None else top_k)
        return [Hit(r.chunk_id, r.score, _metadata(r.metadata_json)) for r in found]

    def retrieve(self, text: str) -> Retrieval:
        """Searches, fetches the hits' texts privately through the transport and decodes them."""
        self.check_trusted()
        started = time.perf_counter()
        vector = self._embed(text)
        embedded = time.perf_counter()
        prepared = self._client.prepare_hybrid_retrieval_query(vector, text, self.top_k, self.retrieval_count)
        query = prepared.query_json
        found = prepared.search_results()
        prepared_at = time.perf_counter()
        response = self.transport(query)
        if not isinstance(response, bytes):
            response = bytes(response)
        answered = time.perf_counter()
        decoded = self._decode(prepared, response, tuple(hit.chunk_id for hit in found))
        finished = time.perf_counter()
        chunks = [RetrievedChunk(chunk.chunk_id, chunk.document_id, chunk.text, _metadata(chunk.metadata_json),
                                 hit.score) for hit, chunk in zip(found, decoded, strict=True)]
        return Retrieval(
            question=text,
            hits=[Hit(r.chunk_id, r.score, _metadata(r.metadata_json)) for r in found],
            chunks=chunks,
            query_count=prepared.retrieval_count,
            bytes_sent=len(query),
            bytes_received=len(response),
            timings=Timings(embedded - started, prepared_at - embedded, answered - prepared_at, finished - answered),
        )

    def _decode(self, prepared: PreparedRetrieval, response: bytes, hit_ids: tuple[str, ...]) -> list[DecodedChunk]:
        """The hits' chunks; any failure distrusts the server for this publication on this machine, from
        now on. Messages name no fetched chunk."""
        try:
            if self.digests is None:
                return self._client.decode_checked_retrieval(prepared, response)
            return self._decode_unchecked(prepared, response, self.digests, hit_ids)
        except RuntimeError as error:
            # Raised where it is made: a local holding it would keep this frame, and the native client,
            # alive in a cycle that could be collected on another thread.
            raise self._remembered(error if isinstance(error, AnswerMismatch) else self._mismatch(error, hit_ids)
                                   ) from None

    def _mismatch(self, error: RuntimeError, hit_ids: tuple[str, ...]) -> AnswerMismatch:
        if _INTEGRITY_FAILURE in str(error):
            return TamperedChunk(f"a fetched record differs from what the cache {self.cache.path} says it holds: the "
                                 "server altered its answer or its state, or answers from another publication's "
                                 "state", hit_ids)
        # The checked decode's other errors concern the response document, not what it decrypts to.
        detail = f": {error}" if self.digests is None else ""
        return AnswerMismatch(f"the server's answer does not decode against the cache {self.cache.path} (does the "
                              f"server serve the state published with it?){detail}", hit_ids)

    def _remembered(self, failure: AnswerMismatch) -> AnswerMismatch:
        """The failure, once recorded on disk; where the disk refuses, this process remembers it and says so."""
        try:
            self.distrust.record(self.publication, self.server, str(failure))
        except OSError as error:
            warnings.warn(f"could not record on disk that {self.server or 'the server'} failed its check "
                          f"({error}); this process distrusts it until it ends", stacklevel=4)
        return failure

    def _decode_unchecked(self, prepared: PreparedRetrieval, response: bytes, digests: ChunkDigests,
                          hit_ids: tuple[str, ...]) -> list[DecodedChunk]:
        decoded = self._client.decode_retrieval_response(prepared, response)
        for hit_id, chunk in zip(hit_ids, decoded, strict=True):
            # The module pairs records with hits by position only.
            if chunk.chunk_id != hit_id:
                raise AnswerMismatch("a fetched record holds another chunk than its hit: the cache's index and the "
                                     "server's records do not belong together", hit_ids)
            digests.check(chunk)
        return decoded
