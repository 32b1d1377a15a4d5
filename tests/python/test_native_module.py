"""The extension module's surface: classes, conversions, errors, threads, and
private retrievals against caches written by the publisher and answered by
the reference server."""

import gc
import hashlib
import importlib
import io
import json
import pathlib
import sys
import threading

import numpy as np
import pytest

from quorvex import _native
from quorvex._engine import PirEngine
from quorvex._native import DecodedChunk, NativeClient, PreparedRetrieval, SearchResult
from quorvex.publisher.pir_setup import RsSetup, setup_json, write_client_hint
from quorvex.server.state import load_state
from quorvex.shared.formats import LANES_FILE, STATE_FILE, state_json
from quorvex.publisher.publish import publish
from quorvex.server.pir_server import PirServer
from support.corpus import make_chunks, make_embeddings

CLASSES = [NativeClient, PreparedRetrieval, SearchResult, DecodedChunk]
SUPPORTED = "simplepir-rs-v0-1000-1k"


def _publish(root: pathlib.Path, name: str, count: int, dimensions: int, profile: str, **options):
    chunks = make_chunks(count, seed=count)
    embeddings = make_embeddings(count, dimensions, seed=count)
    publish(chunks, embeddings, root / name, root / f"{name}-server", embedding_model="test-model",
            profile=profile, **options)
    return chunks, embeddings, root / name, root / f"{name}-server"


@pytest.fixture(scope="module")
def caches(tmp_path_factory):
    root = tmp_path_factory.mktemp("caches")
    return {
        "supported": _publish(root, "supported", 1000, 384, SUPPORTED),
        "experimental": _publish(root, "experimental", 37, 12, "simplepir-rs-experimental-v0", record_size_bytes=301),
        "toy": _publish(root, "toy", 9, 5, "toy-development-only-v0", record_size_bytes=200),
    }


@pytest.fixture(scope="module")
def toy(caches):
    chunks, embeddings, public, server = caches["toy"]
    return NativeClient.open_public_cache(str(public)), chunks, embeddings


# --- classes and module ---------------------------------------------------------------


def test_module_exports_exactly_its_names():
    import quorvex
    assert _native.__version__ == quorvex.__version__ == "0.1.0"
    assert _native.__all__ == ["NativeClient", "PreparedRetrieval", "SearchResult", "DecodedChunk", "__version__"]
    assert importlib.import_module("quorvex._native") is _native
    assert pathlib.Path(_native.__file__).name == "_native.abi3.so"


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_have_no_constructor_subclass_or_docstring(cls):
    assert cls.__module__ == "builtins"
    assert cls.__doc__ is None
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("method, signature", [
    (NativeClient.open_public_cache, "(cache_dir)"),
    (NativeClient.search, "($self, query_embedding, top_k)"),
    (NativeClient.prepare_retrieval_query, "($self, query_embedding, top_k, retrieval_count)"),
    (NativeClient.decode_retrieval_response, "($self, prepared, response_json)"),
    (PreparedRetrieval.search_results, "($self)"),
])
def test_methods_carry_only_a_text_signature(method, signature):
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


def test_results_are_read_only(toy):
    client, _, embeddings = toy
    hit = client.search(embeddings[0], 1)[0]
    with pytest.raises(AttributeError):
        hit.score = 1.0
    with pytest.raises(AttributeError):
        hit.extra = 1
    with pytest.raises(AttributeError):
        client.extra = 1


# --- argument conversion and errors ---------------------------------------------------


class Floatish:
    def __float__(self):
        return 0.5


@pytest.mark.parametrize("call, error, message", [
    (lambda c: NativeClient.open_public_cache(pathlib.Path(".")), TypeError,
     "argument 'cache_dir': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda c: NativeClient.open_public_cache(b"."), TypeError,
     "argument 'cache_dir': 'bytes' object cannot be converted to 'PyString'"),
    (lambda c: NativeClient.open_public_cache("\udcff"), UnicodeEncodeError, "surrogates not allowed"),
    (lambda c: c.search("abcde", 2), TypeError, "argument 'query_embedding': Can't extract `str` to `Vec`"),
    (lambda c: c.search({1: 1.0}, 2), TypeError,
     "argument 'query_embedding': 'dict' object cannot be converted to 'Sequence'"),
    (lambda c: c.search([1.0, "x", 1.0, 1.0, 1.0], 2), TypeError, "argument 'query_embedding': must be real number"),
    (lambda c: c.search([1.0] * 5, -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda c: c.search([1.0] * 5, 2**64), OverflowError, "int too big to convert"),
    (lambda c: c.search([1.0] * 5, 2.0), TypeError,
     "argument 'top_k': 'float' object cannot be interpreted as an integer"),
    (lambda c: c.search([1.0] * 5), TypeError,
     "NativeClient.search() missing 1 required positional argument: 'top_k'"),
    (lambda c: c.prepare_retrieval_query(), TypeError,
     "NativeClient.prepare_retrieval_query() missing 3 required positional arguments: "
     "'query_embedding', 'top_k', and 'retrieval_count'"),
    (lambda c: c.search([1.0] * 5, 1, 2), TypeError,
     "NativeClient.search() takes 2 positional arguments but 3 were given"),
    (lambda c: c.search([1.0] * 5, 1, k=2), TypeError, "NativeClient.search() got an unexpected keyword argument 'k'"),
    (lambda c: c.search([1.0] * 5, 1, top_k=2), TypeError,
     "NativeClient.search() got multiple values for argument 'top_k'"),
    (lambda c: c.search([1.0] * 4, 1), RuntimeError, "format error: query has 4 dimensions, expected 5"),
    (lambda c: c.search([1e39, 0, 0, 0, 0], 1), RuntimeError,
     "format error: query vector has non-finite value at dimension 0"),
    (lambda c: c.prepare_retrieval_query([1.0] * 5, 0, 4), RuntimeError, "format error: top_k must be greater than zero"),
    (lambda c: c.prepare_retrieval_query([1.0] * 5, 3, 2), RuntimeError,
     "format error: retrieval_count 2 must be greater than or equal to top_k 3"),
    (lambda c: c.decode_retrieval_response(object(), b"{}"), TypeError,
     "argument 'prepared': 'object' object cannot be converted to 'PreparedRetrieval'"),
    (lambda c: NativeClient.open_public_cache("/nonexistent-quorvex"), RuntimeError,
     "I/O error for /nonexistent-quorvex/manifest.json: No such file or directory (os error 2)"),
])
def test_conversion_and_client_errors(toy, call, error, message):
    client = toy[0]
    with pytest.raises(error) as raised:
        call(client)
    assert message in str(raised.value)
    if error is RuntimeError:
        assert raised.value.args == (message,)
    # A failed call leaves the client usable.
    assert client.search([1.0] * 5, 1)


@pytest.mark.parametrize("response", ['{"x": 1}', bytearray(b"{}"), memoryview(b"{}")], ids=["str", "bytearray", "memoryview"])
def test_response_must_be_bytes(toy, response):
    client, _, embeddings = toy
    prepared = client.prepare_retrieval_query(embeddings[0], 1, 2)
    with pytest.raises(TypeError, match=r"argument 'response_json': '\w+' object cannot be converted to 'PyBytes'"):
        client.decode_retrieval_response(prepared, response)


def test_embedding_accepts_any_numeric_sequence(toy):
    client, _, embeddings = toy
    row = embeddings[2]
    as_floats = [(h.chunk_id, h.score) for h in client.search(row.tolist(), 3)]
    assert [(h.chunk_id, h.score) for h in client.search(tuple(row), 3)] == as_floats
    assert [(h.chunk_id, h.score) for h in client.search(row, 3)] == as_floats
    assert [h.score for h in client.search((1, 2, 3, 4, 5), 2)] == [h.score for h in client.search([1.0, 2.0, 3.0, 4.0, 5.0], 2)]
    assert len(client.search([Floatish()] * 5, 2)) == 2
    assert len(client.search(b"\x01\x02\x03\x04\x05", 2)) == 2  # bytes are a sequence of ints


# --- scores and metadata ---------------------------------------------------------------


def _reference_score(query: np.ndarray, row: np.ndarray) -> np.float32:
    """The specified float32 sequence: products and sums rounded one at a time."""
    dot = qq = rr = np.float32(0)
    for q, r in zip(query.astype(np.float32), row.astype(np.float32)):
        dot = np.float32(dot + np.float32(q * r))
        qq = np.float32(qq + np.float32(q * q))
        rr = np.float32(rr + np.float32(r * r))
    if qq == 0 or rr == 0:
        return np.float32(0)
    return np.float32(dot / np.float32(np.sqrt(qq) * np.sqrt(rr)))


def test_scores_are_the_float32_sequence_widened_exactly(caches):
    _, embeddings, public, _ = caches["experimental"]
    client = NativeClient.open_public_cache(str(public))
    query = make_embeddings(1, 12, seed=99)[0]
    for hit in client.search(query, 37):
        row = embeddings[int(hit.chunk_id[1:])]
        assert hit.score == float(_reference_score(query, row))


def test_one_tenth_reads_back_as_its_float32_value(tmp_path):
    # Row (1, 0) against a query whose cosine with it rounds to float32(0.1).
    x = np.float32(0.1)
    y = np.float32(np.sqrt(np.float32(1) - np.float32(x * x)))
    while _reference_score(np.array([x, y]), np.array([1.0, 0.0])) != np.float32(0.1):
        y = np.nextafter(y, np.float32(2))
    chunks = [{"chunk_id": "one", "document_id": "d", "text": "t", "metadata": {"b": 1, "a": [True, None, "\u00e9"]}},
              {"chunk_id": "two", "document_id": "d", "text": "t", "metadata": None}]
    publish(chunks, np.array([[1.0, 0.0], [0.0, -1.0]], dtype=np.float32), tmp_path / "c", tmp_path / "s",
            embedding_model="m", profile="toy-development-only-v0", record_size_bytes=128)
    client = NativeClient.open_public_cache(str(tmp_path / "c"))
    first, second = client.search([float(x), float(y)], 2)
    assert first.score == 0.10000000149011612
    assert first.metadata_json == '{"a":[true,null,"\u00e9"],"b":1}'
    assert second.metadata_json is None


# --- private retrievals ----------------------------------------------------------------


@pytest.mark.parametrize("name, top_k, retrieval_count", [
    ("supported", 2, 4), ("experimental", 3, 5), ("toy", 2, 6), ("toy", 9, 9),
])
def test_private_retrieval_returns_the_hits_texts(caches, name, top_k, retrieval_count):
    chunks, embeddings, public, server_dir = caches[name]
    client = NativeClient.open_public_cache(str(public))
    server = PirServer.load(server_dir)
    prepared = client.prepare_retrieval_query(embeddings[3], top_k, retrieval_count)
    assert prepared.retrieval_count == retrieval_count
    assert prepared.visible_result_count == min(top_k, len(chunks))
    assert isinstance(prepared.query_json, bytes) and prepared.query_json == prepared.query_json
    assert prepared.query_json is not prepared.query_json
    hits = prepared.search_results()
    assert hits[0].chunk_id == "c3"
    response = server.answer(prepared.query_json)
    document = json.loads(response)  # the server writes compact JSON in key order
    assert list(document) == ["protocol_version", "scheme", "retrieval_count", "responses"]
    assert list(document["responses"][0]) == ["protocol_version", "scheme", "payload"] and b" " not in response
    for _ in range(2):  # a prepared retrieval decodes any number of responses
        decoded = client.decode_retrieval_response(prepared, response)
        assert [d.chunk_id for d in decoded] == [h.chunk_id for h in hits]
        for chunk in decoded:
            source = chunks[int(chunk.chunk_id[1:])]
            assert (chunk.document_id, chunk.text) == (source["document_id"], source["text"])
            expected = None if source["metadata"] is None else json.dumps(source["metadata"], separators=(",", ":"), sort_keys=True, ensure_ascii=False)
            assert chunk.metadata_json == expected


def _publish_damaged(public: pathlib.Path, server_dir: pathlib.Path, broken: int) -> None:
    """Turns one stored record into bytes that are no chunk record, keeping the
    cache consistent: new server state, new client hint, new checksums."""
    state = load_state(server_dir)
    profile, setup = state.profile, RsSetup(**state.setup)
    lanes = np.memmap(server_dir / LANES_FILE, dtype="<u2", mode="r+", shape=(state.engine.lane_rows, setup.record_count))
    lanes[:, broken] = 0xFFFF
    lanes.flush()
    del lanes, state
    engine = PirEngine.open(str(server_dir / LANES_FILE), profile.name, setup.record_count, setup.record_size_bytes)
    (server_dir / STATE_FILE).write_bytes(state_json(profile, setup_json(setup), engine.lanes_sha256, "0" * 64))
    hint = io.BytesIO()
    write_client_hint(hint, setup, engine, 1)
    (public / "pir/client_hint.bin").write_bytes(hint.getvalue())
    checksums = json.loads((public / "checksums.json").read_text())
    checksums["files"]["pir/client_hint.bin"] = {"sha256": hashlib.sha256(hint.getvalue()).hexdigest(),
                                                 "size_bytes": len(hint.getvalue())}
    (public / "checksums.json").write_text(json.dumps(checksums))


@pytest.mark.parametrize("broken, decodes", [(5, True), (1, False)], ids=["unfetched", "padding"])
def test_padding_records_are_fetched_and_decoded(tmp_path, broken, decodes):
    chunks, embeddings, public, server_dir = _publish(tmp_path, "c", 20, 6, "simplepir-rs-experimental-v0",
                                                      record_size_bytes=200)
    _publish_damaged(public, server_dir, broken)
    client = NativeClient.open_public_cache(str(public))
    prepared = client.prepare_retrieval_query(embeddings[7], 1, 3)  # hit 7, padding records 0 and 1
    assert [h.chunk_id for h in prepared.search_results()] == ["c7"]
    response = PirServer.load(server_dir).answer(prepared.query_json)
    if decodes:
        assert [d.text for d in client.decode_retrieval_response(prepared, response)] == [chunks[7]["text"]]
    else:
        with pytest.raises(RuntimeError, match="^format error: chunk payload length 4294967295 exceeds record size 200$"):
            client.decode_retrieval_response(prepared, response)


def test_supported_profile_rules(caches):
    _, embeddings, public, _ = caches["supported"]
    client = NativeClient.open_public_cache(str(public))
    with pytest.raises(RuntimeError, match="requires top_k 2, got 1"):
        client.prepare_retrieval_query(embeddings[0], 1, 4)
    with pytest.raises(RuntimeError, match="requires retrieval_count 4, got 5"):
        client.prepare_retrieval_query(embeddings[0], 2, 5)


# --- threads ---------------------------------------------------------------------------


def _on_thread(function):
    outcome = {}

    def run():
        try:
            outcome["value"] = function()
        except BaseException as error:  # the internal fault is not an Exception
            outcome["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return outcome


def test_bound_objects_refuse_other_threads(toy):
    client, _, embeddings = toy
    prepared = client.prepare_retrieval_query(embeddings[0], 1, 2)
    hit = client.search(embeddings[0], 1)[0]
    for use, label in [(lambda: client.search(embeddings[0], 1), "_native::PyNativeClient"),
                       (lambda: prepared.query_json, "_native::PyPreparedRetrieval"),
                       (lambda: prepared.search_results(), "_native::PyPreparedRetrieval")]:
        error = _on_thread(use)["error"]
        assert not isinstance(error, Exception) and isinstance(error, BaseException)
        assert f"{label} is unsendable, but sent to another thread" in str(error)
    assert _on_thread(lambda: (hit.chunk_id, hit.score))["value"] == (hit.chunk_id, hit.score)


def test_dropping_a_bound_object_on_another_thread_is_reported(toy):
    client, _, embeddings = toy
    holder = [client.prepare_retrieval_query(embeddings[0], 1, 2)]
    reports = []
    gc.collect()  # objects left in cycles by earlier tests must not be collected on the thread below
    previous = sys.unraisablehook
    sys.unraisablehook = lambda report: reports.append(str(report.exc_value))
    try:
        _on_thread(lambda: holder.clear())
        gc.collect()
    finally:
        sys.unraisablehook = previous
    assert reports == ["_native::PyPreparedRetrieval is unsendable, but is being dropped on another thread"]
