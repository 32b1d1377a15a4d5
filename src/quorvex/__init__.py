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

__all__ = [
    "NativeClient",
    "PreparedRetrieval",
    "SearchResult",
    "DecodedChunk",
    "__version__",
]
