import contextlib
import gzip
import hashlib
import http.client
import json
import os
import shutil
import socket
import time

import pytest

from quorvex.cli.commands import main
from quorvex.server.http_server import Limits, PirHttpServer, serve_in_background
from quorvex.server.pir_server import PirServer
from quorvex.server.served_cache import ServedCache
from quorvex.shared.formats import publication_id
from support.documents import DOCUMENTS, publish_small

pytestmark = pytest.mark.timeout(60)
HINT, METADATA, WHOLE = "pir/client_hint.bin", "index/metadata.jsonl", slice(None)


def serving(root, cache=None):
    cache = ServedCache.load(cache or root / "cache", publication_id(cache or root / "cache"))
    limits = Limits(request_timeout=0.5)  # the bound on a client that stops reading
    return serve_in_background(PirHttpServer(PirServer.load(root / "state"), limits=limits, cache=cache))


def fetch(server, path, method="GET", headers={}):
    with contextlib.closing(http.client.HTTPConnection(*server.server_address[:2], timeout=10)) as connection:
        connection.request(method, path, headers=headers)
        response = connection.getresponse()
        return response.status, response.headers, response.read()


def listing(files):
    return json.dumps({"algorithm": "sha256", "files": {
        name: {"size_bytes": len(data), "sha256": hashlib.sha256(data).hexdigest()} for name, data in files.items()}}
    ).encode()


@pytest.fixture(scope="module")
def server(store):
    with serving(store) as running:
        yield running


def ranged(spec, **headers):
    return {"Range": "bytes=" + spec, **headers}


@pytest.mark.parametrize("method, name, headers, status, part", [
    ("GET", HINT, {}, 200, WHOLE), ("HEAD", HINT, {}, 200, WHOLE), ("GET", "checksums.json", {}, 200, WHOLE),
    ("GET", HINT, ranged("10-19"), 206, slice(10, 20)), ("GET", HINT, ranged("5-"), 206, slice(5, None)),
    ("GET", HINT, ranged("-7"), 206, slice(-7, None)), ("GET", HINT, ranged("3-" + "9" * 5000), 206, slice(3, None)),
    ("GET", HINT, ranged("99999999-"), 416, None), ("GET", HINT, ranged("-0"), 416, None),
    ("GET", HINT, ranged("0-1,4-5"), 200, WHOLE), ("GET", HINT, ranged("5-2"), 200, WHOLE),
    ("GET", HINT, ranged("0-1", **{"If-Range": '"{etag}"'}), 206, slice(0, 2)),
    ("GET", HINT, ranged("0-1", **{"If-Range": '"0"'}), 200, WHOLE),
    ("HEAD", METADATA, {"If-None-Match": '"x", "{etag}"'}, 304, None), ("GET", HINT, {"If-None-Match": "*"}, 304, None),
    ("GET", METADATA, {"Accept-Encoding": "gzip"}, 200, WHOLE),
    ("GET", METADATA, {"Accept-Encoding": "gzip", "If-None-Match": '"{etag}"'}, 200, WHOLE),  # not the gzip tag
    ("GET", METADATA, ranged("1-2", **{"Accept-Encoding": "gzip"}), 206, slice(1, 3)),
    *[("GET", name, {}, 404, None) for name in ["../state/lanes.bin", "%2e%2e/state/lanes.bin", "/etc/passwd", "index",
                                                "index/../manifest.json", "./manifest.json", "", "index%2Fids.bin"]],
    ("POST", "manifest.json", {}, 405, None), ("GET", "manifest.json", {"Content-Length": "2"}, 400, None),
])
def test_only_listed_files_are_served_whole_in_a_range_or_not(store, server, method, name, headers, status, part):
    data = (store / "cache" / name).read_bytes() if status != 404 else b""
    etag = hashlib.sha256(data).hexdigest()  # as checksums.json lists it; for itself, the publication identifier
    got, answer, body = fetch(server, "/cache/" + name, method, {k: v.format(etag=etag) for k, v in headers.items()})
    assert got == status
    if status >= 400:
        assert answer["content-type"] == "application/json" and json.loads(body)["error"]
        assert (answer["allow"], answer["content-range"]) == ("GET, HEAD" if status == 405 else None,
                                                              f"bytes */{len(data)}" if status == 416 else None)
        return
    gzipped = status == 200 and headers.get("Accept-Encoding") == "gzip"
    assert answer["content-encoding"] == ("gzip" if gzipped else None) and answer["cache-control"] == "no-cache"
    assert (answer["etag"], answer["vary"]) == (f'"{etag}{"-gzip" if gzipped else ""}"',
                                                "Accept-Encoding" if name.endswith((".json", ".jsonl")) else None)
    assert (gzip.decompress(body) if gzipped else body) == (data[part] if part and method == "GET" else b"")
    if part:
        kind = {"json": "application/json", "jsonl": "application/x-ndjson"}.get(name.rsplit(".")[-1])
        assert (answer["content-type"], answer["accept-ranges"]) == (kind or "application/octet-stream", "bytes")
        sent = range(len(data))[part]
        assert answer["content-length"] == (None if gzipped else str(len(sent)))
        assert answer["content-range"] == (f"bytes {sent.start}-{sent.stop - 1}/{len(data)}" if status == 206 else None)


@pytest.mark.parametrize("name, change, asked, message", [
    (None, None, "0" * 64, "it is publication [0-9a-f]{64}, but the server state serves 0{64}$"),
    (None, None, None, "the server state names no publication"),
    (METADATA, lambda path: path.write_bytes(b"!" + path.read_bytes()[1:]), "own",
     f"{METADATA} does not match its SHA-256"),
    (HINT, lambda path: [path.rename(path.parents[2] / "out"), path.symlink_to(path.parents[2] / "out")], "own",
     f"{HINT} leads outside the cache folder"),  # to the same bytes
    ("checksums.json", lambda path: path.write_bytes(listing({"../state/lanes.bin": b""})), "own",
     "checksums.json lists '../state/lanes.bin', which is not a plain relative path"),
    ("checksums.json", lambda path: path.write_bytes(b"[" * 100000), "own", "checksums.json is not a list of the"),
])
def test_a_cache_is_refused_naming_the_cause_and_leaving_nothing_open(store, tmp_path, name, change, asked, message):
    cache = shutil.copytree(store / "cache", tmp_path / "cache")
    if change:
        change(cache / name)
    descriptors = os.listdir("/proc/self/fd")
    with pytest.raises(ValueError, match=f"^(cannot serve the cache at {cache}: )?{message}"):
        ServedCache.load(cache, publication_id(cache) if asked == "own" else asked)
    assert os.listdir("/proc/self/fd") == descriptors


def test_a_republish_while_serving_changes_nothing_served(tmp_path):
    publish_small(tmp_path, DOCUMENTS[:2])
    names = [*json.loads((tmp_path / "cache/checksums.json").read_bytes())["files"], "checksums.json"]
    first = {name: (tmp_path / "cache" / name).read_bytes() for name in names}
    with serving(tmp_path) as server:
        publish_small(tmp_path, DOCUMENTS[2:], overwrite=True)
        assert (tmp_path / "cache/checksums.json").read_bytes() != first["checksums.json"]
        assert {name: fetch(server, "/cache/" + name)[2] for name in first} == first
        assert fetch(server, "/query")[0] == 405  # the PIR service is unchanged beside the cache


def test_a_client_that_stops_reading_is_dropped_after_the_request_timeout_and_a_slow_one_is_not(store, tmp_path):
    data = bytes(32 << 20)  # far more than the socket buffers of both ends hold
    (tmp_path / "big.bin").write_bytes(data)
    (tmp_path / "checksums.json").write_bytes(listing({"big.bin": data}))
    with serving(store, tmp_path) as server:
        received = []
        for slow_reads in (0, 20):  # nothing read for 1.5 s; then 64 KiB every 0.1 s: slow, but reading
            with socket.create_connection(server.server_address[:2], timeout=10) as client:
                client.sendall(b"GET /cache/big.bin HTTP/1.1\r\nHost: x\r\n\r\n")
                reader = client.makefile("rb")
                time.sleep(0 if slow_reads else 1.5)
                pieces = [reader.read1(64 << 10) for _ in range(slow_reads) if not time.sleep(0.1)]
                received.append(sum(map(len, pieces)) + len(reader.read()))
        assert 0 < received[0] < len(data) < received[1]


def test_serve_serves_the_cache_it_is_given_or_refuses_to_start(store, capsys, monkeypatch):
    state, cache = str(store / "state"), store / "cache"
    assert main(["serve", state, "--port", "0", "--cache", state]) == 2
    assert capsys.readouterr().err == (f"quorvex serve: error: cannot serve the cache at {state}: cannot open "
                                       "checksums.json: No such file or directory\n")
    monkeypatch.setattr(PirHttpServer, "serve_forever", lambda server: served.append(server.app.cache.publication))
    served = []
    assert main(["serve", state, "--port", "0", "--cache", str(cache)]) == 0 and served == [publication_id(cache)]
    assert f"public cache {cache} (publication {served[0]}) served read-only at http://127.0.0.1:" in \
        capsys.readouterr().out
