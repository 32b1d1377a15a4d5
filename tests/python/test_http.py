import gc
import gzip
import http.client
import json
import logging
import socket
import threading
import time
import tracemalloc

import numpy as np
import pytest

from quorvex import HashingEmbedder, NativeClient, PrivateRetriever
from quorvex.client import http_transport
from quorvex.server.http_protocol import GuardedH11Protocol
from quorvex.server.http_server import QUERY_PATH, Limits, PirHttpServer, serve_in_background
from quorvex.client.http_transport import HttpTransport, PublicationMismatch, TransportError
from quorvex.shared.formats import publication_id
from quorvex.server.pir_server import PirServer
from support.documents import DOCUMENTS, publish_small

pytestmark = pytest.mark.timeout(30)
DEADLINE = 0.5  # seconds for a request to arrive whole, and for an idle connection


@pytest.fixture(scope="module")
def documents(store):
    client, rng = NativeClient.open_public_cache(str(store / "cache")), np.random.default_rng(0)
    return [client.prepare_retrieval_query(rng.standard_normal(384), 2, 4).query_json for _ in range(12)]


class GatedPir:
    """The store's PirServer whose first engine pass waits for `release`; records every batch's size."""

    def __init__(self, store):
        self.pir, self.release, self.batches = PirServer.load(store / "state"), threading.Event(), []
        self.max_query_bytes = self.pir.max_query_bytes

    def answer_batch(self, documents):
        assert self.release.wait(20)
        self.batches.append(len(documents))
        return self.pir.answer_batch(documents)


def serving(pir, **limits):
    limits = {"request_timeout": DEADLINE, "keep_alive_timeout": DEADLINE, **limits}
    return serve_in_background(PirHttpServer(pir, limits=Limits(**limits)))


@pytest.fixture(scope="module")
def server(store):
    with serving(PirServer.load(store / "state")) as running:
        yield running


def exchange(server, data: bytes) -> tuple[bytes, dict, bytes]:
    """Sends raw bytes, reads until the server closes; returns the status line, headers and body."""
    with socket.create_connection(server.server_address[:2], timeout=10) as connection:
        connection.sendall(data)
        received = b"".join(iter(lambda: connection.recv(65536), b""))
    head, _, body = received.partition(b"\r\n\r\n")
    status, *lines = head.split(b"\r\n")
    headers = {name.lower(): value for name, value in (line.decode().split(": ", 1) for line in lines if line)}
    return status, headers, body[:int(headers.get("content-length", len(body)))]


def post(body: bytes, path: str = QUERY_PATH, accept: str | None = "gzip") -> bytes:
    head = f"POST {path} HTTP/1.1\r\nHost: x\r\nContent-Length: {len(body)}\r\nConnection: close\r\n"
    return (head + ("" if accept is None else f"Accept-Encoding: {accept}\r\n") + "\r\n").encode() + body


@pytest.fixture
def no_collections():
    gc.collect()
    gc.disable()
    yield
    gc.enable()


@pytest.mark.parametrize("request_bytes, status, message", [
    (b"GET /query HTTP/1.1\r\nHost: x\r\n\r\n", b"405", "only POST is accepted"),
    (b"HEAD /query HTTP/1.1\r\nHost: x\r\n\r\n", b"405", None),
    (post(b"{}", "/other"), b"404", "no such endpoint"),
    (b"POST /query HTTP/1.1\r\nHost: x\r\n\r\n", b"411", "Content-Length is required"),
    (b"POST /query HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", b"411", "chunked"),
    (post(b"{not json"), b"400", "JSON error for batched-pir-query"),
    ("POST /query HTTP/1.1\r\nHost: x\r\nContent-Length: ²\r\n\r\n{}".encode(), b"400", "malformed HTTP request"),
    (b"POST /query HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n", b"400", "malformed HTTP request"),
    (b"POST /query HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n{}", b"400",
     "malformed HTTP request"),
    (bytes(range(256)) * 4 + b"\r\n\r\n", b"400", "malformed HTTP request"),
    (b"POST /query HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999\r\n\r\n", b"413", "accepts at most"),
    (b"POST /query HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{}", b"408", "did not arrive whole"),
    (b"POST /query HTTP/1.1\r\nHost: x\r\nContent-Le", b"408", "did not arrive whole"),
    (b"", b"", None),  # an idle connection is closed without a word
])
def test_refusals_are_a_status_line_and_json_and_nothing_is_logged_or_kept(server, caplog, capfd, no_collections,
                                                                             request_bytes, status, message):
    caplog.set_level(logging.DEBUG)
    got, headers, body = exchange(server, request_bytes)
    deadline = time.monotonic() + 5
    while any(isinstance(o, GuardedH11Protocol) for o in gc.get_objects()):  # freed as it closes, not by a collection
        assert time.monotonic() < deadline
        time.sleep(0.01)
    assert got.split(b" ")[1:2] == ([status] if status else [])
    if message is not None:
        assert headers["content-type"] == "application/json"
        assert message in json.loads(body)["error"]
    if status == b"405":
        assert headers["allow"] == "POST" and (message is not None or body == b"")
    assert caplog.records == [] and capfd.readouterr() == ("", "")


@pytest.mark.parametrize("accept, coding", [(None, None), ("identity", None), ("gzip;q=0", None),
    ("*, GZIP;Q=0", None), ("gzip;q=2", None), ("gzip", "gzip"), ("br, gzip ;q=0.5", "gzip"), ("*", "gzip")])
def test_answers_are_gzipped_exactly_when_the_client_accepts_gzip(store, server, documents, accept, coding):
    _, headers, body = exchange(server, post(documents[0], accept=accept))
    assert (headers.get("content-encoding"), headers.get("vary")) == (coding, coding and "Accept-Encoding")
    assert (gzip.decompress(body) if coding else body) == PirServer.load(store / "state").answer(documents[0])


def test_connections_beyond_the_bound_get_a_503(store, documents):
    with serving(PirServer.load(store / "state"), max_connections=2) as server:
        with socket.create_connection(server.server_address[:2]), socket.create_connection(server.server_address[:2]):
            status, headers, body = exchange(server, post(documents[0]))
            assert status.startswith(b"HTTP/1.1 503") and headers["retry-after"] == "1"
            assert "connections" in json.loads(body)["error"]
        time.sleep(0.1)  # the server notices that the two idle connections closed
        assert exchange(server, post(documents[0]))[0].startswith(b"HTTP/1.1 200")


def test_concurrent_clients_are_answered_in_batches_with_the_bytes_of_single_answers(store, documents):
    pir = GatedPir(store)
    with serving(pir, max_batch=5) as server:
        transport = HttpTransport(server.url, timeout=10)  # shared by every thread
        results = [None] * len(documents)
        threads = [threading.Thread(target=lambda k: results.__setitem__(k, transport(documents[k])), args=(k,))
                   for k in range(len(documents))]
        for thread in threads:
            thread.start()
        while server.app.batcher.pending_bytes < sum(map(len, documents)):
            time.sleep(0.01)  # every body is in; the first pass still waits
        pir.release.set()
        for thread in threads:
            thread.join()
    assert sum(pir.batches) == len(documents) and pir.batches[1] == max(pir.batches) == 5
    assert results == [pir.pir.answer(document) for document in documents]


def test_a_full_queue_answers_503_at_once_and_the_transport_retries(store, documents, monkeypatch):
    pir = GatedPir(store)
    with serving(pir, max_pending_bytes=len(documents[0])) as server:
        waits = []

        def wait(seconds):  # the transport's pause before a retry: lets the first request finish
            waits.append(seconds)
            pir.release.set()
            first.join()

        monkeypatch.setattr(http_transport, "sleep", wait)
        first = threading.Thread(target=HttpTransport(server.url, timeout=10), args=(documents[0],))
        first.start()
        while server.app.batcher.pending_bytes == 0:
            time.sleep(0.01)
        with pytest.raises(TransportError, match=r"HTTP 503\): the server is busy"):
            HttpTransport(server.url, timeout=10, busy_retries=0)(documents[1])
        assert HttpTransport(server.url, timeout=10)(documents[1]) == pir.pir.answer(documents[1])
    assert waits == [1.0]
    # Retry-After in whole seconds, at most MAX_RETRY_WAIT; any other form waits one second.
    for given, seconds in [("3", 3.0), (" 0 ", 0.0), ("99999", http_transport.MAX_RETRY_WAIT), (None, 1.0),
                           ("1.5", 1.0), ("-2", 1.0), ("Wed, 21 Oct 2026 07:28:00 GMT", 1.0)]:
        headers = http.client.HTTPMessage()
        if given is not None:
            headers["Retry-After"] = given
        assert http_transport._retry_wait(headers) == seconds
    for limits in ({"max_batch": 0}, {"max_pending_bytes": 0}):  # nothing could ever be answered
        with pytest.raises(ValueError, match="max_batch and max_pending_bytes must be positive"):
            PirHttpServer(pir, limits=Limits(**limits))


def test_transport_reuses_connections_and_replaces_one_the_server_closed(store, server):
    client = NativeClient.open_public_cache(str(store / "cache"))
    prepared = client.prepare_retrieval_query(np.ones(384), 2, 4)
    hits = [h.chunk_id for h in prepared.search_results()]
    transport = HttpTransport(server.url, timeout=10)
    first = transport(prepared.query_json)
    (kept,) = transport._idle
    transport(prepared.query_json)  # at once, well within the idle deadline
    assert transport._idle == [kept]
    assert [d.chunk_id for d in client.decode_retrieval_response(prepared, first)] == hits
    time.sleep(2 * DEADLINE)  # the server closes the idle connection
    assert [d.chunk_id for d in client.decode_retrieval_response(prepared, transport(prepared.query_json))] == hits
    assert transport._idle != [kept]
    with pytest.raises(TransportError, match=r"refused the query \(HTTP 400\): JSON error for batched-pir-query"):
        transport(b"nonsense")


def test_transport_takes_http_urls_only_and_reaches_a_remote_one_through_the_proxy(monkeypatch):
    for url in ["file:///etc/passwd", "127.0.0.1:8765/query", "http:///query"]:
        with pytest.raises(ValueError, match="must be an http:// or https:// URL"):
            HttpTransport(url)

    def proxy(listener):  # answers a request for the whole URL, then drops the next one unanswered
        for reply in [b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}", b""]:
            with listener.accept()[0] as connection:
                request = b""
                while not request.endswith(b"\r\n\r\nq"):
                    request += connection.recv(4096)
                connection.sendall(reply if request.startswith(b"POST http://pir.example/query ") else b"")
    with socket.create_server(("127.0.0.1", 0)) as listener:
        threading.Thread(target=proxy, args=(listener,), daemon=True).start()
        monkeypatch.setenv("http_proxy", f"http://127.0.0.1:{listener.getsockname()[1]}")
        monkeypatch.delenv("no_proxy", raising=False)
        transport = HttpTransport("http://pir.example/query", timeout=10)
        assert transport(b"q") == b"{}"
        with pytest.raises(TransportError, match="^no answer from http://pir.example/query: Remote end closed"):
            transport(b"q")


def test_a_query_made_for_another_publication_is_refused_before_any_work(store, server, tmp_path):
    publish_small(tmp_path, DOCUMENTS[:3])
    retriever = PrivateRetriever(tmp_path / "cache", HashingEmbedder(), HttpTransport(server.url))
    with pytest.raises(PublicationMismatch, match=r"^the server at \S+ does not serve the publication this query was "
                                                  r"made for: the wrong server, or a state not yet updated\?$"):
        retriever.retrieve("tomatoes")
    # A header that names no publication is refused, another publication too; neither echoes what it got
    # nor names the publication it serves.
    served = publication_id(store / "cache").encode()
    for value, status in [(b"A" * 64, b"400"), (b"0" * 63, b"400"), (b"x" * 4000, b"400"), (b"0" * 64, b"409")]:
        got, _, body = exchange(server, post(b"{}").replace(b"\r\n\r\n", b"\r\nQuorvex-Publication: " + value +
                                                             b"\r\n\r\n", 1))
        assert got.split(b" ")[1] == status and value not in body and served not in body


def test_transport_inflates_gzip_within_its_bound_and_refuses_anything_else():
    bomb, small = gzip.compress(bytes(16 << 20)), gzip.compress(b"{}")  # 16 KiB that inflate to 16 MiB
    assert http_transport._decompressed(bomb, " GZip", 16 << 20) == bytes(16 << 20)
    tracemalloc.start()
    for body, coding, message in [(bomb, "gzip", "exceeds 1048576 bytes once decompressed"), (small, "br", "other"),
                                  (small[:-1], "gzip", "cut short"), (small + b"\0", "gzip", "followed by other"),
                                  (small[:10] + b"\xff" * 8, "gzip", "not valid gzip: Error -3")]:
        with pytest.raises(TransportError, match=message):
            http_transport._decompressed(body, coding, 1 << 20)
    assert tracemalloc.get_traced_memory()[1] < 3 << 20
    tracemalloc.stop()
