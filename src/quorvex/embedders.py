"""Embedders: what turns a text into the vector that the index is searched with.

An embedder has a `name` (written into a cache's manifest as its embedding_model),
its number of `dimensions`, `embed(texts)` giving a float32 array with one row per
text, and `embed_one(text)` giving one row. A cache can only be searched with the
embedder that published it.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Protocol

import numpy as np

from quorvex.hashing_embedder import HashingEmbedder

__all__ = ["EMBEDDER_KINDS", "Embedder", "make_embedder"]

EMBEDDER_KINDS = ("hashing", "minilm")


class Embedder(Protocol):
    name: str
    dimensions: int

    def embed(self, texts: Sequence[str]) -> np.ndarray: ...

    def embed_one(self, text: str) -> np.ndarray: ...


def make_embedder(kind: str) -> Embedder:
    """"hashing" (the default, no model) or "minilm" (needs the quorvex[minilm] extra)."""
    if kind == "hashing":
        return HashingEmbedder()
    if kind == "minilm":
        from quorvex.minilm_embedder import MiniLMEmbedder
        return MiniLMEmbedder()
    raise ValueError(f"unknown embedder {kind!r}; choose one of {', '.join(EMBEDDER_KINDS)}")
