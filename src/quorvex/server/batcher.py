"""The one bounded queue between the HTTP front and the PIR engine.

    batcher = Batcher(pir.answer_batch, max_batch=32, max_pending_bytes=64 << 20)
    with batcher.admitted(content_length):      # raises QueueFull at once when over budget
        body = ...                               # read the body only once admitted
        response = await batcher.answer(body)    # bytes, or the QueryError that refuses it

Admission is counted in bytes of query documents, from the moment a request is admitted (before its
body is read) until its answer is ready: that is the memory the service holds for work in flight,
whatever the mix of small and large documents. The batch is counted in documents: one engine pass
answers up to max_batch waiting documents, from any number of clients, on a single worker thread,
so the event loop never computes and a busy service answers more documents per pass instead of
queueing passes. Everything but the worker thread runs on the event loop, so no lock is needed.
"""

from __future__ import annotations

import asyncio
import collections
import contextlib
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor

__all__ = ["Batcher", "QueueFull"]


class QueueFull(Exception):
    """The service holds as much work as it may; the client should come back shortly."""


# Seconds without work after which on_idle runs.
IDLE_SECONDS = 1.0


# A document's outcome: its response document, or the error that refuses it.
Outcome = bytes | Exception
AnswerBatch = Callable[[Sequence[bytes]], Sequence[Outcome]]


class Batcher:
    def __init__(self, answer_batch: AnswerBatch, *, max_batch: int, max_pending_bytes: int,
                 on_idle: Callable[[], None] | None = None):
        if max_batch < 1 or max_pending_bytes < 1:
            raise ValueError("max_batch and max_pending_bytes must be positive")
        self._answer_batch = answer_batch
        self._on_idle = on_idle
        self._idle: asyncio.TimerHandle | None = None
        self.max_batch = max_batch
        self.max_pending_bytes = max_pending_bytes
        self.pending_bytes = 0
        self._waiting: collections.deque[tuple[bytes, asyncio.Future[Outcome]]] = collections.deque()
        self._drainer: asyncio.Task[None] | None = None
        self._engine = ThreadPoolExecutor(max_workers=1, thread_name_prefix="quorvex-engine")

    @contextlib.contextmanager
    def admitted(self, size: int) -> Iterator[None]:
        """Holds size bytes of the budget for the block; QueueFull if they do not fit."""
        if self.pending_bytes + size > self.max_pending_bytes:
            raise QueueFull
        self.pending_bytes += size
        try:
            yield
        finally:
            self.pending_bytes -= size

    async def answer(self, document: bytes) -> Outcome:
        """The engine's result for one document: response bytes or a QueryError."""
        future: asyncio.Future[Outcome] = asyncio.get_running_loop().create_future()
        self._waiting.append((document, future))
        if self._idle is not None:
            self._idle.cancel()
            self._idle = None
        if self._drainer is None:
            self._drainer = asyncio.get_running_loop().create_task(self._drain())
        return await future

    async def _drain(self) -> None:
        loop = asyncio.get_running_loop()
        try:
            while self._waiting:
                batch = [self._waiting.popleft() for _ in range(min(self.max_batch, len(self._waiting)))]
                try:
                    results = await loop.run_in_executor(self._engine, self._answer_batch, [d for d, _ in batch])
                except Exception as error:  # noqa: BLE001 - every request of the batch gets it, the loop goes on
                    for _, future in batch:
                        if not future.done():
                            future.set_exception(error)
                    continue
                for (_, future), result in zip(batch, results):
                    if not future.done():
                        future.set_result(result)
        finally:
            self._drainer = None
            if self._on_idle is not None:
                self._idle = loop.call_later(IDLE_SECONDS, self._on_idle)

    def close(self) -> None:
        self._engine.shutdown(wait=True)
