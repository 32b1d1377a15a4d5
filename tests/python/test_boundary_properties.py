"""Arbitrary objects as arguments, arbitrary or corrupted response documents and cache files: only the
documented exceptions come out, nothing crashes, and a client keeps working after any failed call."""

import shutil

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvex._native import NativeClient, PreparedRetrieval
from support.corpus import replace_file

DIMENSIONS = 5
DOCUMENTED = (RuntimeError, TypeError, OverflowError, UnicodeEncodeError)
# numpy warns when a complex array is read as real numbers, which some drawn arguments are.
pytestmark = pytest.mark.filterwarnings("ignore:Casting complex values to real")
FAST = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


class Boom(Exception):
    """Raised by the hostile objects below; a conversion passes it on unchanged."""


class Raising:
    def __float__(self, *index):
        raise Boom

    __index__ = __getitem__ = __float__

    def __len__(self):
        return DIMENSIONS


class Lying:
    """Claims a length other than the items it holds."""

    def __init__(self, length, items):
        self.length, self.items = length, [float(i) for i in range(items)]

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        return self.items[index]


numbers = st.one_of(st.floats(), st.integers(min_value=-(2**80), max_value=2**80), st.booleans())
scalars = st.one_of(numbers, st.none(), st.integers(), st.text(max_size=12), st.binary(max_size=12),
                    st.complex_numbers())
hostile = st.sampled_from([Raising(), Lying(2**62, DIMENSIONS), Lying(-1, 0), object(), NativeClient, PreparedRetrieval,
                           "\udcff", "a\0b"])
arrays = st.builds(lambda dtype, shape: np.ones(shape, dtype=dtype),
                   st.sampled_from([np.float32, np.float64, np.int8, np.uint64, np.bool_, np.complex64, object]),
                   st.sampled_from([(DIMENSIONS,), (0,), (2, DIMENSIONS), (DIMENSIONS, 1)]))
arbitrary = st.one_of(scalars, hostile, arrays, st.integers(min_value=-3, max_value=2**65),
                      st.lists(st.one_of(scalars, hostile), max_size=8), st.lists(numbers, min_size=DIMENSIONS,
                      max_size=DIMENSIONS), st.tuples(*[numbers] * DIMENSIONS),
                      st.dictionaries(st.text(max_size=3), scalars, max_size=3))


@pytest.fixture(scope="module")
def client(toy):
    return toy.client()


@pytest.fixture(scope="module")
def exchange(toy, client):
    prepared = client.prepare_retrieval_query(toy.embeddings[6], 1, 3)
    return prepared, toy.server().answer(prepared.query_json)


def _corrupted(original: bytes):
    """The bytes with one byte changed."""
    return st.integers(0, len(original) - 1).flatmap(lambda at: st.integers(0, 255).filter(
        lambda b: b != original[at]).map(lambda b: original[:at] + bytes([b]) + original[at + 1:]))


def _assert_still_usable(client, embeddings):
    assert client.search(embeddings[4], 2)[0].chunk_id == "c4"
    assert client.prepare_retrieval_query(embeddings[4], 1, 2).search_results()[0].chunk_id == "c4"


@pytest.mark.parametrize("method, arity", [("open_public_cache", 1), ("search", 2), ("prepare_retrieval_query", 3),
                                           ("decode_retrieval_response", 2)])
@FAST
@given(data=st.data())
def test_any_objects_as_arguments(toy, client, exchange, method, arity, data):
    # A real prepared retrieval among the arguments lets decoding reach the response.
    arguments = [data.draw(st.one_of(arbitrary, st.just(exchange[0]))) for _ in range(arity)]
    try:
        getattr(client, method)(*arguments)
    except DOCUMENTED:
        pass
    except Boom:  # passed on unchanged from a hostile object
        assert any(isinstance(a, Raising) or (isinstance(a, list) and any(isinstance(i, Raising) for i in a))
                   for a in arguments)
    _assert_still_usable(client, toy.embeddings)


@FAST
@given(data=st.data())
def test_any_or_corrupted_response_document(toy, client, exchange, data):
    prepared, response = exchange
    document = data.draw(st.one_of(_corrupted(response), st.binary(max_size=600)))
    try:
        decoded = client.decode_retrieval_response(prepared, document)
    except RuntimeError:
        pass
    else:  # whitespace and the like may change without changing the answer
        assert [d.chunk_id for d in decoded] == ["c6"]
    assert [d.chunk_id for d in client.decode_retrieval_response(prepared, response)] == ["c6"]
    _assert_still_usable(client, toy.embeddings)


CACHE_FILES = ["manifest.json", "checksums.json", "pir/scheme.json", "pir/client_hint.bin", "pir/server_hint.bin",
               "index/index.config.json", "index/vectors.bin", "index/ids.bin", "index/metadata.jsonl"]


@pytest.fixture(scope="module")
def workspace(toy, tmp_path_factory):
    copy = tmp_path_factory.mktemp("corrupt") / "cache"
    shutil.copytree(toy.public, copy)
    return copy


@pytest.mark.parametrize("relative", CACHE_FILES)
@pytest.mark.parametrize("matching_checksum", [False, True], ids=["stale-checksum", "matching-checksum"])
@FAST
@given(data=st.data())
def test_single_byte_corruption(toy, workspace, relative, matching_checksum, data):
    path = workspace / relative
    original, checksums = (toy.public / relative).read_bytes(), (toy.public / "checksums.json").read_bytes()
    corrupted = data.draw(_corrupted(original))
    path.write_bytes(corrupted)
    if matching_checksum and relative != "checksums.json":
        replace_file(workspace, relative, corrupted)
    try:
        client = NativeClient.open_public_cache(str(workspace))
        # Some corruptions leave a working cache (a changed text byte in metadata, a
        # changed vector value); it must then behave like any other cache.
        client.search(toy.embeddings[1], 3)
        client.prepare_retrieval_query(toy.embeddings[1], 1, 2).search_results()
    except RuntimeError:
        pass
    finally:
        path.write_bytes(original)
        (workspace / "checksums.json").write_bytes(checksums)
