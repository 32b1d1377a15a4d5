"""Synthetic collections for publisher, client and server tests."""

from __future__ import annotations

import hashlib
import json
import pathlib
from dataclasses import dataclass

import numpy as np

from quorvex._native import NativeClient
from quorvex.publisher.publish import publish
from quorvex.server.pir_server import PirServer


def make_chunks(count: int, *, text_bytes: int = 40, seed: int = 0, metadata: bool = True) -> list[dict]:
    rng = np.random.default_rng(seed)
    words = ["alpha", "beta", "gamma", "delta", "\u00e9t\u00e9", "\u6f22\u5b57", "quote\"d", "back\\slash"]
    chunks = []
    for i in range(count):
        text = f"chunk {i}:"
        while len(text.encode()) < text_bytes:
            text += " " + words[int(rng.integers(len(words)))]
        chunks.append({"chunk_id": f"c{i}", "document_id": f"doc-{i // 3}", "text": text,
                       "metadata": {"position": i, "tags": ["x"] * (i % 3)} if metadata and i % 4 else None})
    return chunks


def make_embeddings(count: int, dimensions: int, seed: int = 0) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((count, dimensions)).astype(np.float32)


@dataclass(frozen=True)
class Published:
    """A synthetic collection published into root/public (the cache) and root/server (its state)."""
    chunks: list[dict]
    embeddings: np.ndarray
    public: pathlib.Path
    server_dir: pathlib.Path

    def client(self) -> NativeClient:
        return NativeClient.open_public_cache(str(self.public))

    def server(self) -> PirServer:
        return PirServer.load(self.server_dir)

    def retrieve(self, row: int, top_k: int = 1, retrieval_count: int = 2, client: NativeClient | None = None):
        """The chunks a private retrieval for embedding `row` decodes, answered by this publication's server."""
        client = client or self.client()
        prepared = client.prepare_retrieval_query(self.embeddings[row], top_k, retrieval_count)
        return client.decode_retrieval_response(prepared, self.server().answer(prepared.query_json))


def publish_synthetic(root: pathlib.Path, profile: str | None, count: int, dimensions: int,
                      record_size: int | None = None, *, seed: int = 0, text_bytes: int = 40,
                      metadata: bool = True, **options) -> Published:
    chunks = make_chunks(count, text_bytes=text_bytes, seed=seed, metadata=metadata)
    embeddings = make_embeddings(count, dimensions, seed=seed)
    publish(chunks, embeddings, root / "public", root / "server", embedding_model="m", profile=profile,
            record_size_bytes=record_size, **options)
    return Published(chunks, embeddings, root / "public", root / "server")


def replace_file(cache: pathlib.Path, relative: str, content: bytes) -> None:
    """Replaces one file of a cache and updates checksums.json to match, as a hostile author can."""
    (cache / relative).write_bytes(content)
    checksums = json.loads((cache / "checksums.json").read_text())
    checksums["files"][relative] = {"sha256": hashlib.sha256(content).hexdigest(), "size_bytes": len(content)}
    (cache / "checksums.json").write_text(json.dumps(checksums))
