"""quorvex: private retrieval over a verified public cache.

The core is the extension module ``quorvex._native``: it opens and verifies a
public cache, searches it locally and turns a search into private (PIR)
queries and the server's answer back into chunk texts.
"""

from quorvex._native import (
    DecodedChunk,
    NativeClient,
    PreparedRetrieval,
    SearchResult,
    __version__,
)
from quorvex.chunk_digests import ChunkDigests
from quorvex.documents import Document
from quorvex.embedders import Embedder, make_embedder
from quorvex.hashing_embedder import HashingEmbedder
from quorvex.http_transport import HttpTransport, PublicationMismatch, TransportError
from quorvex.publish_documents import publish_documents
from quorvex.retriever import (
    AnswerMismatch,
    EmbedderMismatch,
    Hit,
    PrivateRetriever,
    Retrieval,
    RetrievedChunk,
    TamperedChunk,
    Timings,
)

__all__ = [
    "NativeClient",
    "PreparedRetrieval",
    "SearchResult",
    "DecodedChunk",
    "__version__",
    "PrivateRetriever",
    "Hit",
    "RetrievedChunk",
    "Retrieval",
    "Timings",
    "EmbedderMismatch",
    "AnswerMismatch",
    "TamperedChunk",
    "ChunkDigests",
    "Embedder",
    "HashingEmbedder",
    "make_embedder",
    "HttpTransport",
    "TransportError",
    "PublicationMismatch",
    "Document",
    "publish_documents",
]
