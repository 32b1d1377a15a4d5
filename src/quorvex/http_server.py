"""HTTP front of the PIR server: POST a batched query document, get the batched response document.

    server = PirHttpServer(PirServer.load("server-state/"))      # 127.0.0.1, a free port
    with serve_in_background(server):
        ... server.url ...

One endpoint, QUERY_PATH, answering POST only. Bodies must state their length and stay
within max_request_bytes; everything refused gets a 4xx status with a JSON body
{"error": "..."}. Nothing about a request is logged: not its content, not even its
sender, since the point of the server is that it learns as little as possible.
"""

from __future__ import annotations

import contextlib
import json
import socket
import sys
import threading
from collections.abc import Iterator
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from quorvex.server import PirServer, QueryError

__all__ = ["DEFAULT_MAX_REQUEST_BYTES", "PirHttpServer", "QUERY_PATH", "serve_in_background"]

QUERY_PATH = "/query"
# A supported-profile query document is well under 100 KiB; this leaves room for the
# experimental profiles' larger stores and batches.
DEFAULT_MAX_REQUEST_BYTES = 16 * 1024 * 1024
# Seconds a connection may stay silent before it is dropped.
SOCKET_TIMEOUT = 30


class _Handler(BaseHTTPRequestHandler):
    server: "PirHttpServer"
    server_version = "quorvex"
    sys_version = ""
    timeout = SOCKET_TIMEOUT

    def log_message(self, format: str, *args) -> None:  # noqa: A002 - the base class's name
        pass  # no access log: see the module docstring

    def _send_json(self, status: int, body: bytes, *, close: bool = False) -> None:
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        if status == HTTPStatus.METHOD_NOT_ALLOWED:
            self.send_header("Allow", "POST")
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        """Every refusal, including those of the request parser, as a JSON body."""
        if message is None:
            try:
                message = HTTPStatus(code).phrase
            except ValueError:
                message = "error"
        body = json.dumps({"error": message}).encode()
        self._send_json(code, body, close=True)

    def _refuse_method(self) -> None:
        self.send_error(HTTPStatus.METHOD_NOT_ALLOWED, f"only POST is accepted, with a query document to {QUERY_PATH}")

    do_GET = do_HEAD = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _refuse_method

    def _read_body(self) -> bytes | None:
        if self.headers.get("Transfer-Encoding"):
            self.send_error(HTTPStatus.LENGTH_REQUIRED, "chunked bodies are not accepted; send Content-Length")
            return None
        length_text = self.headers.get("Content-Length")
        if length_text is None:
            self.send_error(HTTPStatus.LENGTH_REQUIRED, "Content-Length is required")
            return None
        if not length_text.strip().isdigit():
            self.send_error(HTTPStatus.BAD_REQUEST, "Content-Length must be a non-negative integer")
            return None
        length = int(length_text)
        limit = self.server.max_request_bytes
        if length > limit:
            self.send_error(HTTPStatus.REQUEST_ENTITY_TOO_LARGE,
                            f"the query document has {length} bytes; this server accepts at most {limit}")
            return None
        body = self.rfile.read(length)
        if len(body) != length:
            self.send_error(HTTPStatus.BAD_REQUEST, f"the body ended after {len(body)} of {length} bytes")
            return None
        return body

    def do_POST(self) -> None:
        if self.path.split("?", 1)[0] != QUERY_PATH:
            self.send_error(HTTPStatus.NOT_FOUND, f"no such endpoint; POST query documents to {QUERY_PATH}")
            return
        body = self._read_body()
        if body is None:
            return
        try:
            response = self.server.pir.answer(body)
        except QueryError as error:
            self.send_error(HTTPStatus.BAD_REQUEST, str(error))
            return
        except Exception as error:  # noqa: BLE001 - the client gets a 500, the operator the kind of fault
            print(f"quorvex serve: internal error while answering a query: {type(error).__name__}", file=sys.stderr)
            self.send_error(HTTPStatus.INTERNAL_SERVER_ERROR, "internal error while answering the query")
            return
        self._send_json(HTTPStatus.OK, response)


class PirHttpServer(ThreadingHTTPServer):
    """A threaded HTTP server answering PIR queries for one PirServer (loopback by default)."""

    daemon_threads = True

    def __init__(self, pir: PirServer, host: str = "127.0.0.1", port: int = 0, *,
                 max_request_bytes: int = DEFAULT_MAX_REQUEST_BYTES):
        self.pir = pir
        self.max_request_bytes = max_request_bytes
        if ":" in host:
            self.address_family = socket.AF_INET6
        super().__init__((host, port), _Handler)

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        host = f"[{host}]" if ":" in host else host
        return f"http://{host}:{port}{QUERY_PATH}"


@contextlib.contextmanager
def serve_in_background(server: PirHttpServer) -> Iterator[PirHttpServer]:
    """Serves on a daemon thread for the duration of the block, then shuts down and closes the socket."""
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                              name="quorvex-http", daemon=True)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join(timeout=10)
