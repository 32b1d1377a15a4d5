"""A LangChain retriever over PrivateRetriever (the `langchain` extra: langchain-core and its own
dependencies, not the langchain package).

    from quorvex import HttpTransport
    from quorvex.client.langchain_retriever import QuorvexRetriever
    retriever = QuorvexRetriever(cache_dir="cache/", transport=HttpTransport("http://127.0.0.1:8765/query"),
                                 publication="<the 64 hexadecimal digits you were given>")
    documents = retriever.invoke("how do context managers work?")

Without an embedder, the one of the model the cache names is used. Without the extra, importing
this module says how to install it.

Each question is searched locally and its hits fetched privately, exactly as
PrivateRetriever.retrieve does; the fetched chunks come back as LangChain documents: the
chunk's text as page_content, its chunk id as id, and in metadata its document id, its score
and its own metadata. A PrivateRetriever is bound to the thread that opened it, and LangChain
runs retrievers on several threads (ainvoke uses an executor), so each thread opens the cache
once for itself. One failed answer, on any thread, stops them all and every later process of this
user, for that publication at that server (ServerDistrusted; see quorvex.client.distrust).
"""

from __future__ import annotations

import pathlib
import threading
from typing import Any

try:
    from langchain_core.callbacks import CallbackManagerForRetrieverRun
    from langchain_core.documents import Document
    from langchain_core.retrievers import BaseRetriever
    from pydantic import ConfigDict, PrivateAttr
except ModuleNotFoundError as missing:
    raise ModuleNotFoundError(f"the LangChain retriever needs the langchain extra ({missing.name} is not installed): "
                              "pip install 'quorvex[langchain]'", name=missing.name) from None

from quorvex.embedders import Embedder
from quorvex.client.distrust import DistrustRecord
from quorvex.client.retriever import AnswerMismatch, PrivateRetriever, RetrievedChunk, Transport

__all__ = ["QuorvexRetriever", "as_document"]


def as_document(chunk: RetrievedChunk) -> Document:
    """A fetched chunk as a LangChain document."""
    return Document(id=chunk.chunk_id, page_content=chunk.text,
                    metadata={"chunk_id": chunk.chunk_id, "document_id": chunk.document_id, "score": chunk.score,
                              "metadata": chunk.metadata})


class QuorvexRetriever(BaseRetriever):
    """Retrieves the best chunks of a public cache privately, as LangChain documents."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    cache_dir: pathlib.Path
    embedder: Any = None  # an Embedder (a protocol, which pydantic cannot check); None: the cache's model
    transport: Any  # a Transport: query document bytes in, response document bytes out
    publication: str | None = None  # the publication to pin (see PrivateRetriever)
    allow_insecure: bool = False
    distrust: DistrustRecord | None = None  # where failures are remembered (None: the user's state directory)

    _local: threading.local = PrivateAttr(default_factory=threading.local)

    def _retriever(self) -> PrivateRetriever:
        retriever: PrivateRetriever | None = getattr(self._local, "retriever", None)
        if retriever is None:
            embedder: Embedder | None = self.embedder
            transport: Transport = self.transport
            retriever = self._local.retriever = PrivateRetriever(
                self.cache_dir, embedder, transport, publication=self.publication, allow_insecure=self.allow_insecure,
                distrust=self.distrust)
        return retriever

    def _get_relevant_documents(self, query: str, *, run_manager: CallbackManagerForRetrieverRun) -> list[Document]:
        try:
            chunks = self._retriever().retrieve(query).chunks
        except AnswerMismatch as error:
            # The error may reach another thread (ainvoke): without its frames, it holds no reference to
            # this thread's retriever, whose native client must be released on this thread.
            raise error.with_traceback(None) from None
        return [as_document(chunk) for chunk in chunks]
