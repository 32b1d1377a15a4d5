"""Types of the extension module quorvex._native."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

__all__ = ["NativeClient", "PreparedRetrieval", "SearchResult", "DecodedChunk", "__version__"]

__version__: str

@final
class SearchResult:
    """One hit of a local search."""

    @property
    def chunk_id(self) -> str: ...
    @property
    def score(self) -> float: ...
    @property
    def metadata_json(self) -> str | None: ...

@final
class DecodedChunk:
    """One chunk fetched privately and decoded."""

    @property
    def chunk_id(self) -> str: ...
    @property
    def document_id(self) -> str: ...
    @property
    def text(self) -> str: ...
    @property
    def metadata_json(self) -> str | None: ...

@final
class PreparedRetrieval:
    """A prepared private retrieval: its query document and its hits. Usable
    only on the thread that prepared it."""

    @property
    def query_json(self) -> bytes: ...
    @property
    def retrieval_count(self) -> int: ...
    @property
    def visible_result_count(self) -> int: ...
    def search_results(self) -> list[SearchResult]: ...

@final
class NativeClient:
    """An opened, verified public cache. Usable only on the thread that opened it.

    Opening, searching, preparing and decoding release the interpreter lock while they
    work, so the application's other threads run meanwhile."""

    @staticmethod
    def open_public_cache(cache_dir: str) -> NativeClient: ...
    def search(self, query_embedding: Sequence[SupportsFloat], top_k: SupportsIndex) -> list[SearchResult]: ...
    def prepare_retrieval_query(
        self, query_embedding: Sequence[SupportsFloat], top_k: SupportsIndex, retrieval_count: SupportsIndex
    ) -> PreparedRetrieval: ...
    def hybrid_search(self, query_embedding: Sequence[SupportsFloat], question: str,
                      top_k: SupportsIndex) -> list[SearchResult]:
        """The cosine search's best hit, then the best of the rest by reciprocal rank fusion of the cosine
        ranking and the lexical index's ranking of the question, each with its cosine score; the cosine
        search alone for a cache without a lexical index. Nothing leaves this machine."""
    def lexical_search(self, question: str, top_k: SupportsIndex) -> list[SearchResult]:
        """The lexical index's ranking alone, each hit with its BM25 score (none without a lexical index)."""
    def prepare_hybrid_retrieval_query(
        self, query_embedding: Sequence[SupportsFloat], question: str, top_k: SupportsIndex,
        retrieval_count: SupportsIndex
    ) -> PreparedRetrieval:
        """prepare_retrieval_query for the hits of hybrid_search."""
    def decode_retrieval_response(self, prepared: PreparedRetrieval, response_json: bytes) -> list[DecodedChunk]:
        """The hits' chunks, in ranking order. A cache that gives record digests is decoded as
        decode_checked_retrieval does."""
    def decode_checked_retrieval(self, prepared: PreparedRetrieval, response_json: bytes) -> list[DecodedChunk]:
        """The hits' chunks after every record each answer covers (the whole column of the store that a
        query asked for, padding queries included) matched the digest the cache holds for it; any
        difference raises the same RuntimeError ("... fails the integrity check of the records it
        fetched ...") whichever records were fetched. No error carries decrypted bytes, lengths or ids."""
    @property
    def publication(self) -> str:
        """The SHA-256 of the verified checksums.json, in hexadecimal: the publication's identifier."""
    @property
    def manifest_json(self) -> bytes:
        """The bytes of manifest.json as verified."""
    @property
    def has_lexical_index(self) -> bool:
        """Whether the cache carries a lexical index (caches of the balanced profile published with one)."""
    @property
    def checks_whole_records(self) -> bool:
        """Whether the cache gives a digest of every whole record (decode_checked_retrieval needs them)."""
