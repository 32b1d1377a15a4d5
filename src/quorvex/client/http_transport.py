"""A transport that POSTs the query document to a quorvex HTTP server (standard library only).

    transport = HttpTransport("http://127.0.0.1:8765/query")
    response_bytes = transport(query_bytes)

Connections are kept open and reused; one transport may serve several threads at once (each
request takes an idle connection or opens one). A busy server's 503 is retried after its
Retry-After, a bounded number of times; a kept-alive connection that the server closed meanwhile
is replaced once. Every query asks for a gzip-compressed answer; max_response_bytes bounds both
the bytes read and the document they decompress to, and a body that would inflate beyond it is
refused without being inflated further. Requests to a loopback address never go through a proxy
named in the environment; others follow the environment's proxy settings.
"""

from __future__ import annotations

import http.client
import ipaddress
import json
import socket
import threading
import urllib.parse
import urllib.request
import zlib
from time import sleep

from quorvex.shared.formats import PUBLICATION_HEADER

__all__ = ["HttpEndpoint", "HttpTransport", "PublicationMismatch", "TransportError", "server_address"]

DEFAULT_TIMEOUT = 30.0
# A supported-profile response is well under 1 MiB; the limit only stops a runaway server.
DEFAULT_MAX_RESPONSE_BYTES = 64 * 1024 * 1024
# A busy server (503) is asked again after the Retry-After it gives, this many times: about ten
# seconds of waiting at its usual one second.
DEFAULT_BUSY_RETRIES = 10
# The longest Retry-After honoured; a larger one is waited for this long.
MAX_RETRY_WAIT = 10.0
# Errors of a kept-alive connection that the server closed before reading the request.
_STALE = (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError)


class TransportError(OSError):
    """The query could not be delivered or the server refused it."""


class PublicationMismatch(TransportError):
    """The server serves another publication than the one the query was made for."""


class _StaleConnection(Exception):
    pass


class _Refused(Exception):
    def __init__(self, status: int, headers: http.client.HTTPMessage, body: bytes):
        self.status, self.headers, self.body = status, headers, body


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _server_message(body: bytes) -> str:
    try:
        return str(json.loads(body)["error"])
    except (ValueError, KeyError, TypeError):
        return "no details"


def _decompressed(body: bytes, content_encoding: str, limit: int) -> bytes:
    """The document a body of the given Content-Encoding holds; a TransportError for another coding
    than gzip or identity, a corrupt gzip stream, or a document above limit bytes (never inflated
    beyond limit + 1 bytes, however small the body)."""
    coding = content_encoding.strip().lower()
    if coding in ("", "identity"):
        return body
    if coding != "gzip":
        raise TransportError("the server's answer has a Content-Encoding other than gzip or identity")
    inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
    try:
        document = inflater.decompress(body, limit + 1)
    except zlib.error as error:
        raise TransportError(f"the server's answer is not valid gzip: {error}") from None
    if len(document) > limit:
        raise TransportError(f"the server's answer exceeds {limit} bytes once decompressed")
    if not inflater.eof or inflater.unused_data:
        raise TransportError("the server's answer is not valid gzip: it is cut short or followed by other bytes")
    return document


def _retry_wait(headers: http.client.HTTPMessage) -> float:
    value = (headers.get("Retry-After") or "").strip()
    return min(float(value), MAX_RETRY_WAIT) if value.isdigit() else 1.0


def server_address(url: str) -> str:
    """The address of the server at url: scheme, host and port (lower case, the port given even where
    it is the scheme's default), so that every path of one server is one server."""
    parts = urllib.parse.urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError(f"the server URL must be an http:// or https:// URL with a host, got {url!r}")
    host = f"[{parts.hostname}]" if ":" in parts.hostname else parts.hostname
    return f"{parts.scheme}://{host}:{parts.port or (443 if parts.scheme == 'https' else 80)}"


class HttpEndpoint:
    """Connections to the server of one URL: direct for a loopback host or one the environment exempts
    from proxying, otherwise through the environment's proxy for the URL's scheme."""

    def __init__(self, url: str, timeout: float):
        self.parts = urllib.parse.urlsplit(url)
        self.timeout = timeout
        host = self.parts.hostname or ""
        self._proxy = None
        if not _is_loopback(host) and not urllib.request.proxy_bypass(host):
            proxy = urllib.request.getproxies().get(self.parts.scheme)
            self._proxy = urllib.parse.urlsplit(proxy) if proxy else None

    def target(self, path: str | None = None) -> str:
        """What a request line names for path (by default the URL's own): the whole URL for a plain
        proxy, else the path and query."""
        parts = self.parts if path is None else self.parts._replace(path=path, query="")
        if self._proxy is not None and parts.scheme == "http":
            return urllib.parse.urlunsplit(parts._replace(fragment=""))
        return urllib.parse.urlunsplit(("", "", parts.path or "/", parts.query, ""))

    def connect(self) -> http.client.HTTPConnection:
        """A connected connection (OSError where the server or proxy cannot be reached)."""
        host, port = self.parts.hostname or "", self.parts.port
        kind = http.client.HTTPSConnection if self.parts.scheme == "https" else http.client.HTTPConnection
        if self._proxy is not None:
            connection = kind(self._proxy.hostname or "", self._proxy.port, timeout=self.timeout)
            if self.parts.scheme == "https":
                connection.set_tunnel(host, port)
        else:
            connection = kind(host, port, timeout=self.timeout)
        try:
            connection.connect()
            # http.client sends the headers and a large body in two writes: without this, the body
            # waits for the server's delayed acknowledgement of the headers (40 ms on Linux).
            connection.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            connection.close()
            raise
        return connection


class HttpTransport:
    def __init__(self, url: str, *, timeout: float = DEFAULT_TIMEOUT,
                 max_response_bytes: int = DEFAULT_MAX_RESPONSE_BYTES, busy_retries: int = DEFAULT_BUSY_RETRIES,
                 publication: str | None = None):
        """publication: the identifier of the cache the queries are made for (quorvex.shared.formats),
        sent with each query so that a server holding another publication refuses it."""
        # The address refuses anything but an http:// or https:// URL with a host.
        self.server_address = server_address(url)  # what a failed check distrusts (quorvex.client.distrust)
        self.url = url
        self.timeout = timeout
        self.max_response_bytes = max_response_bytes
        self.busy_retries = busy_retries
        self.publication = publication
        self._headers = {"Content-Type": "application/json", "Accept-Encoding": "gzip"}
        if publication is not None:
            self._headers[PUBLICATION_HEADER] = publication
        self._endpoint = HttpEndpoint(url, timeout)
        self._idle: list[http.client.HTTPConnection] = []
        self._lock = threading.Lock()

    def __call__(self, query_document: bytes) -> bytes:
        document = bytes(query_document)
        for attempt in range(self.busy_retries + 1):
            try:
                return self._post(document)
            except _Refused as refused:
                if refused.status == 409:
                    raise PublicationMismatch(f"the server at {self.url} does not serve the publication this "
                                              "query was made for: the wrong server, or a state not yet updated?"
                                              ) from None
                if refused.status != 503 or attempt == self.busy_retries:
                    raise TransportError(f"the server refused the query (HTTP {refused.status}): "
                                         f"{_server_message(refused.body)}") from None
                sleep(_retry_wait(refused.headers))
        raise AssertionError("unreachable")

    def for_publication(self, publication: str) -> HttpTransport:
        """The same transport (a new one, with its own connections) for queries made for publication."""
        return HttpTransport(self.url, timeout=self.timeout, max_response_bytes=self.max_response_bytes,
                             busy_retries=self.busy_retries, publication=publication)

    def close(self) -> None:
        """Closes the idle connections; the transport stays usable."""
        with self._lock:
            idle, self._idle = self._idle, []
        for connection in idle:
            connection.close()

    def _post(self, document: bytes) -> bytes:
        with self._lock:
            connection = self._idle.pop() if self._idle else None
        if connection is not None:
            try:
                return self._exchange(connection, document, fresh=False)
            except _StaleConnection:
                pass  # closed by the server while idle: once more on a new connection
        return self._exchange(self._connect(), document, fresh=True)

    def _connect(self) -> http.client.HTTPConnection:
        try:
            return self._endpoint.connect()
        except OSError as error:
            raise TransportError(f"cannot reach {self.url}: {error.strerror or error}") from None

    def _exchange(self, connection: http.client.HTTPConnection, document: bytes, *, fresh: bool) -> bytes:
        """One request on the connection; returns it to the idle list if the server keeps it open."""
        try:
            connection.request("POST", self._endpoint.target(), body=document, headers=self._headers)
            response = connection.getresponse()
            body = response.read(self.max_response_bytes + 1)
        except (OSError, http.client.HTTPException) as error:  # timeouts, resets, bad answers
            connection.close()
            if not fresh and isinstance(error, _STALE):
                raise _StaleConnection from None
            raise TransportError(f"no answer from {self.url}: {error}") from None
        if len(body) > self.max_response_bytes:
            connection.close()
            raise TransportError(f"the server's answer exceeds {self.max_response_bytes} bytes")
        if response.will_close:
            connection.close()
        else:
            with self._lock:
                self._idle.append(connection)
        if response.status != 200:
            raise _Refused(response.status, response.msg, body)
        coding = ",".join(response.msg.get_all("Content-Encoding") or ())
        return _decompressed(body, coding, self.max_response_bytes)
