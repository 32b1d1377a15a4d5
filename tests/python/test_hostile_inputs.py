"""Hostile sizes: files, documents and arguments that claim enormous counts,
nest without end or are simply large. Each case runs in a fresh interpreter,
which reports the error it got and its own peak memory; the error must be the
refusal meant for that input and the peak may exceed that of an interpreter
that only imports the module by at most the case's budget: 100 MB, or twice
the largest file for a cache of large files."""

import functools
import hashlib
import json
import pathlib
import shutil
import struct
import subprocess
import sys
import textwrap

import pytest

from quorvex.publisher.publish import publish
from quorvex.server.pir_server import PirServer
from support import codec as _codec
from support.corpus import make_chunks, make_embeddings

PEAK_BUDGET_BYTES = 100 * 2**20
HUGE = 2**40
DEEP = 10**6

# The child opens the cache, runs the case's statement and prints the outcome.
CHILD = textwrap.dedent("""
    import json, sys
    from quorvex._native import NativeClient

    class LyingSequence:
        def __len__(self):
            return 2**62
        def __getitem__(self, index):
            if index >= 5:
                raise IndexError(index)
            return 1.0

    cache, statement, extra = sys.argv[1], sys.argv[2], sys.argv[3]
    outcome = {"error": None, "message": None}
    try:
        client = NativeClient.open_public_cache(cache) if cache else None
        outcome["value"] = repr(eval(statement))
    except Exception as error:
        outcome["error"], outcome["message"] = type(error).__name__, str(error)
    # The peak resident size of this process's memory (ru_maxrss would also
    # count the parent's memory that this child briefly shared before exec).
    with open("/proc/self/status") as status:
        peak_kib = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
    outcome["peak_bytes"] = peak_kib * 1024
    print(json.dumps(outcome))
""")


def _child(cache: str, statement: str, extra: str) -> dict:
    done = subprocess.run([sys.executable, "-c", CHILD, cache, statement, extra],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@functools.cache
def _interpreter_peak() -> int:
    return _child("", "None", "")["peak_bytes"]


def _run(cache: pathlib.Path, statement: str = "None", extra: str = "", budget: int = PEAK_BUDGET_BYTES) -> dict:
    outcome = _child(str(cache), statement, extra)
    print(f"peak {outcome['peak_bytes'] / 2**20:.1f} MiB: {statement} -> {outcome['message']}")
    assert outcome["peak_bytes"] < _interpreter_peak() + budget, outcome
    return outcome


@pytest.fixture(scope="module")
def published(tmp_path_factory):
    root = tmp_path_factory.mktemp("hostile")
    made = {}
    for name, profile, count, dimensions in [("toy", "toy-development-only-v0", 9, 5),
                                            ("rs", "simplepir-rs-experimental-v0", 9, 5)]:
        publish(make_chunks(count, seed=1), make_embeddings(count, dimensions, seed=1), root / name,
                root / f"{name}-server", embedding_model="m", profile=profile, record_size_bytes=200)
        made[name] = (root / name, root / f"{name}-server")
    return made


def _copy_with(tmp_path: pathlib.Path, public: pathlib.Path, relative: str, content: bytes) -> pathlib.Path:
    """A copy of the cache with one file replaced and the checksum list updated to match."""
    cache = tmp_path / "cache"
    shutil.copytree(public, cache)
    (cache / relative).write_bytes(content)
    checksums = json.loads((cache / "checksums.json").read_text())
    checksums["files"][relative] = {"sha256": hashlib.sha256(content).hexdigest(), "size_bytes": len(content)}
    (cache / "checksums.json").write_text(json.dumps(checksums))
    return cache


def _with_count(original: bytes, offset: int, count: int) -> bytes:
    return original[:offset] + struct.pack("<Q", count) + original[offset + 8:]


def test_unchanged_cache_opens_within_the_limit(published):
    assert _run(published["toy"][0], "len(client.search([1.0] * 5, 3))")["value"] == "3"


@pytest.mark.parametrize("relative, offset", [("index/vectors.bin", 12), ("index/ids.bin", 8)],
                         ids=["vectors", "ids"])
def test_index_file_claiming_huge_row_count(published, tmp_path, relative, offset):
    public = published["toy"][0]
    cache = _copy_with(tmp_path, public, relative, _with_count((public / relative).read_bytes(), offset, HUGE))
    outcome = _run(cache)
    assert (outcome["error"], outcome["message"]) == (
        "RuntimeError", f"I/O error for {cache / relative}: failed to fill whole buffer")


def _toy_hint_declaring(original: bytes, values: int) -> bytes:
    # record_size_bytes x matrix_width is the hint length the reader expects.
    hint = _with_count(original, 16, values // 16)
    return _with_count(hint, 64, values)


def _rs_hint_declaring(original: bytes, values: int) -> bytes:
    return _with_count(original, 80, values)  # the hint's row count; one column stays


@pytest.mark.parametrize("name, rewrite, field", [
    ("toy", _toy_hint_declaring, "SimplePIR client hint value"),
    ("rs", _rs_hint_declaring, "simplepir-rs matrix value"),
])
def test_client_hint_declaring_huge_value_count(published, tmp_path, name, rewrite, field):
    public = published[name][0]
    relative = "pir/client_hint.bin"
    original = (public / relative).read_bytes()
    if name == "rs":  # keep one column so rows x columns is the declared count
        original = _with_count(original, 88, 1)
    cache = _copy_with(tmp_path, public, relative, rewrite(original, HUGE))
    outcome = _run(cache)
    assert (outcome["error"], outcome["message"]) == (
        "RuntimeError", f"format error: client_hint.bin ended while reading {field}")


@pytest.mark.parametrize("closed", [True, False], ids=["closed", "unclosed"])
def test_metadata_nested_a_million_levels(published, tmp_path, closed):
    public = published["toy"][0]
    relative = "index/metadata.jsonl"
    lines = (public / relative).read_bytes().splitlines(keepends=True)
    record = json.loads(lines[0])
    head = json.dumps({k: v for k, v in record.items() if k != "metadata"})[:-1] + ', "metadata": '
    deep = head + "[" * DEEP + ("]" * DEEP + "}" if closed else "")
    cache = _copy_with(tmp_path, public, relative, deep.encode() + b"\n" + b"".join(lines[1:]))
    outcome = _run(cache)
    column = len(head) + 128  # the record is level 1: the 128th bracket opens level 129
    assert (outcome["error"], outcome["message"]) == (
        "RuntimeError", f"format error: metadata JSONL parse error in {cache / relative} at line 1: "
                        f"recursion limit exceeded at line 1 column {column}")


@pytest.mark.parametrize("name, label", [("toy", "PIR response"), ("rs", "simplepir-rs PIR response")])
def test_response_payload_declaring_huge_element_count(published, tmp_path, name, label):
    public, server_dir = published[name]
    # The query is made in the child; the server answers it here, then the
    # first payload's element count is replaced.
    query = _run(public, "client.prepare_retrieval_query([1.0] * 5, 1, 2).query_json")
    assert query["error"] is None
    response = json.loads(PirServer.load(server_dir).answer(eval(query["value"])))
    payload = _codec.decode_payload(response["responses"][0]["payload"])
    response["responses"][0]["payload"] = _codec.encode_payload(_with_count(payload, 8, HUGE))
    hostile = json.dumps(response).encode()
    # The prepared retrieval cannot cross processes: prepare again, answer the hostile document.
    outcome = _run(public, "client.decode_retrieval_response(client.prepare_retrieval_query([1.0] * 5, 1, 2), "
                           "extra.encode())", extra=hostile.decode())
    assert outcome["error"] == "RuntimeError"
    assert outcome["message"].startswith(f"format error: {label} vector length {HUGE} does not match expected ")


def test_query_embedding_claiming_huge_length(published):
    outcome = _run(published["toy"][0], "len(client.search(LyingSequence(), 1))")
    assert (outcome["error"], outcome["value"]) == (None, "1")


def test_huge_retrieval_count(published):
    outcome = _run(published["toy"][0], f"client.prepare_retrieval_query([1.0] * 5, 1, {HUGE})")
    assert outcome["error"] == "RuntimeError"
    assert outcome["message"].startswith(f"format error: retrieval_count {HUGE} is larger than")


def _write_large(path: pathlib.Path, head: bytes, filler: bytes, tail: bytes, size: int) -> str:
    """Writes head, whole fillers and tail, `size` bytes at most. Returns the SHA-256."""
    digest = hashlib.sha256()
    fillers, per_piece = (size - len(head) - len(tail)) // len(filler), 2**20 // len(filler)
    parts = [filler * per_piece] * (fillers // per_piece) + [filler * (fillers % per_piece)]
    with path.open("wb") as out:
        for part in [head, *parts, tail]:
            out.write(part)
            digest.update(part)
    return digest.hexdigest()


def _vectors_of_one_long_row(cache: pathlib.Path, size: int) -> None:
    dimensions = (size - 20) // 4
    path = cache / "index/vectors.bin"
    digest = _write_large(path, b"QVVEC001" + struct.pack("<IQ", dimensions, 1), b"\0", b"", size)
    checksums = json.loads((cache / "checksums.json").read_text())
    checksums["files"]["index/vectors.bin"] = {"sha256": digest, "size_bytes": path.stat().st_size}
    (cache / "checksums.json").write_text(json.dumps(checksums))


def _json_padded(relative: str):
    """The file keeps its own fields and gains one holding [0,0,...]: still valid JSON."""
    def write(cache: pathlib.Path, size: int) -> None:
        head = (cache / relative).read_text().rstrip()[:-1] + ', "padding": ['
        _write_large(cache / relative, head.encode(), b"0,", b"0]}", size)
    return write


@pytest.mark.parametrize("write, size, message", [
    (_vectors_of_one_long_row, 64 * 2**20,
     "format error: vectors.bin dimensions 16777211 do not match index config 5"),
    (_json_padded("manifest.json"), 100 * 10**6,
     "format error: {cache}/manifest.json is larger than 4194304 bytes, the most this file may hold"),
    (_json_padded("checksums.json"), 100 * 10**6,
     "format error: {cache}/checksums.json is larger than 4194304 bytes, the most this file may hold"),
], ids=["vectors_of_one_long_row", "manifest", "checksums"])
def test_large_file_costs_at_most_twice_its_size(published, tmp_path, write, size, message):
    cache = tmp_path / "cache"
    shutil.copytree(published["toy"][0], cache)
    try:
        write(cache, size)
        largest = max(path.stat().st_size for path in cache.rglob("*") if path.is_file())
        outcome = _run(cache, budget=2 * largest)
        assert (outcome["error"], outcome["message"]) == ("RuntimeError", message.format(cache=cache))
    finally:
        shutil.rmtree(cache)
