"""Text that the command line prints: numbers, trimmed texts, retrievals, caches, publications."""

from __future__ import annotations

from collections import Counter
from collections.abc import Sequence

from quorvex.shared import profiles
from quorvex.client.cache_info import CacheInfo
from quorvex.publisher.documents import Document
from quorvex.publisher.publish import PublishResult
from quorvex.publisher.records import Chunk
from quorvex.publisher.sources import document_format
from quorvex.client.retriever import Retrieval


def count(n: int) -> str:
    return f"{n:,}"


def counted(n: int, noun: str) -> str:
    """"1 chunk", "2 chunks": the count and the noun in the right number."""
    return f"{count(n)} {noun if n == 1 else noun + 's'}"


def milliseconds(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms"


def trimmed(text: str, limit: int) -> str:
    """The text on one line (whitespace runs collapsed), cut after a word near limit characters."""
    flat = " ".join(text.split())
    if len(flat) <= limit:
        return flat
    cut = flat.rfind(" ", 0, limit)
    return flat[:cut if cut > limit // 2 else limit] + " …"


def hit_lines(retrieval: Retrieval) -> list[str]:
    return [f"  {rank}. score {hit.score:.4f}  {hit.chunk_id}" for rank, hit in enumerate(retrieval.hits, start=1)]


def transfer_line(retrieval: Retrieval) -> str:
    padding = retrieval.query_count - len(retrieval.hits)
    return (f"{retrieval.query_count} PIR queries ({len(retrieval.hits)} hits + {padding} padding): "
            f"{count(retrieval.bytes_sent)} bytes sent, {count(retrieval.bytes_received)} bytes received")


def timing_line(retrieval: Retrieval) -> str:
    t = retrieval.timings
    return (f"embed {milliseconds(t.embed)} | search + prepare {milliseconds(t.search_and_prepare)} | "
            f"server round trip {milliseconds(t.round_trip)} | decode {milliseconds(t.decode)} | "
            f"total {milliseconds(t.total)}")


def _limit(value: int, limit: int | None) -> str:
    return count(value) if limit is None else f"{count(value)} of at most {count(limit)}"


def plan_lines(documents: Sequence[Document], chunks: Sequence[Chunk]) -> list[str]:
    """What a publish is about to embed: one line per format, "Markdown: 64 files, 4,632 chunks"."""
    per_document = Counter(chunk.document_id for chunk in chunks)
    formats: dict[str, list[int]] = {}
    for document in documents:
        files_and_chunks = formats.setdefault(document_format(document), [0, 0])
        files_and_chunks[0] += 1
        files_and_chunks[1] += per_document[document.document_id]
    noun = {"JSON Lines": "document"}
    return [f"to publish: {kind}, {counted(files, noun.get(kind, 'file'))}, {counted(chunks, 'chunk')}"
            for kind, (files, chunks) in sorted(formats.items(), key=lambda item: -item[1][1])]


def publish_lines(result: PublishResult, documents: int, embedding_model: str, server_bytes: int) -> list[str]:
    supported = result.parameter_profile == profiles.RS_SUPPORTED
    status = profiles.get_profile(result.parameter_profile).security_status
    return [
        f"published {counted(documents, 'document')} as {counted(result.record_count, 'chunk')}",
        f"  profile          {result.parameter_profile} ({status})",
        f"  chunks           {_limit(result.record_count, profiles.SUPPORTED_MAX_RECORDS if supported else None)}",
        f"  record size      {count(result.record_size_bytes)} bytes per chunk record, padded",
        f"  embedding model  {embedding_model}, {result.embedding_dimensions} dimensions"
        + (f", {count(result.reused_embeddings)} of the chunks' embeddings reused" if result.reused_embeddings else ""),
        f"  public cache     {result.public_dir}: "
        f"{_limit(result.public_cache_bytes, profiles.SUPPORTED_PUBLIC_CACHE_LIMIT if supported else None)} bytes",
        f"  server state     {result.server_dir}: {count(server_bytes)} bytes (keep it on the server only)",
        f"publication {result.publication}",
    ]


def cache_lines(info: CacheInfo) -> list[str]:
    supported = info.is_supported_profile
    return [
        f"  bundle           {info.bundle_id} (version {info.bundle_version}, created {info.created_at})",
        f"  profile          {info.parameter_profile} ({info.security_status})",
        f"  chunks           {_limit(info.chunk_count, profiles.SUPPORTED_MAX_RECORDS if supported else None)}, "
        f"records of {count(info.record_size_bytes)} bytes",
        f"  embedding model  {info.embedding_model}, {info.embedding_dimensions} dimensions",
        f"  public cache     "
        f"{_limit(info.public_cache_bytes, profiles.SUPPORTED_PUBLIC_CACHE_LIMIT if supported else None)} bytes",
    ]
