"""Reference PIR server: answers batched query documents for one published store.

    from quorvex.server.pir_server import PirServer
    server = PirServer.load("server-state/")
    response_bytes = server.answer(query_bytes)

Query document: {"protocol_version": 1, "scheme": "simplepir-lwe-v0", "retrieval_count": n,
"queries": [{"protocol_version": 1, "scheme": ..., "payload": "<digit-free payload>"}, ...]}.
Response document: the same shape with "responses" in place of "queries", one answer vector
per query, in order, written compactly. Malformed documents raise QueryError.

The arithmetic is native (quorvex._engine): one pass over the store's lane data answers every
query of every document handed to answer_batch, and the interpreter lock is released
meanwhile, so a service can keep accepting requests while a batch is computed.
"""

from __future__ import annotations

import pathlib
from collections.abc import Sequence
from dataclasses import dataclass

from quorvex.shared import profiles
from quorvex._engine import PirEngine
from quorvex.server.state import load_state

# Queries one document may hold (the supported and the balanced profiles require exactly 4).
DEFAULT_MAX_RETRIEVAL_COUNT = 16
# Room for the JSON around the payloads of a query document: its own keys and each query's.
_DOCUMENT_SLACK = 1024
_QUERY_SLACK = 256

__all__ = ["DEFAULT_MAX_RETRIEVAL_COUNT", "AnswerAlteration", "PirServer", "QueryError", "load"]


class QueryError(ValueError):
    """A query document that the server refuses to answer."""


@dataclass(frozen=True)
class AnswerAlteration:
    """What a malicious server can do without knowing which record a query fetches: shift answer
    element `lane` of every response so that the fetched record's lane decodes `shift` higher
    (simplepir-rs: lane i holds record bytes 2i and 2i + 1, so a shift of 1 changes byte 2i and
    a shift of 256 byte 2i + 1; toy: lane r is byte r). For demonstrations and tests of the
    client's checks."""
    lane: int
    shift: int = 1


def _payload_characters(byte_count: int) -> int:
    return 4 * (byte_count // 3) + (0, 2, 3)[byte_count % 3]


class PirServer:
    """Answers PIR queries for one store; immutable after loading, usable from any thread."""

    def __init__(self, profile: profiles.Profile, engine: PirEngine, record_count: int, record_size_bytes: int, *,
                 max_retrieval_count: int = DEFAULT_MAX_RETRIEVAL_COUNT, threads: int = 1,
                 alteration: AnswerAlteration | None = None, publication: str | None = None):
        self.profile = profile
        self.publication = publication  # quorvex.shared.formats's identifier of the served cache, if known
        self.record_count = record_count
        self.record_size_bytes = record_size_bytes
        self.max_retrieval_count = max_retrieval_count
        self.threads = threads
        self.alteration = alteration
        self._engine = engine

    @classmethod
    def load(cls, server_dir: str | pathlib.Path, *, max_retrieval_count: int = DEFAULT_MAX_RETRIEVAL_COUNT,
             threads: int = 1, alteration: AnswerAlteration | None = None) -> PirServer:
        """Loads the state directory written by quorvex.publisher.publish. threads: cores one batch may use."""
        state = load_state(pathlib.Path(server_dir))
        return cls(state.profile, state.engine, state.record_count, state.record_size_bytes,
                   max_retrieval_count=max_retrieval_count, threads=threads, alteration=alteration,
                   publication=state.publication)

    @property
    def max_query_bytes(self) -> int:
        """The size of the largest query document this store accepts: as many framed payloads as a
        document may hold (4 for the supported and the balanced profiles, otherwise max_retrieval_count)
        and room for the JSON around them."""
        payload = _payload_characters(16 + (4 if self.profile.is_balanced else 8) * self._engine.query_length)
        queries = self.profile.fixed_retrieval_count or self.max_retrieval_count
        return _DOCUMENT_SLACK + queries * (payload + _QUERY_SLACK)

    def answer(self, query_document: bytes | str) -> bytes:
        """The batched response document (compact JSON bytes) for a batched query document."""
        result = self.answer_batch([query_document])[0]
        if isinstance(result, QueryError):
            raise result
        return result

    def answer_batch(self, query_documents: Sequence[bytes | str]) -> list[bytes | QueryError]:
        """Answers several query documents (from different clients) with one pass over the store.

        Position k of the result is document k's response document, or the QueryError that
        refuses it; one refused document does not affect the others.
        """
        documents = [d.encode() if isinstance(d, str) else bytes(d) for d in query_documents]
        lane, shift = (self.alteration.lane, self.alteration.shift) if self.alteration else (0, 0)
        answers = self._engine.answer(documents, self.max_retrieval_count, self.threads, lane, shift)
        return [QueryError(a) if isinstance(a, str) else a for a in answers]


def load(server_dir: str | pathlib.Path) -> PirServer:
    return PirServer.load(server_dir)
