"""The hashing embedder as it was first written, in pure Python: the reference that the native
embedder must match byte for byte, so that published caches republish to the same bytes."""

from __future__ import annotations

import hashlib
import math
import re
from collections import Counter

import numpy as np

STOPWORDS = frozenset("""
a an and are as at be been but by can could did do does for from had has have how i if in into is it its
may might not of on or so such than that the their them then there these they this those to was we were
what when where which while who why will with would you your
""".split())


def reference_embedding(text: str) -> np.ndarray:
    words = [w[:-1] if len(w) > 4 and w.endswith("s") and not w.endswith("ss") else w
             for w in re.findall(r"[^\W_]+", text.casefold()) if w not in STOPWORDS]
    vector = np.zeros(384, dtype=np.float64)
    for counts, weight in ((Counter(words), 1.0), (Counter(f"{a} {b}" for a, b in zip(words, words[1:])), 0.7)):
        for feature, count in counts.items():
            value = int.from_bytes(hashlib.blake2b(feature.encode("utf-8"), digest_size=8,
                                                   person=b"quorvex-hash-v1").digest(), "little")
            vector[value % 384] += (1.0 if value >> 63 else -1.0) * weight * (1.0 + math.log(count))
    norm = np.linalg.norm(vector)
    if norm > 0:
        vector /= norm
    return vector.astype(np.float32)
