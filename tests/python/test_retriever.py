import asyncio
import json
import pathlib
import shutil
import subprocess
import sys
import warnings

import numpy as np
import pytest

from quorvex import AnswerMismatch, ChunkDigests, EmbedderMismatch, HashingEmbedder, PrivateRetriever, TamperedChunk
from quorvex.publisher.records import Chunk, chunk_record_json
from quorvex.server.pir_server import PirServer
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
        retrieval = retriever.retrieve(question)
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


def _unsound_cache(store, tmp_path):
    shutil.copytree(store / "cache", tmp_path / "cache")
    (tmp_path / "cache/index/metadata.jsonl").write_text("tampered\n")
    return tmp_path / "cache", None


# Rotated chunk ids: the index names the chunks in another order than the PIR records; the module
# pairs records with hits by position, the retriever compares the chunk ids.
@pytest.mark.parametrize("make, embedder, error, message", [
    (lambda store, tmp_path: (store / "cache", None), type("Other", (HashingEmbedder,), {"name": "another-model"}),
     EmbedderMismatch, "published with the embedding model 'quorvex-hashing-words-pairs-384-v1'.*'another-model'"),
    (_another_collections_server, HashingEmbedder, AnswerMismatch,
     "does not decode against the cache .*does the server serve the state"),
    (lambda store, tmp_path: (_cache_with_rows(store, tmp_path, lambda rows: [
        {**r, "chunk_id": rows[(i + 1) % len(rows)]["chunk_id"]} for i, r in enumerate(rows)]),
        PirServer.load(store / "state").answer), HashingEmbedder, AnswerMismatch,
     "the record fetched for hit .* holds chunk"),
    (_unsound_cache, HashingEmbedder, RuntimeError, "index/metadata.jsonl"),  # the module's message
], ids=["another embedder", "another collection's server", "index and records disagree", "unsound cache"])
def test_a_cache_server_or_embedder_that_do_not_belong_together_are_refused(store, tmp_path, make, embedder, error,
                                                                             message):
    cache, transport = make(store, tmp_path)
    with pytest.raises(error, match=message):
        PrivateRetriever(cache, embedder(), transport).retrieve("tomatoes")


def _altered(response: bytes, byte: int, record: int) -> bytes:
    """The response with byte `byte` of fetched record `record` one higher, as a server can make it by
    adding delta (times 256 for the high byte of a lane) to one answer element."""
    document = json.loads(response)
    item = document["responses"][record]
    answer = codec.decode_vector(b"QVSRR001", codec.decode_payload(item["payload"]))
    with np.errstate(over="ignore"):
        answer[byte // 2] += np.uint64((1 << 64) // 131072 << (8 * (byte % 2)))
    item["payload"] = codec.encode_payload(codec.encode_vector(b"QVSRR001", answer))
    return json.dumps(document, separators=(",", ":")).encode()


@pytest.mark.parametrize("region, offset, record, caught", [
    ("length prefix", lambda record: 0, 0, AnswerMismatch),
    ("record id", lambda record: record.index(b'"record_id":') + 12, 0, None),
    ("chunk id", lambda record: record.index(b"garden#0"), 0, AnswerMismatch),
    ("document id", lambda record: record.index(b'"document_id":"') + 15, 0, TamperedChunk),
    ("text", lambda record: record.index(b"Prune"), 0, TamperedChunk),
    ("metadata", lambda record: record.index(b"plants"), 0, TamperedChunk),
    ("padding", lambda record: 1023, 0, None),
    # Padding records are decoded too: the highest byte of one's length prefix.
    ("padding record", lambda record: 3, 2, AnswerMismatch),
])
def test_a_changed_byte_of_a_fetched_record_is_caught_or_changes_nothing(store, pir, region, offset, record, caught):
    retriever = PrivateRetriever(store / "cache", HashingEmbedder(), pir.answer)
    honest = retriever.retrieve("how often should I water tomato plants")
    hit = honest.chunks[0]
    record_id = [json.loads(line)["chunk_id"] for line in
                 (store / "cache/index/metadata.jsonl").read_text().splitlines()].index(hit.chunk_id)
    payload = chunk_record_json(record_id, Chunk(hit.chunk_id, hit.document_id, hit.text, hit.metadata))
    position = offset(len(payload).to_bytes(4, "little") + payload)
    tampering = PrivateRetriever(store / "cache", HashingEmbedder(), lambda q: _altered(pir.answer(q), position, record))
    if caught is None:  # bytes the client does not return: the record id and the padding after the record
        assert tampering.retrieve("how often should I water tomato plants").chunks == honest.chunks
    else:
        with pytest.raises(caught, match=hit.chunk_id if caught is TamperedChunk else None) as raised:
            tampering.retrieve("how often should I water tomato plants")
        assert type(raised.value) is caught


def test_a_cache_without_digests_still_retrieves_with_one_warning(store, pir, tmp_path):
    cache = _cache_with_rows(store, tmp_path, lambda rows: [{k: v for k, v in r.items() if k != "chunk_sha256"}
                                                            for r in rows])
    retriever = PrivateRetriever(cache, HashingEmbedder(), pir.answer)
    with pytest.warns(UserWarning, match="carries no chunk digests"):
        assert retriever.retrieve("tomatoes").chunks and not ChunkDigests.read(cache).complete
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        retriever.retrieve("bread")  # warned once only


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


def test_the_readme_examples_run_as_pasted(tmp_path):
    readme = pathlib.Path(__file__).resolve().parents[2] / "README.md"
    examples = [block.split("```", 1)[0] for block in readme.read_text(encoding="utf-8").split("```python\n")[1:]]
    outputs = []
    for example in examples:  # in order, in one folder: a later example uses what an earlier one wrote
        ran = subprocess.run([sys.executable, "-c", example], cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert ran.returncode == 0, ran.stderr
        outputs.append(ran.stdout)
    tea = "tea#0: Green tea is steeped in water of 80 degrees for two minutes."
    assert len(outputs) == 2 and outputs[0].splitlines()[0].endswith(tea)
    assert outputs[1].splitlines()[0] == tea.replace(":", "", 1)
