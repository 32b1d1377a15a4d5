import asyncio
import dataclasses
import json
import pathlib
import shutil
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

from quorvex import (AnswerMismatch, EmbedderMismatch, HashingEmbedder, InsecureCache, NativeClient,
                     PrivateRetriever, ServerDistrusted, TamperedChunk, UnexpectedPublication, publish_documents)
from quorvex.client.distrust import DistrustRecord
from quorvex.client.retriever import InsecureCacheWarning
from quorvex.server.pir_server import PirServer
from quorvex.shared.formats import publication_id
from support import codec
from support.corpus import replace_file
from support.documents import DOCUMENTS, publish_small


@pytest.fixture(scope="module")
def pir(store):
    return PirServer.load(store / "state")


QUESTIONS = [("how often should I water tomato plants", "garden"), ("feeding a sourdough starter with flour", "kitchen"),
             ("bicycle brake pads and tyre pressure", "bikes"), ("zzz unrelated", None)]


def test_retrieve_fetches_the_texts_of_the_local_hits_in_documents_of_one_size(store, pir):
    sizes = set()

    def transport(query: bytes) -> bytes:
        response = pir.answer(query)
        sizes.add((len(query), len(response)))
        return bytearray(response)  # any bytes-like answer is accepted

    retriever = PrivateRetriever(store / "cache", HashingEmbedder(), transport)
    for question, document in QUESTIONS:
        hits = retriever.search(question)
        started = time.perf_counter()
        retrieval = retriever.retrieve(question)
        elapsed = time.perf_counter() - started
        assert min(dataclasses.astuple(retrieval.timings)) >= 0 and retrieval.timings.total <= elapsed
        assert retrieval.hits == hits and len(hits) == 2 and hits[0].score >= hits[1].score
        assert [(c.chunk_id, c.score) for c in retrieval.chunks] == [(h.chunk_id, h.score) for h in hits]
        assert {(len(retrieval.chunks), retrieval.query_count, retrieval.bytes_sent, retrieval.bytes_received)} == \
            {(2, 4, *size) for size in sizes}
        if document is not None:
            source = next(d for d in DOCUMENTS if d.document_id == document)
            assert retrieval.chunks[0].document_id == document and retrieval.chunks[0].text in source.text
            assert retrieval.chunks[0].metadata == hits[0].metadata == source.metadata
    assert len(sizes) == 1


def _cache_with_rows(store, tmp_path, rewrite) -> pathlib.Path:
    """A copy of the cache with the rows of index/metadata.jsonl rewritten, its checksum listed to match."""
    cache = tmp_path / "cache"
    shutil.copytree(store / "cache", cache)
    rows = [json.loads(line) for line in (cache / "index/metadata.jsonl").read_text().splitlines()]
    replace_file(cache, "index/metadata.jsonl", "".join(json.dumps(r) + "\n" for r in rewrite(rows)).encode())
    return cache


def _another_collections_server(store, tmp_path):
    publish_small(tmp_path, DOCUMENTS[::-1])
    return store / "cache", PirServer.load(tmp_path / "state").answer


def _longer_hint(store, tmp_path):
    """The client hint with four more bytes, its checksum listed to match: more than the manifest allows."""
    shutil.copytree(store / "cache", tmp_path / "cache")
    replace_file(tmp_path / "cache", "pir/client_hint.bin", (store / "cache/pir/client_hint.bin").read_bytes() + b"1234")
    return tmp_path / "cache", _unreachable


def _unsound_cache(store, tmp_path):
    shutil.copytree(store / "cache", tmp_path / "cache")
    (tmp_path / "cache/index/metadata.jsonl").write_text("tampered\n")
    return tmp_path / "cache", _unreachable


def _own_model(store, tmp_path):
    """A cache of embeddings the publisher computed with a model of its own."""
    documents = [dataclasses.replace(d, embedding=(1.0,) * 384) for d in DOCUMENTS[:3]]
    publish_documents(documents, tmp_path / "cache", tmp_path / "state", embedding_model="theirs")
    return tmp_path / "cache", _unreachable


def _unreachable(query: bytes) -> bytes:
    raise AssertionError("nothing may be sent")


# Rotated chunk ids: the index names the chunks in another order than the PIR records, whose digests
# still match: the module compares the record's chunk id with its hit.
@pytest.mark.parametrize("make, embedder, error, message", [
    (lambda store, tmp_path: (store / "cache", _unreachable), type("Other", (HashingEmbedder,), {"name": "another-model"}),
     EmbedderMismatch, "published with the embedding model 'quorvex-hashing-words-pairs-384-v1'.*'another-model'.*"
                       "search it with the same embedder: --embedder hashing$"),
    (_another_collections_server, HashingEmbedder, TamperedChunk,
     "differs from what the cache .* holds: the server altered its answer or its state, or answers from another publication"),
    (lambda store, tmp_path: (_cache_with_rows(store, tmp_path, lambda rows: [
        {**r, "chunk_id": rows[(i + 1) % len(rows)]["chunk_id"]} for i, r in enumerate(rows)]),
        PirServer.load(store / "state").answer), HashingEmbedder, AnswerMismatch,
     "the cache's index and its PIR records do not belong together"),
    (_unsound_cache, HashingEmbedder, RuntimeError, "index/metadata.jsonl"),  # the module's message
    (_longer_hint, HashingEmbedder, RuntimeError, "requires pir/client_hint.bin of .* bytes for its manifest"),
    (_own_model, lambda: None, ValueError, "^the embedding model 'theirs' is none of quorvex's embedders"),
], ids=["another embedder", "another collection's server", "index and records disagree", "unsound cache",
        "hint longer than the manifest allows", "no embedder for the cache's model"])
def test_a_cache_server_or_embedder_that_do_not_belong_together_are_refused(store, tmp_path, make, embedder, error,
                                                                             message):
    cache, transport = make(store, tmp_path)
    with pytest.raises(error, match=message):
        PrivateRetriever(cache, embedder(), transport).retrieve("tomatoes")


def _altered(response: bytes, element: int, position: int) -> bytes:
    """The response with answer element `element` of response `position` one plaintext step (delta) higher,
    as a server can make it without knowing which record that query fetches (digit `element` of the
    record's column then decodes one higher)."""
    document = json.loads(response)
    item = document["responses"][position]
    framed = codec.decode_payload(item["payload"])
    answer = np.frombuffer(framed, "<u4", offset=16).copy()
    answer[element:element + 1] += np.uint32(1 << 23)  # modulo 2^32, as the server computes
    item["payload"] = codec.encode_payload(framed[:16] + answer.tobytes())
    return json.dumps(document, separators=(",", ":")).encode()


# Digits of the length prefix, the record id, the text of a long chunk or a short one's zero filler,
# and the last bits of the 1024-byte records; at every position of the batch, hits and padding.
@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize("element", [0, 8, 200, 910])
def test_an_altered_answer_fails_alike_whichever_records_were_fetched_and_ends_the_trust(store, pir, position,
                                                                                         element, tmp_path):
    for number, (question, _) in enumerate(QUESTIONS):
        sent, distrust = [], DistrustRecord(tmp_path / str(number))
        retriever = PrivateRetriever(store / "cache", HashingEmbedder(),
                                     lambda q: sent.append(q) or _altered(pir.answer(q), element, position),
                                     distrust=distrust)
        with pytest.raises(TamperedChunk, match="^a fetched record differs from what the cache") as raised:
            retriever.retrieve(question)
        assert raised.value.chunk_ids == tuple(hit.chunk_id for hit in retriever.search(question))
        # Any retriever of this publication (here one with a transport that names no server) now sends nothing.
        again = PrivateRetriever(store / "cache", HashingEmbedder(), sent.append, distrust=distrust)
        with pytest.raises(ServerDistrusted, match="through a transport without an address failed the client's"):
            again.retrieve(question)
        assert len(sent) == 1


def test_pins_and_insecure_caches_are_refused_before_any_query_unless_opted_into(store, pir, toy, rs, tmp_path):
    served = publication_id(store / "cache")
    bare = _cache_with_rows(store, tmp_path, lambda rows: [{k: v for k, v in r.items() if not k.endswith("_sha256")}
                                                           for r in rows])  # no digests of records or chunks
    for cache, options, error, message in [
        (store / "cache", {"publication": "0" * 64}, UnexpectedPublication, f"is publication {served}, not the pinned"),
        (store / "cache", {"publication": served.upper()}, ValueError, "64 lower-case hexadecimal digits"),
        (store / "cache", {"top_k": 0}, ValueError, "^top_k must be from 1 to the retrieval count 4, got 0$"),
        (bare, {}, InsecureCache, "gives no digests of its whole records"),
        (toy.public, {}, InsecureCache, "toy-development-only-v0 does not protect queries: it is for development"),
        (rs.public, {}, InsecureCache, "simplepir-rs-experimental-v0 does not protect queries: its LWE secrets"),
    ]:
        with pytest.raises(error, match=message):
            PrivateRetriever(cache, HashingEmbedder(), _unreachable, **options)
    assert PrivateRetriever(store / "cache", HashingEmbedder(), pir.answer, publication=served).retrieve("tomatoes")
    unchecked = NativeClient.open_public_cache(str(bare))
    with pytest.raises(RuntimeError, match="^format error: this cache gives no record digests"):
        unchecked.decode_checked_retrieval(unchecked.prepare_retrieval_query([1.0] * 384, 2, 4), b"{}")
    # Opted into, such a cache has its chunks checked, with one warning when it has no chunk digests either.
    with pytest.warns(InsecureCacheWarning, match="cannot be retrieved from safely: it gives no digests"):
        retriever = PrivateRetriever(bare, HashingEmbedder(), pir.answer, allow_insecure=True)
    with pytest.warns(UserWarning, match="carries no chunk digests"):
        assert retriever.retrieve("tomatoes").chunks and retriever.insecurity
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        retriever.retrieve("bread")  # warned once only
    chunked = _cache_with_rows(store, tmp_path / "chunked", lambda rows: [{k: v for k, v in r.items() if k !=
                               "record_sha256"} | ({"chunk_sha256": "0" * 64} if r["chunk_id"] == "bikes#0" else {})
                               for r in rows])
    with pytest.warns(InsecureCacheWarning):
        retriever = PrivateRetriever(chunked, HashingEmbedder(), pir.answer, allow_insecure=True)
    assert [c.chunk_id for c in retriever.retrieve("tomatoes").chunks] == ["garden#0", "kitchen#0"]
    with pytest.raises(TamperedChunk, match="^a fetched chunk differs from what the cache"):
        retriever.retrieve("bicycle")


def test_the_langchain_retriever_returns_the_fetched_chunks_on_any_thread(store, pir):
    from quorvex.client.langchain_retriever import QuorvexRetriever

    retriever = QuorvexRetriever(cache_dir=store / "cache", embedder=HashingEmbedder(), transport=pir.answer)
    expected = PrivateRetriever(store / "cache", HashingEmbedder(), pir.answer).retrieve("sourdough starter")
    documents = retriever.invoke("sourdough starter")
    assert [(d.id, d.page_content) for d in documents] == [(c.chunk_id, c.text) for c in expected.chunks]
    assert documents[0].metadata == {"chunk_id": expected.chunks[0].chunk_id, "document_id": "kitchen",
                                     "score": expected.chunks[0].score, "metadata": None}
    # ainvoke runs the retrieval on an executor thread: that thread opens the cache for itself.
    assert [d.id for d in asyncio.run(retriever.ainvoke("sourdough starter"))] == [d.id for d in documents]
    # A failure on one thread stops the retrievers of every thread.
    tampering = QuorvexRetriever(cache_dir=store / "cache", embedder=HashingEmbedder(),
                                 transport=lambda query: _altered(pir.answer(query), 0, 0))
    with pytest.raises(TamperedChunk):
        tampering.invoke("sourdough starter")
    with pytest.raises(ServerDistrusted):
        asyncio.run(tampering.ainvoke("sourdough starter"))


def test_the_readme_examples_run_as_pasted(tmp_path):
    readme = pathlib.Path(__file__).resolve().parents[2] / "README.md"
    examples = [block.split("```", 1)[0] for block in readme.read_text(encoding="utf-8").split("```python\n")[1:]]
    outputs = []
    for example in examples:  # in order, in one folder: a later example uses what an earlier one wrote
        ran = subprocess.run([sys.executable, "-c", example], cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert ran.returncode == 0, ran.stderr
        outputs.append(ran.stdout)
    tea = "tea#0: Green tea is steeped in water of 80 degrees for two minutes."
    assert len(outputs) == 3 and outputs[0].splitlines()[1].endswith(tea)
    assert outputs[0].splitlines()[0] == f"publication {publication_id(tmp_path / 'my-cache')}"
    assert outputs[1].splitlines()[1:2] == [tea.replace(":", "", 1)]
    assert outputs[2].splitlines()[0].startswith(f"{tea} (score ")
