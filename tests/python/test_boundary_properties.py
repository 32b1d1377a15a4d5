"""Arbitrary objects as arguments of every method: only the documented exceptions come out, nothing crashes,
and a client keeps working after any failed call. (Arbitrary and corrupted response documents and cache
files are the fuzz targets' inputs, replayed by the test command.)"""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvex._native import NativeClient, PreparedRetrieval

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
    __len__ = lambda self: DIMENSIONS


def lying(length, items):
    """A sequence that claims `length` items and holds `items`."""
    return type("Lying", (), {"__len__": lambda self: length, "__getitem__": lambda self, i: ([1.0] * items)[i]})()


numbers = st.one_of(st.floats(), st.integers(min_value=-(2**80), max_value=2**80), st.booleans())
scalars = st.one_of(numbers, st.none(), st.integers(), st.text(max_size=12), st.binary(max_size=12),
                    st.complex_numbers())
hostile = st.sampled_from([Raising(), lying(2**62, DIMENSIONS), lying(-1, 0), object(), NativeClient, PreparedRetrieval,
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
def prepared(toy, client):
    return client.prepare_retrieval_query(toy.embeddings[6], 1, 3)


@pytest.mark.parametrize("method, arity", [("open_public_cache", 1), ("search", 2), ("prepare_retrieval_query", 3),
                                           ("decode_retrieval_response", 2)])
@FAST
@given(data=st.data())
def test_any_objects_as_arguments(toy, client, prepared, method, arity, data):
    # A real prepared retrieval among the arguments lets decoding reach the response.
    arguments = [data.draw(st.one_of(arbitrary, st.just(prepared))) for _ in range(arity)]
    try:
        getattr(client, method)(*arguments)
    except DOCUMENTED:
        pass
    except Boom:  # passed on unchanged from a hostile object
        assert any(isinstance(a, Raising) or (isinstance(a, list) and any(isinstance(i, Raising) for i in a))
                   for a in arguments)
    assert client.search(toy.embeddings[4], 2)[0].chunk_id == "c4"  # the client still works
    assert client.prepare_retrieval_query(toy.embeddings[4], 1, 2).search_results()[0].chunk_id == "c4"
