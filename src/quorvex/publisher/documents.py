"""Documents to publish: reading them from JSON Lines and cutting them into chunks that fit a record.

One JSON object per line:

    {"document_id": "faq-7", "text": "...", "metadata": {"lang": "en"}, "embedding": [0.1, ...]}

"metadata" (any JSON value) and "embedding" (a list of numbers) are optional. A document with
a precomputed embedding becomes exactly one chunk, so its text must fit one record; either every
document carries an embedding or none does. Chunk ids are "{document_id}#{n}", n counting from 0
within the document.

A document's structure (Document.blocks, from the readers of document files; for JSON Lines, the
paragraphs and headings of its text) guides the chunking: chunks hold whole blocks where they fit,
and each starts with its section path, which its metadata names too ("section", added to the
document's metadata when that is a JSON object or absent). A document with a precomputed embedding
is one chunk of its text as given, with its metadata as given.
"""

from __future__ import annotations

import functools
import json
import math
import pathlib
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

from quorvex.publisher.records import LENGTH_PREFIX_BYTES, Chunk, chunk_record_json
from quorvex.publisher.chunker import Block, pack_blocks, split_text, text_blocks

__all__ = ["Document", "chunk_documents", "read_documents"]

_KEYS = {"document_id", "text", "metadata", "embedding"}

# Chunk ids and record ids are written into every record; the budget for the text assumes
# the widest record id a store can have (u64) unless the caller knows a smaller bound.
_WIDEST_RECORD_ID = (1 << 64) - 1
# Fewer bytes of text per record than this means the id or metadata leave no real room.
_MIN_TEXT_BUDGET = 64


@dataclass(frozen=True)
class Document:
    document_id: str
    text: str
    metadata: Any = None
    embedding: tuple[float, ...] | None = None
    blocks: tuple[Block, ...] | None = None  # None: the structure of text as plain text


def _document(value: Any, where: str) -> Document:
    if not isinstance(value, dict):
        raise ValueError(f"{where}: expected a JSON object, got {type(value).__name__}")
    unknown = sorted(set(value) - _KEYS)
    if unknown:
        raise ValueError(f"{where}: unknown key {unknown[0]!r}; a document has {', '.join(sorted(_KEYS))}")
    for key in ("document_id", "text"):
        if not isinstance(value.get(key), str) or not value[key].strip():
            raise ValueError(f"{where}: {key} must be a non-empty string")
    embedding = value.get("embedding")
    if embedding is not None:
        if (not isinstance(embedding, list) or not embedding
                or not all(type(x) in (int, float) and math.isfinite(x) for x in embedding)):
            raise ValueError(f"{where}: embedding must be a non-empty list of finite numbers")
        embedding = tuple(float(x) for x in embedding)
    return Document(value["document_id"], value["text"], value.get("metadata"), embedding)


def read_documents(path: str | pathlib.Path) -> list[Document]:
    """Reads and checks a JSON Lines file of documents; blank lines are skipped."""
    path = pathlib.Path(path)
    documents: list[Document] = []
    seen: dict[str, int] = {}
    with path.open("rb") as lines:
        for number, raw in enumerate(lines, start=1):
            where = f"{path}:{number}"
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError as error:
                raise ValueError(f"{where}: not UTF-8 text (byte {error.start + 1} of the line is "
                                 f"0x{raw[error.start]:02x})") from None
            if not line.strip():
                continue
            try:
                value = json.loads(line)
            except json.JSONDecodeError as error:
                raise ValueError(f"{where}: not valid JSON: {error}") from None
            document = _document(value, where)
            if document.document_id in seen:
                raise ValueError(f"{where}: document_id {document.document_id!r} already used on line "
                                 f"{seen[document.document_id]}")
            seen[document.document_id] = number
            documents.append(document)
    if not documents:
        raise ValueError(f"{path} holds no documents")
    with_embedding = sum(d.embedding is not None for d in documents)
    if with_embedding not in (0, len(documents)):
        raise ValueError(f"{path}: {with_embedding} of {len(documents)} documents carry an embedding; "
                         "either every document carries one or none does")
    return documents


def _text_budget(record_size_bytes: int, document: Document, chunk_number: int, record_id: int,
                 metadata: Any = None) -> int:
    """Bytes of escaped text that fit one record beside the chunk's other fields."""
    envelope = chunk_record_json(record_id, Chunk(f"{document.document_id}#{chunk_number}",
                                                  document.document_id, "", metadata))
    return record_size_bytes - LENGTH_PREFIX_BYTES - len(envelope)


def _with_section(metadata: Any, section: str) -> Any:
    """The document's metadata plus the chunk's section path, where metadata is an object or absent."""
    if not section or not (metadata is None or isinstance(metadata, dict)):
        return metadata
    return {**(metadata or {}), "section": section}


def chunk_document(document: Document, record_size_bytes: int, *,
                   max_record_id: int = _WIDEST_RECORD_ID) -> list[Chunk]:
    """The document's chunks, each of whose padded records fits record_size_bytes."""
    number_bound = 9  # the widest chunk number the budget was computed for
    while True:
        bound = number_bound
        # The budget of each section path, computed once (a chunk's envelope is serialised to size it).
        budget_of = functools.cache(lambda section: _text_budget(record_size_bytes, document, bound, max_record_id,
                                                                 _with_section(document.metadata, section)))
        budget = budget_of("")
        if budget < _MIN_TEXT_BUDGET:
            raise ValueError(f"document {document.document_id!r}: its id and metadata leave {max(budget, 0)} bytes "
                             f"of text in a {record_size_bytes}-byte record; shorten them")
        if document.embedding is not None:
            texts = [("", text) for text in split_text(document.text, budget)]
        else:
            texts = pack_blocks(text_blocks(document.text) if document.blocks is None else document.blocks, budget_of)
        if len(texts) - 1 <= number_bound:
            break
        number_bound = number_bound * 10 + 9
    if document.embedding is not None and len(texts) != 1:
        raise ValueError(f"document {document.document_id!r} has a precomputed embedding but needs {len(texts)} "
                         f"chunks; a document with an embedding must fit one {record_size_bytes}-byte record")
    return [Chunk(f"{document.document_id}#{n}", document.document_id, text,
                  _with_section(document.metadata, section)) for n, (section, text) in enumerate(texts)]


def chunk_documents(documents: Iterable[Document], record_size_bytes: int, *,
                    max_record_id: int = _WIDEST_RECORD_ID) -> list[Chunk]:
    """All chunks of the documents, in document order."""
    return [chunk for document in documents
            for chunk in chunk_document(document, record_size_bytes, max_record_id=max_record_id)]


def precomputed_embeddings(documents: Sequence[Document]) -> list[tuple[float, ...]] | None:
    """The documents' own embeddings, one per document, or None if they carry none."""
    if documents and documents[0].embedding is not None:
        return [d.embedding for d in documents if d.embedding is not None]
    return None
