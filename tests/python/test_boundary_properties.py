"""Property tests at the module boundary: arbitrary objects for every argument,
arbitrary bytes as a response document, single-byte corruptions of every file
of a valid cache. Only the documented exceptions come out, nothing crashes,
and a client keeps working after any failed call."""

import hashlib
import json
import pathlib
import shutil

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvex._native import NativeClient, PreparedRetrieval
from quorvex.publisher.publish import publish
from quorvex.server.pir_server import PirServer
from support.corpus import make_chunks, make_embeddings

DIMENSIONS = 5
DOCUMENTED = (RuntimeError, TypeError, OverflowError, UnicodeEncodeError)
# numpy warns when a complex array is read as real numbers, which some drawn arguments are.
pytestmark = pytest.mark.filterwarnings("ignore:Casting complex values to real")
FAST = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


class Boom(Exception):
    """Raised by the hostile objects below; a conversion passes it on unchanged."""


class RaisingFloat:
    def __float__(self):
        raise Boom


class RaisingIndex:
    def __index__(self):
        raise Boom


class RaisingIteration:
    def __len__(self):
        return 5

    def __getitem__(self, index):
        raise Boom


class LyingLength:
    def __len__(self):
        return 2**62

    def __getitem__(self, index):
        if index >= DIMENSIONS:
            raise IndexError(index)
        return float(index)


class NegativeLength:
    def __len__(self):
        return -1

    def __getitem__(self, index):
        raise IndexError(index)


def _arrays():
    dtypes = st.sampled_from([np.float32, np.float64, np.int8, np.uint64, np.bool_, np.complex64, object])
    shapes = st.sampled_from([(DIMENSIONS,), (0,), (2, DIMENSIONS), (DIMENSIONS, 1)])
    return st.builds(lambda dtype, shape: np.ones(shape, dtype=dtype), dtypes, shapes)


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=True, allow_infinity=True), st.text(max_size=12), st.binary(max_size=12), st.complex_numbers(),
)
numbers = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(min_value=-(2**80), max_value=2**80),
                    st.booleans())
hostile = st.sampled_from([RaisingFloat(), RaisingIndex(), RaisingIteration(), LyingLength(), NegativeLength(),
                           object(), NativeClient, PreparedRetrieval, "\udcff", "a\0b"])
arbitrary = st.one_of(
    scalars, hostile, _arrays(),
    st.lists(st.one_of(numbers, scalars, hostile), max_size=8),
    st.lists(numbers, min_size=DIMENSIONS, max_size=DIMENSIONS),
    st.tuples(numbers, numbers, numbers, numbers, numbers),
    st.dictionaries(st.text(max_size=3), scalars, max_size=3),
)
counts = st.one_of(arbitrary, st.integers(min_value=-3, max_value=2**65))


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    root = tmp_path_factory.mktemp("properties")
    chunks = make_chunks(9, seed=3)
    embeddings = make_embeddings(9, DIMENSIONS, seed=3)
    publish(chunks, embeddings, root / "public", root / "server", embedding_model="m",
            profile="toy-development-only-v0", record_size_bytes=200)
    return root / "public", PirServer.load(root / "server"), embeddings


@pytest.fixture(scope="module")
def client(cache):
    return NativeClient.open_public_cache(str(cache[0]))


def _assert_still_usable(client, embeddings):
    hits = client.search(embeddings[4], 2)
    assert hits[0].chunk_id == "c4"
    prepared = client.prepare_retrieval_query(embeddings[4], 1, 2)
    assert prepared.search_results()[0].chunk_id == "c4"


def _call(function, *arguments):
    try:
        function(*arguments)
    except DOCUMENTED:
        pass
    except Boom:
        # Passed on unchanged from one of the hostile objects.
        assert any(isinstance(a, (RaisingFloat, RaisingIndex, RaisingIteration)) or
                   (isinstance(a, list) and any(isinstance(i, (RaisingFloat, RaisingIndex, RaisingIteration)) for i in a))
                   for a in arguments)


@FAST
@given(path=arbitrary)
def test_open_with_any_object(path):
    _call(NativeClient.open_public_cache, path)


@FAST
@given(query=arbitrary, top_k=counts)
def test_search_with_any_objects(cache, client, query, top_k):
    _call(client.search, query, top_k)
    _assert_still_usable(client, cache[2])


@FAST
@given(query=arbitrary, top_k=counts, retrieval_count=counts)
def test_prepare_with_any_objects(cache, client, query, top_k, retrieval_count):
    _call(client.prepare_retrieval_query, query, top_k, retrieval_count)
    _assert_still_usable(client, cache[2])


@FAST
@given(prepared=arbitrary, response=arbitrary)
def test_decode_with_any_objects(cache, client, prepared, response):
    _call(client.decode_retrieval_response, prepared, response)
    real = client.prepare_retrieval_query(cache[2][0], 1, 2)
    _call(client.decode_retrieval_response, real, response)
    _assert_still_usable(client, cache[2])


@pytest.fixture(scope="module")
def exchange(cache, client):
    prepared = client.prepare_retrieval_query(cache[2][6], 1, 3)
    return prepared, cache[1].answer(prepared.query_json)


@FAST
@given(document=st.binary(max_size=600))
def test_any_bytes_as_response(cache, client, exchange, document):
    with pytest.raises(RuntimeError):
        client.decode_retrieval_response(exchange[0], document)
    _assert_still_usable(client, cache[2])


@FAST
@given(data=st.data())
def test_corrupted_response(cache, client, exchange, data):
    prepared, response = exchange
    position = data.draw(st.integers(min_value=0, max_value=len(response) - 1))
    value = data.draw(st.integers(min_value=0, max_value=255).filter(lambda b: b != response[position]))
    corrupted = response[:position] + bytes([value]) + response[position + 1:]
    try:
        decoded = client.decode_retrieval_response(prepared, corrupted)
    except RuntimeError:
        pass
    else:  # whitespace and the like may change without changing the answer
        assert [d.chunk_id for d in decoded] == ["c6"]
    assert [d.chunk_id for d in client.decode_retrieval_response(prepared, response)] == ["c6"]


CACHE_FILES = ["manifest.json", "checksums.json", "pir/scheme.json", "pir/client_hint.bin", "pir/server_hint.bin",
               "index/index.config.json", "index/vectors.bin", "index/ids.bin", "index/metadata.jsonl"]


@pytest.fixture(scope="module")
def workspace(cache, tmp_path_factory):
    copy = tmp_path_factory.mktemp("corrupt") / "cache"
    shutil.copytree(cache[0], copy)
    return copy


@pytest.mark.parametrize("relative", CACHE_FILES)
@pytest.mark.parametrize("matching_checksum", [False, True], ids=["stale-checksum", "matching-checksum"])
@FAST
@given(data=st.data())
def test_single_byte_corruption(cache, workspace, relative, matching_checksum, data):
    path = workspace / relative
    original = (cache[0] / relative).read_bytes()
    checksums = (cache[0] / "checksums.json").read_bytes()
    position = data.draw(st.integers(min_value=0, max_value=len(original) - 1))
    value = data.draw(st.integers(min_value=0, max_value=255).filter(lambda b: b != original[position]))
    corrupted = original[:position] + bytes([value]) + original[position + 1:]
    path.write_bytes(corrupted)
    if matching_checksum and relative != "checksums.json":
        listed = json.loads(checksums)
        listed["files"][relative]["sha256"] = hashlib.sha256(corrupted).hexdigest()
        (workspace / "checksums.json").write_text(json.dumps(listed))
    try:
        try:
            client = NativeClient.open_public_cache(str(workspace))
        except RuntimeError:
            return
        # Some corruptions leave a working cache (a changed text byte in metadata, a
        # changed vector value); it must then behave like any other cache.
        for call in (lambda: client.search(cache[2][1], 3),
                     lambda: client.prepare_retrieval_query(cache[2][1], 1, 2).search_results()):
            try:
                call()
            except RuntimeError:
                pass
    finally:
        path.write_bytes(original)
        (workspace / "checksums.json").write_bytes(checksums)
