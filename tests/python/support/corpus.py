"""Synthetic collections for publisher and server tests."""

from __future__ import annotations

import numpy as np


def make_chunks(count: int, *, text_bytes: int = 40, seed: int = 0, metadata: bool = True) -> list[dict]:
    rng = np.random.default_rng(seed)
    words = ["alpha", "beta", "gamma", "delta", "\u00e9t\u00e9", "\u6f22\u5b57", "quote\"d", "back\\slash"]
    chunks = []
    for i in range(count):
        text = f"chunk {i}:"
        while len(text.encode()) < text_bytes:
            text += " " + words[int(rng.integers(len(words)))]
        chunks.append({
            "chunk_id": f"c{i}",
            "document_id": f"doc-{i // 3}",
            "text": text,
            "metadata": {"position": i, "tags": ["x"] * (i % 3)} if metadata and i % 4 else None,
        })
    return chunks


def make_embeddings(count: int, dimensions: int, seed: int = 0) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((count, dimensions)).astype(np.float32)
