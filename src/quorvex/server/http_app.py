"""The PIR service as an ASGI application: POST a batched query document to /query, get the
batched response document; with a served cache, GET its files under /cache/.

    app = PirApp(PirServer.load("server-state/"))     # mount it in any ASGI server, or run
                                                       # `quorvex serve` (http_server.PirHttpServer)
    app = PirApp(pir, limits, ServedCache.load("cache/", pir.publication))   # and /cache/<name>

Requests wait in one bounded queue (quorvex.server.batcher) and are answered in batches, one pass over
the store for many clients. Every refusal is a status line and a JSON body {"error": "..."}:

    404  a path other than /query (or /cache/...)  405  a method other than POST (Allow: POST)
    411  no Content-Length, or a chunked body  400  a Content-Length that is not a plain number
    413  a body above max_request_bytes (at most the store's largest valid query document), unread
    503  a body that does not fit in the queue's Limits.max_pending_bytes, at once (Retry-After), unread
    400  a Quorvex-Publication header that is not one publication identifier (64 lower-case
         hexadecimal digits; the value is never echoed)
    409  a query made for another publication (the Quorvex-Publication header names it); the
         body is read and dropped, nothing is computed, and neither publication is named
    400  a malformed query document           500  an internal fault (logged by its type only)

A 413 closes the connection, since its body is not read; every other answer keeps it open.
A 200 carries the response document, gzip-compressed (Content-Encoding: gzip, Vary: Accept-Encoding)
when the request's Accept-Encoding accepts gzip, else as the engine wrote it; refusals are never
compressed.

Under /cache/, when a cache is served (quorvex.server.served_cache, which says more), its files:

    200  a file the cache serves, whole     206  one byte range of it (Range: bytes=a-b, a- or -n)
    304  If-None-Match names its ETag       416  a range past the file (Content-Range: bytes */size)
    404  a name the cache does not serve    405  a method other than GET and HEAD (Allow: GET, HEAD)
    400  a request carrying a body, unread: the connection closes

The deadlines for a request's arrival and the bound on connections belong to the server that
runs the app (see quorvex.server.http_protocol for `quorvex serve`). Nothing about a request is
logged: not its content, not its sender, not its time.
"""

from __future__ import annotations

import asyncio
import dataclasses
import gzip
import json
import logging
import re
from collections.abc import Awaitable, Callable, Sequence
from http import HTTPStatus
from typing import TYPE_CHECKING, Any, Protocol

from quorvex.server.batcher import Batcher, Outcome, QueueFull
from quorvex.server.memory import release_freed_memory
from quorvex.shared.formats import PUBLICATION_HEADER

if TYPE_CHECKING:  # served_cache answers with this module's refusals and compression
    from quorvex.server.served_cache import ServedCache

__all__ = ["CACHE_PATH", "Limits", "PirApp", "QUERY_PATH", "RETRY_AFTER_SECONDS", "refusal_bytes", "refuse_busy"]

# The ASGI interface.
Scope = dict[str, Any]
Message = dict[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]

class PirService(Protocol):
    """What the application needs of the PIR server (PirServer has it)."""

    @property
    def max_query_bytes(self) -> int: ...

    def answer_batch(self, query_documents: Sequence[bytes]) -> Sequence[Outcome]: ...


QUERY_PATH = "/query"
CACHE_PATH = "/cache/"
RETRY_AFTER_SECONDS = 1
_log = logging.getLogger("quorvex.http")


@dataclasses.dataclass(frozen=True)
class Limits:
    """What the service lets its clients hold; every field is a bound on memory, time or sockets."""

    # Query documents answered by one pass over the store (a supported-profile document is 4 queries).
    max_batch: int = 32
    # Bytes of query documents admitted and not yet answered: the memory of work in flight.
    max_pending_bytes: int = 64 * 1024 * 1024
    # Seconds for a request to arrive whole, from its connection's opening or the previous answer.
    request_timeout: float = 10.0
    # Seconds an idle kept-alive connection stays open.
    keep_alive_timeout: float = 5.0
    # Open connections served; requests on connections beyond it get a 503.
    max_connections: int = 4096
    # Largest body accepted; None (or anything larger) means the store's largest valid query
    # document (or max_pending_bytes, if that is smaller).
    max_request_bytes: int | None = None


def _error_body(message: str) -> bytes:
    return json.dumps({"error": message}).encode()


def _headers(body: bytes, extra: tuple[tuple[bytes, bytes], ...] = ()) -> list[tuple[bytes, bytes]]:
    return [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode()),
            (b"cache-control", b"no-store"), *extra]


def refusal_bytes(status: int, message: str) -> bytes:
    """A whole HTTP/1.1 refusal that closes its connection, for refusals made below the application."""
    body = _error_body(message)
    head = [f"HTTP/1.1 {status} {HTTPStatus(status).phrase}".encode()]
    head += [name + b": " + value for name, value in _headers(body, ((b"connection", b"close"),))]
    return b"\r\n".join(head) + b"\r\n\r\n" + body


class _Refusal(Exception):
    def __init__(self, status: int, message: str, *headers: tuple[bytes, bytes]):
        super().__init__(message)
        self.status, self.message, self.headers = status, message, headers


_BUSY = ((b"retry-after", str(RETRY_AFTER_SECONDS).encode()),)


async def _send(send: Send, status: int, body: bytes, extra: tuple[tuple[bytes, bytes], ...] = ()) -> None:
    await send({"type": "http.response.start", "status": status, "headers": _headers(body, extra)})
    await send({"type": "http.response.body", "body": body})


async def refuse_busy(scope: Scope, receive: Receive, send: Send) -> None:
    """The answer to a request on a connection beyond the server's bound (an ASGI application)."""
    await _send(send, HTTPStatus.SERVICE_UNAVAILABLE, _error_body("the server holds as many connections as it "
                                                                  "may; retry shortly"),
                (*_BUSY, (b"connection", b"close")))


def _content_length(headers: list[tuple[bytes, bytes]], limit: int) -> int:
    if any(name == b"transfer-encoding" for name, _ in headers):
        raise _Refusal(HTTPStatus.LENGTH_REQUIRED, "chunked bodies are not accepted; send Content-Length")
    lengths = {value.strip() for name, value in headers if name == b"content-length"}
    if not lengths:
        raise _Refusal(HTTPStatus.LENGTH_REQUIRED, "Content-Length is required")
    text = lengths.pop()
    if lengths or not text.isdigit():  # bytes.isdigit() is ASCII digits only
        raise _Refusal(HTTPStatus.BAD_REQUEST, "Content-Length must be one non-negative integer")
    length = int(text)
    if length > limit:
        raise _Refusal(HTTPStatus.REQUEST_ENTITY_TOO_LARGE,
                       f"the query document has {length} bytes; this server accepts at most {limit}",
                       (b"connection", b"close"))
    return length


async def _read_body(receive: Receive, length: int) -> bytes:
    pieces: list[bytes] = []
    received = 0  # joined once at the end: a body often comes whole, in one piece
    while True:
        message = await receive()
        if message["type"] != "http.request":
            raise _Refusal(HTTPStatus.BAD_REQUEST, f"the body ended after {received} of {length} bytes")
        pieces.append(message.get("body", b""))
        received += len(pieces[-1])
        if received > length:
            raise _Refusal(HTTPStatus.BAD_REQUEST, f"the body is longer than its Content-Length of {length}")
        if not message.get("more_body", False):
            break
    if received != length:
        raise _Refusal(HTTPStatus.BAD_REQUEST, f"the body ended after {received} of {length} bytes")
    return pieces[0] if len(pieces) == 1 else b"".join(pieces)


_PUBLICATION = PUBLICATION_HEADER.lower().encode()


_HEX_DIGITS = frozenset(b"0123456789abcdef")


def _asked_publication(headers: list[tuple[bytes, bytes]]) -> bytes | None:
    """The publication a query was made for, or None for a query that names none. Anything but one
    identifier (64 lower-case hexadecimal digits) is refused, and never echoed."""
    values = [value for name, value in headers if name == _PUBLICATION]
    if not values:
        return None
    if len(values) > 1 or len(values[0]) != 64 or not _HEX_DIGITS.issuperset(values[0]):
        raise _Refusal(HTTPStatus.BAD_REQUEST, f"{PUBLICATION_HEADER} must be one publication identifier: 64 "
                                               "lower-case hexadecimal digits")
    return values[0]


_ACCEPT_ENCODING = b"accept-encoding"
_QVALUE = re.compile(rb"0(\.[0-9]{0,3})?|1(\.0{0,3})?")
_GZIPPED = ((b"content-encoding", b"gzip"), (b"vary", b"Accept-Encoding"))
# A response is pseudorandom payload text, which compresses alike at every level (to about 0.65),
# and on stores of many records mostly zero elements: level 1 leaves 1 to 4 % of such a response,
# levels 6 and 9 take twice the time to save a further 0.3 to 0.4 % of it.
_GZIP_LEVEL = 1
# Larger responses are compressed on a worker thread, keeping the event loop free for other
# connections: pseudorandom payload text takes about 0.3 ms per 16 KiB, zero elements far less.
_INLINE_GZIP_BYTES = 16 * 1024


def _accepts_gzip(headers: list[tuple[bytes, bytes]]) -> bool:
    """Whether Accept-Encoding accepts gzip: named with a q-value above 0, or not named and covered by
    "*" with one. A coding named twice takes its lower q-value; an unreadable q-value counts as 0."""
    weights: dict[bytes, float] = {}
    for element in b",".join(value for name, value in headers if name == _ACCEPT_ENCODING).split(b","):
        coding, *parameters = element.split(b";")
        weight = 1.0
        for parameter in parameters:
            key, _, value = parameter.partition(b"=")
            if key.strip().lower() == b"q":
                value = value.strip()
                weight = float(value) if _QVALUE.fullmatch(value) else 0.0
        coding = coding.strip().lower()
        coding = b"gzip" if coding == b"x-gzip" else coding
        weights[coding] = min(weight, weights.get(coding, weight))
    return weights.get(b"gzip", weights.get(b"*", 0.0)) > 0


async def _gzipped(document: bytes) -> bytes:
    if len(document) <= _INLINE_GZIP_BYTES:
        return gzip.compress(document, _GZIP_LEVEL, mtime=0)
    return await asyncio.to_thread(gzip.compress, document, _GZIP_LEVEL, mtime=0)


class PirApp:
    """ASGI application answering PIR queries for one PirServer (anything with answer_batch,
    max_query_bytes and publication), and requests for the files of cache, if one is given."""

    def __init__(self, pir: PirService, limits: Limits = Limits(), cache: ServedCache | None = None):
        self.limits = limits
        self.cache = cache
        self.publication: str | None = getattr(pir, "publication", None)
        # Above the store's largest valid document nothing can be answered; above the pending
        # budget nothing could ever be admitted, so that too is a 413 rather than a 503 forever.
        store_limit = pir.max_query_bytes
        self.max_request_bytes = min(limits.max_request_bytes or store_limit, store_limit, limits.max_pending_bytes)
        self.batcher = Batcher(pir.answer_batch, max_batch=limits.max_batch,
                               max_pending_bytes=limits.max_pending_bytes, on_idle=release_freed_memory)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            return  # no lifespan work to do, and no websockets
        try:
            if self.cache is not None and scope["path"].startswith(CACHE_PATH):
                await self.cache.answer(scope, receive, send)
            else:
                await _send(send, HTTPStatus.OK, *await self._answer(scope, receive))
        except _Refusal as refusal:
            await _send(send, refusal.status, _error_body(refusal.message), refusal.headers)
        except Exception as error:  # noqa: BLE001 - the client gets a 500, the operator the kind of fault
            _log.error("internal error while answering a query: %s", type(error).__name__)
            await _send(send, HTTPStatus.INTERNAL_SERVER_ERROR, _error_body("internal error while answering the query"))

    async def _answer(self, scope: Scope, receive: Receive) -> tuple[bytes, tuple[tuple[bytes, bytes], ...]]:
        """The response body and its headers beyond those of every answer."""
        if scope["path"] != QUERY_PATH:
            raise _Refusal(HTTPStatus.NOT_FOUND, f"no such endpoint; POST query documents to {QUERY_PATH}")
        if scope["method"] != "POST":
            raise _Refusal(HTTPStatus.METHOD_NOT_ALLOWED,
                           f"only POST is accepted, with a query document to {QUERY_PATH}", (b"allow", b"POST"))
        length = _content_length(scope["headers"], self.max_request_bytes)
        try:
            asked = _asked_publication(scope["headers"])
        except _Refusal:
            await _read_body(receive, length)  # dropped: so the client reads the refusal, not a reset
            raise
        # A server that does not know its publication (a state written before they were named) serves any.
        if asked is not None and self.publication is not None and asked != self.publication.encode():
            await _read_body(receive, length)
            raise _Refusal(HTTPStatus.CONFLICT, "this server does not serve the publication the query was made for")
        try:
            # Admitted until the answer is compressed: the response, about the query's size, is work in flight too.
            with self.batcher.admitted(length):
                result = await self.batcher.answer(await _read_body(receive, length))
                if isinstance(result, Exception):  # the engine's refusal of this document (a QueryError)
                    raise _Refusal(HTTPStatus.BAD_REQUEST, str(result))
                if _accepts_gzip(scope["headers"]):
                    return await _gzipped(result), _GZIPPED
                return result, ()
        except QueueFull:
            raise _Refusal(HTTPStatus.SERVICE_UNAVAILABLE, "the server is busy; retry shortly", *_BUSY) from None

    def close(self) -> None:
        """Stops the engine thread once the work in flight is done, and closes the served cache's files."""
        self.batcher.close()
        if self.cache is not None:
            self.cache.close()
