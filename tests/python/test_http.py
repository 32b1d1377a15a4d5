import http.client
import json
import socket

import pytest

from quorvex.http_server import QUERY_PATH, PirHttpServer, serve_in_background
from quorvex.http_transport import HttpTransport, TransportError
from quorvex.server import PirServer
from support.documents import publish_small
from support.reference_client import ReferenceClient, chunk_of

LIMIT = 200_000  # bytes; a supported-profile query document of a small store is far below


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    root = tmp_path_factory.mktemp("http")
    publish_small(root)
    return root


@pytest.fixture
def server(store):
    with serve_in_background(PirHttpServer(PirServer.load(store / "state"), max_request_bytes=LIMIT)) as running:
        yield running


def request(server, method, path=QUERY_PATH, body=None, headers=None):
    host, port = server.server_address[:2]
    connection = http.client.HTTPConnection(host, port, timeout=10)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        connection.close()


def test_listens_on_loopback_and_answers_a_query_like_the_server_itself(store, server):
    assert server.server_address[0] == "127.0.0.1" and server.url.endswith(QUERY_PATH)
    client = ReferenceClient.from_cache(store / "cache")
    query, contexts = client.batch([1, 0, 2, 3])
    status, headers, body = request(server, "POST", body=query, headers={"Content-Type": "application/json"})
    assert status == 200 and headers["Content-Type"] == "application/json"
    chunks = [chunk_of(record) for record in client.decode(body, contexts)]
    assert [c["record_id"] for c in chunks] == [1, 0, 2, 3]
    assert chunks[1]["chunk_id"] == "garden#0"


@pytest.mark.parametrize("method, path, body, headers, status, message", [
    ("GET", QUERY_PATH, None, {}, 405, "only POST is accepted"),
    ("PUT", QUERY_PATH, b"{}", {}, 405, "only POST is accepted"),
    ("POST", "/other", b"{}", {}, 404, "no such endpoint"),
    ("POST", QUERY_PATH, b"{not json", {}, 400, "JSON error for batched-pir-query"),
    ("POST", QUERY_PATH, b'{"protocol_version":2,"scheme":"simplepir-lwe-v0","retrieval_count":1,"queries":[]}', {},
     400, "protocol_version 2 is unsupported"),
    ("POST", QUERY_PATH, b"\xff\xfe", {}, 400, "JSON error for batched-pir-query"),
    ("POST", QUERY_PATH, None, {"Content-Length": str(LIMIT + 1)}, 413, f"accepts at most {LIMIT}"),
    ("POST", QUERY_PATH, None, {"Content-Length": "-5"}, 400, "Content-Length must be a non-negative integer"),
    ("BREW", QUERY_PATH, None, {}, 501, "Unsupported method"),
])
def test_refusals_are_json_with_a_4xx_or_5xx_status(server, method, path, body, headers, status, message):
    got, response_headers, content = request(server, method, path, body, headers)
    assert got == status
    assert response_headers["Content-Type"] == "application/json"
    assert message in json.loads(content)["error"]
    if status == 405:
        assert response_headers["Allow"] == "POST"


def test_head_gets_a_405_without_a_body(server):
    status, headers, content = request(server, "HEAD")
    assert status == 405 and content == b""


def raw_exchange(server, data: bytes) -> bytes:
    with socket.create_connection(server.server_address[:2], timeout=10) as connection:
        connection.sendall(data)
        connection.shutdown(socket.SHUT_WR)
        chunks = []
        while chunk := connection.recv(65536):
            chunks.append(chunk)
    return b"".join(chunks)


def test_missing_length_chunked_bodies_and_truncated_bodies_are_refused(server):
    no_length = raw_exchange(server, b"POST /query HTTP/1.1\r\nHost: x\r\n\r\n")
    assert no_length.startswith(b"HTTP/1.0 411") and b"Content-Length is required" in no_length
    chunked = raw_exchange(server, b"POST /query HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n")
    assert chunked.startswith(b"HTTP/1.0 411") and b"chunked bodies are not accepted" in chunked
    short = raw_exchange(server, b"POST /query HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{}")
    assert short.startswith(b"HTTP/1.0 400") and b"the body ended after 2 of 100 bytes" in short


def test_an_oversized_body_is_refused_without_being_read(server):
    # The client sends far more than the limit; the server answers 413 from the headers alone.
    host, port = server.server_address[:2]
    connection = http.client.HTTPConnection(host, port, timeout=10)
    try:
        connection.putrequest("POST", QUERY_PATH)
        connection.putheader("Content-Length", str(50 * LIMIT))
        connection.endheaders()
        response = connection.getresponse()
        assert response.status == 413
        assert "accepts at most" in json.loads(response.read())["error"]
    finally:
        connection.close()


def test_transport_round_trip_and_errors(store, server):
    client = ReferenceClient.from_cache(store / "cache")
    query, contexts = client.batch([0, 1, 2, 3])
    transport = HttpTransport(server.url, timeout=10)
    assert chunk_of(client.decode(transport(query), contexts)[2])["record_id"] == 2
    with pytest.raises(TransportError, match=r"refused the query \(HTTP 400\): JSON error for batched-pir-query"):
        transport(b"nonsense")
    with pytest.raises(TransportError, match=r"HTTP 404"):
        HttpTransport(server.url.replace(QUERY_PATH, "/nowhere"), timeout=10)(query)


def test_transport_reports_an_unreachable_server():
    with socket.socket() as probe:  # a loopback port that nothing listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    with pytest.raises(TransportError, match=f"cannot reach http://127.0.0.1:{port}/query"):
        HttpTransport(f"http://127.0.0.1:{port}/query", timeout=5)(b"{}")


@pytest.mark.parametrize("url", ["file:///etc/passwd", "127.0.0.1:8765/query", "http:///query"])
def test_transport_refuses_urls_that_are_not_http(url):
    with pytest.raises(ValueError, match="must be an http:// or https:// URL"):
        HttpTransport(url)
