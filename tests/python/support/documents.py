"""A small document collection published with the hashing embedder, for retrieval and CLI tests."""

from __future__ import annotations

import json
import pathlib

from quorvex.publisher.documents import Document
from quorvex.embedders import make_embedder
from quorvex.publisher.publish_documents import publish_documents

DOCUMENTS = [
    Document("garden", "Tomatoes need full sun and regular watering. Prune the side shoots of tomato plants "
                       "every week. " * 3, {"topic": "plants"}),
    Document("kitchen", "A sourdough starter is flour and water fermented by wild yeast. Feed the starter "
                        "daily and bake bread when it doubles. " * 2),
    Document("bikes", "Keep the bicycle chain clean and oiled. Check tyre pressure before every ride; "
                      "brake pads wear out and must be replaced. " * 2, ["two", "wheels"]),
    Document("stars", "A red giant is a dying star that has exhausted the hydrogen in its core. "
                      "Neutron stars are the collapsed cores of massive stars." * 20),
]


def write_jsonl(path: pathlib.Path, documents=DOCUMENTS) -> pathlib.Path:
    rows = ({"document_id": d.document_id, "text": d.text, **({} if d.metadata is None else {"metadata": d.metadata}),
             **({} if d.embedding is None else {"embedding": d.embedding})} for d in documents)
    path.write_text("".join(json.dumps(row, ensure_ascii=False) + "\n" for row in rows), encoding="utf-8")
    return path


def publish_small(root: pathlib.Path, documents=DOCUMENTS, **options):
    """Publishes the documents into root/cache and root/state; returns the PublishResult."""
    return publish_documents(documents, root / "cache", root / "state", embedder=make_embedder("hashing"), **options)
