"""Chunk embeddings computed on a Dask distributed cluster, for a publish that names one.

The engine is Dask distributed: pure Python and a small install, a LocalCluster for tests, and
per-task retries and the rescheduling of a lost worker's tasks built in. (Ray would bring a large
native runtime and an object store of its own for what is a map over batches of texts.)

The texts travel in batches of BATCH, a few batches per worker thread in flight at a time, so
neither one task per text nor the whole collection at once. Each worker process builds the
embedder once per kind, with make_embedder as a local publish does, and keeps it for the batches
that follow. Rows of quorvex's embedders depend on the text alone, so the cluster's rows are the
local ones wherever the workers run the same build on the same kind of processor.
"""

from __future__ import annotations

import asyncio
import itertools
import threading
from collections.abc import Iterator, Sequence
from types import TracebackType
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from quorvex.embedders import EMBEDDER_KINDS, Embedder, embedder_kind, make_embedder
from quorvex.embedders.optional_packages import PIP, require_packages

if TYPE_CHECKING:
    from distributed import Future

__all__ = ["BATCH", "ClusterEmbedding", "ClusterEmbeddingFailed", "embed_batch"]

BATCH = 128  # texts per task: seconds of MiniLM, so the scheduler's cost per task does not count
RETRIES = 2  # further attempts of a batch whose task raised; a lost worker's batches are rescheduled besides
BATCHES_PER_THREAD = 2  # in flight, so that no worker waits for the next batch
CONNECT_SECONDS = 30  # to reach the scheduler, then again for a first worker
INSTALL = f"{PIP} install 'distributed>=2024.1'"


class ClusterEmbeddingFailed(RuntimeError):
    """A batch of texts failed on the cluster for good, or came back in another shape."""


_embedders: dict[str, Embedder] = {}
_building = threading.Lock()


def embed_batch(kind: str, texts: Sequence[str]) -> npt.NDArray[np.float32]:
    """Run by a worker: the rows of texts, by the embedder of that kind this process built first."""
    with _building:
        if kind not in _embedders:
            _embedders[kind] = make_embedder(kind)
    return np.asarray(_embedders[kind].embed(texts), dtype=np.float32)


def _worker_kind(embedder: Embedder) -> str:
    """The kind the workers build to compute exactly what embedder computes (MiniLM's two ways differ in
    the last bits)."""
    from quorvex.embedders.minilm import MiniLMTorchEmbedder

    kind = "minilm-torch" if isinstance(embedder, MiniLMTorchEmbedder) else embedder_kind(embedder.name)
    if kind is None:
        raise ValueError(f"a cluster's workers build one of quorvex's embedders ({', '.join(EMBEDDER_KINDS)}), "
                         f"and {embedder.name!r} is none of them: publish it without a cluster")
    return kind


class ClusterEmbedding:
    """A connection to the scheduler at address whose workers embed texts as embedder does."""

    def __init__(self, address: str, embedder: Embedder) -> None:
        self._kind = _worker_kind(embedder)
        self._dimensions = embedder.dimensions
        self.address = address
        require_packages("embedding on a cluster", ("distributed",), INSTALL)
        from distributed import Client

        try:
            self._client = Client(address, timeout=CONNECT_SECONDS, set_as_default=False)
        except (OSError, ValueError) as error:
            raise ValueError(f"cannot reach the cluster at {address}: {error}") from None
        try:
            self._client.wait_for_workers(1, timeout=CONNECT_SECONDS)
        except asyncio.TimeoutError:  # TimeoutError itself from Python 3.11 on
            self.close()
            raise ValueError(f"the cluster at {address} has no worker: start one on each machine with "
                             f"`dask worker {address}`") from None

    def embed(self, texts: Sequence[str]) -> Iterator[tuple[int, npt.NDArray[np.float32]]]:
        """(start, rows of texts[start:start + BATCH]) for every batch, as the batches come back."""
        from distributed import as_completed

        starts = iter(range(0, len(texts), BATCH))
        in_flight: dict[Future[npt.NDArray[np.float32]], int] = {}
        done = as_completed(loop=self._client.loop)

        def submit(count: int) -> None:
            for start in itertools.islice(starts, count):
                future = self._client.submit(embed_batch, self._kind, texts[start:start + BATCH], pure=False,
                                             retries=RETRIES)
                in_flight[future] = start
                done.add(future)

        submit(max(1, BATCHES_PER_THREAD * sum(self._client.nthreads().values())))
        for future in done:
            start = in_flight.pop(future)
            count = min(BATCH, len(texts) - start)
            try:
                rows = future.result()
            except Exception as error:
                raise ClusterEmbeddingFailed(
                    f"embedding on the cluster at {self.address} failed: the batch of texts {start + 1} to "
                    f"{start + count} of {len(texts)} failed for good, retries included "
                    f"({type(error).__name__}: {error})") from None
            if not (isinstance(rows, np.ndarray) and rows.dtype == np.float32 and
                    rows.shape == (count, self._dimensions)):
                raise ClusterEmbeddingFailed(
                    f"the cluster at {self.address} returned {getattr(rows, 'shape', type(rows).__name__)} for "
                    f"{count} texts of {self._dimensions} dimensions: do its workers run this quorvex?")
            submit(1)
            yield start, rows

    def close(self) -> None:
        """Ends the connection; the batches still in flight are cancelled."""
        self._client.close()

    def __enter__(self) -> ClusterEmbedding:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()
