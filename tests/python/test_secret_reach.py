"""Nothing of a prepared retrieval's secret state reaches Python: the classes
expose only their documented members, hold no Python-visible references,
and cannot be pickled or copied."""

import copy
import gc
import pickle

import pytest

from quorvex._native import DecodedChunk, NativeClient, PreparedRetrieval, SearchResult
from quorvex.publisher.publish import publish
from support.corpus import make_chunks, make_embeddings

PUBLIC_MEMBERS = {
    NativeClient: {"open_public_cache", "search", "prepare_retrieval_query", "decode_retrieval_response"},
    PreparedRetrieval: {"query_json", "retrieval_count", "visible_result_count", "search_results"},
    SearchResult: {"chunk_id", "score", "metadata_json"},
    DecodedChunk: {"chunk_id", "document_id", "text", "metadata_json"},
}


@pytest.mark.parametrize("cls", PUBLIC_MEMBERS, ids=lambda c: c.__name__)
def test_classes_expose_only_their_members(cls):
    assert set(dir(cls)) - set(dir(object)) - {"__module__"} == PUBLIC_MEMBERS[cls]


def test_prepared_retrieval_holds_nothing_reachable(tmp_path):
    publish(make_chunks(6, seed=2), make_embeddings(6, 4, seed=2), tmp_path / "c", tmp_path / "s",
            embedding_model="m", profile="toy-development-only-v0", record_size_bytes=200)
    client = NativeClient.open_public_cache(str(tmp_path / "c"))
    prepared = client.prepare_retrieval_query([1.0, 0.0, 0.0, 0.0], 1, 2)
    for value in (client, prepared):
        assert all(referent is type(value) for referent in gc.get_referents(value))
        assert not hasattr(value, "__dict__")
        with pytest.raises(TypeError):
            pickle.dumps(value)
        with pytest.raises(TypeError):
            copy.copy(value)
