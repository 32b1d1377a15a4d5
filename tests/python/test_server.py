import hashlib
import io
import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from quorvex._engine import PirEngine
from quorvex.publisher.pir_setup import RsSetup, ToySetup, setup_json, write_client_hint
from quorvex.server import PirServer, QueryError
from quorvex.shared import profiles
from quorvex.shared.formats import LANES_FILE, STATE_FILE, lane_rows, record_lanes, write_lanes
from support import codec
from support.corpus import publish_synthetic

TOY = profiles.get_profile(profiles.TOY)
RS = profiles.get_profile(profiles.RS_EXPERIMENTAL)


def store(directory: pathlib.Path, kind: str, records: np.ndarray, seed: int, setup_seed: int = 7):
    """A server and the client hint bytes for records, as the publisher lays them out."""
    count, size = records.shape
    profile, setup = (TOY, ToySetup.new(count, size, seed)) if kind == "toy" else \
        (RS, RsSetup.new(count, size, setup_seed, seed))
    write_lanes(directory / LANES_FILE, lane_rows(profile, size), count, [record_lanes(profile, records)])
    engine = PirEngine.open(str(directory / LANES_FILE), profile.name, count, size)
    hint = io.BytesIO()
    write_client_hint(hint, setup, engine, 2)
    return PirServer(profile, engine, count, size), hint.getvalue()


def formula_records(count, size):
    i, j = np.arange(count, dtype=np.uint64)[:, None], np.arange(size, dtype=np.uint64)[None, :]
    return ((i * 131 + j * 31 + (i * j) % 7) % 256).astype(np.uint8)


def formula_query(kind, count, size, queries):
    """A query document of `queries` formula vectors, as long as the store's queries are."""
    magic, length = (b"QVSPQ001", count) if kind == "toy" else (b"QVSRQ001", max(count, (size + 1) // 2))
    k = np.arange(length, dtype=np.uint64)
    with np.errstate(over="ignore"):
        vectors = [(k + np.uint64(q + 1)) * np.uint64(0x9E3779B97F4A7C15) for q in range(queries)]
    head = {"protocol_version": 1, "scheme": "simplepir-lwe-v0"}
    documents = [{**head, "payload": codec.encode_payload(codec.encode_vector(magic, v))} for v in vectors]
    return json.dumps({**head, "retrieval_count": len(documents), "queries": documents}).encode()


# SHA-256 of the client hint file and of the response to formula_query(..., 3), as the
# earlier server (which held the square database) wrote them for the same records and seeds.
@pytest.mark.parametrize("kind, count, size, hint_digest, answer_digest", [
    ("toy", 1, 4, "2497b7e3eb1a2d9228b94ed4b5395b830d31830876188840114ec97aadd42d25",
     "11ab8a57153158cfa7cc792d63d5bdf3cd6f3bb453bc9a1be34b8ef242ee7c89"),
    ("toy", 40, 41, "36176f69c19d7fc8ff481797358fa6dfadeeae8dcbf85ecf2cc84e896b378fdd",
     "abbc972b176823a9d8492c418cae70cb60c1da1cc7c2a82b76dda5f37d91be32"),
    ("rs", 3, 1024, "402c85117f70532b3dc74927b129412bf9d83a10f208d9a29c74ae391bbba2f4",
     "6a7eaccd364f98c36d2722c3dfaed32db367a5910fe2e020a1842f7b4cd390fc"),
    ("rs", 512, 1024, "ee6b87023c9edab203aa8d7ab44867684d68cd0c135ae812f347feb326a9fac4",
     "b7c924e509b450804a6b4af9f0490e115cbc523db51393c47cfed3b42f01f0c5"),
    ("rs", 700, 1024, "4591af37defcafd3bf891eb5974eaf35ec8c3c7f7df49a333659e4088cc7c93c",
     "5e7db37e13ca4bd3f108c76e13058e4e58885a2cb38c5b6dffa9cdaead4e1735"),
    ("rs", 300, 33, "3f5b1da1513bd857c41093d6fb602c36ae4d9c4ca391bb95488de5bb75bc95f5",
     "4dfc7e31a792575706b3a1bb87a388d5ef295c58dcd318cf9e707a238bb0e992"),
])
def test_hint_and_answers_are_the_bytes_the_square_database_gave(tmp_path, kind, count, size, hint_digest,
                                                                  answer_digest):
    server, hint = store(tmp_path, kind, formula_records(count, size), 0x0123456789ABCDEF + count)
    assert hashlib.sha256(hint).hexdigest() == hint_digest
    assert hashlib.sha256(server.answer(formula_query(kind, count, size, 3))).hexdigest() == answer_digest


def test_a_refused_document_does_not_affect_the_others_of_its_batch(rs):
    client, server = rs.client(), rs.server()
    prepared = client.prepare_retrieval_query(rs.embeddings[4], 2, 4)
    good, bad, again = server.answer_batch([prepared.query_json, b"{", prepared.query_json])
    assert isinstance(bad, QueryError) and str(bad).startswith("JSON error for batched-pir-query") and good == again
    with pytest.raises(QueryError, match="retrieval_count 4 exceeds this server's limit of 3"):
        PirServer.load(rs.server_dir, max_retrieval_count=3).answer(prepared.query_json)


@pytest.fixture
def published_state(tmp_path):
    return publish_synthetic(tmp_path, profiles.RS_EXPERIMENTAL, 5, 4)


def _flip_a_lane(server_dir):
    data = (server_dir / LANES_FILE).read_bytes()
    (server_dir / LANES_FILE).write_bytes(data[:3] + bytes([data[3] ^ 1]) + data[4:])


@pytest.mark.parametrize("damage, message", [
    (_flip_a_lane, "lanes.bin does not match its recorded checksum"),
    (lambda d: (d / LANES_FILE).write_bytes(b"\0" * 6), "lane file .* holds 6 bytes, expected"),
    (lambda d: (d / STATE_FILE).write_text("{}"), "is not a quorvex-server-state-v1 file"),
    (lambda d: (d / STATE_FILE).unlink(), "cannot read server state"),
])
def test_damaged_server_state_is_refused(published_state, damage, message):
    damage(published_state.server_dir)
    with pytest.raises(ValueError, match=message):
        PirServer.load(published_state.server_dir)


def test_a_state_directory_of_the_earlier_format_is_still_served(published_state):
    server_dir, count = published_state.server_dir, len(published_state.chunks)
    state = json.loads((server_dir / STATE_FILE).read_text())
    lanes = np.fromfile(server_dir / LANES_FILE, dtype="<u2").reshape(-1, count)
    records = np.ascontiguousarray(lanes.T).view(np.uint8)[:, :state["setup"]["record_size_bytes"]]
    buffer = io.BytesIO()
    np.save(buffer, records, allow_pickle=False)
    (server_dir / "records.npy").write_bytes(buffer.getvalue())
    (server_dir / LANES_FILE).unlink()
    (server_dir / STATE_FILE).write_text(json.dumps({
        "format": "quorvex-server-state-v0", "parameter_profile": state["parameter_profile"],
        "setup": state["setup"], "records_sha256": hashlib.sha256(buffer.getvalue()).hexdigest()}))
    decoded = published_state.retrieve(1, 2, 4)
    assert [d.text for d in decoded] == [published_state.chunks[int(d.chunk_id[1:])]["text"] for d in decoded]
    assert decoded[0].chunk_id == "c1" and setup_json(RsSetup(**state["setup"])) == state["setup"]


def test_engine_arguments_of_the_wrong_type_are_refused_by_name(tmp_path):
    store(tmp_path, "toy", formula_records(2, 8), 1)
    engine = PirEngine.open(str(tmp_path / LANES_FILE), TOY.name, 2, 8)
    for position, name in enumerate(["max_retrieval_count", "threads", "altered_lane", "lane_shift"]):
        arguments = [4, 1, 0, 0]
        arguments[position] = "x"
        with pytest.raises(TypeError, match=f"^argument '{name}': 'str' object cannot be interpreted as an integer$"):
            engine.answer([], *arguments)


def test_threads_allocate_from_the_main_malloc_arena_once_asked():
    # A thread's own glibc arena is seldom given back to the system, so the service asks for one arena.
    code = ("import ctypes, sys, threading; from quorvex.server.memory import one_malloc_arena\n"
            "if sys.argv[1] == 'one': one_malloc_arena()\n"
            "libc = ctypes.CDLL(None); libc.malloc.restype = ctypes.c_void_p; libc.free.argtypes = [ctypes.c_void_p]\n"
            "thread = threading.Thread(target=lambda: libc.free(libc.malloc(4096))); thread.start(); thread.join()\n"
            "libc.malloc_stats(); libc.fflush(None)")
    arenas = {arg: subprocess.run([sys.executable, "-c", code, arg], capture_output=True, text=True, check=True,
                                  timeout=60).stderr.count("Arena ") for arg in ("one", "default")}
    assert arenas == {"one": 1, "default": 2}
