"""A client and its prepared retrievals are bound to the thread that made them, and the client and the
server's engine let other threads run while they work."""

import gc
import sys
import threading
import time

import pytest

from quorvex._native import NativeClient
from support.corpus import publish_synthetic

pytestmark = pytest.mark.timeout(120)


def _on_thread(use):
    """What use() returns on another thread, or the exception it raises there."""
    outcome = []

    def run():
        try:
            outcome.append(use())
        except BaseException as error:  # the binding's fault is no Exception
            outcome.append(error)

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return outcome[0]


def test_bound_objects_refuse_other_threads_and_report_being_dropped_there(toy):
    client = toy.client()
    prepared = client.prepare_retrieval_query(toy.embeddings[0], 1, 2)
    hit = client.search(toy.embeddings[0], 1)[0]
    for use, label in [(lambda: client.search(toy.embeddings[0], 1), "_native::PyNativeClient"),
                       (lambda: client.decode_retrieval_response(prepared, b"{}"), "_native::PyNativeClient"),
                       (lambda: prepared.query_json, "_native::PyPreparedRetrieval"),
                       (lambda: prepared.search_results(), "_native::PyPreparedRetrieval")]:
        error = _on_thread(use)
        assert not isinstance(error, Exception) and f"{label} is unsendable, but sent to another thread" in str(error)
    assert _on_thread(lambda: (hit.chunk_id, hit.score)) == (hit.chunk_id, hit.score)

    holder, reports = [client.prepare_retrieval_query(toy.embeddings[0], 1, 2)], []
    gc.collect()  # objects left in cycles by earlier tests must not be collected on the thread below
    previous, sys.unraisablehook = sys.unraisablehook, lambda report: reports.append(str(report.exc_value))
    try:
        _on_thread(holder.clear)
        gc.collect()
    finally:
        sys.unraisablehook = previous
    assert reports == ["_native::PyPreparedRetrieval is unsendable, but is being dropped on another thread"]


def test_other_threads_run_while_the_client_and_the_engine_work(tmp_path):
    published = publish_synthetic(tmp_path, "simplepir-rs-experimental-v0", 30_000, 128, 200, seed=9, metadata=False)
    server, query = published.server(), published.embeddings[7]
    ticks, stop, opened = [0], threading.Event(), []

    def count() -> None:
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.0001)  # waits without the lock, then asks for it again

    prepared = published.client().prepare_retrieval_query(query, 2, 4).query_json
    calls = {"open": lambda: opened.append(NativeClient.open_public_cache(str(published.public))),
             "search": lambda: opened[0].search(query, 10),
             "prepare": lambda: opened[0].prepare_retrieval_query(query, 2, 4),
             "answer": lambda: server.answer(prepared)}
    # This thread no longer hands the lock over on its own: the counter runs only while a call has released it.
    advanced, interval = {}, sys.getswitchinterval()
    sys.setswitchinterval(60)
    counter = threading.Thread(target=count)
    counter.start()
    try:
        for name, call in calls.items():
            before, start = ticks[0], time.perf_counter()
            while time.perf_counter() - start < 0.2:
                call()
            advanced[name] = ticks[0] - before
    finally:
        stop.set()
        counter.join()
        sys.setswitchinterval(interval)
    assert all(advanced.values()), advanced
