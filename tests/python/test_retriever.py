import asyncio
import hashlib
import json
import pathlib
import shutil
import subprocess
import sys
import warnings

import pytest

import numpy as np

from quorvex import AnswerMismatch, ChunkDigests, EmbedderMismatch, HashingEmbedder, PrivateRetriever, TamperedChunk
from quorvex.publisher.records import Chunk, chunk_record_json
from quorvex.server.pir_server import PirServer
from support import codec
from support.documents import DOCUMENTS, publish_small


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    root = tmp_path_factory.mktemp("retriever")
    publish_small(root)
    return root


@pytest.fixture(scope="module")
def pir(store):
    return PirServer.load(store / "state")


@pytest.mark.parametrize("question, document", [
    ("how often should I water tomato plants", "garden"),
    ("feeding a sourdough starter with flour", "kitchen"),
    ("bicycle brake pads and tyre pressure", "bikes"),
])
def test_retrieve_fetches_the_texts_of_the_local_hits(store, pir, question, document):
    sent = []

    def transport(query: bytes) -> bytes:
        sent.append(query)
        return pir.answer(query)

    retriever = PrivateRetriever(store / "cache", HashingEmbedder(), transport)
    hits = retriever.search(question)
    retrieval = retriever.retrieve(question)
    assert [h.chunk_id for h in retrieval.hits] == [h.chunk_id for h in hits]
    assert len(hits) == 2 and hits[0].score >= hits[1].score
    assert retrieval.chunks[0].document_id == document
    source = next(d for d in DOCUMENTS if d.document_id == document)
    assert retrieval.chunks[0].text in source.text and retrieval.chunks[0].metadata == source.metadata
    assert [c.score for c in retrieval.chunks] == [h.score for h in hits]
    assert retrieval.query_count == 4 and retrieval.bytes_sent == len(sent[0])
    assert min(vars(retrieval.timings).values()) >= 0


def test_every_retrieval_sends_the_same_amount(store, pir):
    sizes = set()

    def transport(query: bytes) -> bytes:
        response = pir.answer(query)
        sizes.add((len(query), len(response)))
        return bytearray(response)  # any bytes-like answer is accepted

    retriever = PrivateRetriever(store / "cache", HashingEmbedder(), transport)
    for question in ("tomatoes", "neutron stars", "bread", "zzz unrelated"):
        retriever.retrieve(question)
    assert len(sizes) == 1


def test_a_cache_published_with_another_embedder_is_refused(store):
    class Other(HashingEmbedder):
        name = "another-model"

    with pytest.raises(EmbedderMismatch, match="published with the embedding model "
                                               "'quorvex-hashing-words-pairs-384-v1'.*'another-model'"):
        PrivateRetriever(store / "cache", Other(), lambda q: q)


def test_a_server_of_another_collection_is_reported(store, tmp_path):
    publish_small(tmp_path, DOCUMENTS[::-1])
    retriever = PrivateRetriever(store / "cache", HashingEmbedder(), PirServer.load(tmp_path / "state").answer)
    with pytest.raises(AnswerMismatch, match="does not decode against the cache .*does the server serve the state"):
        retriever.retrieve("tomatoes")


def test_an_index_that_disagrees_with_the_records_is_caught(store, tmp_path):
    # A checksummed cache whose index names the chunks in another order than the PIR records:
    # the module pairs records with hits by position, the retriever compares the chunk ids.
    cache = tmp_path / "cache"
    shutil.copytree(store / "cache", cache)
    rows = [json.loads(line) for line in (cache / "index/metadata.jsonl").read_text().splitlines()]
    names = [r["chunk_id"] for r in rows]
    for row, name in zip(rows, names[1:] + names[:1]):
        row["chunk_id"] = name
    (cache / "index/metadata.jsonl").write_text("".join(json.dumps(r) + "\n" for r in rows))
    _rewrite_checksum(cache, "index/metadata.jsonl")

    retriever = PrivateRetriever(cache, HashingEmbedder(), PirServer.load(store / "state").answer)
    with pytest.raises(AnswerMismatch, match="the record fetched for hit .* holds chunk"):
        retriever.retrieve("tomatoes")


def _altered(response: bytes, byte: int) -> bytes:
    """The response with the first fetched record's byte `byte` one higher, as a server can make it
    by adding delta (times 256 for the high byte of a lane) to one answer element."""
    document = json.loads(response)
    item = document["responses"][0]
    answer = codec.decode_vector(b"QVSRR001", codec.decode_payload(item["payload"]), 512, "answer").copy()
    with np.errstate(over="ignore"):
        answer[byte // 2] += np.uint64((1 << 64) // 131072 << (8 * (byte % 2)))
    item["payload"] = codec.encode_payload(codec.encode_vector(b"QVSRR001", answer))
    return json.dumps(document, separators=(",", ":")).encode()


@pytest.mark.parametrize("region, offset, caught", [
    ("length prefix", lambda record: 0, True),
    ("record id", lambda record: record.index(b'"record_id":') + 12, False),
    ("chunk id", lambda record: record.index(b"garden#0"), True),
    ("document id", lambda record: record.index(b'"document_id":"') + 15, True),
    ("text", lambda record: record.index(b"Prune"), True),
    ("metadata", lambda record: record.index(b"plants"), True),
    ("padding", lambda record: 1023, False),
])
def test_a_changed_byte_of_a_fetched_record_is_caught_or_changes_nothing(store, pir, region, offset, caught):
    retriever = PrivateRetriever(store / "cache", HashingEmbedder(), pir.answer)
    honest = retriever.retrieve("how often should I water tomato plants")
    hit = honest.chunks[0]
    record_id = [json.loads(line)["chunk_id"] for line in
                 (store / "cache/index/metadata.jsonl").read_text().splitlines()].index(hit.chunk_id)
    record = len(payload := chunk_record_json(record_id, Chunk(hit.chunk_id, hit.document_id, hit.text,
                                                               hit.metadata))).to_bytes(4, "little") + payload
    position = offset(record)
    tampering = PrivateRetriever(store / "cache", HashingEmbedder(), lambda q: _altered(pir.answer(q), position))
    if caught:
        expected = TamperedChunk if region in ("document id", "text", "metadata") else AnswerMismatch
        with pytest.raises(expected, match=hit.chunk_id if expected is TamperedChunk else None):
            tampering.retrieve("how often should I water tomato plants")
    else:  # bytes the client does not return: the record id and the padding after the record
        assert tampering.retrieve("how often should I water tomato plants").chunks == honest.chunks


def test_a_cache_without_digests_still_retrieves_with_one_warning(store, pir, tmp_path):
    cache = tmp_path / "cache"
    shutil.copytree(store / "cache", cache)
    rows = [json.loads(line) for line in (cache / "index/metadata.jsonl").read_text().splitlines()]
    (cache / "index/metadata.jsonl").write_text("".join(
        json.dumps({k: v for k, v in r.items() if k != "chunk_sha256"}, separators=(",", ":")) + "\n" for r in rows))
    _rewrite_checksum(cache, "index/metadata.jsonl")
    retriever = PrivateRetriever(cache, HashingEmbedder(), pir.answer)
    assert not ChunkDigests.read(cache).complete
    with pytest.warns(UserWarning, match="carries no chunk digests"):
        assert retriever.retrieve("tomatoes").chunks
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        retriever.retrieve("bread")  # warned once only


def _rewrite_checksum(cache: pathlib.Path, relative: str) -> None:
    checksums = json.loads((cache / "checksums.json").read_text())
    data = (cache / relative).read_bytes()
    checksums["files"][relative] = {"sha256": hashlib.sha256(data).hexdigest(), "size_bytes": len(data)}
    (cache / "checksums.json").write_text(json.dumps(checksums))


def test_an_unsound_cache_is_refused_with_the_modules_message(store, tmp_path):
    cache = tmp_path / "cache"
    shutil.copytree(store / "cache", cache)
    (cache / "index/metadata.jsonl").write_text("tampered\n")
    with pytest.raises(RuntimeError, match="index/metadata.jsonl"):
        PrivateRetriever(cache, HashingEmbedder(), lambda q: q)


def test_the_readme_examples_run_as_pasted(tmp_path):
    readme = pathlib.Path(__file__).resolve().parents[2] / "README.md"
    examples = [block.split("```", 1)[0] for block in readme.read_text(encoding="utf-8").split("```python\n")[1:]]
    outputs = []
    for example in examples:  # in order, in one folder: a later example uses what an earlier one wrote
        ran = subprocess.run([sys.executable, "-c", example], cwd=tmp_path, capture_output=True, text=True,
                             timeout=60)
        assert ran.returncode == 0, ran.stderr
        outputs.append(ran.stdout)
    tea = "tea#0: Green tea is steeped in water of 80 degrees for two minutes."
    assert len(outputs) == 2 and outputs[0].splitlines()[0].endswith(tea)
    assert outputs[1].splitlines()[0] == tea.replace(":", "", 1)


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
