import json

import pytest
from hypothesis import example, given, settings, strategies as st

from quorvex.publisher.records import chunk_record_json
from quorvex.publisher.chunker import MAX_CHARACTER_COST, escaped_size, split_text
from quorvex.publisher.documents import Document, chunk_document

# Words of every escaping class: plain, quoted, backslashes, control characters, 2- to 4-byte UTF-8.
WORDS = ["alpha", "be", "x", 'say"hi"', "back\\slash", "tab\there", "bell\x07", "été", "漢字", "😀", "a" * 40]
texts = st.lists(st.one_of(st.sampled_from(WORDS), st.text(min_size=1, max_size=12)),
                 max_size=80).flatmap(
    lambda words: st.lists(st.sampled_from([" ", "\n", ". ", "\n\n", "  \t"]), min_size=len(words),
                           max_size=len(words)).map(lambda seps: "".join(w + s for w, s in zip(words, seps))))


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
    for chunk in chunks:
        assert chunk and chunk == chunk.strip()
        assert escaped_size(chunk) == json_cost(chunk) <= budget
        chunk.encode("utf-8")  # whole characters only
    # Every word that fits the budget on its own stays whole.
    for word in text.split():
        if json_cost(word) <= budget:
            assert any(word in chunk for chunk in chunks)


def test_prefers_paragraph_then_sentence_then_word_boundaries():
    first = "First paragraph, " + "filler " * 8 + "ends here."
    second = "Second paragraph starts. It has two sentences."
    assert split_text(first + "\n\n" + second, json_cost(first) + 30) == [first, second]

    sentence = "One sentence that ends. "
    text = sentence + "Another one that is too long to fit with the first one"
    assert split_text(text, len(sentence) + 20) [0] == sentence.strip()

    words = "lorem ipsum dolor sit amet consectetur"
    assert split_text(words, 14) == ["lorem ipsum", "dolor sit amet", "consectetur"]


def test_a_word_longer_than_the_budget_is_cut_between_characters():
    assert split_text("é" * 7, 6) == ["ééé", "ééé", "é"]
    assert split_text("x" * 13, 6) == ["xxxxxx", "xxxxxx", "x"]


@pytest.mark.parametrize("text", ["", "   \n\t  "])
def test_blank_text_has_no_chunks(text):
    assert split_text(text, 100) == []


def test_refuses_a_budget_some_character_cannot_fit_and_lone_surrogates():
    with pytest.raises(ValueError, match="too small"):
        split_text("abc", MAX_CHARACTER_COST - 1)
    with pytest.raises(ValueError, match="lone surrogate U\\+D800"):
        split_text("ab\ud800", 100)


@settings(max_examples=100, deadline=None)
@given(text=texts, metadata=st.one_of(st.none(), st.dictionaries(st.text(max_size=5), st.integers(), max_size=3)),
       record_size=st.sampled_from([300, 1024]))
def test_every_chunk_record_fits_its_padded_record(text, metadata, record_size):
    if not text.strip():
        return
    document = Document("doc-\"é\"", text, metadata)
    chunks = chunk_document(document, record_size, max_record_id=999)
    assert_preserved(text, [c.text for c in chunks])
    for number, chunk in enumerate(chunks):
        assert chunk.chunk_id == f"doc-\"é\"#{number}" and chunk.metadata == metadata
        assert 4 + len(chunk_record_json(999, chunk)) <= record_size


def test_chunk_numbers_with_more_digits_are_budgeted():
    # Over a hundred chunks: ids grow to "d#100", and every record must still fit.
    chunks = chunk_document(Document("d", "word " * 2000), 160, max_record_id=9)
    assert len(chunks) > 100
    assert all(4 + len(chunk_record_json(9, c)) <= 160 for c in chunks)
