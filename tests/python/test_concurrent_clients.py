"""Eight threads, each with its own client, retrieve concurrently; meanwhile
each thread also reaches for its neighbour's client and prepared retrieval
and must be refused every time. And while one thread opens, searches and
prepares, the interpreter's other threads keep running."""

import sys
import threading
import time

import pytest

from quorvex._native import NativeClient
from quorvex.publisher.publish import publish
from quorvex.server.pir_server import PirServer
from support.corpus import make_chunks, make_embeddings

THREADS = 8
ROUNDS = 6


@pytest.fixture(scope="module")
def published(tmp_path_factory):
    root = tmp_path_factory.mktemp("threads")
    chunks = make_chunks(24, seed=8)
    embeddings = make_embeddings(24, 6, seed=8)
    publish(chunks, embeddings, root / "public", root / "server", embedding_model="m",
            profile="simplepir-rs-experimental-v0", record_size_bytes=200)
    return chunks, embeddings, root / "public", PirServer.load(root / "server")


def _refused(use) -> bool:
    try:
        use()
    except Exception:
        return False  # an ordinary error is not the binding fault
    except BaseException as error:
        return "is unsendable, but sent to another thread" in str(error)
    return False


def test_eight_clients_retrieve_concurrently(published):
    chunks, embeddings, public, server = published
    server_lock = threading.Lock()  # the reference server is not meant to be shared
    clients = [None] * THREADS
    prepared = [None] * THREADS
    opened = threading.Barrier(THREADS)
    finished = threading.Barrier(THREADS)
    failures = []
    refusals = [0] * THREADS

    def work(k: int) -> None:
        try:
            clients[k] = NativeClient.open_public_cache(str(public))
            prepared[k] = clients[k].prepare_retrieval_query(embeddings[k], 1, 3)
            opened.wait()
            neighbour = (k + 1) % THREADS
            for round_ in range(ROUNDS):
                row = (k * ROUNDS + round_) % len(chunks)
                retrieval = clients[k].prepare_retrieval_query(embeddings[row], 2, 4)
                with server_lock:
                    response = server.answer(retrieval.query_json)
                decoded = clients[k].decode_retrieval_response(retrieval, response)
                assert decoded[0].chunk_id == f"c{row}"
                assert decoded[0].text == chunks[row]["text"]
                refusals[k] += _refused(lambda: clients[neighbour].search(embeddings[row], 1))
                refusals[k] += _refused(lambda: prepared[neighbour].query_json)
                refusals[k] += _refused(lambda: clients[neighbour].decode_retrieval_response(retrieval, response))
            # Bound objects must die on their own thread, once no neighbour reaches for them.
            finished.wait()
            clients[k] = prepared[k] = retrieval = None
        except BaseException as error:  # reported to the main thread
            failures.append((k, repr(error)))
            opened.abort()
            finished.abort()

    threads = [threading.Thread(target=work, args=(k,)) for k in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert refusals == [3 * ROUNDS] * THREADS


def test_other_threads_run_while_a_client_works(tmp_path):
    embeddings = make_embeddings(30000, 128, seed=9)  # about 15 MB of vectors
    publish(make_chunks(len(embeddings), seed=9, metadata=False), embeddings, tmp_path / "public",
            tmp_path / "server", embedding_model="m", profile="toy-development-only-v0", record_size_bytes=200)
    ticks, stop, opened = [0], threading.Event(), []

    def count() -> None:
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.0001)  # waits without the lock, then asks for it again

    calls = {"open": lambda: opened.append(NativeClient.open_public_cache(str(tmp_path / "public"))),
             "search": lambda: opened[0].search(embeddings[7], 10),
             "prepare": lambda: opened[0].prepare_retrieval_query(embeddings[7], 2, 4)}
    advanced = {}
    # This thread no longer hands the lock over on its own: the counter runs
    # only while a call has released it.
    interval = sys.getswitchinterval()
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
