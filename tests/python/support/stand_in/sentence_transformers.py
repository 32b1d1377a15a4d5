"""A stand-in for sentence-transformers on machines without PyTorch, with the contract quorvex relies on.

Like the library it loads a model folder, and reaches for the network unless told local_files_only;
it computes the mean of the model's last hidden states (with the numpy encoder), normalised only
when asked, as one array unless told otherwise; it writes progress bars unless told not to, and a
notice on loading unless the environment silences the hub and transformers.
"""

import os
import sys

import numpy as np

from quorvex.embedders.minilm import MiniLMEmbedder


class SentenceTransformer:
    def __init__(self, model_name_or_path, device=None, local_files_only=False):
        if local_files_only is not True or device != "cpu":
            raise OSError(f"would download {model_name_or_path} or pick a device (local_files_only="
                          f"{local_files_only!r}, device={device!r})")
        if os.environ.get("HF_HUB_DISABLE_PROGRESS_BARS") != "1" or os.environ.get("TRANSFORMERS_VERBOSITY") != "error":
            print("Loading weights: 100%|##########|", file=sys.stderr)
        self._numpy = MiniLMEmbedder()

    def encode(self, sentences, batch_size=32, show_progress_bar=None, convert_to_numpy=True,
               normalize_embeddings=False):
        if show_progress_bar is not False:
            print("Batches: 100%|##########|", file=sys.stderr)
        encoder, tokenizer = self._numpy._encoder, self._numpy._tokenizer
        vectors = np.stack([encoder.encode(np.array(e.ids)).mean(axis=0) for e in tokenizer.encode_batch(sentences)])
        if normalize_embeddings:
            vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
        return vectors if convert_to_numpy else list(vectors)  # the library gives a list of tensors
