import hashlib
import json
import pathlib
import struct
import subprocess
import sys

import numpy as np
import pytest

from quorvex.publisher import atomic_dirs
from quorvex.shared import profiles
from quorvex._native import NativeClient
from quorvex.publisher.publish import Chunk, publish
from quorvex.server.pir_server import PirServer
from support.corpus import make_chunks, make_embeddings

MANIFEST_KEYS = {
    "quorvex_version", "bundle_id", "bundle_version", "embedding_model", "embedding_dimensions",
    "chunk_count", "record_size_bytes", "index_format", "pir_store_format", "pir_scheme", "pir_params",
    "pir_record_count", "pir_record_size_bytes", "pir_artifacts", "created_at",
}
CLIENT_VERIFIED = ["manifest.json", "index/vectors.bin", "index/ids.bin", "index/metadata.jsonl",
                   "index/index.config.json", "pir/scheme.json", "pir/client_hint.bin"]


def run(tmp_path, count, dims, **options):
    chunks = make_chunks(count, text_bytes=options.pop("text_bytes", 40))
    vectors = make_embeddings(count, dims)
    result = publish(chunks, vectors, tmp_path / "public", tmp_path / "server",
                     embedding_model="test-model", **options)
    return result, chunks, vectors


@pytest.mark.parametrize("profile, count, dims, record_size", [
    (None, 1000, 384, None),
    (profiles.TOY, 5, 3, None),
    (profiles.RS_EXPERIMENTAL, 7, 8, 333),
])
def test_cache_files_parse_back(tmp_path, profile, count, dims, record_size):
    result, chunks, vectors = run(tmp_path, count, dims, profile=profile, record_size_bytes=record_size)
    root = tmp_path / "public"
    chosen = profiles.get_profile(profile or profiles.RS_SUPPORTED)
    size = result.record_size_bytes

    manifest = json.loads((root / "manifest.json").read_text())
    assert set(manifest) == MANIFEST_KEYS
    assert (manifest["chunk_count"], manifest["pir_record_count"]) == (count, count)
    assert manifest["record_size_bytes"] == manifest["pir_record_size_bytes"] == size
    params = manifest["pir_params"]
    assert all(isinstance(v, str) for v in params.values())
    assert params["schema_version"] == "1" and params["parameter_profile"] == chosen.name
    assert params["security_status"] == chosen.security_status
    assert (int(params["matrix_width"]), int(params["modulus"]), int(params["plaintext_modulus"])) == \
        (chosen.matrix_width, chosen.modulus, chosen.plaintext_modulus)

    checksums = json.loads((root / "checksums.json").read_text())
    assert checksums["algorithm"] == "sha256"
    for path in CLIENT_VERIFIED:
        data = (root / path).read_bytes()
        assert checksums["files"][path] == {"sha256": hashlib.sha256(data).hexdigest(), "size_bytes": len(data)}

    vec = (root / "index/vectors.bin").read_bytes()
    assert vec[:8] == b"QVVEC001" and struct.unpack_from("<IQ", vec, 8) == (dims, count)
    assert len(vec) == 20 + 4 * count * dims
    assert (np.frombuffer(vec, "<f4", offset=20).reshape(count, dims) == vectors).all()
    ids = (root / "index/ids.bin").read_bytes()
    assert ids[:8] == b"QVIDS001" and len(ids) == 16 + 8 * count
    assert np.frombuffer(ids, "<u8", offset=16).tolist() == list(range(count))
    lines = (root / "index/metadata.jsonl").read_text().splitlines()
    rows = [json.loads(line) for line in lines]
    assert [r["record_id"] for r in rows] == list(range(count))
    assert [(r["chunk_id"], r["document_id"], r.get("metadata")) for r in rows] == \
        [(c["chunk_id"], c["document_id"], c["metadata"]) for c in chunks]
    config = json.loads((root / "index/index.config.json").read_text())
    assert config == {"index_format": "quorvex-index-v0", "distance_metric": "cosine_similarity",
                      "embedding_model": "test-model", "embedding_dimensions": dims, "vector_count": count}

    scheme = json.loads((root / "pir/scheme.json").read_text())
    assert scheme["params"]["schema_version"] == 1 and scheme["params"]["record_count"] == count
    assert {k: str(v) for k, v in scheme["params"].items() if k in params} == params
    assert scheme["artifacts"] == manifest["pir_artifacts"]
    assert scheme["backend"]["backend_name"] == chosen.backend_name
    assert scheme["backend"]["implementation_status"] == chosen.implementation_status
    assert scheme["experimental"] is chosen.experimental
    note = scheme["security_note"]
    assert "far too small" in note and "unaudited" in note
    assert ("not externally audited" in note) if chosen.is_supported else ("experimental" in note)

    hint = (root / "pir/client_hint.bin").read_bytes()
    if chosen.is_simplepir_rs:
        header = struct.unpack_from("<11Q", hint, 8)
        side = max(count, (size + 1) // 2)
        assert hint[:8] == b"QVSRC001"
        assert header[:7] == (count, size, (size + 1) // 2, side, 64, 17, 131072)
        assert header[7] != 0 and header[9:] == (side, 64)
        assert len(hint) == 96 + 8 * side * 64
    else:
        header = struct.unpack_from("<8Q", hint, 8)
        assert hint[:8] == b"QVSPC001"
        assert header[:6] == (count, size, 16, 2**32, 256, 2**24)
        assert header[6] != 0 and header[7] == size * 16
        assert len(hint) == 72 + 8 * size * 16
        assert int(np.frombuffer(hint, "<u8", offset=72).max()) < 2**32
    assert (root / "pir/server_hint.bin").is_file()
    assert result.public_cache_bytes == sum((root / p).stat().st_size for p in CLIENT_VERIFIED + ["checksums.json"])
    assert result.parameter_profile == chosen.name
    assert (result.record_count, result.embedding_dimensions) == (count, dims)
    if chosen.is_supported:
        assert size == 1024 and result.public_cache_bytes <= profiles.SUPPORTED_PUBLIC_CACHE_LIMIT
    assert sorted(p.name for p in tmp_path.iterdir()) == ["public", "server"]  # no staging leftovers


def test_seeds_are_fresh_for_every_publish(tmp_path):
    seeds = []
    for name in ("a", "b"):
        publish(make_chunks(3), make_embeddings(3, 4), tmp_path / name / "public", tmp_path / name / "server",
                embedding_model="m", profile=profiles.RS_EXPERIMENTAL)
        seeds.append((tmp_path / name / "public/pir/client_hint.bin").read_bytes()[64:80])
    assert seeds[0] != seeds[1]


def too_long_text():
    return [{"chunk_id": "long", "document_id": "d", "text": "y" * 1000}]


@pytest.mark.parametrize("chunks, vectors, options, message", [
    (make_chunks(1001), make_embeddings(1001, 384), {},
     "holds at most 1000 chunks, got 1001; pass profile='simplepir-rs-experimental-v0'"),
    (make_chunks(3), make_embeddings(3, 383), {}, "requires 384-dimensional embeddings, got 383"),
    (too_long_text(), make_embeddings(1, 384), {}, "hold at most 1020 bytes of chunk record JSON"),
    (make_chunks(2), make_embeddings(2, 384), {"profile": profiles.RS_SUPPORTED, "record_size_bytes": 512},
     "requires 1024-byte records, got record_size_bytes 512"),
    (make_chunks(3), make_embeddings(2, 4), {"profile": profiles.TOY}, "got 2 embeddings for 3 chunks"),
    (make_chunks(2), np.array([[1.0, np.nan], [0, 1]]), {"profile": profiles.TOY},
     "embedding 0 has a non-finite value at dimension 1"),
    (make_chunks(2), np.array([[1.0, 1e39], [0, 1]]), {"profile": profiles.TOY},
     "embedding 0 has a non-finite value at dimension 1"),
    (make_chunks(2) + [{"chunk_id": "c1", "document_id": "d", "text": "t"}], make_embeddings(3, 2),
     {"profile": profiles.TOY}, "duplicate chunk id 'c1' at chunks 1 and 2"),
    ([], np.zeros((0, 4)), {"profile": profiles.TOY}, "cannot publish an empty collection"),
    (make_chunks(2), make_embeddings(2, 4), {"profile": profiles.TOY, "record_size_bytes": 3},
     "record_size_bytes must be an integer of at least 4"),
    (make_chunks(2, text_bytes=100), make_embeddings(2, 4), {"profile": profiles.RS_EXPERIMENTAL,
     "record_size_bytes": 64}, "but records hold 64 bytes"),
    ([{"chunk_id": "a", "document_id": "d", "text": "t", "metadata": float("nan")}], make_embeddings(1, 2),
     {"profile": profiles.TOY}, "chunk 0 metadata is not JSON"),
    ([{"chunk_id": "a", "document_id": "d", "text": "t", "metadata": {"k": "\ud800"}}], make_embeddings(1, 2),
     {"profile": profiles.TOY}, "chunk 0 metadata is not JSON"),
    ([{"chunk_id": "a", "document_id": "d", "text": "\ud800"}], make_embeddings(1, 2),
     {"profile": profiles.TOY}, "chunk 0 text is not valid Unicode text"),
    ([{"chunk_id": "a", "text": "t"}], make_embeddings(1, 2), {"profile": profiles.TOY},
     "chunk 0 is missing document_id"),
    (make_chunks(1), make_embeddings(1, 2), {"profile": "toy"}, "unknown PIR parameter profile 'toy'"),
    (make_chunks(1), make_embeddings(1, 2), {"profile": profiles.TOY, "embedding_model": " "},
     "embedding_model must be a non-empty string"),
])
def test_refusals_say_what_would_fit(tmp_path, chunks, vectors, options, message):
    options.setdefault("embedding_model", "m")
    with pytest.raises(ValueError) as error:
        publish(chunks, vectors, tmp_path / "public", tmp_path / "server", **options)
    assert message in str(error.value)
    assert list(tmp_path.iterdir()) == []


def test_supported_profile_refuses_a_cache_over_its_size_envelope(tmp_path):
    # 1000 chunks with 700 bytes of metadata each push metadata.jsonl past the envelope.
    chunks = [Chunk(f"c{i}", "d", "t", {"note": "n" * 700}) for i in range(1000)]
    with pytest.raises(ValueError, match=r"public cache holds at most 2621440 bytes, this one needs \d+"):
        publish(chunks, make_embeddings(1000, 384), tmp_path / "p", tmp_path / "s", embedding_model="m")
    result = publish(chunks, make_embeddings(1000, 384), tmp_path / "p", tmp_path / "s", embedding_model="m",
                     profile=profiles.RS_EXPERIMENTAL, record_size_bytes=1024)
    assert result.public_cache_bytes > profiles.SUPPORTED_PUBLIC_CACHE_LIMIT


def test_toy_profile_refuses_more_records_than_its_noise_margin(tmp_path):
    count = 32897
    chunks = [Chunk(str(i), "d", "") for i in range(count)]
    with pytest.raises(ValueError, match="toy profile holds 1 to 32896 records, got 32897"):
        publish(chunks, np.ones((count, 1)), tmp_path / "p", tmp_path / "s", embedding_model="m",
                profile=profiles.TOY)


@pytest.mark.parametrize("server", ["public/state", "public", "."])
def test_server_state_must_lie_outside_the_public_cache(tmp_path, server):
    with pytest.raises(ValueError, match="must lie outside the public cache"):
        publish(make_chunks(2), make_embeddings(2, 2), tmp_path / "public", tmp_path / server,
                embedding_model="m", profile=profiles.TOY)


def test_existing_targets_are_replaced_only_when_asked(tmp_path):
    args = (make_chunks(2), make_embeddings(2, 2), tmp_path / "public", tmp_path / "server")
    (tmp_path / "public").mkdir()  # an empty target is fine
    publish(*args, embedding_model="first", profile=profiles.TOY)
    with pytest.raises(ValueError, match="is not empty; replace it with overwrite=True"):
        publish(*args, embedding_model="second", profile=profiles.TOY)
    assert json.loads((tmp_path / "public/manifest.json").read_text())["embedding_model"] == "first"
    publish(*args, embedding_model="second", profile=profiles.TOY, overwrite=True)
    assert json.loads((tmp_path / "public/manifest.json").read_text())["embedding_model"] == "second"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["public", "server"]


def test_failure_while_committing_leaves_the_old_directories(tmp_path, monkeypatch):
    args = (make_chunks(2), make_embeddings(2, 2), tmp_path / "public", tmp_path / "server")
    publish(*args, embedding_model="first", profile=profiles.TOY)
    real_rename = atomic_dirs.os.rename

    def failing_rename(src, dst):
        # Putting the second staged directory in place fails; restoring still works.
        if str(src).endswith(".tmp") and pathlib.Path(dst) == tmp_path / "server":
            raise OSError("disk full")
        return real_rename(src, dst)

    monkeypatch.setattr(atomic_dirs.os, "rename", failing_rename)
    with pytest.raises(OSError, match="disk full"):
        publish(*args, embedding_model="second", profile=profiles.TOY, overwrite=True)
    monkeypatch.undo()
    assert json.loads((tmp_path / "public/manifest.json").read_text())["embedding_model"] == "first"
    assert (tmp_path / "server/server_state.json").is_file()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["public", "server"]


_KILLED_PUBLISH = """
import os, sys
sys.path[:0] = {paths!r}
from quorvex.publisher.publish import publish
from support.corpus import make_chunks, make_embeddings
real_rename, renames = os.rename, [0]

def rename(source, target):
    renames[0] += 1
    if renames[0] == {kill_at}:
        os._exit(9)  # as if killed: no clean-up of any kind
    real_rename(source, target)

os.rename = rename
publish(make_chunks(3), make_embeddings(3, 2), {public!r}, {server!r}, embedding_model="second",
        profile="toy-development-only-v0", overwrite=True)
"""


@pytest.mark.parametrize("kill_at, survivor", [(1, "first"), (2, "second"), (3, "second"), (4, "second"),
                                               (5, "second")])
def test_a_publish_killed_while_committing_leaves_a_consistent_pair(tmp_path, kill_at, survivor):
    # Renames: the journal into place, then each target away and its staged directory in.
    public, server = tmp_path / "public", tmp_path / "server"
    publish(make_chunks(3), make_embeddings(3, 2), public, server, embedding_model="first", profile=profiles.TOY)
    script = _KILLED_PUBLISH.format(paths=sys.path, kill_at=kill_at, public=str(public), server=str(server))
    assert subprocess.run([sys.executable, "-c", script], timeout=60).returncode == 9
    with atomic_dirs.Publication(public, server, overwrite=True):
        pass  # what the next publish does first: finish the interrupted one, remove leftovers
    assert sorted(p.name for p in tmp_path.iterdir()) == ["public", "server"]
    assert json.loads((public / "manifest.json").read_text())["embedding_model"] == survivor
    client = NativeClient.open_public_cache(str(public))
    prepared = client.prepare_retrieval_query(make_embeddings(3, 2)[1].tolist(), 1, 2)
    decoded = client.decode_retrieval_response(prepared, PirServer.load(server).answer(prepared.query_json))
    assert [d.chunk_id for d in decoded] == ["c1"]


def test_a_store_larger_than_memory_is_refused_up_front(tmp_path):
    # 1000 records of nearly 2 GiB would need 2 TB of lane data.
    with pytest.raises(ValueError, match=r"lane data needs 2,147,483,646,000 bytes of memory"):
        publish(make_chunks(1000), make_embeddings(1000, 2), tmp_path / "p", tmp_path / "s", embedding_model="m",
                profile=profiles.RS_EXPERIMENTAL, record_size_bytes=2**31 - 2)
    assert list(tmp_path.iterdir()) == []
