import json

import numpy as np
import pytest

from quorvex.shared import profiles
from quorvex.publisher.documents import Document, chunk_document, read_documents
from quorvex.publisher.publish_documents import publish_documents
from support.documents import DOCUMENTS, publish_small, write_jsonl


def test_reads_what_was_written(tmp_path):
    assert read_documents(write_jsonl(tmp_path / "docs.jsonl")) == DOCUMENTS


@pytest.mark.parametrize("lines, message", [
    (['{"document_id": "a", "text": "x"}', "{oops"], r"docs.jsonl:2: not valid JSON"),
    (['{"document_id": "a", "text": "x", "txt": 1}'], r":1: unknown key 'txt'"),
    (['{"document_id": "a", "text": "  "}'], r":1: text must be a non-empty string"),
    (['{"document_id": 7, "text": "x"}'], r":1: document_id must be a non-empty string"),
    (['["a", "x"]'], r":1: expected a JSON object, got list"),
    (['{"document_id": "a", "text": "x"}', "", '{"document_id": "a", "text": "y"}'],
     r":3: document_id 'a' already used on line 1"),
    (['{"document_id": "a", "text": "x", "embedding": [1, "2"]}'], r"embedding must be a non-empty list"),
    (['{"document_id": "a", "text": "x", "embedding": [1.0]}', '{"document_id": "b", "text": "y"}'],
     r"1 of 2 documents carry an embedding; either every document carries one or none does"),
    ([""], r"holds no documents"),
    (['{"document_id": "a", "text": "x"}', b'{"document_id": "b", "text": "\xff"}'],
     r":2: not UTF-8 text \(byte 31 of the line is 0xff\)"),
])
def test_malformed_document_files_are_refused_with_their_line(tmp_path, lines, message):
    path = tmp_path / "docs.jsonl"
    path.write_bytes(b"\n".join(line if isinstance(line, bytes) else line.encode() for line in lines))
    with pytest.raises(ValueError, match=message):
        read_documents(path)


def test_a_document_whose_id_and_metadata_fill_the_record_is_refused():
    with pytest.raises(ValueError, match="leave 0 bytes of text in a 1024-byte record"):
        chunk_document(Document("d", "text", {"blob": "m" * 1000}), 1024)


def test_precomputed_embeddings_are_published_as_given(tmp_path):
    rng = np.random.default_rng(1)
    documents = [Document(f"d{i}", f"text {i}", None, tuple(rng.standard_normal(384).tolist())) for i in range(3)]
    result = publish_documents(documents, tmp_path / "c", tmp_path / "s", embedding_model="my-model")
    assert result.record_count == 3
    manifest = json.loads((tmp_path / "c/manifest.json").read_text())
    assert manifest["embedding_model"] == "my-model"
    stored = np.frombuffer((tmp_path / "c/index/vectors.bin").read_bytes(), "<f4", offset=20).reshape(3, 384)
    assert np.array_equal(stored, np.array([d.embedding for d in documents], dtype=np.float32))

    with pytest.raises(ValueError, match="name their model with embedding_model"):
        publish_documents(documents, tmp_path / "c2", tmp_path / "s2")
    long = [Document("long", "word " * 400, None, documents[0].embedding)]
    with pytest.raises(ValueError, match="precomputed embedding but needs 3 chunks"):
        publish_documents(long, tmp_path / "c3", tmp_path / "s3", embedding_model="m")


def test_published_chunks_cover_every_document_and_fit(tmp_path):
    result = publish_small(tmp_path)
    rows = [json.loads(line) for line in (tmp_path / "cache/index/metadata.jsonl").read_text().splitlines()]
    assert result.record_count == len(rows) > len(DOCUMENTS)  # "stars" needs several chunks
    assert {r["document_id"] for r in rows} == {d.document_id for d in DOCUMENTS}
    assert [r["chunk_id"] for r in rows if r["document_id"] == "stars"][:2] == ["stars#0", "stars#1"]
    assert rows[0]["metadata"] == {"topic": "plants"}


def test_too_many_chunks_for_the_supported_profile_are_refused_before_embedding(tmp_path):
    class Refuse:
        name, dimensions = "refuse", 384

        def embed(self, texts):
            raise AssertionError("embedding should not start")

    huge = [Document("big", "word " * 250_000)]
    with pytest.raises(ValueError, match=f"holds at most {profiles.SUPPORTED_MAX_RECORDS}; publish fewer"):
        publish_documents(huge, tmp_path / "c", tmp_path / "s", embedder=Refuse())
