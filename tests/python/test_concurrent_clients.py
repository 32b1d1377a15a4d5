"""Eight threads, each with its own client, retrieve concurrently; meanwhile
each thread also reaches for its neighbour's client and prepared retrieval
and must be refused every time."""

import threading

import pytest

from quorvex._native import NativeClient
from quorvex.publish import publish
from quorvex.server import PirServer
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
