import hashlib
import json
import pathlib
import shutil
import subprocess
import sys

import pytest

from quorvex import AnswerMismatch, EmbedderMismatch, HashingEmbedder, PrivateRetriever
from quorvex.server import PirServer
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
    checksums = json.loads((cache / "checksums.json").read_text())
    data = (cache / "index/metadata.jsonl").read_bytes()
    checksums["files"]["index/metadata.jsonl"] = {"sha256": hashlib.sha256(data).hexdigest(), "size_bytes": len(data)}
    (cache / "checksums.json").write_text(json.dumps(checksums))

    retriever = PrivateRetriever(cache, HashingEmbedder(), PirServer.load(store / "state").answer)
    with pytest.raises(AnswerMismatch, match="the record fetched for hit .* holds chunk"):
        retriever.retrieve("tomatoes")


def test_an_unsound_cache_is_refused_with_the_modules_message(store, tmp_path):
    cache = tmp_path / "cache"
    shutil.copytree(store / "cache", cache)
    (cache / "index/metadata.jsonl").write_text("tampered\n")
    with pytest.raises(RuntimeError, match="index/metadata.jsonl"):
        PrivateRetriever(cache, HashingEmbedder(), lambda q: q)


def test_the_readme_example_runs(tmp_path):
    readme = pathlib.Path(__file__).resolve().parents[2] / "README.md"
    example = readme.read_text(encoding="utf-8").split("```python\n", 1)[1].split("```", 1)[0]
    ran = subprocess.run([sys.executable, "-c", example], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout.splitlines()[0].endswith("tea#0: Green tea is steeped in water of 80 degrees for two minutes.")
