"""Large cache files and an argument that claims an enormous length, each tried in a fresh interpreter: it
must give the refusal meant for it, with a peak memory at most 100 MB (or twice the cache's largest file)
above that of an interpreter that only imports. (Files that claim enormous counts or nest without end are
refused by the native readers' own tests.)"""

import functools
import json
import pathlib
import shutil
import struct
import subprocess
import sys
import textwrap

import pytest

from support.corpus import replace_file

PEAK_BUDGET_BYTES = 100 * 2**20

# The child opens the cache, evaluates the case's statement and prints the outcome.
CHILD = textwrap.dedent("""
    import json, sys
    from quorvex._native import NativeClient

    class LyingSequence:  # five items, but a length of 2**62
        __len__ = lambda self: 2**62
        __getitem__ = lambda self, index: ([1.0] * 5)[index]

    cache, statement = sys.argv[1], sys.argv[2]
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


def _child(cache: str, statement: str) -> dict:
    done = subprocess.run([sys.executable, "-c", CHILD, cache, statement], capture_output=True, text=True,
                          timeout=120, check=True)
    return json.loads(done.stdout)


@functools.cache
def _interpreter_peak() -> int:
    return _child("", "None")["peak_bytes"]


def _one_long_row(cache: pathlib.Path) -> None:
    """A vector table of one row whose dimension makes the file 64 MiB, its checksum listed to match."""
    replace_file(cache, "index/vectors.bin", b"QVVEC001" + struct.pack("<IQ", 2**24 - 5, 1) + bytes(2**26 - 20))


def _json_padded(relative: str):
    """The file keeps its own fields and gains one holding 100 MB of [0,0,...]: still valid JSON."""
    def build(cache: pathlib.Path) -> None:
        head = (cache / relative).read_bytes().rstrip()[:-1] + b', "padding": ['
        (cache / relative).write_bytes(head + b"0," * ((100 * 10**6 - len(head)) // 2 - 2) + b"0]}")
    return build


TOO_LARGE = "format error: {cache}/%s is larger than 4194304 bytes, the most this file may hold"
# (change to the toy publication's cache, statement, its value or error message)
CASES = {
    "lying-sequence-length": (None, "len(client.search(LyingSequence(), 1))", "1"),
    "vectors-of-one-long-row": (_one_long_row, "None",
                                "format error: vectors.bin dimensions 16777211 do not match index config 5"),
    "manifest-100-mb": (_json_padded("manifest.json"), "None", TOO_LARGE % "manifest.json"),
    "checksums-100-mb": (_json_padded("checksums.json"), "None", TOO_LARGE % "checksums.json"),
}


@pytest.mark.parametrize("case", CASES)
def test_hostile_input_is_refused_in_bounded_memory(toy, tmp_path, case):
    build, statement, expected = CASES[case]
    cache = tmp_path / "cache"
    shutil.copytree(toy.public, cache)
    try:
        if build:
            build(cache)
        largest = max(path.stat().st_size for path in cache.rglob("*") if path.is_file())
        outcome = _child(str(cache), statement)
    finally:
        shutil.rmtree(cache)
    print(f"peak {outcome['peak_bytes'] / 2**20:.1f} MiB: {statement} -> {outcome['message']}")
    assert outcome["peak_bytes"] < _interpreter_peak() + max(PEAK_BUDGET_BYTES, 2 * largest), outcome
    assert outcome["error"] in (None, "RuntimeError"), outcome
    got = outcome["value"] if outcome["error"] is None else outcome["message"]
    assert got == expected.format(cache=cache), outcome
