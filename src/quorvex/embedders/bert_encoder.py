"""The forward pass of a BERT encoder in numpy, from its config.json and model.safetensors.

It covers what the sentence-embedding models of the BERT family use: word, position and
token-type embeddings, then post-layer-norm blocks of multi-head self-attention and a
feed-forward layer with the erf form of GELU. Everything is computed in float32, as
PyTorch does on the CPU, so the hidden states agree with it to rounding.

One sequence is encoded at a time: it needs no padding and no attention mask, and its
intermediate arrays stay small enough for the processor's caches, which makes it faster
than a padded batch in numpy.
"""

from __future__ import annotations

import json
import math
import pathlib
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = ["BertEncoder"]

Floats = npt.NDArray[np.float32]
Weights = dict[str, Floats]

# Abramowitz and Stegun 7.1.26: erf to within 1.5e-7, below float32's resolution near 1.
_ERF_P = np.float32(0.3275911)
_ERF_COEFFICIENTS = np.array([1.061405429, -1.453152027, 1.421413741, -0.284496736, 0.254829592], dtype=np.float32)


def _erf(x: Floats) -> Floats:
    t = np.reciprocal(_ERF_P * np.abs(x) + 1)
    polynomial = np.zeros_like(x)
    for coefficient in _ERF_COEFFICIENTS:
        polynomial = (polynomial + coefficient) * t
    erf_of_size: Floats = 1 - polynomial * np.exp(-x * x)
    return np.where(x < 0, -erf_of_size, erf_of_size)


def _gelu(x: Floats) -> Floats:
    return 0.5 * x * (1 + _erf(x * (1 / math.sqrt(2))))


def _softmax_in_place(x: Floats) -> Floats:
    x -= x.max(axis=-1, keepdims=True)
    np.exp(x, out=x)
    x /= x.sum(axis=-1, keepdims=True)
    return x


@dataclass(frozen=True)
class _Dense:
    weight: Floats      # (inputs, outputs): the stored (outputs, inputs) matrix, transposed once
    bias: Floats

    @classmethod
    def read(cls, weights: Weights, *names: str) -> _Dense:
        """One layer, or several side by side (their outputs concatenated)."""
        return cls(np.ascontiguousarray(np.concatenate([weights[f"{name}.weight"].T for name in names], axis=1)),
                   np.concatenate([weights[f"{name}.bias"] for name in names]))

    def __call__(self, x: Floats) -> Floats:
        return x @ self.weight + self.bias


@dataclass(frozen=True)
class _LayerNorm:
    weight: Floats
    bias: Floats
    eps: float

    @classmethod
    def read(cls, weights: Weights, name: str, eps: float) -> _LayerNorm:
        return cls(weights[f"{name}.weight"], weights[f"{name}.bias"], eps)

    def __call__(self, x: Floats) -> Floats:
        centred: Floats = x - x.mean(axis=-1, keepdims=True)
        deviation: Floats = np.sqrt((centred * centred).mean(axis=-1, keepdims=True) + self.eps)
        return centred / deviation * self.weight + self.bias


@dataclass(frozen=True)
class _Layer:
    head_count: int
    query_key_value: _Dense
    attention_output: _Dense
    attention_norm: _LayerNorm
    intermediate: _Dense
    output: _Dense
    output_norm: _LayerNorm

    @classmethod
    def read(cls, weights: Weights, prefix: str, head_count: int, eps: float) -> _Layer:
        attention = f"{prefix}.attention"
        return cls(head_count,
                   _Dense.read(weights, *(f"{attention}.self.{part}" for part in ("query", "key", "value"))),
                   _Dense.read(weights, f"{attention}.output.dense"),
                   _LayerNorm.read(weights, f"{attention}.output.LayerNorm", eps),
                   _Dense.read(weights, f"{prefix}.intermediate.dense"),
                   _Dense.read(weights, f"{prefix}.output.dense"),
                   _LayerNorm.read(weights, f"{prefix}.output.LayerNorm", eps))

    def __call__(self, x: Floats) -> Floats:
        x = self.attention_norm(x + self.attention_output(self._attention(x)))
        return self.output_norm(x + self.output(_gelu(self.intermediate(x))))

    def _attention(self, x: Floats) -> Floats:
        length, hidden = x.shape
        head_size = hidden // self.head_count
        # (3, heads, length, head_size): each head reads its own slice of the query, key and value.
        query, key, value = self.query_key_value(x).reshape(length, 3, self.head_count, head_size).transpose(1, 2, 0, 3)
        scores = query @ key.transpose(0, 2, 1) * np.float32(1 / math.sqrt(head_size))
        context = _softmax_in_place(scores) @ value
        return context.transpose(1, 0, 2).reshape(length, hidden)


class BertEncoder:
    """The last hidden states of a BERT model for one sequence of token ids."""

    def __init__(self, config: dict[str, object], weights: Weights):
        for key, supported in (("hidden_act", "gelu"), ("position_embedding_type", "absolute")):
            if config.get(key, supported) != supported:
                raise ValueError(f"the BERT encoder supports {key} {supported!r} only, not {config[key]!r}")
        eps = float(str(config["layer_norm_eps"]))
        heads = int(str(config["num_attention_heads"]))
        self._words = weights["embeddings.word_embeddings.weight"]
        self._positions = weights["embeddings.position_embeddings.weight"]
        self._token_type = weights["embeddings.token_type_embeddings.weight"][0]
        self._embedding_norm = _LayerNorm.read(weights, "embeddings.LayerNorm", eps)
        self._layers = [_Layer.read(weights, f"encoder.layer.{n}", heads, eps)
                        for n in range(int(str(config["num_hidden_layers"])))]

    @classmethod
    def from_directory(cls, model_dir: pathlib.Path) -> BertEncoder:
        from safetensors.numpy import load_file

        config = json.loads((model_dir / "config.json").read_text(encoding="utf-8"))
        return cls(config, load_file(str(model_dir / "model.safetensors")))

    @property
    def max_length(self) -> int:
        return len(self._positions)

    def encode(self, token_ids: npt.NDArray[np.int64]) -> Floats:
        """(length, hidden) hidden states of one sequence of token ids."""
        if not 0 < len(token_ids) <= self.max_length:
            raise ValueError(f"a sequence takes 1 to {self.max_length} tokens, not {len(token_ids)}")
        x = self._embedding_norm(self._words[token_ids] + self._positions[:len(token_ids)] + self._token_type)
        for layer in self._layers:
            x = layer(x)
        return x
