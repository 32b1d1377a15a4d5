"""A small PIR client for tests, written from the client's formulas.

It reads a cache's client hint, builds queries c = A·s + e + Δ·u (toy: mod 2^32,
simplepir-rs: mod 2^64) with numpy randomness, writes the batched query document
and decodes the server's batched response back into padded records and chunks.
"""

from __future__ import annotations

import json
import pathlib
import struct
from dataclasses import dataclass

import numpy as np

from support import codec as _codec
from support.public_matrix import chacha_matrix, toy_matrix

SCHEME = "simplepir-lwe-v0"


@dataclass
class Context:
    record_id: int
    secret: np.ndarray
    query_sum: int


class ReferenceClient:
    @classmethod
    def from_cache(cls, cache_dir: pathlib.Path, seed: int = 0) -> "ReferenceClient":
        return cls((pathlib.Path(cache_dir) / "pir" / "client_hint.bin").read_bytes(), seed)

    def __init__(self, hint: bytes, seed: int = 0):
        self.rng = np.random.default_rng(seed)
        self.kind = hint[:8]
        if self.kind == b"QVSPC001":
            (self.record_count, self.record_size, self.width, self.q, self.p, self.delta,
             self.matrix_seed, hint_len) = struct.unpack_from("<8Q", hint, 8)
            assert hint_len == self.record_size * self.width
            assert len(hint) == 72 + 8 * hint_len
            self.hint = np.frombuffer(hint, "<u8", offset=72).astype(np.uint64).reshape(self.record_size, self.width)
            self.query_length = self.record_count
        elif self.kind == b"QVSRC001":
            (self.record_count, self.record_size, self.lanes, self.side, self.width, self.mod_power,
             self.p, self.setup_seed, self.server_hint, rows, cols) = struct.unpack_from("<11Q", hint, 8)
            assert (rows, cols) == (self.side, self.width)
            assert len(hint) == 96 + 8 * rows * cols
            self.hint = np.frombuffer(hint, "<u8", offset=96).astype(np.uint64).reshape(rows, cols)
            self.delta = (1 << 64) // self.p
            self.half_p = self.p // 2
            self.query_length = self.side
        else:
            raise AssertionError(f"unknown client hint magic {self.kind!r}")

    def query_magic(self) -> bytes:
        return b"QVSPQ001" if self.kind == b"QVSPC001" else b"QVSRQ001"

    def _public_matrix(self) -> np.ndarray:
        if self.kind == b"QVSPC001":
            return toy_matrix(self.matrix_seed, self.record_count, self.width)
        return chacha_matrix(self.server_hint, self.side, self.width)

    def _errors(self, n: int) -> np.ndarray:
        # Bytes mod 3 -> -1, 0, +1, as the client samples them.
        return (self.rng.integers(0, 256, n, dtype=np.int64) % 3 - 1)

    def query_vector(self, record_id: int, secret: np.ndarray, error: np.ndarray) -> np.ndarray:
        a = self._public_matrix()
        with np.errstate(over="ignore"):
            c = a @ secret + error.astype(np.uint64)
            c[record_id] += np.uint64(self.delta)
        if self.kind == b"QVSPC001":
            c &= np.uint64(self.q - 1)
        return c

    def make_query(self, record_id: int, error_value: int | None = None) -> tuple[dict, Context]:
        """One query; error_value forces every error element to -1, 0 or +1 (worst-case noise)."""
        full = np.iinfo(np.uint64).max
        secret = self.rng.integers(0, full, self.width, dtype=np.uint64, endpoint=True)
        if self.kind == b"QVSPC001":
            secret &= np.uint64(self.q - 1)
        error = self._errors(self.query_length)
        if error_value is not None:
            error[:] = error_value
        c = self.query_vector(record_id, secret, error)
        payload = _codec.encode_payload(_codec.encode_vector(self.query_magic(), c))
        with np.errstate(over="ignore"):
            query_sum = int(c.sum(dtype=np.uint64))
        return ({"protocol_version": 1, "scheme": SCHEME, "payload": payload},
                Context(record_id, secret, query_sum))

    def batch(self, record_ids, error_value: int | None = None) -> tuple[bytes, list[Context]]:
        queries, contexts = zip(*(self.make_query(r, error_value) for r in record_ids))
        document = {"protocol_version": 1, "scheme": SCHEME, "retrieval_count": len(queries),
                    "queries": list(queries)}
        return json.dumps(document, separators=(",", ":")).encode(), list(contexts)

    def decode_record(self, context: Context, payload: str) -> bytes:
        raw = _codec.decode_payload(payload)
        if self.kind == b"QVSPC001":
            answer = _codec.decode_vector(b"QVSPR001", raw, self.record_size, "PIR response")
            q = self.q
            out = bytearray()
            for r in range(self.record_size):
                dot = sum(int(h) * int(s) for h, s in zip(self.hint[r], context.secret)) % q
                noisy = (q - dot + int(answer[r])) % q
                out.append(((noisy + self.delta // 2) // self.delta) % self.p % 256)
            return bytes(out)
        answer = _codec.decode_vector(b"QVSRR001", raw, self.side, "simplepir-rs PIR response")
        mask = (1 << 64) - 1
        out = bytearray(self.record_size)
        for i in range(min(self.lanes, len(answer))):
            dot = sum(int(h) * int(s) for h, s in zip(self.hint[i], context.secret)) & mask
            t = (self.delta // 2 + int(answer[i]) - context.query_sum * self.half_p - dot) & mask
            v = (t // self.delta - self.half_p) & mask
            w = (v % self.p) & 0xFFFF
            for k, byte in enumerate((w & 0xFF, w >> 8)):
                if 2 * i + k < self.record_size:
                    out[2 * i + k] = byte
        return bytes(out)

    def decode(self, response: bytes, contexts: list[Context]) -> list[bytes]:
        document = json.loads(response)
        assert document["protocol_version"] == 1 and document["scheme"] == SCHEME
        assert document["retrieval_count"] == len(document["responses"]) == len(contexts)
        return [self.decode_record(ctx, item["payload"]) for ctx, item in zip(contexts, document["responses"])]


def chunk_of(record: bytes) -> dict:
    n = int.from_bytes(record[:4], "little")
    assert n + 4 <= len(record)
    return json.loads(record[4:4 + n].decode("utf-8"))
