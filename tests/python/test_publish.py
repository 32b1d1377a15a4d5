"""The publisher: what it writes beyond what the client reads back, what it refuses, and a cache and state
that appear together or not at all."""

import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

from quorvex.publisher import atomic_dirs
from quorvex.publisher import publish as publish_module
from quorvex.publisher.publish import Chunk, publish
from quorvex.shared import profiles
from support.corpus import Published, make_chunks, make_embeddings, publish_synthetic

MANIFEST_KEYS = {
    "quorvex_version", "bundle_id", "bundle_version", "embedding_model", "embedding_dimensions",
    "chunk_count", "record_size_bytes", "index_format", "pir_store_format", "pir_scheme", "pir_params",
    "pir_record_count", "pir_record_size_bytes", "pir_artifacts", "created_at",
}
CLIENT_VERIFIED = ["manifest.json", "index/vectors.bin", "index/ids.bin", "index/metadata.jsonl",
                   "index/index.config.json", "pir/scheme.json", "pir/client_hint.bin"]


@pytest.mark.parametrize("profile, count, dimensions, record_size", [
    (profiles.RS_SUPPORTED, 1000, 384, None), (None, 9, 3, None), (profiles.TOY, 5, 1, None),
    (profiles.RS_EXPERIMENTAL, 7, 8, 333),
])
def test_cache_files_describe_the_collection_and_its_profile(tmp_path, profile, count, dimensions, record_size):
    result = publish(make_chunks(count), vectors := make_embeddings(count, dimensions), tmp_path / "public",
                     tmp_path / "server", embedding_model="test-model", profile=profile, record_size_bytes=record_size)
    root, chosen = tmp_path / "public", profiles.get_profile(profile or profiles.DEFAULT)
    manifest, scheme = (json.loads((root / name).read_text()) for name in ("manifest.json", "pir/scheme.json"))
    listed = json.loads((root / "checksums.json").read_text())["files"]
    lexical = ["index/lexical.bin"] if chosen.is_balanced else []  # quorvex's own profile only
    assert set(manifest) == MANIFEST_KEYS and sorted(listed) == sorted(CLIENT_VERIFIED + ["pir/server_hint.bin"] + lexical)
    assert (manifest["chunk_count"], manifest["pir_record_count"]) == (count, count)
    assert manifest["record_size_bytes"] == manifest["pir_record_size_bytes"] == result.record_size_bytes
    # The profile's values and the scheme's agreement with the manifest are checked by the client, which opens
    # every profile's caches in the round-trip tests.
    assert manifest["pir_params"]["parameter_profile"] == chosen.name
    assert ("estimate by that method, not an audit" if chosen.is_balanced else "far too small") in \
        scheme["security_note"]
    assert np.array_equal(np.frombuffer((root / "index/vectors.bin").read_bytes(), "<f4", offset=20), vectors.ravel())
    assert listed["pir/server_hint.bin"]["size_bytes"] == (root / "pir/server_hint.bin").stat().st_size
    assert result.public_cache_bytes == sum((root / p).stat().st_size for p in CLIENT_VERIFIED + ["checksums.json"] + lexical)
    assert (result.parameter_profile, result.record_count, result.embedding_dimensions) == \
        (chosen.name, count, dimensions)
    if chosen.is_supported:
        assert result.record_size_bytes == 1024 and result.public_cache_bytes <= profiles.SUPPORTED_PUBLIC_CACHE_LIMIT
    assert sorted(p.name for p in tmp_path.iterdir()) == ["public", "server"]  # no staging leftovers


def test_the_same_content_and_epoch_publish_the_same_bytes_and_other_content_other_seeds(tmp_path, monkeypatch):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    trees = []
    for name, seed in [("a", 0), ("b", 0), ("c", 1)]:
        publish_synthetic(tmp_path / name, profiles.RS_EXPERIMENTAL, 3, 4, seed=seed)
        monkeypatch.setattr(publish_module, "BLOCK_RECORDS", 2)  # b and c are written in blocks of two records
        trees.append({path.relative_to(tmp_path / name): path.read_bytes()
                      for path in sorted((tmp_path / name).rglob("*")) if path.is_file()})
    assert trees[0] == trees[1] and '"created_at": "2023-11-14T22:13:20+00:00"' in trees[0][pathlib.Path(
        "public/manifest.json")].decode()
    hint = pathlib.Path("public/pir/client_hint.bin")
    assert trees[0][hint][64:80] != trees[2][hint][64:80]  # the seeds follow the content
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "yesterday")
    with pytest.raises(ValueError, match="SOURCE_DATE_EPOCH must be a whole number of seconds since 1970"):
        publish_synthetic(tmp_path / "d", profiles.RS_EXPERIMENTAL, 3, 4)


@pytest.mark.parametrize("chunks, vectors, options, message", [
    (make_chunks(1001), make_embeddings(1001, 384), {"profile": profiles.RS_SUPPORTED},
     "holds at most 1000 chunks, got 1001; the default profile 'simplepir-balanced-128-v1' holds it"),
    (make_chunks(3), make_embeddings(3, 383), {"profile": profiles.RS_SUPPORTED},
     "requires 384-dimensional embeddings, got 383"),
    ([{"chunk_id": "long", "document_id": "d", "text": "y" * 1000}], make_embeddings(1, 384),
     {"profile": profiles.RS_SUPPORTED}, "hold at most 1020 bytes of chunk record JSON"),
    (make_chunks(2), make_embeddings(2, 384), {"profile": profiles.RS_SUPPORTED, "record_size_bytes": 512},
     "requires 1024-byte records, got record_size_bytes 512"),
    # 1000 chunks with 700 bytes of metadata each push metadata.jsonl past the envelope.
    ([Chunk(f"c{i}", "d", "t", {"note": "n" * 700}) for i in range(1000)], make_embeddings(1000, 384),
     {"profile": profiles.RS_SUPPORTED}, "public cache holds at most 2621440 bytes, this one needs"),
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
    # 1000 records of nearly 2 GiB would need 2 TB of lane data.
    (make_chunks(1000), make_embeddings(1000, 2), {"profile": profiles.RS_EXPERIMENTAL,
     "record_size_bytes": 2**31 - 2}, "lane data needs 2,147,483,646,000 bytes of memory"),
    # Lane data that fits the memory left, but not beside the client hint's sums.
    (make_chunks(2), make_embeddings(2, 2), {"profile": profiles.TOY, "record_size_bytes": 200, "memory": 1000},
     "needs 800 bytes of memory (200 rows of 2 two-byte lanes), and computing its client hint 51,200 more"),
    *[(make_chunks(2), make_embeddings(2, 2), {"profile": profiles.TOY, "server": server},
       "must lie outside the public cache") for server in ("public/state", "public", ".")],
])
def test_refusals_say_what_would_fit_and_write_nothing(tmp_path, monkeypatch, chunks, vectors, options, message):
    options = {"embedding_model": "m", **options}
    if "memory" in options:
        monkeypatch.setattr(publish_module, "available_memory", lambda memory=options.pop("memory"): memory)
    with pytest.raises(ValueError) as error:
        publish(chunks, vectors, tmp_path / "public", tmp_path / options.pop("server", "server"), **options)
    assert message in str(error.value)
    assert list(tmp_path.iterdir()) == []


def test_the_size_envelope_binds_the_supported_profile_only(tmp_path):
    chunks = [Chunk(f"c{i}", "d", "t", {"note": "n" * 700}) for i in range(1000)]
    result = publish(chunks, make_embeddings(1000, 384), tmp_path / "p", tmp_path / "s", embedding_model="m",
                     profile=profiles.RS_EXPERIMENTAL, record_size_bytes=1024)
    assert result.public_cache_bytes > profiles.SUPPORTED_PUBLIC_CACHE_LIMIT


def _manifest_model(public: pathlib.Path) -> str:
    return json.loads((public / "manifest.json").read_text())["embedding_model"]


def test_existing_targets_are_replaced_only_when_asked_and_kept_when_committing_fails(tmp_path, monkeypatch):
    args = (make_chunks(2), make_embeddings(2, 2), tmp_path / "public", tmp_path / "server")
    (tmp_path / "public").mkdir()  # an empty target is fine
    publish(*args, embedding_model="first", profile=profiles.TOY)
    with pytest.raises(ValueError, match="is not empty; replace it with overwrite=True"):
        publish(*args, embedding_model="second", profile=profiles.TOY)
    assert _manifest_model(tmp_path / "public") == "first"

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
    for model in ("first", "second"):
        assert _manifest_model(tmp_path / "public") == model and (tmp_path / "server/server_state.json").is_file()
        assert sorted(p.name for p in tmp_path.iterdir()) == ["public", "server"]
        publish(*args, embedding_model="second", profile=profiles.TOY, overwrite=True)


_KILLED_PUBLISH = """
import os, pathlib, sys
sys.path[:0] = {paths!r}
from support.corpus import publish_synthetic
real_rename, renames = os.rename, [0]

def rename(source, target):
    renames[0] += 1
    if renames[0] == {kill_at}:
        os._exit(9)  # as if killed: no clean-up of any kind
    real_rename(source, target)

os.rename = rename
publish_synthetic(pathlib.Path({root!r}), "simplepir-rs-experimental-v0", 3, 2, seed=1, overwrite=True)
"""


# Renames: the journal into place, then each target away and its staged directory in.
@pytest.mark.parametrize("kill_at, survivor", [(1, 0), (2, 1), (3, 1), (4, 1), (5, 1)])
def test_a_publish_killed_while_committing_leaves_a_consistent_pair(tmp_path, kill_at, survivor):
    publish_synthetic(tmp_path, profiles.RS_EXPERIMENTAL, 3, 2, seed=0)
    script = _KILLED_PUBLISH.format(paths=sys.path, kill_at=kill_at, root=str(tmp_path))
    assert subprocess.run([sys.executable, "-c", script], timeout=60).returncode == 9
    with atomic_dirs.Publication(tmp_path / "public", tmp_path / "server", overwrite=True):
        pass  # what the next publish does first: finish the interrupted one, remove leftovers
    assert sorted(p.name for p in tmp_path.iterdir()) == ["public", "server"]
    survived = Published(make_chunks(3, seed=survivor), make_embeddings(3, 2, seed=survivor), tmp_path / "public",
                         tmp_path / "server")
    assert [(d.chunk_id, d.text) for d in survived.retrieve(1)] == [("c1", survived.chunks[1]["text"])]
