"""Files, documents and arguments that claim enormous counts, nest without end or are large, each
tried in a fresh interpreter: it must give the refusal meant for it, with a peak memory at most
100 MB (or twice the cache's largest file) above that of an interpreter that only imports."""

import functools
import json
import pathlib
import shutil
import struct
import subprocess
import sys
import textwrap

import pytest

from quorvex._native import NativeClient
from support import codec
from support.corpus import replace_file

PEAK_BUDGET_BYTES = 100 * 2**20
HUGE = 2**40
DEEP = 10**6

# The child opens the cache, evaluates the case's statement and prints the outcome.
CHILD = textwrap.dedent("""
    import json, sys
    from quorvex._native import NativeClient

    class LyingSequence:  # five items, but a length of 2**62
        __len__ = lambda self: 2**62
        __getitem__ = lambda self, index: ([1.0] * 5)[index]

    cache, statement, extra = sys.argv[1], sys.argv[2], sys.argv[3]
    outcome = {"error": None, "message": None}
    try:
        client = NativeClient.open_public_cache(cache) if cache else None
        outcome["value"] = repr(eval(statement))
    except Exception as error:
        outcome["error"], outcome["message"] = type(error).__name__, str(error)
    # The peak resident size (ru_maxrss would also count the parent's memory shared before exec).
    with open("/proc/self/status") as status:
        outcome["peak_bytes"] = 1024 * next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
    print(json.dumps(outcome))
""")


def _child(cache: str, statement: str, extra: str = "") -> dict:
    done = subprocess.run([sys.executable, "-c", CHILD, cache, statement, extra], capture_output=True, text=True,
                          timeout=120, check=True)
    return json.loads(done.stdout)


@functools.cache
def _interpreter_peak() -> int:
    return _child("", "None")["peak_bytes"]


def _with_count(original: bytes, offset: int, count: int) -> bytes:
    return original[:offset] + struct.pack("<Q", count) + original[offset + 8:]


def _rewritten(relative: str, rewrite):
    """The cache with one file rewritten from its original bytes, its checksum listed to match."""
    return lambda cache, server: replace_file(cache, relative, rewrite((cache / relative).read_bytes()))


def _nested_metadata(cache: pathlib.Path, server) -> dict:
    first, rest = (cache / "index/metadata.jsonl").read_bytes().split(b"\n", 1)
    head = json.dumps({k: v for k, v in json.loads(first).items() if k != "metadata"})[:-1] + ', "metadata": '
    replace_file(cache, "index/metadata.jsonl", (head + "[" * DEEP).encode() + b"\n" + rest)
    return {"column": len(head) + 128}  # the record is level 1: the 128th bracket opens level 129


def _huge_response(cache: pathlib.Path, server) -> dict:
    """A response whose first payload claims HUGE elements (the child prepares its own query)."""
    prepared = NativeClient.open_public_cache(str(cache)).prepare_retrieval_query([1.0] * 5, 1, 2)
    response = json.loads(server.answer(prepared.query_json))
    payload = codec.decode_payload(response["responses"][0]["payload"])
    response["responses"][0]["payload"] = codec.encode_payload(_with_count(payload, 8, HUGE))
    return {"extra": json.dumps(response)}


def _json_padded(relative: str):
    """The file keeps its own fields and gains one holding 100 MB of [0,0,...]: still valid JSON."""
    def build(cache: pathlib.Path, server) -> None:
        head = (cache / relative).read_bytes().rstrip()[:-1] + b', "padding": ['
        (cache / relative).write_bytes(head + b"0," * ((100 * 10**6 - len(head)) // 2 - 2) + b"0]}")
    return build


DECODE = "client.decode_retrieval_response(client.prepare_retrieval_query([1.0] * 5, 1, 2), extra.encode())"
TOO_LARGE = "format error: {cache}/%s is larger than 4194304 bytes, the most this file may hold"
# (publication, change to its cache, statement, its value or error message). The toy hint's length is
# record_size_bytes (offset 16) x matrix_width, its count at 64; the simplepir-rs hint's rows are at 80,
# its columns at 88.
CASES = {
    "vectors-row-count": ("toy", _rewritten("index/vectors.bin", lambda b: _with_count(b, 12, HUGE)), "None",
                          "I/O error for {cache}/index/vectors.bin: failed to fill whole buffer"),
    "toy-hint-count": ("toy", _rewritten("pir/client_hint.bin",
                                         lambda b: _with_count(_with_count(b, 16, HUGE // 16), 64, HUGE)), "None",
                       "format error: client_hint.bin ended while reading SimplePIR client hint value"),
    "rs-hint-count": ("rs", _rewritten("pir/client_hint.bin", lambda b: _with_count(_with_count(b, 88, 1), 80, HUGE)),
                      "None", "format error: client_hint.bin ended while reading simplepir-rs matrix value"),
    "metadata-nested": ("toy", _nested_metadata, "None", "format error: metadata JSONL parse error in "
                        "{cache}/index/metadata.jsonl at line 1: recursion limit exceeded at line 1 column {column}"),
    "toy-response-count": ("toy", _huge_response, DECODE,
                           f"format error: PIR response vector length {HUGE} does not match expected 200"),
    "rs-response-count": ("rs", _huge_response, DECODE,
                          f"format error: simplepir-rs PIR response vector length {HUGE} does not match expected 100"),
    "lying-sequence-length": ("toy", None, "len(client.search(LyingSequence(), 1))", "1"),
    "retrieval-count": ("toy", None, f"client.prepare_retrieval_query([1.0] * 5, 1, {HUGE})",
                        f"format error: retrieval_count {HUGE} is larger than this client can prepare for this cache "
                        "(at most 5478274)"),
    "vectors-of-one-long-row": ("toy", _rewritten("index/vectors.bin", lambda _: b"QVVEC001" + struct.pack(
        "<IQ", 2**24 - 5, 1) + bytes(2**26 - 20)), "None",
                                "format error: vectors.bin dimensions 16777211 do not match index config 5"),
    "manifest-100-mb": ("toy", _json_padded("manifest.json"), "None", TOO_LARGE % "manifest.json"),
    "checksums-100-mb": ("toy", _json_padded("checksums.json"), "None", TOO_LARGE % "checksums.json"),
}


@pytest.mark.parametrize("case", CASES)
def test_hostile_input_is_refused_in_bounded_memory(request, tmp_path, case):
    profile, build, statement, expected = CASES[case]
    published = request.getfixturevalue(profile)
    cache = tmp_path / "cache"
    shutil.copytree(published.public, cache)
    try:
        fields = (build and build(cache, published.server())) or {}
        largest = max(path.stat().st_size for path in cache.rglob("*") if path.is_file())
        outcome = _child(str(cache), statement, fields.get("extra", ""))
    finally:
        shutil.rmtree(cache)
    print(f"peak {outcome['peak_bytes'] / 2**20:.1f} MiB: {statement} -> {outcome['message']}")
    assert outcome["peak_bytes"] < _interpreter_peak() + max(PEAK_BUDGET_BYTES, 2 * largest), outcome
    assert outcome["error"] in (None, "RuntimeError"), outcome
    got = outcome["value"] if outcome["error"] is None else outcome["message"]
    assert got == expected.format(cache=cache, **fields), outcome
