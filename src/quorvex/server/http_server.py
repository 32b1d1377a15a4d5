"""The PIR service on uvicorn: what `quorvex serve`, the demo and the tests run.

    server = PirHttpServer(PirServer.load("server-state/"))      # 127.0.0.1, a free port
    with serve_in_background(server):
        ... server.url ...
    PirHttpServer(pir, "0.0.0.0", 8765, workers=2).serve_forever()   # until Ctrl-C or SIGTERM
    PirHttpServer(pir, cache=ServedCache.load("cache/", pir.publication))   # and the cache's files, at cache_url

HTTP/1.1 with keep-alive, a listen backlog, the deadlines and the connection bound of Limits
(enforced by quorvex.server.http_protocol), and the application of quorvex.server.http_app. Nothing about a
request is logged unless access_log is set; nothing logged carries a traceback.
"""

from __future__ import annotations

import contextlib
import ctypes
import functools
import logging
import os
import signal
import socket
import sys
import threading
import time
from collections.abc import Iterator

import uvicorn

from quorvex.server.http_protocol import GuardedH11Protocol
from quorvex.server.memory import one_malloc_arena
from quorvex.server.http_app import CACHE_PATH, QUERY_PATH, Limits, PirApp, PirService
from quorvex.server.served_cache import ServedCache

__all__ = ["Limits", "PirHttpServer", "QUERY_PATH", "serve_in_background"]

BACKLOG = 2048
# Seconds a stopping server gives the requests in flight before it cancels them.
GRACEFUL_SHUTDOWN_SECONDS = 10
# prctl's option that names the signal a process gets when its parent dies (linux/prctl.h).
_PR_SET_PDEATHSIG = 1


def _stop_with_parent(parent: int) -> None:
    """Has Linux send this worker SIGTERM when its parent dies, however it dies (SIGKILL included),
    so that no worker keeps the port after the parent; then leaves at once if the parent died
    before the request was made."""
    if sys.platform.startswith("linux"):
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0) != 0:
            error = ctypes.get_errno()
            raise OSError(error, f"prctl(PR_SET_PDEATHSIG): {os.strerror(error)}")
    if os.getppid() != parent:
        os._exit(0)


class _NoTracebacks(logging.Filter):
    """Drops the traceback of a record, keeping the kind of fault: a traceback may quote request data."""

    def filter(self, record: logging.LogRecord) -> bool:
        if record.exc_info and record.exc_info[0] is not None:
            record.msg = f"{record.getMessage()} ({record.exc_info[0].__name__})"
            record.args = None
        record.exc_info = record.exc_text = None
        return True


def _configure_logs(access_log: bool) -> None:
    # uvicorn's warnings are each about one request (a malformed one, say); its errors are kept
    # without tracebacks, and so are asyncio's. The access log, when asked for, goes to stderr.
    logging.getLogger("uvicorn.error").setLevel(logging.ERROR)
    access = logging.getLogger("uvicorn.access")
    if access_log and not access.handlers:
        handler = logging.StreamHandler()
        handler.setFormatter(logging.Formatter("%(asctime)s %(message)s"))
        access.addHandler(handler)
        access.setLevel(logging.INFO)
    for name in ("uvicorn.error", "asyncio"):
        logger = logging.getLogger(name)
        if not any(isinstance(f, _NoTracebacks) for f in logger.filters):
            logger.addFilter(_NoTracebacks())


def _listening_socket(host: str, port: int, *, shared: bool) -> socket.socket:
    # IPPROTO_TCP by name: asyncio sets TCP_NODELAY on accepted sockets only then, and without it a
    # response's body waits for the client's delayed acknowledgement of its headers.
    sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if shared:  # one socket per worker on the same port: the kernel spreads connections evenly
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    try:
        sock.bind((host, port))
        sock.listen(BACKLOG)
    except OSError:
        sock.close()
        raise
    return sock


class PirHttpServer:
    """Answers PIR queries over HTTP for one PirServer (loopback by default; port 0 picks a free one), and
    requests for the files of cache, if one is given."""

    def __init__(self, pir: PirService, host: str = "127.0.0.1", port: int = 0, *, limits: Limits = Limits(),
                 access_log: bool = False, workers: int = 1, cache: ServedCache | None = None):
        self.app = PirApp(pir, limits, cache)
        self.limits = limits
        self.workers = workers
        self.socket = _listening_socket(host, port, shared=workers > 1)
        self.server_address = self.socket.getsockname()
        protocol = functools.partial(GuardedH11Protocol, request_timeout=limits.request_timeout,
                                     max_connections=limits.max_connections, access_log=access_log)
        _configure_logs(access_log)
        # uvicorn takes a protocol class where any callable making one works, and whole seconds where
        # its timer takes any number.
        config = uvicorn.Config(
            self.app, http=protocol, lifespan="off", proxy_headers=False, server_header=False,  # type: ignore[arg-type]
            access_log=access_log, log_config=None, backlog=BACKLOG,
            timeout_keep_alive=limits.keep_alive_timeout,  # type: ignore[arg-type]
            timeout_graceful_shutdown=GRACEFUL_SHUTDOWN_SECONDS)
        self._uvicorn = uvicorn.Server(config)

    def _url(self, path: str) -> str:
        host, port = self.server_address[:2]
        host = f"[{host}]" if ":" in host else host
        return f"http://{host}:{port}{path}"

    @property
    def url(self) -> str:
        return self._url(QUERY_PATH)

    @property
    def cache_url(self) -> str:
        """Where the served cache's files are, each under its name in checksums.json."""
        return self._url(CACHE_PATH)

    def serve_forever(self) -> None:
        """Serves until Ctrl-C or SIGTERM. With several workers, each is a process forked after the
        store was loaded (sharing its pages) with its own socket on the port and its own queue."""
        one_malloc_arena()
        if self.workers <= 1:
            self._uvicorn.run(sockets=[self.socket])
            return
        signal.signal(signal.SIGTERM, signal.default_int_handler)  # stop the workers, as Ctrl-C does
        children, parent = [], os.getpid()
        for k in range(self.workers):
            pid = os.fork()
            if pid == 0:  # a worker: serve, then leave without running the parent's clean-up
                code = 0
                try:
                    _stop_with_parent(parent)
                    own = self.socket if k == 0 else _listening_socket(*self.server_address[:2], shared=True)
                    self._uvicorn.run(sockets=[own])
                except KeyboardInterrupt:
                    pass  # the stop signal, raised again once uvicorn has shut down
                except BaseException:  # noqa: BLE001 - a worker reports through its exit status
                    code = 1
                os._exit(code)
            children.append(pid)
        try:
            for pid in children:
                os.waitpid(pid, 0)
        except KeyboardInterrupt:
            for pid in children:
                os.kill(pid, signal.SIGTERM)
            for pid in children:
                os.waitpid(pid, 0)
            raise

    def shutdown(self) -> None:
        """Asks serve_forever to finish the requests in flight and return."""
        self._uvicorn.should_exit = True

    @property
    def started(self) -> bool:
        return self._uvicorn.started

    def server_close(self) -> None:
        self.socket.close()
        self.app.close()


@contextlib.contextmanager
def serve_in_background(server: PirHttpServer, start_timeout: float = 10.0) -> Iterator[PirHttpServer]:
    """Serves on a daemon thread for the duration of the block, then shuts down and closes the socket."""
    thread = threading.Thread(target=server.serve_forever, name="quorvex-http", daemon=True)
    thread.start()
    try:
        deadline = time.monotonic() + start_timeout
        while not server.started:
            if not thread.is_alive() or time.monotonic() > deadline:
                raise RuntimeError("the HTTP server did not start")
            time.sleep(0.01)
        yield server
    finally:
        server.shutdown()
        thread.join(timeout=GRACEFUL_SHUTDOWN_SECONDS + 5)
        server.server_close()
