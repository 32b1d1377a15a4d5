"""The extension module's surface, its conversions and errors, and private retrievals end to end."""

import copy
import hashlib
import json
import pathlib
import pickle

import numpy as np
import pytest

from quorvex._native import DecodedChunk, NativeClient, PreparedRetrieval, SearchResult
from quorvex.publisher.publish import publish
from quorvex.server.pir_server import PirServer
from quorvex.shared import profiles
from support.corpus import publish_synthetic

# Nothing else is reachable from Python: no secret of a prepared retrieval, no path of a client.
MEMBERS = {
    NativeClient: {"open_public_cache", "search", "prepare_retrieval_query", "decode_retrieval_response",
                   "decode_checked_retrieval", "publication", "manifest_json", "checks_whole_records",
                   "hybrid_search", "lexical_search", "prepare_hybrid_retrieval_query", "has_lexical_index"},
    PreparedRetrieval: {"query_json", "retrieval_count", "visible_result_count", "search_results"},
    SearchResult: {"chunk_id", "score", "metadata_json"},
    DecodedChunk: {"chunk_id", "document_id", "text", "metadata_json"},
}
SIGNATURES = {"open_public_cache": "(cache_dir)", "search": "($self, query_embedding, top_k)",
              "prepare_retrieval_query": "($self, query_embedding, top_k, retrieval_count)",
              "decode_retrieval_response": "($self, prepared, response_json)",
              "decode_checked_retrieval": "($self, prepared, response_json)", "search_results": "($self)",
              "hybrid_search": "($self, query_embedding, question, top_k)", "lexical_search": "($self, question, top_k)",
              "prepare_hybrid_retrieval_query": "($self, query_embedding, question, top_k, retrieval_count)"}


@pytest.mark.parametrize("cls", MEMBERS, ids=lambda c: c.__name__)
def test_classes_have_only_their_members_and_no_constructor_or_subclass(cls):
    assert set(dir(cls)) - set(dir(object)) - {"__module__"} == MEMBERS[cls]
    assert (cls.__module__, cls.__doc__) == ("builtins", None)
    for name in MEMBERS[cls]:
        member = getattr(cls, name)
        assert not member.__doc__ and getattr(member, "__text_signature__", None) == SIGNATURES.get(name)
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_objects_are_read_only_and_cannot_be_pickled_or_copied(rs):
    client = rs.client()
    prepared = client.prepare_retrieval_query(rs.embeddings[0], 1, 2)
    hit = client.search(rs.embeddings[0], 1)[0]
    chunk = client.decode_retrieval_response(prepared, rs.server().answer(prepared.query_json))[0]
    for value in (client, prepared, hit, chunk):
        with pytest.raises(AttributeError):
            value.extra = 1
        with pytest.raises(TypeError):
            pickle.dumps(value)
        with pytest.raises(TypeError):
            copy.copy(value)
    with pytest.raises(AttributeError):
        hit.score = 1.0


def _decode(client, response):
    return client.decode_retrieval_response(client.prepare_retrieval_query([1.0] * 5, 1, 2), response)


@pytest.mark.parametrize("call, error, message", [
    (lambda c: NativeClient.open_public_cache(pathlib.Path(".")), TypeError,
     "argument 'cache_dir': 'PosixPath' object cannot be converted to 'PyString'"),
    (lambda c: NativeClient.open_public_cache("\udcff"), UnicodeEncodeError, "surrogates not allowed"),
    (lambda c: c.search("abcde", 2), TypeError, "argument 'query_embedding': Can't extract `str` to `Vec`"),
    (lambda c: c.search({1: 1.0}, 2), TypeError,
     "argument 'query_embedding': 'dict' object cannot be converted to 'Sequence'"),
    (lambda c: c.search([1.0, "x", 1.0, 1.0, 1.0], 2), TypeError, "argument 'query_embedding': must be real number"),
    (lambda c: c.search([1.0] * 5, -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda c: c.search([1.0] * 5, 2**64), OverflowError, "int too big to convert"),
    (lambda c: c.search([1.0] * 5, 2.0), TypeError,
     "argument 'top_k': 'float' object cannot be interpreted as an integer"),
    (lambda c: c.search(), TypeError,
     "NativeClient.search() missing 2 required positional arguments: 'query_embedding' and 'top_k'"),
    (lambda c: c.search([1.0] * 5, 1, 2), TypeError,
     "NativeClient.search() takes 2 positional arguments but 3 were given"),
    (lambda c: NativeClient.open_public_cache("a", "b"), TypeError,
     "NativeClient.open_public_cache() takes 1 positional argument but 2 were given"),
    (lambda c: c.search([1.0] * 5, 1, k=2), TypeError, "NativeClient.search() got an unexpected keyword argument 'k'"),
    (lambda c: c.search([1.0] * 5, 1, top_k=2), TypeError,
     "NativeClient.search() got multiple values for argument 'top_k'"),
    (lambda c: c.decode_retrieval_response(object(), b"{}"), TypeError,
     "argument 'prepared': 'object' object cannot be converted to 'PreparedRetrieval'"),
    (lambda c: _decode(c, '{"x": 1}'), TypeError, "argument 'response_json': 'str' object cannot be converted to 'PyBytes'"),
    (lambda c: _decode(c, bytearray(b"{}")), TypeError,
     "argument 'response_json': 'bytearray' object cannot be converted to 'PyBytes'"),
    # The client's own errors come across as RuntimeError carrying the message alone.
    (lambda c: c.search([1e39, 0, 0, 0, 0], 1), RuntimeError,  # beyond float32: an infinity
     "format error: query vector has non-finite value at dimension 0"),
])
def test_conversion_and_client_errors(toy, call, error, message):
    client = toy.client()
    with pytest.raises(error) as raised:
        call(client)
    assert message in str(raised.value)
    if error is RuntimeError:
        assert raised.value.args == (message,)
    assert client.search([1.0] * 5, 1)  # a failed call leaves the client usable


def test_embedding_accepts_any_numeric_sequence(toy):
    client, row = toy.client(), toy.embeddings[2]
    as_floats = [(h.chunk_id, h.score) for h in client.search(row.tolist(), 3)]
    assert [(h.chunk_id, h.score) for h in client.search(tuple(row), 3)] == as_floats
    assert [(h.chunk_id, h.score) for h in client.search(row, 3)] == as_floats
    assert [h.score for h in client.search((1, 2, 3, 4, 5), 2)] == [h.score for h in client.search([1.0, 2, 3, 4, 5], 2)]
    assert len(client.search([type("Floatish", (), {"__float__": lambda self: 0.5})()] * 5, 2)) == 2
    assert len(client.search(b"\x01\x02\x03\x04\x05", 2)) == 2  # bytes are a sequence of ints
    assert client.search([3.4028235e38, 0, 0, 0, 0], 1)  # rounds to the largest float32, not to an infinity


def test_scores_are_float32_widened_exactly_and_metadata_and_chunk_digests_are_canonical(tmp_path):
    # Integers beyond the 64-bit range are read as floats; the chunk digests are those of what a client reads.
    metadata = {"b": 1, "a": [True, None, "\u00e9"], "low": -2**63, "under": -2**63 - 1, "top": 2**64 - 1, "up": 2**64}
    chunks = [{"chunk_id": "one", "document_id": "d", "text": "t", "metadata": metadata},
              {"chunk_id": "two", "document_id": "d", "text": "t", "metadata": None}]
    publish(chunks, np.array([[1.0, 0.0], [0.0, -1.0]], dtype=np.float32), tmp_path / "c", tmp_path / "s",
            embedding_model="m", profile=profiles.TOY, record_size_bytes=256)
    first, second = NativeClient.open_public_cache(str(tmp_path / "c")).search([3.0, 4.0], 2)
    assert (first.chunk_id, first.score, second.score) == ("one", float(np.float32(0.6)), float(np.float32(-0.8)))
    assert second.metadata_json is None and first.metadata_json == (
        '{"a":[true,null,"\u00e9"],"b":1,"low":-9223372036854775808,"top":18446744073709551615,'
        '"under":-9.223372036854776e+18,"up":1.8446744073709552e+19}')
    rows = [json.loads(row) for row in (tmp_path / "c/index/metadata.jsonl").read_text().splitlines()]
    assert [row["chunk_sha256"] for row in rows] == [hashlib.sha256(
        f'["{hit.chunk_id}","d","t",{hit.metadata_json or "null"}]'.encode()).hexdigest() for hit in (first, second)]


def _canonical(metadata):
    return metadata and json.dumps(metadata, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


@pytest.mark.parametrize("profile, count, dimensions, record_size, top_k, retrieval_count", [
    (profiles.RS_SUPPORTED, 1000, 384, None, 2, 4),
    (profiles.BALANCED, 2000, 8, 201, 3, 4),  # records stacked in columns, hits at random positions
    (profiles.RS_EXPERIMENTAL, 37, 12, 301, 3, 5),
    (profiles.TOY, 9, 5, 200, 9, 9),
    # Several column blocks of the engine; the toy store holds as many records as its noise allows.
    (profiles.RS_EXPERIMENTAL, 30_000, 8, 200, 2, 4),
    (profiles.TOY, 32_896, 8, 200, 2, 4),
], ids=["supported", "balanced", "experimental", "toy-every-record", "large", "toy-largest"])
def test_private_retrieval_returns_the_hits_texts(tmp_path, profile, count, dimensions, record_size, top_k,
                                                   retrieval_count):
    published = publish_synthetic(tmp_path, profile, count, dimensions, record_size, seed=count)
    client, server = published.client(), published.server()
    for target in sorted({0, count // 2, count - 1}):
        prepared = client.prepare_retrieval_query(published.embeddings[target], top_k, retrieval_count)
        assert (prepared.retrieval_count, prepared.visible_result_count) == (retrieval_count, min(top_k, count))
        hits = [(h.chunk_id, h.score, h.metadata_json) for h in prepared.search_results()]
        assert hits == [(h.chunk_id, h.score, h.metadata_json) for h in client.search(published.embeddings[target],
                                                                                    top_k)]
        expected = [(c["chunk_id"], c["document_id"], c["text"], _canonical(c["metadata"]))
                    for c in (published.chunks[int(h[0][1:])] for h in hits)]
        assert hits[0][0] == f"c{target}" and [h[2] for h in hits] == [e[3] for e in expected]
        if profile in (profiles.RS_SUPPORTED, profiles.BALANCED):  # four queries fixed: the bound fits them
            assert len(prepared.query_json) <= server.max_query_bytes < 2 * len(prepared.query_json)
        response = server.answer(prepared.query_json)
        for _ in range(2):  # a prepared retrieval decodes any number of responses
            for decoded in client.decode_retrieval_response(prepared, response), \
                    client.decode_checked_retrieval(prepared, response):
                assert [(d.chunk_id, d.document_id, d.text, d.metadata_json) for d in decoded] == expected



@pytest.mark.parametrize("profile", [profiles.BALANCED, profiles.TOY])
def test_hybrid_search_finds_the_answers_that_each_ranking_alone_misses(tmp_path, profile):
    # The cosine search misses the first question's answer (c0), the words the second's (c1); the fusion keeps the
    # cosine search's first hit and lets the words choose the next. Only quorvex's own profile has the words' index.
    texts = ["process emits exit as it ends", "timers fire callbacks", "timeouts", "something runs afterwards",
             *"cats dogs owls bats".split()]
    embeddings = np.eye(len(texts), len(texts) + 1, dtype=np.float32)
    embeddings[1:3, -1] = [2, 1]  # c1, then c2, nearest the query
    chunks = [{"chunk_id": f"c{i}", "document_id": "d", "text": t, "metadata": None} for i, t in enumerate(texts)]
    publish(chunks, embeddings, tmp_path / "public", tmp_path / "server", embedding_model="m", profile=profile,
            record_size_bytes=200)
    client, query = NativeClient.open_public_cache(str(tmp_path / "public")), np.eye(len(texts) + 1)[-1]
    cosine, balanced = {h.chunk_id: h.score for h in client.search(query, len(texts))}, profile == profiles.BALANCED
    for question, answer, lexical in [("How does a process exit?", "c0", "c0"), ("What runs something?", "c1", "c3")]:
        assert [h.chunk_id for h in client.lexical_search(question, 2)] == ([lexical] if balanced else [])
        fused = ["c1", lexical] if balanced else ["c1", "c2"]
        assert [(h.chunk_id, h.score) for h in client.hybrid_search(query, question, 2)] == [(c, cosine[c]) for c in fused]
        assert (answer in fused) == (balanced or answer in list(cosine)[:2])
    assert list(cosine)[:2] == ["c1", "c2"] and client.has_lexical_index == balanced
    prepared = client.prepare_hybrid_retrieval_query(query, "How does a process exit?", 2, 4)
    answer = PirServer.load(tmp_path / "server").answer(prepared.query_json)
    assert [d.text for d in client.decode_retrieval_response(prepared, answer)] == [texts[1], texts[0 if balanced else 2]]
