"""Embedders: what turns a text into the vector that the index is searched with.

An embedder has a `name` (written into a cache's manifest as its embedding_model),
its number of `dimensions`, `embed(texts)` giving a float32 array with one row per
text, and `embed_one(text)` giving one row. A cache can only be searched with the
embedder that published it; "minilm" and "minilm-torch" are one model computed two
ways, so either searches a cache that the other published.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Protocol

import numpy as np
import numpy.typing as npt

from quorvex.embedders.hashing import HashingEmbedder

__all__ = ["EMBEDDER_KINDS", "Embedder", "best_embedder", "embedder_for_model", "embedder_kind", "make_embedder"]

EMBEDDER_KINDS = ("hashing", "minilm", "minilm-torch")

# What the libraries under "minilm-torch" read to turn off their progress bars and notices.
_QUIET_ENVIRONMENT = {"HF_HUB_DISABLE_PROGRESS_BARS": "1", "TRANSFORMERS_VERBOSITY": "error"}


class Embedder(Protocol):
    name: str
    dimensions: int

    def embed(self, texts: Sequence[str]) -> npt.NDArray[np.float32]: ...

    def embed_one(self, text: str) -> npt.NDArray[np.float32]: ...


def embedder_kind(model_name: str) -> str | None:
    """The kind (as make_embedder and --embedder take it) of quorvex's embedder whose name is model_name,
    or None for a model of no quorvex embedder."""
    from quorvex.embedders.hashing import MODEL_NAME as HASHING_MODEL
    from quorvex.embedders.minilm import MODEL_NAME as MINILM_MODEL

    return {HASHING_MODEL: "hashing", MINILM_MODEL: "minilm"}.get(model_name)


def make_embedder(kind: str, *, verbose: bool = False) -> Embedder:
    """"hashing" (the default, no model), "minilm" (all-MiniLM-L6-v2 with numpy) or "minilm-torch"
    (the same with sentence-transformers and PyTorch). Unless verbose, the third-party libraries an
    embedder loads show no progress bars or notices (variables already set in the environment win)."""
    if kind == "hashing":
        return HashingEmbedder()
    if kind not in EMBEDDER_KINDS:
        raise ValueError(f"unknown embedder {kind!r}; choose one of {', '.join(EMBEDDER_KINDS)}")
    from quorvex.embedders.minilm import MiniLMEmbedder, MiniLMTorchEmbedder

    if not verbose:
        for variable, value in _QUIET_ENVIRONMENT.items():
            os.environ.setdefault(variable, value)
    return MiniLMEmbedder() if kind == "minilm" else MiniLMTorchEmbedder()


def embedder_for_model(model_name: str) -> Embedder:
    """The quorvex embedder that computes model_name (a cache's embedding_model): ValueError when none
    does, quorvex.embedders.minilm.EmbedderUnavailable (saying how to install it) when it is missing."""
    kind = embedder_kind(model_name)
    if kind is None:
        raise ValueError(f"the embedding model {model_name!r} is none of quorvex's embedders "
                         f"({', '.join(EMBEDDER_KINDS)}): search the cache with the embedder that published it")
    return make_embedder(kind)


def best_embedder(*, verbose: bool) -> tuple[Embedder, str]:
    """MiniLM where its packages are installed, else the hashing embedder; with a line that says which
    and why (and, for the hashing embedder, how to install MiniLM)."""
    from quorvex.embedders.minilm import EmbedderUnavailable

    try:
        embedder = make_embedder("minilm", verbose=verbose)
    except EmbedderUnavailable as missing:
        return HashingEmbedder(), f"embedder: the hashing embedder (no model), as MiniLM is not installed: {missing}"
    return embedder, f"embedder: {embedder.name} (MiniLM is installed; --embedder hashing uses no model)"
