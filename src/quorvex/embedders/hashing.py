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
"""

from __future__ import annotations

import functools
import hashlib
import math
import re
from collections import Counter
from collections.abc import Sequence

import numpy as np

__all__ = ["HashingEmbedder", "MODEL_NAME"]

MODEL_NAME = "quorvex-hashing-words-pairs-384-v1"
DIMENSIONS = 384
PAIR_WEIGHT = 0.7

_WORD = re.compile(r"[^\W_]+")
_STOPWORDS = frozenset("""
a an and are as at be been but by can could did do does for from had has have how i if in into is it its
may might not of on or so such than that the their them then there these they this those to was we were
what when where which while who why will with would you your
""".split())


def _words(text: str) -> list[str]:
    words = []
    for word in _WORD.findall(text.casefold()):
        if word in _STOPWORDS:
            continue
        if len(word) > 4 and word.endswith("s") and not word.endswith("ss"):
            word = word[:-1]
        words.append(word)
    return words


@functools.lru_cache(maxsize=1 << 16)
def _slot(feature: str) -> tuple[int, float]:
    digest = hashlib.blake2b(feature.encode("utf-8"), digest_size=8, person=b"quorvex-hash-v1").digest()
    value = int.from_bytes(digest, "little")
    return value % DIMENSIONS, (1.0 if (value >> 63) & 1 else -1.0)


class HashingEmbedder:
    """Deterministic 384-dimensional text embeddings without a model."""

    name = MODEL_NAME
    dimensions = DIMENSIONS

    def embed_one(self, text: str) -> np.ndarray:
        words = _words(text)
        features = Counter(words)
        pair_counts = Counter(f"{a} {b}" for a, b in zip(words, words[1:]))
        vector = np.zeros(DIMENSIONS, dtype=np.float64)
        for counts, weight in ((features, 1.0), (pair_counts, PAIR_WEIGHT)):
            for feature, count in counts.items():
                index, sign = _slot(feature)
                vector[index] += sign * weight * (1.0 + math.log(count))
        norm = np.linalg.norm(vector)
        if norm > 0:
            vector /= norm
        return vector.astype(np.float32)

    def embed(self, texts: Sequence[str]) -> np.ndarray:
        """One row per text, float32, shape (len(texts), 384)."""
        out = np.zeros((len(texts), DIMENSIONS), dtype=np.float32)
        for row, text in enumerate(texts):
            out[row] = self.embed_one(text)
        return out
