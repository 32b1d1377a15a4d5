"""Reference PIR server: answers batched query documents for one published store.

    from quorvex.server import PirServer
    server = PirServer.load("server-state/")
    response_bytes = server.answer(query_bytes)

Query document: {"protocol_version": 1, "scheme": "simplepir-lwe-v0", "retrieval_count": n,
"queries": [{"protocol_version": 1, "scheme": ..., "payload": "<digit-free payload>"}, ...]}.
Response document: the same shape with "responses" in place of "queries", one answer
vector per query, in order, written compactly. All queries of a batch are answered
with one matrix product. Malformed documents raise QueryError.

The product runs in float64 BLAS (see _wrapping). A 4-query batch on a full supported
store is a few milliseconds; on a machine whose cores are busy with other work, one BLAS
thread (OPENBLAS_NUM_THREADS=1 in the environment) keeps it there.
"""

from __future__ import annotations

import json
import pathlib
from typing import Any

import numpy as np

from quorvex import _codec, profiles
from quorvex._server_state import load_state

PROTOCOL_VERSION = 1
SUPPORTED_RETRIEVAL_COUNT = 4
MAX_RETRIEVAL_COUNT = 256

__all__ = ["PirServer", "QueryError", "load"]


class QueryError(ValueError):
    """A query document that the server refuses to answer."""


def _unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for key, value in pairs:
        if key in out:
            raise QueryError(f"duplicate field `{key}`")
        out[key] = value
    return out


def _refuse_constant(name: str) -> Any:
    raise QueryError(f"{name} is not a JSON number")


def _field(obj: dict, key: str, label: str) -> Any:
    if key not in obj:
        raise QueryError(f"{label} is missing field `{key}`")
    return obj[key]


def _unsigned(obj: dict, key: str, label: str) -> int:
    value = _field(obj, key, label)
    if type(value) is not int or value < 0:
        raise QueryError(f"{label} {key} must be an unsigned integer")
    return value


def _check_header(obj: Any, label: str) -> dict:
    if not isinstance(obj, dict):
        raise QueryError(f"{label} must be a JSON object")
    version = _unsigned(obj, "protocol_version", label)
    if version != PROTOCOL_VERSION:
        raise QueryError(f"{label} protocol_version {version} is unsupported")
    scheme = _field(obj, "scheme", label)
    if scheme != profiles.SCHEME:
        raise QueryError(f"{label} scheme {scheme!r} is unsupported; expected {profiles.SCHEME}")
    return obj


class PirServer:
    """Answers PIR queries for one store; immutable after loading."""

    def __init__(self, profile: profiles.Profile, database):
        self.profile = profile
        self._database = database

    @classmethod
    def load(cls, server_dir: str | pathlib.Path) -> "PirServer":
        """Loads the state directory written by quorvex.publish."""
        return cls(*load_state(pathlib.Path(server_dir)))

    @property
    def record_count(self) -> int:
        return self._database.setup.record_count

    @property
    def record_size_bytes(self) -> int:
        return self._database.setup.record_size_bytes

    def parse_queries(self, query_document: bytes | str) -> np.ndarray:
        """Checks a batched query document; returns its query vectors as columns."""
        try:
            text = query_document if isinstance(query_document, str) else bytes(query_document).decode("utf-8")
            document = json.loads(text,
                                  object_pairs_hook=_unique_keys, parse_constant=_refuse_constant)
        except QueryError as error:
            raise QueryError(f"batched PIR query is not valid JSON: {error}") from None
        except (UnicodeDecodeError, ValueError, RecursionError) as error:
            raise QueryError(f"batched PIR query is not valid JSON: {error}") from None
        label = "batched PIR query"
        _check_header(document, label)
        count = _unsigned(document, "retrieval_count", label)
        queries = _field(document, "queries", label)
        if not isinstance(queries, list):
            raise QueryError(f"{label} queries must be a JSON array")
        if count == 0:
            raise QueryError(f"{label} retrieval_count must be greater than zero")
        if count != len(queries):
            raise QueryError(f"{label} retrieval_count {count} does not match payload count {len(queries)}")
        if self.profile.is_supported and count != SUPPORTED_RETRIEVAL_COUNT:
            raise QueryError(f"PIR parameter_profile {self.profile.name} requires retrieval_count "
                             f"{SUPPORTED_RETRIEVAL_COUNT}, got {count}")
        if count > MAX_RETRIEVAL_COUNT:
            raise QueryError(f"{label} retrieval_count {count} exceeds this server's limit of {MAX_RETRIEVAL_COUNT}")
        length = self._database.query_length
        columns = np.empty((length, count), dtype=np.uint64)
        for position, query in enumerate(queries):
            item = f"PIR query {position}"
            _check_header(query, item)
            payload = _field(query, "payload", item)
            if not isinstance(payload, str):
                raise QueryError(f"{item} payload must be a string")
            if not payload:
                raise QueryError(f"{item} payload cannot be empty")
            try:
                raw = _codec.decode_payload(payload)
                columns[:, position] = _codec.decode_vector(self._database.query_magic, raw, length, item)
            except _codec.PayloadError as error:
                message = str(error)
                raise QueryError(message if message.startswith(item) else f"{item} payload: {message}") from None
        return columns

    @property
    def max_query_bytes(self) -> int:
        """The size of the largest query document this store can accept: MAX_RETRIEVAL_COUNT framed
        payloads and room for the JSON around them."""
        framed = 16 + 8 * self._database.query_length
        payload_chars = 4 * (framed // 3) + (0, 2, 3)[framed % 3]
        return 1024 + MAX_RETRIEVAL_COUNT * (payload_chars + 256)

    def _response(self, answers: np.ndarray) -> bytes:
        responses = [{
            "protocol_version": PROTOCOL_VERSION,
            "scheme": profiles.SCHEME,
            "payload": _codec.encode_payload(_codec.encode_vector(self._database.response_magic, answers[:, k])),
        } for k in range(answers.shape[1])]
        document = {"protocol_version": PROTOCOL_VERSION, "scheme": profiles.SCHEME,
                    "retrieval_count": len(responses), "responses": responses}
        return json.dumps(document, separators=(",", ":")).encode("ascii")

    def answer(self, query_document: bytes | str) -> bytes:
        """The batched response document (compact JSON bytes) for a batched query document."""
        result = self.answer_batch([query_document])[0]
        if isinstance(result, QueryError):
            raise result
        return result

    def answer_batch(self, query_documents: list[bytes | str]) -> list[bytes | QueryError]:
        """Answers several query documents (from different clients) with one pass over the store.

        Position k of the result is document k's response document, or the QueryError that
        refuses it; one refused document does not affect the others.
        """
        parsed: list[np.ndarray | QueryError] = []
        for document in query_documents:
            try:
                parsed.append(self.parse_queries(document))
            except QueryError as error:
                # Without the tracebacks of this error and of those it replaced: their frames would
                # keep the document, its text and its parsed JSON alive, in cycles that only the
                # garbage collector's rare full passes free.
                fault: BaseException | None = error
                while fault is not None:
                    fault.__traceback__ = None
                    fault = fault.__context__
                parsed.append(error)
        valid = [columns for columns in parsed if not isinstance(columns, QueryError)]
        answers = self._database.answer(np.concatenate(valid, axis=1)) if valid else None
        results: list[bytes | QueryError] = []
        first = 0
        for columns in parsed:
            if isinstance(columns, QueryError):
                results.append(columns)
            else:
                results.append(self._response(answers[:, first:first + columns.shape[1]]))
                first += columns.shape[1]
        return results


def load(server_dir: str | pathlib.Path) -> PirServer:
    return PirServer.load(server_dir)
