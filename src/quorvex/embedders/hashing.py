"""The default embedder: feature hashing of words and word pairs, no model needed.

Text is case-folded and cut into words (runs of letters and digits; underscores
separate words, so "__exit__" gives "exit"). Common English function words are
dropped and a plural "s" is taken off longer words. Every remaining word and every
pair of neighbouring remaining words is a feature. A feature's 64-bit BLAKE2b hash
picks one of the 384 dimensions and a sign; its weight grows with the logarithm of
its count. The vector is L2-normalised; a text without words embeds to zeros.

The hash is keyed by nothing but the feature's UTF-8 bytes, so the same text gives
the same float32 vector on every machine and in every process (Python's own str
hash is salted per process and would not).

The words and features are counted and hashed natively (quorvex._engine.hashing_vectors), a batch
of texts in one call. Python keeps what its own Unicode tables decide: case folding, and, in a
text with any non-ASCII character, which characters are letters or digits (the others become
spaces; in an ASCII text the native side tells them apart itself). The norm is numpy's, as it
always was, so that the float32 rows stay byte for byte what they have been.
"""

from __future__ import annotations

import re
from collections.abc import Sequence

import numpy as np

from quorvex import _engine

__all__ = ["HashingEmbedder", "MODEL_NAME"]

MODEL_NAME = "quorvex-hashing-words-pairs-384-v1"
DIMENSIONS = 384

_NOT_WORD = re.compile(r"[\W_]+")


def _prepared(text: str) -> str:
    """The text case-folded, with its non-word characters as spaces where the Unicode tables matter."""
    folded = text.casefold()
    return folded if folded.isascii() else _NOT_WORD.sub(" ", folded)


class HashingEmbedder:
    """Deterministic 384-dimensional text embeddings without a model."""

    name = MODEL_NAME
    dimensions = DIMENSIONS

    def embed_one(self, text: str) -> np.ndarray:
        row: np.ndarray = self.embed([text])[0]
        return row

    def embed(self, texts: Sequence[str]) -> np.ndarray:
        """One row per text, float32, shape (len(texts), 384)."""
        rows = np.frombuffer(_engine.hashing_vectors([_prepared(text) for text in texts]), dtype=np.float64)
        rows = rows.reshape(len(texts), DIMENSIONS)
        # Row by row, the norm is np.linalg.norm's of a vector: the square root of its BLAS dot product with
        # itself (a sum over the whole matrix at once would add in another order and round differently).
        norms = np.sqrt([row.dot(row) for row in rows])
        norms[norms == 0] = 1.0
        rows /= norms[:, np.newaxis]
        return rows.astype(np.float32)
