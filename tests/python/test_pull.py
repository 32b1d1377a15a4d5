"""Pulling a cache from its service: pinned, resumed, updated, swapped in whole, and refused, with the
target folder unchanged, whatever a server does wrong."""

from __future__ import annotations

import gzip
import hashlib
import http.server
import itertools
import json
import os
import random
import shutil
import subprocess
import sys
import threading
import time

import pytest

from quorvex import PullError, pull
from quorvex.cli.commands import main
from quorvex.client.folder_swap import replace_folder
from quorvex.client.pull import PullLimits
from quorvex.server.http_server import PirHttpServer, serve_in_background
from quorvex.server.pir_server import PirServer
from quorvex.server.served_cache import ServedCache
from quorvex.shared.formats import publication_id
from support.documents import DOCUMENTS, Document, publish_small

HINT = "pir/client_hint.bin"


class _Service(http.server.ThreadingHTTPServer):
    """Serves root's files under /cache/ on 127.0.0.1 as quorvex serve --cache does (single ranges,
    If-Range by digest), with one fault for one file when told: cut, flip, length, endless, drip, redirect,
    moved (a redirect within the server, which is no fault),
    bomb (gzip that inflates past the file's size), blocks (gzip of endless empty blocks)."""

    def __init__(self, root):
        super().__init__(("127.0.0.1", 0), _Handler)
        self.root, self.fault, self.cut_at, self.requests = root, {}, 0, []
        self.url = f"http://127.0.0.1:{self.server_address[1]}"


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        service, name = self.server, self.path.removeprefix("/moved").removeprefix("/cache/")
        path = service.root / name
        if not path.is_file():
            return self._send(404, b'{"error": "no such file"}', {})
        data, fault = path.read_bytes(), service.fault.get(name)
        digest = f'"{hashlib.sha256(data).hexdigest()}"'
        start = int(self.headers.get("Range", "bytes=0-")[6:-1])
        service.requests.append((name, start))
        if start and self.headers.get("If-Range") == digest:
            return self._send(206, data[start:], {"Content-Range": f"bytes {start}-{len(data) - 1}/{len(data)}"})
        if fault == "moved" and not self.path.startswith("/moved"):
            return self._send(301, b"", {"Location": f"/moved{self.path}"})
        if fault == "redirect":
            return self._send(302, b"", {"Location": f"http://localhost:{service.server_address[1]}{self.path}"})
        if fault == "flip":
            data = data[:-1] + bytes([data[-1] ^ 1])
        length = {"length": len(data) + 1, "endless": None, "bomb": None, "blocks": None}.get(fault, len(data))
        self.send_response(200)
        self.send_header("ETag", digest)
        self.send_header("Content-Length", str(length)) if length is not None else None
        self.send_header("Content-Encoding", "gzip") if fault in ("bomb", "blocks") else None
        self.end_headers()
        pieces = {"cut": [data[:service.cut_at]], "endless": iter(lambda: bytes(1 << 16), None),
                  "drip": (data[i:i + 1] for i in range(len(data))), "bomb": [gzip.compress(bytes(1 << 20))],
                  "blocks": itertools.chain([gzip.compress(b"")[:10]], iter(lambda: b"\0\0\0\xff\xff" * 4096, None)),
                  }.get(fault, [data])
        try:
            for count, piece in enumerate(pieces):
                self.wfile.write(piece)
                if fault == "drip":
                    time.sleep(0.02)
                if count > 2000:
                    break
        except OSError:
            pass  # the client stopped reading, as it should
        if fault in ("cut", "endless", "drip", "bomb", "blocks"):
            self.close_connection = True

    def _send(self, status, body, headers):
        self.send_response(status)
        for key, value in {**headers, "Content-Length": str(len(body))}.items():
            self.send_header(key, value)
        self.end_headers()
        self.wfile.write(body)


@pytest.fixture(scope="module")
def publications(tmp_path_factory):
    """Two publications, the second with one document changed: their caches and identifiers."""
    root = tmp_path_factory.mktemp("publications")
    publish_small(root / "a")
    publish_small(root / "b", [Document("tea", "Green tea wants water below boiling. " * 4), *DOCUMENTS[1:]])
    return {key: (root / key / "cache", publication_id(root / key / "cache")) for key in "ab"}


@pytest.fixture
def service(publications):
    server = _Service(publications["a"][0])
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()


def _snapshot(folder):
    return {path.relative_to(folder).as_posix(): path.read_bytes() for path in folder.rglob("*") if path.is_file()}


def test_a_pinned_pull_fetches_the_publication_and_a_second_fetches_only_what_changed(service, publications, tmp_path):
    (cache_a, id_a), (cache_b, id_b) = publications["a"], publications["b"]
    target = tmp_path / "cache"
    with pytest.raises(ValueError, match="name the publication you trust"):
        pull(service.url, target)
    with pytest.raises(PullError, match=f"serves publication {id_a}, not the pinned {id_b}"):
        pull(service.url, target, id_b)
    assert not target.exists()
    service.fault = {"manifest.json": "moved"}
    first = pull(service.url + "/query", target, id_a)
    assert (first.publication, _snapshot(target)) == (id_a, _snapshot(cache_a))
    again = pull(service.url, target, trust_first_use=True)
    assert (again.replaced, again.fetched, again.transferred_bytes) == (False, [], (cache_a / "checksums.json").stat().st_size)
    service.root, service.requests, service.fault = cache_b, [], {}
    update = pull(service.url, target, id_b)
    listed = [json.loads((cache / "checksums.json").read_bytes())["files"] for cache in (cache_a, cache_b)]
    assert update.fetched == sorted(name for name in listed[1] if listed[0].get(name) != listed[1][name])
    assert [name for name, _ in service.requests] == ["checksums.json", *update.fetched]
    assert _snapshot(target) == _snapshot(cache_b) and not list(tmp_path.glob(".cache.*"))


def test_quorvex_serve_hands_its_cache_to_a_pinned_pull_that_continues_a_partial_file(store, tmp_path):
    cache, identifier = store / "cache", publication_id(store / "cache")
    listed = json.loads((cache / "checksums.json").read_bytes())["files"]
    partial = tmp_path / ".cache.pull" / ".partial" / listed[HINT]["sha256"]
    partial.parent.mkdir(parents=True)
    partial.write_bytes((cache / HINT).read_bytes()[:1000])  # as a pull cut at byte 1,000 leaves it
    served, progress = ServedCache.load(cache, identifier), []
    with serve_in_background(PirHttpServer(PirServer.load(store / "state"), cache=served)) as server:
        with pytest.raises(ValueError, match="name the publication you trust"):
            pull(server.url, tmp_path / "cache")
        result = pull(server.url, tmp_path / "cache", identifier, on_progress=lambda *done: progress.append(done))
        assert pull(server.url, tmp_path / "cache", trust_first_use=True).replaced is False
    assert result.publication == identifier and _snapshot(tmp_path / "cache") == _snapshot(cache)
    assert progress[-1] == (sum(entry["size_bytes"] for entry in listed.values()) - 1000,) * 2  # the rest only


def test_a_pull_cut_at_any_byte_resumes_where_it_stopped(service, publications, tmp_path):
    cache, identifier = publications["a"]
    size = (cache / HINT).stat().st_size
    for cut in random.Random(7).sample(range(1, size), 3):
        target = tmp_path / f"cut-{cut}"
        service.fault, service.cut_at, service.requests = {HINT: "cut"}, cut, []
        with pytest.raises(PullError, match=f"{HINT} ended after {cut:,} of its {size:,} bytes"):
            pull(service.url, target, identifier)
        assert not target.exists()
        service.fault, service.requests = {}, []
        resumed = pull(service.url, target, identifier)
        assert (HINT, cut) in service.requests and (HINT, 0) not in service.requests
        assert _snapshot(target) == _snapshot(cache)
        assert resumed.transferred_bytes < sum(path.stat().st_size for path in cache.rglob("*") if path.is_file())


@pytest.mark.parametrize("fault, file, message", [
    ("flip", HINT, f"{HINT} does not match its digest in checksums.json"),
    ("length", HINT, r"the server announces \d+ bytes where [\d,]+ were expected"),
    ("endless", HINT, r"is longer than the [\d,]+ bytes checksums.json lists; "),
    ("bomb", "manifest.json", r"manifest.json is longer than the [\d,]+ bytes checksums.json lists; "),
    ("blocks", "manifest.json", r"manifest.json: the server sends more gzip than the [\d,]+ bytes checksums.json lists could need"),
    ("drip", HINT, "arrives at .* bytes a second, below the 1,000,000 a pull accepts"),
    ("redirect", HINT, "a pull follows no redirect to another host"),
    ("flip", "checksums.json", "serves publication [0-9a-f]{64}, not the pinned"),
    ("endless", "checksums.json", "is longer than the 1,048,576 bytes a checksum list may hold"),
])
def test_a_hostile_server_gets_a_clear_error_and_the_target_stays_as_it_was(service, publications, tmp_path, fault,
                                                                             file, message):
    cache, identifier = publications["b"]
    target = tmp_path / "cache"
    pull(service.url, target, publications["a"][1])
    before = _snapshot(target)
    service.root, service.fault = cache, {file: fault}
    limits = PullLimits(timeout=0.3, min_bytes_per_second=1e6)
    with pytest.raises(PullError, match=message):
        pull(service.url, target, identifier, limits=limits)
    assert _snapshot(target) == before
    service.fault = {}  # and nothing the hostile answer brought stands in the way of an honest one
    assert pull(service.url, target, identifier).publication == identifier and _snapshot(target) == _snapshot(cache)


def test_names_a_checksum_list_cannot_hold_are_refused_before_anything_is_written(service, tmp_path):
    service.root = tmp_path / "hostile"
    (service.root / "x").mkdir(parents=True)
    for name in ("../escape", "/etc/passwd", "x/./y", ".partial/z"):
        entry = {"sha256": "0" * 64, "size_bytes": 1}
        (service.root / "checksums.json").write_text(json.dumps({"algorithm": "sha256", "files": {name: entry}}))
        with pytest.raises(PullError, match="which is not a plain relative path"):
            pull(service.url, tmp_path / "cache", trust_first_use=True)
    assert sorted(path.name for path in tmp_path.iterdir()) == ["hostile"]
    (tmp_path / "cache").mkdir()
    (tmp_path / "cache" / "notes.txt").write_text("mine")  # a folder that is not a cache is never replaced
    with pytest.raises(ValueError, match=r"holds files that are not part of a public cache \(notes.txt"):
        pull(service.url, tmp_path / "cache", trust_first_use=True)


_READER = """
import pathlib, sys
from quorvex.client.cache_open import open_cache
target, stop = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
while not stop.exists():
    try:
        print(open_cache(target).publication, flush=True)
    except RuntimeError as error:
        print("failed:", error, flush=True)
"""


def test_a_reader_sees_one_publication_whole_while_another_replaces_it(publications, tmp_path):
    target, stop = tmp_path / "cache", tmp_path / "stop"
    shutil.copytree(publications["a"][0], target, copy_function=os.link)
    reader = subprocess.Popen([sys.executable, "-c", _READER, target, stop], stdout=subprocess.PIPE, text=True)
    try:
        seen = [reader.stdout.readline().strip()]  # the reader has started
        for swap in range(100):  # as a pull puts each new cache in place, here every 20 ms or so
            staged = tmp_path / f".cache.{swap}"
            shutil.copytree(publications["ba"[swap % 2]][0], staged, copy_function=os.link)
            replace_folder(staged, target)
            time.sleep(0.02)
    finally:
        stop.touch()
        seen += reader.communicate(timeout=60)[0].splitlines()
    assert set(seen) == {publications["a"][1], publications["b"][1]}


def test_the_command_pulls_on_first_use_and_ends_with_the_publication(service, publications, tmp_path, capsys):
    assert main(["pull", service.url, str(tmp_path / "cache")]) == 1
    assert "--trust-first-use" in capsys.readouterr().err
    assert main(["pull", service.url, str(tmp_path / "cache"), "--trust-first-use"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert "pin it from now on with --publication" in lines[-2] and lines[-1] == f"publication {publications['a'][1]}"
