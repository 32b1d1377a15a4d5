"""quorvex: private retrieval over a verified public cache.

The core is the extension module ``quorvex._native``: it opens and verifies a
public cache, searches it locally and turns a search into private (PIR)
queries and the server's answer back into chunk texts. Around it, by role:

- quorvex.client: the application side (PrivateRetriever, transport, chunk checks, distrust, pulling
  a cache from its service);
- quorvex.publisher: documents, chunking, publishing a cache and its server state;
- quorvex.server: the PIR service over the native engine quorvex._engine;
- quorvex.embedders: text to vectors (hashing, MiniLM);
- quorvex.cli: the `quorvex` command and its demo;
- quorvex.shared: profile constants and the files the roles exchange.
"""

from quorvex._native import (
    DecodedChunk,
    NativeClient,
    PreparedRetrieval,
    SearchResult,
    __version__,
)
from quorvex.client.chunk_digests import ChunkDigests
from quorvex.client.distrust import DistrustRecord
from quorvex.client.http_transport import HttpTransport, PublicationMismatch, TransportError
from quorvex.client.pull import PullError, PullLimits, PullResult, pull
from quorvex.client.retriever import (
    AnswerMismatch,
    EmbedderMismatch,
    Hit,
    InsecureCache,
    PrivateRetriever,
    Retrieval,
    RetrievedChunk,
    ServerDistrusted,
    TamperedChunk,
    Timings,
    UnexpectedPublication,
)
from quorvex.embedders import Embedder, make_embedder
from quorvex.embedders.hashing import HashingEmbedder
from quorvex.publisher.documents import Document
from quorvex.publisher.publish_documents import publish_documents

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
    "ServerDistrusted",
    "DistrustRecord",
    "InsecureCache",
    "UnexpectedPublication",
    "ChunkDigests",
    "Embedder",
    "HashingEmbedder",
    "make_embedder",
    "HttpTransport",
    "TransportError",
    "PublicationMismatch",
    "pull",
    "PullError",
    "PullLimits",
    "PullResult",
    "Document",
    "publish_documents",
]
