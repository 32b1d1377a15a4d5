"""uvicorn's HTTP/1.1 protocol with the guards `quorvex serve` needs and uvicorn lacks.

- A request must arrive whole (headers and body) within request_timeout of its connection being
  ready for it: opened, or done with the previous answer. A connection that sent nothing by then
  is closed; one that had started a request gets a 408 and is closed. So neither idle nor slow
  senders can hold a connection, and the engine's own time does not count.
- A client must read what it asked for: when an answer's unsent bytes are above the transport's
  high-water mark and none of them leaves for request_timeout (the client stopped reading), the
  connection is dropped with them. A slow reader keeps its connection as long as it reads; no
  client holds a connection, or an answer in memory, by not reading.
- Connections beyond max_connections are answered 503 (Retry-After) and closed.
- A request the HTTP parser cannot read gets a JSON 400 instead of uvicorn's plain-text one.
- Requests are logged only when the operator asked for an access log.

It relies on H11Protocol's documented hooks and on h11's connection states only.
"""

from __future__ import annotations

import asyncio
import contextlib
import fcntl
import struct
import sys
import termios
from typing import Any

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol

from quorvex.server.http_app import refusal_bytes, refuse_busy

__all__ = ["GuardedH11Protocol"]

# Client states in which the connection waits for the client: for a request, or for the rest of one.
_WAITING = (h11.IDLE, h11.SEND_BODY)


class GuardedH11Protocol(H11Protocol):
    def __init__(self, *args: Any, request_timeout: float, max_connections: int, access_log: bool, **kwargs: Any):
        super().__init__(*args, **kwargs)
        self.access_log = access_log  # uvicorn would log whenever its access logger has a handler anywhere
        self._request_timeout = request_timeout
        self._max_connections = max_connections
        self._deadline: asyncio.TimerHandle | None = None
        self._stalled: asyncio.TimerHandle | None = None

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        if len(self.connections) > self._max_connections:
            self.app = refuse_busy
        self._watch()

    def data_received(self, data: bytes) -> None:
        super().data_received(data)
        self._watch()

    def on_response_complete(self) -> None:
        super().on_response_complete()
        self._watch()

    def connection_lost(self, exc: Exception | None) -> None:
        self._stop_watch()
        self._stop_stall_watch()
        super().connection_lost(exc)
        # uvicorn leaves its keep-alive timer armed when the connection broke (exc set): the timer
        # would hold this protocol and its buffers for keep_alive_timeout after the connection is gone.
        self._unset_keepalive_if_required()

    def pause_writing(self) -> None:
        super().pause_writing()
        if self._stalled is None:
            self._watch_reading(self._unsent())

    def _unsent(self) -> int:
        """Bytes written and not yet taken by the client: the transport's and the kernel's send queue
        (which the client empties as it reads, long before the transport's queue moves)."""
        queued = self.transport.get_write_buffer_size()
        sock = self.transport.get_extra_info("socket")
        if sock is not None and hasattr(termios, "TIOCOUTQ"):
            with contextlib.suppress(OSError):
                queued += struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]
        return queued

    def _watch_reading(self, unsent: int) -> None:
        """Drops the connection unless some of the unsent bytes leave within request_timeout (abort, not
        close: close would wait for the client to read them)."""
        def check() -> None:
            now = self._unsent()
            if now < unsent:
                self._watch_reading(now)
            else:
                self._stalled = None
                self.transport.abort()
        self._stalled = self.loop.call_later(self._request_timeout, check)

    def resume_writing(self) -> None:
        super().resume_writing()
        self._stop_stall_watch()

    def _stop_stall_watch(self) -> None:
        if self._stalled is not None:
            self._stalled.cancel()
            self._stalled = None

    def send_400_response(self, msg: str) -> None:
        # Called while uvicorn handles h11's error, whose traceback's frames refer to the error and
        # to this connection: dropped now, the connection's buffers go with the connection instead
        # of waiting for a full garbage collection.
        error = sys.exc_info()[1]
        if error is not None:
            error.__traceback__ = None
        self._refuse(400, "malformed HTTP request: the request line or headers could not be parsed")

    def _watch(self) -> None:
        """Keeps the deadline armed exactly while the connection waits for the client."""
        if self.transport.is_closing() or self.conn.their_state not in _WAITING:
            self._stop_watch()
            return
        if self.conn.their_state is h11.IDLE and not self.conn.trailing_data[0]:
            self._stop_watch()  # between requests: the next one gets the whole deadline
        if self._deadline is None:
            self._deadline = self.loop.call_later(self._request_timeout, self._on_deadline)

    def _stop_watch(self) -> None:
        if self._deadline is not None:
            self._deadline.cancel()
            self._deadline = None

    def _on_deadline(self) -> None:
        self._deadline = None
        started = self.conn.their_state is h11.SEND_BODY or bool(self.conn.trailing_data[0])
        unanswered = self.conn.our_state in (h11.IDLE, h11.SEND_RESPONSE)
        if started and unanswered:
            self._refuse(408, f"the request did not arrive whole within {self._request_timeout:g} s")
        else:
            self.transport.close()

    def _refuse(self, status: int, message: str) -> None:
        if not self.transport.is_closing():
            self.transport.write(refusal_bytes(status, message))
            self.transport.close()
