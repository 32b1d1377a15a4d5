"""The forward pass of a BERT encoder in numpy, from its config.json and model.safetensors.

It covers what the sentence-embedding models of the BERT family use: word, position and
token-type embeddings, then post-layer-norm blocks of multi-head self-attention and a
feed-forward layer with the erf form of GELU. Everything is computed in float32, as
PyTorch does on the CPU, so the hidden states agree with it to rounding.

Several sequences are encoded together without padding: their tokens are stacked into
one matrix for the dense layers (large matrix products) and each attends only to its
own tokens. Every row of a matrix product is computed the same way however many rows
share it, so a sequence's hidden states do not depend on which others are encoded with
it. GELU and the attention softmax are computed by the extension in one pass each, in
place (quorvex._engine), with the same guarantee.
"""

from __future__ import annotations

import json
import math
import pathlib
import threading
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from quorvex import _engine

__all__ = ["BertEncoder"]

Floats = npt.NDArray[np.float32]
Weights = dict[str, Floats]

class _Scratch(threading.local):
    """Work memory of each thread, kept between calls: a bytearray per use, grown as needed, which the
    extension's element-wise steps change in place through a numpy view."""

    def __init__(self) -> None:
        self.buffers: dict[str, bytearray] = {}

    def array(self, use: str, shape: tuple[int, ...]) -> tuple[bytearray, Floats]:
        count = math.prod(shape)
        buffer = self.buffers.get(use)
        if buffer is None or len(buffer) < 4 * count:
            buffer = self.buffers[use] = bytearray(4 * count)
        return buffer, np.frombuffer(buffer, dtype=np.float32, count=count).reshape(shape)


_SCRATCH = _Scratch()


@dataclass(frozen=True)
class _Dense:
    weight: Floats      # (inputs, outputs): the stored (outputs, inputs) matrix, transposed once
    bias: Floats

    @classmethod
    def read(cls, weights: Weights, *names: str) -> _Dense:
        """One layer, or several side by side (their outputs concatenated)."""
        return cls(np.ascontiguousarray(np.concatenate([weights[f"{name}.weight"].T for name in names], axis=1)),
                   np.concatenate([weights[f"{name}.bias"] for name in names]))

    def __call__(self, x: Floats, out: Floats | None = None) -> Floats:
        """x times the weights plus the bias, written into out where given."""
        out = np.matmul(x, self.weight, out=out)
        out += self.bias
        return out


@dataclass(frozen=True)
class _LayerNorm:
    weight: Floats
    bias: Floats
    eps: float

    @classmethod
    def read(cls, weights: Weights, name: str, eps: float) -> _LayerNorm:
        return cls(weights[f"{name}.weight"], weights[f"{name}.bias"], eps)

    def __call__(self, x: Floats) -> Floats:
        """The normalised rows of x, computed in x's memory."""
        x -= x.mean(axis=-1, keepdims=True)
        deviation = np.square(x).mean(axis=-1, keepdims=True)
        deviation += self.eps
        np.sqrt(deviation, out=deviation)
        x /= deviation
        x *= self.weight
        x += self.bias
        return x


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

    def __call__(self, x: Floats, bounds: list[tuple[int, int]]) -> Floats:
        """The layer's output for the rows of x, in which the sequence n holds rows bounds[n]."""
        x = self.attention_norm(self.attention_output(self._attention(x, bounds)) + x)
        buffer, intermediate = _SCRATCH.array("intermediate", (len(x), self.intermediate.weight.shape[1]))
        self.intermediate(x, out=intermediate)
        _engine.gelu_in_place(buffer, intermediate.size)
        return self.output_norm(self.output(intermediate) + x)

    def _attention(self, x: Floats, bounds: list[tuple[int, int]]) -> Floats:
        hidden = x.shape[1]
        head_size = hidden // self.head_count
        query_key_value = self.query_key_value(x)
        query_key_value[:, :hidden] *= np.float32(1 / math.sqrt(head_size))
        context = np.empty_like(x)
        for first, last in bounds:
            length = last - first
            # (3, heads, length, head_size): each head reads its own slice of the query, key and value.
            query, key, value = (query_key_value[first:last].reshape(length, 3, self.head_count, head_size)
                                 .transpose(1, 2, 0, 3))
            buffer, scores = _SCRATCH.array("scores", (self.head_count, length, length))
            np.matmul(query, key.transpose(0, 2, 1), out=scores)
            _engine.softmax_rows_in_place(buffer, scores.size, length)
            context[first:last] = (scores @ value).transpose(1, 0, 2).reshape(length, hidden)
        return context


class BertEncoder:
    """The last hidden states of a BERT model for sequences of token ids."""

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
        return self._hidden_states([token_ids])[0]

    def mean_states(self, sequences: list[npt.NDArray[np.int64]]) -> Floats:
        """(len(sequences), hidden): the mean of each sequence's hidden states."""
        x, bounds = self._hidden_states(sequences)
        return np.stack([x[first:last].mean(axis=0) for first, last in bounds])

    def _hidden_states(self, sequences: list[npt.NDArray[np.int64]]) -> tuple[Floats, list[tuple[int, int]]]:
        """The hidden states of every sequence stacked, and the rows each holds."""
        for token_ids in sequences:
            if not 0 < len(token_ids) <= self.max_length:
                raise ValueError(f"a sequence takes 1 to {self.max_length} tokens, not {len(token_ids)}")
        ends = np.cumsum([len(token_ids) for token_ids in sequences]).tolist()
        bounds = list(zip([0, *ends[:-1]], ends))
        x = np.concatenate([self._words[token_ids] + self._positions[:len(token_ids)] for token_ids in sequences])
        x += self._token_type
        x = self._embedding_norm(x)
        for layer in self._layers:
            x = layer(x, bounds)
        return x, bounds
