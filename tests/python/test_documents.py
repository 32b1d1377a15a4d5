"""Reading document files, splitting texts into chunks whose escaped form fits a budget, and chunk records
that fit their padded records."""

import importlib.util
import json

import numpy as np
import pytest
from hypothesis import example, given, settings, strategies as st

from quorvex.cli.commands import main
from quorvex.publisher.chunker import MAX_CHARACTER_COST, Block, escaped_size, split_text, text_blocks
from quorvex.embedders.hashing import HashingEmbedder
from quorvex.publisher.documents import Document, chunk_document, chunk_documents, read_documents
from quorvex.publisher.publish_documents import publish_documents
from quorvex.publisher.records import chunk_record_json
from quorvex.publisher.sources import read_sources
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
    (SENTENCE * 2 + "Another one that is too long to fit with the first one", len(SENTENCE) + 20,
     [SENTENCE.strip()] * 2 + ["Another one that is too long to fit with the", "first one"]),
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
    bodies = []
    for number, chunk in enumerate(chunks):
        section = (chunk.metadata or {}).get("section", "")
        assert chunk.chunk_id == f"doc-\"é\"#{number}"
        assert chunk.metadata == ({**(metadata or {}), "section": section} if section else metadata)
        assert 4 + len(chunk_record_json(999, chunk)) <= record_size
        bodies += chunk.text.removeprefix(section + "\n\n" if section else "").split()
    # In order, the chunks hold every word of the paragraphs and nothing that is not in the text.
    paragraphs = [w for b in text_blocks(text) if b.kind == "paragraph" for w in b.text.split()]
    rest, words = iter(bodies), iter(text.split())
    assert all(word in rest for word in paragraphs) and all(word in words for word in bodies)


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
    (lambda out: publish_documents([Document("d", "text")], *out, embedder=NOT_EMBEDDING, cluster="tcp://127.0.0.1:1"),
     "'refuse' is none of them: publish it without a cluster"),  # a cluster's workers build quorvex's embedders
])
def test_texts_and_documents_that_cannot_be_published_are_refused(tmp_path, call, message):
    with pytest.raises(ValueError, match=message):
        call((tmp_path / "c", tmp_path / "s"))


class CountingEmbedder(HashingEmbedder):
    def __init__(self):
        self.embedded = []

    def embed(self, texts):
        self.embedded.extend(texts)
        return super().embed(texts)


def test_a_republish_embeds_only_changed_chunks_and_gives_the_bytes_of_a_full_publish(tmp_path, monkeypatch):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    changed = [DOCUMENTS[0], Document("kitchen", DOCUMENTS[1].text + " Rest the dough."), *DOCUMENTS[2:],
               Document("new", "Fresh words.")]
    full = publish_documents(changed, tmp_path / "full", tmp_path / "full-state", embedder=HashingEmbedder())
    publish_documents(DOCUMENTS, tmp_path / "c", tmp_path / "s", embedder=HashingEmbedder())
    before = {chunk.text for chunk in chunk_documents(DOCUMENTS, 1024)}
    counting = CountingEmbedder()
    again = publish_documents(changed, tmp_path / "c", tmp_path / "s", embedder=counting, overwrite=True)
    assert again.publication == full.publication and full.reused_embeddings == 0
    assert counting.embedded == [c.text for c in chunk_documents(changed, 1024) if c.text not in before] != []
    assert again.reused_embeddings == full.record_count - len(counting.embedded)
    # A cache whose vectors were altered is not copied from (a warning says so); one of another model is refused.
    vectors = tmp_path / "c/index/vectors.bin"
    vectors.write_bytes(vectors.read_bytes()[:-1] + b"\1")
    with pytest.warns(UserWarning, match="cannot be reused, as index/vectors.bin is not the file its checksums"):
        assert publish_documents(changed, tmp_path / "c", tmp_path / "s", embedder=HashingEmbedder(),
                                 overwrite=True).publication == full.publication
    with pytest.raises(ValueError, match="cannot reuse the embeddings of .*full: it was embedded with "
                                         "'quorvex-hashing-words-pairs-384-v1' \\(384 dimensions\\), not 'refuse'"):
        publish_documents(changed, tmp_path / "x", tmp_path / "y", embedder=NOT_EMBEDDING, reuse_from=tmp_path / "full")


# A page showing "Hello PDF", titled "Paper" (its cross-reference table left for the reader to rebuild).
PDF = (b"%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj 2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj 3 0 obj"
       b"<</Type/Page/Parent 2 0 R/MediaBox[0 0 200 200]/Contents 4 0 R/Resources<</Font<</F1<</Type/Font/Subtype/Type1"
       b"/BaseFont/Helvetica>>>>>>>>endobj 4 0 obj<</Length 38>>stream\nBT /F1 12 Tf 9 99 Td (Hello PDF) Tj ET\nendstream "
       b"endobj 5 0 obj<</Title(Paper)>>endobj\ntrailer<</Root 1 0 R/Info 5 0 R>>\nstartxref\n0\n%%EOF\n")
FILES = {"notes.txt": "Shopping\n\nBuy milk.\n", "guide/intro.md": "# Guide\n\nHi.\n\n```\npip install x\n```\n",
         "api.rst": "API\n===\n\nCalls.\n", ".hidden/secret.txt": "not published", "paper.pdf": PDF,
         "page.html": "<title>Page</title><script>alert(1)</script><h1>Head</h1><p>Body &amp; text</p>",
         "blob.bin": b"\x00\x01", "empty.txt": " \n", "latin1.txt": "café".encode("latin-1")}
HAVE_PDF = importlib.util.find_spec("pypdf") is not None
TITLES = [("api.rst", "API"), ("guide/intro.md", "Guide"), ("notes.txt", None), ("page.html", "Page")] + (
    [("paper.pdf", "Paper")] if HAVE_PDF else [])
SKIPS = [("blob.bin", "binary"), ("empty.txt", "empty"), ("latin1.txt", "not UTF-8 text")] + (
    [] if HAVE_PDF else [("paper.pdf", "PDF needs the pdf extra: pip install 'quorvex[pdf]'")])


def test_a_folder_publishes_its_documents_with_one_line_for_the_skipped_files(tmp_path, capsys):
    for name, content in FILES.items():
        (tmp_path / "docs" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "docs" / name).write_bytes(content if isinstance(content, bytes) else content.encode())
    sources = read_sources(tmp_path / "docs")
    assert [(d.document_id, d.metadata.get("title")) for d in sources.documents] == TITLES
    assert all(d.metadata["path"] == d.document_id and "alert" not in d.text for d in sources.documents)
    assert [(s.path, s.reason) for s in sources.skipped] == SKIPS
    out = [str(tmp_path / "docs"), "--cache", str(tmp_path / "c"), "--server-state", str(tmp_path / "s"), "--embedder",
           "hashing"]
    assert main(["publish", "--strict", *out]) == 1 and not (tmp_path / "c").exists()
    assert "blob.bin (binary), empty.txt (empty)" in capsys.readouterr().err
    assert main(["publish", *out]) == 0
    skipped = f"skipped {len(SKIPS)} files: " + ", ".join(f"{path} ({reason})" for path, reason in SKIPS)
    formats = ["HTML", "Markdown", "plain text", "reStructuredText"] + (["PDF"] if HAVE_PDF else [])
    plan = [f"to publish: {kind}, 1 file, 1 chunk" for kind in formats]  # before any embedding
    published = f"published {len(TITLES)} documents as {len(TITLES)} chunks"
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == skipped and sorted(lines[1:len(plan) + 1]) == sorted(plan) and lines[-8] == published
    assert lines[len(plan) + 1].startswith(f"embedding chunks: {len(TITLES)} of {len(TITLES)} in ")  # a line a phase


GUIDE = "# Guide\n\n" + "".join(f"Paragraph {n} says something of its own about the guide.\n\n" for n in range(4))
TREE = {"guide.md": GUIDE, "guide.html": "<h1>Guide</h1><p>Rendered.</p>", "notes.txt": "Shopping list for a long week.",
        "all.html": "".join(f"<p>{p}</p>" for p in GUIDE.split("\n\n")[1:]) + "<p>And one paragraph of its own here.</p>",
        "site/style.css": "body {}", "site/app.js": "go()", "site/app.js.map": "{}", "logo.svg": "<svg/>",
        "data.json": "{}", "package-lock.json": "{}", "yarn.lock": "x", "fonts/a.woff2": "x", "docs.tar.gz": "x",
        "tool.py": "print(1)", "sub/page.rst": "Page\n====\n\nText."}


# (include, exclude): the documents published and what is left out by default, by kind.
@pytest.mark.parametrize("include, exclude, published, left_out", [
    ((), (), ["guide.md", "notes.txt", "sub/page.rst"],
     {"HTML page made from the file of the same name beside it": ["guide.html"], "archive": ["docs.tar.gz"],
      "data file": ["data.json"], "document that repeats others": ["all.html"], "font": ["fonts/a.woff2"],
      "image": ["logo.svg"], "lock file": ["package-lock.json", "yarn.lock"], "script": ["site/app.js", "tool.py"],
      "source map": ["site/app.js.map"], "stylesheet": ["site/style.css"]}),
    ((), ("*.txt", "sub/", "*.md"), ["all.html", "guide.html"], None),  # no guide.md: its page is kept, all.html too
    (("*.html", "tool.py"), ("all.*",), ["guide.html", "tool.py"], {}),  # named files are never left out
    (("sub/**",), (), ["sub/page.rst"], {}),
])
def test_a_folder_publishes_what_the_patterns_select_without_what_is_not_prose(tmp_path, include, exclude, published,
                                                                               left_out):
    for name, text in TREE.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    sources = read_sources(tmp_path, include=include, exclude=exclude)
    assert [d.document_id for d in sources.documents] == published and not sources.skipped
    kinds: dict[str, list[str]] = {}
    for skip in sources.left_out:
        kinds.setdefault(skip.reason, []).append(skip.path)
    assert left_out is None or kinds == left_out
    assert sources.excluded + len(sources.left_out) + len(published) == len(TREE)


LONG = "word " * 60


@pytest.mark.parametrize("markdown, record_size, chunks", [
    ("# A\n\nOne.\n\n## B\n\nTwo.", 1024, [("A", "A\n\nOne.\n\nB\n\nTwo.")]),
    # A heading that would end a chunk opens the next one, as its section path.
    (f"# A\n\n{LONG}\n\n## B\n\n{LONG}", 512, [("A", f"A\n\n{LONG.strip()}"), ("A > B", f"A > B\n\n{LONG.strip()}")]),
    ("# A\n\n## B\n\n## C\n\nText.", 1024, [("A", "A\n\nB\n\nC\n\nText.")]),  # B has no text of its own
    ("# A\n\n- x\n- y\n\n```\ncode\n```", 1024, [("A", "A\n\n- x\n\n- y\n\n```\ncode\n```")]),
    # Code stays fenced, with its language: two variants of one example stay two programs.
    ("```cjs\nconst a = require('a');\n```\n```mjs\nimport a from 'a';\n```", 1024,
     [(None, "```cjs\nconst a = require('a');\n```\n\n```mjs\nimport a from 'a';\n```")]),
    ("Text:\n\n    indented ``` code\n\n~~~ `x` y\nz\n~~~", 1024,
     [(None, "Text:\n\n````\nindented ``` code\n````\n\n```x\nz\n```")]),
    ("Plain.\n\n# A", 1024, [(None, "Plain.\n\nA")]),
])
def test_markdown_chunks_keep_headings_with_their_text_under_a_section_path(tmp_path, markdown, record_size, chunks):
    (tmp_path / "doc.md").write_text(markdown)
    found = chunk_document(read_sources(tmp_path / "doc.md").documents[0], record_size)
    assert [(c.chunk_id, c.metadata.get("section"), c.text) for c in found] == [
        (f"doc.md#{n}", section, text) for n, (section, text) in enumerate(chunks)]


@given(st.lists(st.text(st.characters(codec="utf-8", exclude_characters="\n\r"), max_size=120), min_size=1,
                max_size=60))
@settings(max_examples=40, deadline=None)
def test_code_longer_than_a_record_is_cut_between_lines_into_fenced_pieces(lines):
    code = "\n".join(f"x{line}" for line in lines)
    found = chunk_document(Document("d", "", blocks=(Block("code", code, 0, "js"),)), 256)
    pieces = [chunk.text for chunk in found]
    assert all(piece.startswith("```js\n") or piece.startswith("````js\n") for piece in pieces)
    fences = [piece.split("\n", 1)[0].removesuffix("js") for piece in pieces]
    bodies = [piece[len(fence) + 3:-len(fence) - 1] for piece, fence in zip(pieces, fences)]
    assert all(piece.endswith("\n" + fence) for piece, fence in zip(pieces, fences))
    assert all(escaped_size(f"{a}\n{b}") > 64 for a, b in zip(bodies, bodies[1:]))  # packed: neighbours would not fit
    assert "".join("".join(body.split()) for body in bodies) == "".join(code.split())  # all but whitespace, in order

