"""Benchmarks of the PIR server side: answering batches and publishing large stores.

    .venv/bin/python bench/server_bench.py [--answer-records N ...] [--publish-records N ...]
        [--baseline-python PATH --baseline-records N ...] [--end-to-end N]

1. Answers: a store of N records of 1024 bytes (512 lanes of random values), a batch of 4,
   16 and 64 queries answered in-process (documents in, documents out), on one core and on
   every core, divided by one read pass over the same lane data (numpy's sum of the
   512 x N uint16 array, in the same process).
2. Publishing N one-chunk documents of about 800 bytes with the hashing embedder (experimental
   profile, 1024-byte records): wall time, where it goes (each phase the publisher reports),
   and the peak resident memory of the publishing process against the bytes it wrote.
3. With --baseline-python (the interpreter of an installation of an earlier quorvex), the
   same answer and publish figures for that installation, where it runs at all.
4. --end-to-end N: `quorvex publish`, `quorvex serve` and `quorvex ask` on a store of N
   records, asked with one document's own text: that document must come back as the fetched text.

Writes bench/results/server.md and server.json. Each figure is the median of three runs
(publishing: one run). Best run on a quiet machine.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import random
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))
from support import codec  # noqa: E402 - the tests' payload codec builds query documents

PROFILE = "simplepir-rs-experimental-v0"
RECORD_SIZE = 1024
LANES = RECORD_SIZE // 2
BATCHES = (4, 16, 64)


def median_seconds(work, repeats: int = 3) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        work()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def query_document(length: int, count: int, rng: np.random.Generator) -> bytes:
    queries = [{"protocol_version": 1, "scheme": "simplepir-lwe-v0",
                "payload": codec.encode_payload(codec.encode_vector(
                    b"QVSRQ001", rng.integers(0, 2**64, length, dtype=np.uint64, endpoint=False)))}
               for _ in range(count)]
    return json.dumps({"protocol_version": 1, "scheme": "simplepir-lwe-v0", "retrieval_count": count,
                       "queries": queries}, separators=(",", ":")).encode()


def answer_figures(records: int, workdir: pathlib.Path) -> dict:
    from quorvex._engine import PirEngine

    rng = np.random.default_rng(records)
    lanes = rng.integers(0, 65536, (LANES, records), dtype=np.uint16)
    path = workdir / f"lanes-{records}.bin"
    lanes.tofile(path)
    floor = median_seconds(lambda: lanes.sum())
    engine = PirEngine.open(str(path), PROFILE, records, RECORD_SIZE)
    side = max(records, LANES)
    figures = {"records": records, "lane_bytes": lanes.nbytes, "numpy_sum_s": floor, "batches": []}
    for count in BATCHES:
        document = query_document(side, count, rng)
        for threads in (1, os.cpu_count() or 1):
            seconds = median_seconds(lambda: engine.answer([document], count, threads, 0, 0))
            figures["batches"].append({"queries": count, "threads": threads, "seconds": seconds,
                                       "per_query_s": seconds / count, "ratio_to_sum": seconds / floor})
            print(f"answer {records} records, {count} queries, {threads} threads: {seconds * 1000:.1f} ms "
                  f"({seconds / floor:.2f} x numpy sum {floor * 1000:.1f} ms)", flush=True)
    path.unlink()
    return figures


BASELINE_ANSWER = textwrap.dedent("""
    import json, statistics, sys, time
    import numpy as np
    from quorvex import _codec, profiles
    from quorvex._rs_pir import RsDatabase, RsSetup
    from quorvex.server import PirServer
    records = int(sys.argv[1])
    rng = np.random.default_rng(records)
    data = rng.integers(0, 256, (records, 1024), dtype=np.uint8)
    lanes = rng.integers(0, 65536, (512, records), dtype=np.uint16)
    def median(work):
        times = []
        for _ in range(3):
            started = time.perf_counter(); work(); times.append(time.perf_counter() - started)
        return statistics.median(times)
    floor = median(lambda: lanes.sum())
    database = RsDatabase(RsSetup.new(records, 1024, 1, 2), data)
    server = PirServer(profiles.get_profile(profiles.RS_EXPERIMENTAL), database)
    queries = [{"protocol_version": 1, "scheme": "simplepir-lwe-v0", "payload": _codec.encode_payload(
        _codec.encode_vector(b"QVSRQ001", rng.integers(0, 2**63, database.query_length, dtype=np.uint64)))}
        for _ in range(4)]
    document = json.dumps({"protocol_version": 1, "scheme": "simplepir-lwe-v0", "retrieval_count": 4,
                           "queries": queries}).encode()
    seconds = median(lambda: server.answer(document))
    print(json.dumps({"records": records, "numpy_sum_s": floor, "batches": [
        {"queries": 4, "threads": 1, "seconds": seconds, "per_query_s": seconds / 4, "ratio_to_sum": seconds / floor}]}))
""")


PUBLISH = textwrap.dedent("""
    import json, pathlib, random, sys, time
    try:
        from quorvex.embedders.hashing import HashingEmbedder
        from quorvex.publisher.documents import Document
        from quorvex.publisher.publish_documents import publish_documents
    except ImportError:  # an earlier installation, before the package had a folder per role
        from quorvex.documents import Document
        from quorvex.hashing_embedder import HashingEmbedder
        from quorvex.publish_documents import publish_documents
    records, workdir = int(sys.argv[1]), pathlib.Path(sys.argv[2])
    rng = random.Random(records)
    vocabulary = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(3, 9)))
                  for _ in range(20000)]
    documents = [Document(f"d{i}", " ".join(rng.choice(vocabulary) for _ in range(120))) for i in range(records)]
    phases, marks = {}, {}
    started = time.perf_counter()
    def progress(phase, done=None, total=None):
        if total is None:  # an earlier publisher reports (done, total) while embedding only
            phase, done, total = "embedding chunks", phase, done
        now = time.perf_counter()
        marks.setdefault(phase, now)
        phases[phase] = now - marks[phase]
    result = publish_documents(documents, workdir / "cache", workdir / "state", embedder=HashingEmbedder(),
                               profile="simplepir-rs-experimental-v0", on_progress=progress)
    wall = time.perf_counter() - started
    size = lambda d: sum(p.stat().st_size for p in d.rglob("*") if p.is_file())
    # This process's own peak (VmHWM; ru_maxrss would carry the parent's peak across exec).
    peak = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith("VmHWM:"))
    print(json.dumps({"records": records, "chunks": result.record_count, "wall_s": wall, "phases_s": phases,
                      "peak_rss_bytes": peak,
                      "cache_bytes": size(workdir / "cache"), "state_bytes": size(workdir / "state")}))
""")


def publish_figures(python: str, records: int, workdir: pathlib.Path, keep: bool = False) -> dict | None:
    target = workdir / f"publish-{records}"
    target.mkdir(exist_ok=True)
    run = subprocess.run([python, "-c", PUBLISH, str(records), str(target)], capture_output=True, text=True)
    if run.returncode != 0:
        print(f"publish of {records} records failed: {run.stderr.strip().splitlines()[-1:]}", flush=True)
        return {"records": records, "error": run.stderr.strip().splitlines()[-1] if run.stderr.strip() else "failed"}
    figures = json.loads(run.stdout.strip().splitlines()[-1])
    figures["peak_over_written"] = figures["peak_rss_bytes"] / (figures["cache_bytes"] + figures["state_bytes"])
    print(f"publish {records} records with {python}: {figures['wall_s']:.1f} s, peak "
          f"{figures['peak_rss_bytes'] / 1e9:.2f} GB ({figures['peak_over_written']:.2f} x what it wrote), "
          f"phases {', '.join(f'{k} {v:.1f} s' for k, v in figures['phases_s'].items())}", flush=True)
    if not keep:
        subprocess.run(["rm", "-rf", str(target)], check=True)
    return figures


def end_to_end(records: int, workdir: pathlib.Path) -> dict:
    """quorvex publish, serve and ask on a store of `records` one-chunk documents."""
    quorvex = str(pathlib.Path(sys.executable).with_name("quorvex"))
    rng = random.Random(7)
    documents = workdir / "documents.jsonl"
    target, question = records // 2, ""
    with open(documents, "w", encoding="utf-8") as out:
        for i in range(records):
            text = " ".join(f"w{rng.randrange(50000)}" for _ in range(100))
            if i == target:
                question = text
            out.write(json.dumps({"document_id": f"doc{i}", "text": text}) + "\n")
    started = time.perf_counter()
    subprocess.run([quorvex, "publish", str(documents), "--cache", str(workdir / "e2e-cache"), "--server-state",
                    str(workdir / "e2e-state"), "--profile", PROFILE], check=True, capture_output=True)
    published = time.perf_counter() - started
    server = subprocess.Popen([quorvex, "serve", str(workdir / "e2e-state"), "--port", "0"], stdout=subprocess.PIPE,
                              text=True)
    try:
        line = server.stdout.readline()
        url = line.split(" at ")[1].split(";")[0]
        started = time.perf_counter()
        ask = subprocess.run([quorvex, "ask", str(workdir / "e2e-cache"), question, "--server", url,
                              "--json", "--timeout", "600"], check=True, capture_output=True, text=True)
        asked = time.perf_counter() - started
    finally:
        server.terminate()
        server.wait()
    retrieval = json.loads(ask.stdout)
    # Asked with a document's own text, the best hit is that document; its text must come back whole.
    fetched = retrieval["chunks"][0]
    ok = fetched["chunk_id"] == f"doc{target}#0" and fetched["text"] == question
    print(f"end to end at {records} records: publish {published:.1f} s, ask {asked:.1f} s, "
          f"fetched {fetched['chunk_id']}: {'right chunk' if ok else 'WRONG CHUNK'}", flush=True)
    return {"records": records, "publish_s": published, "ask_s": asked, "fetched": fetched["chunk_id"],
            "right_chunk": ok, "bytes_sent": retrieval["bytes_sent"], "bytes_received": retrieval["bytes_received"]}


def markdown(results: dict) -> str:
    lines = ["# Server benchmarks", "", f"Run {results['started']} on {os.cpu_count()} cores.", "",
             "## Answering a batch in-process (1024-byte records)", "",
             "| code | records | queries | threads | time | per query | numpy sum of the lanes | ratio |",
             "|---|---|---|---|---|---|---|---|"]
    for code, rows in (("quorvex", results["answers"]), ("earlier", results.get("baseline_answers", []))):
        for figures in rows:
            for b in figures["batches"]:
                lines.append(f"| {code} | {figures['records']:,} | {b['queries']} | {b['threads']} | "
                             f"{b['seconds'] * 1000:.1f} ms | {b['per_query_s'] * 1000:.2f} ms | "
                             f"{figures['numpy_sum_s'] * 1000:.1f} ms | {b['ratio_to_sum']:.2f} |")
    lines += ["", "## Publishing (hashing embedder, experimental profile, 1024-byte records)", "",
              "| code | records | wall | peak memory | written (cache + state) | peak / written | phases |",
              "|---|---|---|---|---|---|---|"]
    for code, rows in (("quorvex", results["publishes"]), ("earlier", results.get("baseline_publishes", []))):
        for f in rows:
            if "error" in f:
                lines.append(f"| {code} | {f['records']:,} | refused: {f['error']} | | | | |")
                continue
            written = f["cache_bytes"] + f["state_bytes"]
            phases = "; ".join(f"{k} {v:.1f} s" for k, v in f["phases_s"].items())
            lines.append(f"| {code} | {f['records']:,} | {f['wall_s']:.1f} s | {f['peak_rss_bytes'] / 1e9:.2f} GB | "
                         f"{written / 1e9:.2f} GB | {f['peak_over_written']:.2f} | {phases} |")
    if results.get("end_to_end"):
        e = results["end_to_end"]
        lines += ["", "## End to end through the command line", "",
                  f"{e['records']:,} records: `quorvex publish` {e['publish_s']:.1f} s; `quorvex ask` through "
                  f"`quorvex serve` {e['ask_s']:.1f} s ({e['bytes_sent']:,} bytes sent, {e['bytes_received']:,} "
                  f"received); fetched {e['fetched']}: {'the right chunk' if e['right_chunk'] else 'WRONG'}."]
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--answer-records", type=int, nargs="*", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--publish-records", type=int, nargs="*", default=[100_000, 1_000_000])
    parser.add_argument("--baseline-python")
    # The earlier server held at most 16384 records; 16000 documents make about 16000 chunks.
    parser.add_argument("--baseline-records", type=int, nargs="*", default=[10_000, 16_000])
    parser.add_argument("--end-to-end", type=int, default=0)
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "bench" / "results")
    args = parser.parse_args()
    results: dict = {"started": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}
    with tempfile.TemporaryDirectory(prefix="quorvex-server-bench-", dir=os.environ.get("BENCH_TMP")) as work:
        workdir = pathlib.Path(work)
        results["answers"] = [answer_figures(n, workdir) for n in args.answer_records]
        if args.baseline_python:
            results["baseline_answers"] = []
            for n in args.baseline_records:
                run = subprocess.run([args.baseline_python, "-c", BASELINE_ANSWER, str(n)], capture_output=True,
                                     text=True, check=True)
                results["baseline_answers"].append(json.loads(run.stdout))
                print(f"earlier answer at {n} records: {results['baseline_answers'][-1]}", flush=True)
        results["publishes"] = [publish_figures(sys.executable, n, workdir) for n in args.publish_records]
        if args.baseline_python:
            results["baseline_publishes"] = [publish_figures(args.baseline_python, n, workdir)
                                             for n in args.baseline_records]
        if args.end_to_end:
            results["end_to_end"] = end_to_end(args.end_to_end, workdir)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "server.json").write_text(json.dumps(results, indent=2) + "\n")
    (args.out / "server.md").write_text(markdown(results))
    print(markdown(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
