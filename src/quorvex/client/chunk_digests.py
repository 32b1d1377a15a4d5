"""Checking privately fetched chunks against the verified public cache.

A server answers PIR queries with LWE ciphertexts, which it can alter: adding to an answer
element shifts the bytes of whatever record the client fetches, without the server knowing
which record that is. So the publisher writes a digest of every chunk into the chunk's line
of "index/metadata.jsonl" (key "chunk_sha256"), a file the client verifies byte for byte
when it opens the cache, and the client checks every decoded chunk against it.

The digest is the SHA-256 of a canonical form of the decoded chunk (chunk_digest in
quorvex.shared.formats), which a client computes from what decode_retrieval_response returns
(DecodedChunk), so any change to what a fetched chunk says is caught; the record id and the
padding after the record are not part of what a client returns, and padding records are not
returned at all. So a server that alters those learns from which retrievals fail which records
were fetched: PrivateRetriever checks whole records instead (NativeClient.decode_checked_retrieval,
against the record digests of the cache), and uses these chunk checks only for a cache published
without record digests, where the caller opted in.

    digests = ChunkDigests.read("cache/")
    for chunk in client.decode_retrieval_response(prepared, response):
        digests.check(chunk)          # raises TamperedChunk (its chunk_ids name the chunk)

A cache published before digests existed has none; ChunkDigests then accepts every chunk
and warns once that fetched texts cannot be checked.
"""

from __future__ import annotations

import json
import pathlib
import warnings

from quorvex._native import DecodedChunk
from quorvex.shared.formats import DIGEST_KEY, chunk_digest

__all__ = ["AnswerMismatch", "ChunkDigests", "TamperedChunk"]

_METADATA_FILE = "index/metadata.jsonl"


class AnswerMismatch(RuntimeError):
    """The server's answer does not decode against this cache, or holds other chunks than the hits.

    The message says what failed, never which chunk was fetched (an application may forward it);
    chunk_ids holds the hits of the failed retrieval, or the chunk that failed its check."""

    def __init__(self, message: str, chunk_ids: tuple[str, ...] = ()):
        super().__init__(message)
        self.chunk_ids = chunk_ids


class TamperedChunk(AnswerMismatch):
    """A fetched record differs from what the public cache says it holds."""


def _digest_of(chunk: DecodedChunk) -> str:
    metadata = None if chunk.metadata_json is None else json.loads(chunk.metadata_json)
    return chunk_digest(chunk.chunk_id, chunk.document_id, chunk.text, metadata)


class ChunkDigests:
    """The chunk digests of one public cache, by chunk id."""

    _warned: set[str] = set()

    def __init__(self, cache_dir: pathlib.Path, digests: dict[str, str]):
        self.cache_dir = cache_dir
        self._digests = digests

    @classmethod
    def read(cls, cache_dir: str | pathlib.Path) -> ChunkDigests:
        """Reads the digests of a cache's metadata.jsonl (open the cache with the client first:
        it verifies the file)."""
        cache_dir = pathlib.Path(cache_dir)
        digests: dict[str, str] = {}
        try:
            with open(cache_dir / _METADATA_FILE, "rb") as lines:
                for line in lines:
                    row = json.loads(line)
                    if DIGEST_KEY in row:
                        digests[row["chunk_id"]] = row[DIGEST_KEY]
        except (OSError, ValueError, KeyError, TypeError) as error:
            raise ValueError(f"cannot read the chunk digests of {cache_dir}: {error}") from None
        return cls(cache_dir, digests)

    @property
    def complete(self) -> bool:
        """Whether the cache carries digests (a cache published before them carries none)."""
        return bool(self._digests)

    def check(self, chunk: DecodedChunk) -> None:
        """Raises TamperedChunk if the fetched chunk is not the one the cache describes."""
        if not self._digests:
            key = str(self.cache_dir.resolve())
            if key not in ChunkDigests._warned:
                ChunkDigests._warned.add(key)
                warnings.warn(f"the cache {self.cache_dir} carries no chunk digests (it was published by an "
                              "earlier quorvex): fetched texts cannot be checked against it", stacklevel=2)
            return
        expected = self._digests.get(chunk.chunk_id)
        if expected is None or _digest_of(chunk) != expected:
            raise TamperedChunk(f"a fetched chunk differs from what the cache {self.cache_dir} says it holds: the "
                                "server altered its answer", (chunk.chunk_id,))
