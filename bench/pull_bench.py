"""What pulling a cache from its service costs: a first pull, one killed midway and resumed, and the
updates after the collection grew by 1% and after one document changed.

    .venv/bin/python bench/pull_bench.py [--records 100000] [--out PREFIX]

Three publications of RECORDS one-chunk documents (as in balanced_bench.py: about 800 bytes of
Zipf-distributed words each, the hashing embedder, the default profile), each published in a child
process: the base; the base and 1% more documents after it; the base with one document in the middle
changed (one word replaced). Each is served by `quorvex serve STATE --cache CACHE` on a loopback port.

1. A first pull of the base into an empty folder, in a child process: wall time, bytes on the wire,
   the bytes of the cache, and the child's peak resident memory (VmHWM).
2. A pull killed (SIGKILL) once 40% of the cache's bytes have arrived, then run again: what the
   second run transferred and its time.
3. The folder holding the base is pulled to each of the other two publications: files fetched,
   bytes on the wire and time. For the files that changed, how many of their 1 MiB blocks differ
   from the base's at the same offset: what a transfer of changed blocks would have cost.

Writes PREFIX.md and PREFIX.json (default bench/results/pull). Loopback only; every server stops
when its step ends; everything is written to a temporary folder that is removed.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

from balanced_bench import child

ROOT = pathlib.Path(__file__).resolve().parent.parent
BLOCK = 1 << 20

PUBLISH = textwrap.dedent("""
    import json, pathlib, sys
    from quorvex.embedders.hashing import HashingEmbedder
    from quorvex.publisher.documents import Document
    from quorvex.publisher.publish_documents import publish_documents
    from zipf_texts import zipf_texts
    records, variant, workdir = int(sys.argv[1]), sys.argv[2], pathlib.Path(sys.argv[3])
    texts = zipf_texts(records + (records // 100 if variant == "grown" else 0), seed=records)
    if variant == "edited":
        texts[records // 2] = texts[records // 2].replace(" ", " changed ", 1)
    documents = [Document(f"d{i}", text) for i, text in enumerate(texts)]
    result = publish_documents(documents, workdir / "cache", workdir / "state", embedder=HashingEmbedder())
    print(json.dumps({"publication": result.publication, "chunks": result.record_count}))
""")

PULL = textwrap.dedent("""
    import json, pathlib, sys, time
    from quorvex import pull
    started = time.perf_counter()
    result = pull(sys.argv[1], sys.argv[2], sys.argv[3])
    wall = time.perf_counter() - started
    peak = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith("VmHWM:"))
    print(json.dumps({"wall_s": wall, "transferred_bytes": result.transferred_bytes, "fetched": result.fetched,
                      "kept": result.kept, "peak_bytes": peak}))
""")


class Service:
    """`quorvex serve STATE --cache CACHE` on a free loopback port, for the duration of a block."""

    def __init__(self, workdir: pathlib.Path):
        self.command = [sys.executable, "-m", "quorvex", "serve", str(workdir / "state"), "--cache",
                        str(workdir / "cache"), "--host", "127.0.0.1", "--port", "0"]

    def __enter__(self) -> str:
        self.process = subprocess.Popen(self.command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        return line.split(" at ", 1)[1].split(";", 1)[0].removesuffix("/query")

    def __exit__(self, *exc: object) -> None:
        self.process.terminate()
        self.process.wait(timeout=60)


def cache_bytes(cache: pathlib.Path) -> int:
    return sum(path.stat().st_size for path in cache.rglob("*") if path.is_file())


def differing_blocks(old: pathlib.Path, new: pathlib.Path) -> tuple[int, int]:
    """The 1 MiB blocks of new that differ from old's at the same offset, and new's block count."""
    differing = total = 0
    with open(old, "rb") as a, open(new, "rb") as b:
        while block := b.read(BLOCK):
            total += 1
            differing += a.read(BLOCK) != block
    return differing, total


def killed_and_resumed(url: str, target: pathlib.Path, publication: str, size: int) -> dict:
    process = subprocess.Popen([sys.executable, "-c", PULL, url, str(target), publication],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stage = target.parent / f".{target.name}.pull"
    while process.poll() is None:
        held = sum(path.stat().st_size for path in stage.rglob("*") if path.is_file()) if stage.exists() else 0
        if held >= 0.4 * size:
            process.send_signal(signal.SIGKILL)
            break
        time.sleep(0.005)
    process.wait()
    held = sum(path.stat().st_size for path in stage.rglob("*") if path.is_file())
    return {"killed_at_bytes": held, "resumed": child(PULL, url, str(target), publication)}


def measure(records: int, root: pathlib.Path) -> dict:
    published = {}
    for variant in ("base", "grown", "edited"):
        (root / variant).mkdir()
        published[variant] = child(PUBLISH, str(records), variant, str(root / variant))
        print(f"{variant}: {published[variant]['chunks']:,} chunks", flush=True)
    base = root / "base" / "cache"
    figures: dict = {"records": records, "cache_bytes": cache_bytes(base), "published": published}
    with Service(root / "base") as url:
        figures["first"] = child(PULL, url, str(root / "pulled"), published["base"]["publication"])
        figures["interrupted"] = killed_and_resumed(url, root / "resumed", published["base"]["publication"],
                                                    figures["cache_bytes"])
    figures["updates"] = {}
    for variant in ("grown", "edited"):
        target = root / f"pulled-{variant}"
        shutil.copytree(root / "pulled", target)
        with Service(root / variant) as url:
            update = child(PULL, url, str(target), published[variant]["publication"])
        update["blocks"] = {name: differing_blocks(base / name, root / variant / "cache" / name)
                            for name in update["fetched"]}
        update["cache_bytes"] = cache_bytes(root / variant / "cache")
        figures["updates"][variant] = update
    return figures


def markdown(f: dict) -> str:
    mb = lambda n: f"{n / 1e6:,.1f} MB"  # noqa: E731
    first, resumed = f["first"], f["interrupted"]["resumed"]
    lines = [f"# Pulling a cache of {f['records']:,} chunks", "",
             "| step | time | on the wire | peak memory |", "|---|---:|---:|---:|",
             f"| first pull ({mb(f['cache_bytes'])} of files) | {first['wall_s']:.1f} s | "
             f"{mb(first['transferred_bytes'])} | {mb(first['peak_bytes'])} |",
             f"| pull killed at {mb(f['interrupted']['killed_at_bytes'])}, then run again | {resumed['wall_s']:.1f} s | "
             f"{mb(resumed['transferred_bytes'])} | {mb(resumed['peak_bytes'])} |"]
    for variant, update in f["updates"].items():
        lines.append(f"| update to {variant} | {update['wall_s']:.1f} s | {mb(update['transferred_bytes'])} | "
                     f"{mb(update['peak_bytes'])} |")
    lines += ["", "| update | file fetched | 1 MiB blocks differing at the same offset |", "|---|---|---:|"]
    for variant, update in f["updates"].items():
        for name, (differing, total) in update["blocks"].items():
            lines.append(f"| {variant} | {name} | {differing:,} of {total:,} |")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "bench" / "results" / "pull")
    args = parser.parse_args()
    root = pathlib.Path(tempfile.mkdtemp(prefix="quorvex-pull-bench-"))
    try:
        figures = measure(args.records, root)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    args.out.with_suffix(".json").write_text(json.dumps(figures, indent=1))
    args.out.with_suffix(".md").write_text(markdown(figures))
    print(markdown(figures))
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONUNBUFFERED", "1")
    sys.exit(main())
