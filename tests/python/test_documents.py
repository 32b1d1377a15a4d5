"""Reading document files, splitting texts into chunks whose escaped form fits a budget, and chunk records
that fit their padded records."""

import json

import numpy as np
import pytest
from hypothesis import example, given, settings, strategies as st

from quorvex.publisher.chunker import MAX_CHARACTER_COST, escaped_size, split_text, text_blocks
from quorvex.publisher.documents import Document, chunk_document, read_documents
from quorvex.publisher.publish_documents import publish_documents
from quorvex.publisher.records import chunk_record_json
from quorvex.shared import profiles
from support.documents import DOCUMENTS, write_jsonl

# Words of every escaping class: plain, quoted, backslashes, control characters, 2- to 4-byte UTF-8.
WORDS = ["alpha", "be", "x", 'say"hi"', "back\\slash", "tab\there", "bell\x07", "été", "漢字", "😀", "a" * 40]
texts = st.lists(st.tuples(st.one_of(st.sampled_from(WORDS), st.text(min_size=1, max_size=12)),
                           st.sampled_from([" ", "\n", ". ", "\n\n", "  \t"])), max_size=80).map(
    lambda pairs: "".join(word + separator for word, separator in pairs))


def json_cost(text: str) -> int:
    return len(json.dumps(text, ensure_ascii=False).encode("utf-8")) - 2


def assert_preserved(text: str, chunks: list[str]) -> None:
    """The chunks appear in order, and nothing but whitespace lies outside them."""
    position = 0
    for chunk in chunks:
        found = text.find(chunk, position)
        assert found >= 0 and not text[position:found].strip()
        position = found + len(chunk)
    assert not text[position:].strip()


@settings(max_examples=300, deadline=None)
@given(text=texts.filter(lambda t: "\ud800" not in t), budget=st.integers(MAX_CHARACTER_COST, 120))
@example(text="😀😀😀", budget=6)
@example(text="\x01\x01", budget=6)
def test_chunks_fit_and_preserve_the_text(text, budget):
    chunks = split_text(text, budget)
    assert_preserved(text, chunks)
    for chunk in chunks:  # encoding fails on half a character
        assert chunk == chunk.strip() != "" and escaped_size(chunk) == json_cost(chunk) <= budget
        chunk.encode("utf-8")
    # Every word that fits the budget on its own stays whole.
    for word in text.split():
        if json_cost(word) <= budget:
            assert any(word in chunk for chunk in chunks)


FIRST = "First paragraph, " + "filler " * 8 + "ends here."
SECOND = "Second paragraph starts. It has two sentences."
SENTENCE = "One sentence that ends. "


@pytest.mark.parametrize("text, budget, chunks", [
    (FIRST + "\n\n" + SECOND, json_cost(FIRST) + 30, [FIRST, SECOND]),
    (SENTENCE + "Another one that is too long to fit with the first one", len(SENTENCE) + 20,
     [SENTENCE.strip(), "Another one that is too long to fit with the", "first one"]),
    ("lorem ipsum dolor sit amet consectetur", 14, ["lorem ipsum", "dolor sit amet", "consectetur"]),
    ("é" * 7, 6, ["ééé", "ééé", "é"]),  # a word longer than the budget is cut between characters
    ("x" * 13, 6, ["xxxxxx", "xxxxxx", "x"]),
    ("", 100, []),
    ("   \n\t  ", 100, []),
])
def test_prefers_paragraph_then_sentence_then_word_boundaries(text, budget, chunks):
    assert split_text(text, budget) == chunks


@settings(max_examples=100, deadline=None)
@given(text=texts, metadata=st.one_of(st.none(), st.dictionaries(st.text(max_size=5), st.integers(), max_size=3)),
       record_size=st.sampled_from([300, 1024]))
def test_every_chunk_record_fits_its_padded_record(text, metadata, record_size):
    if not text.strip():
        return
    document = Document("doc-\"é\"", text, metadata)
    chunks = chunk_document(document, record_size, max_record_id=999)
    words, position = " ".join(text.split()), 0
    headings = {w for b in text_blocks(text) if b.kind == "heading" for w in b.text.split()}
    for number, chunk in enumerate(chunks):
        section = (chunk.metadata or {}).get("section", "")
        assert chunk.chunk_id == f"doc-\"é\"#{number}"
        assert chunk.metadata == ({**(metadata or {}), "section": section} if section else metadata)
        assert 4 + len(chunk_record_json(999, chunk)) <= record_size
        # Chunks keep the text in order; only headings shown in a section line may be left out.
        body = " ".join(chunk.text.removeprefix(section + "\n\n" if section else "").split())
        found = words.find(body, position)
        assert found >= 0 and set(words[position:found].split()) <= headings
        position = found + len(body)
    assert set(words[position:].split()) <= headings


def test_chunk_numbers_with_more_digits_are_budgeted():
    # Over a hundred chunks: ids grow to "d#100", and every record must still fit.
    chunks = chunk_document(Document("d", "word " * 2000), 160, max_record_id=9)
    assert len(chunks) > 100 and all(4 + len(chunk_record_json(9, c)) <= 160 for c in chunks)


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


def test_precomputed_embeddings_are_published_as_given(tmp_path):
    rng = np.random.default_rng(1)
    documents = [Document(f"d{i}", f"text {i}", None, tuple(rng.standard_normal(384).tolist())) for i in range(3)]
    assert publish_documents(documents, tmp_path / "c", tmp_path / "s", embedding_model="my-model").record_count == 3
    assert json.loads((tmp_path / "c/manifest.json").read_text())["embedding_model"] == "my-model"
    stored = np.frombuffer((tmp_path / "c/index/vectors.bin").read_bytes(), "<f4", offset=20).reshape(3, 384)
    assert np.array_equal(stored, np.array([d.embedding for d in documents], dtype=np.float32))


EMBEDDED = Document("d", "text", None, (1.0,) * 384)
NOT_EMBEDDING = type("Refuse", (), {"name": "refuse", "dimensions": 384, "embed": None})()  # embedding would fail


@pytest.mark.parametrize("call, message", [
    (lambda out: split_text("abc", MAX_CHARACTER_COST - 1), "too small"),
    (lambda out: split_text("ab\ud800", 100), "lone surrogate U\\+D800"),
    (lambda out: chunk_document(Document("d", "text", {"blob": "m" * 1000}), 1024),
     "leave 0 bytes of text in a 1024-byte record"),
    (lambda out: publish_documents([EMBEDDED], *out), "name their model with embedding_model"),
    (lambda out: publish_documents([Document("long", "word " * 400, None, EMBEDDED.embedding)], *out,
                                   embedding_model="m"), "precomputed embedding but needs 3 chunks"),
    # Refused before any embedding is computed.
    (lambda out: publish_documents([Document("big", "word " * 250_000)], *out, embedder=NOT_EMBEDDING,
                                   profile=profiles.RS_SUPPORTED), f"holds at most {profiles.SUPPORTED_MAX_RECORDS}; publish fewer"),
])
def test_texts_and_documents_that_cannot_be_published_are_refused(tmp_path, call, message):
    with pytest.raises(ValueError, match=message):
        call((tmp_path / "c", tmp_path / "s"))
