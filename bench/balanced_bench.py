"""The balanced profile against the experimental one on the same stores: publishing, the client's
work per retrieval, the bytes on the wire, the hint, the server's batch and a retrieval end to end.

    .venv/bin/python bench/balanced_bench.py [--records 100000 1000000] [--profiles ...] [--out PREFIX]

For each record count N (N one-chunk documents of about 800 bytes of text in records of 1024
bytes: 120 words drawn from a vocabulary of 20,000 by Zipf's law, as words of real text are, so
that the lexical index holds long postings for the frequent ones; embedded with the hashing
embedder) and each profile:

1. Publish, in a child process: wall time, and the peak resident memory of that process (VmHWM)
   against the bytes it wrote; the size of the lexical index where the profile writes one.
2. In a child process that starts `quorvex serve` on a loopback port: open the cache, then five
   retrievals, each asked with one document's own text: the CPU time of preparing the query
   (NativeClient.prepare_retrieval_query, which includes the local search) and of the search
   alone, the CPU time of the hybrid search (cosine and BM25 fused) asked with the whole text
   and with its first eight words, the query document's bytes, the response's bytes on the wire (gzip, as HttpTransport
   asks) and uncompressed, the round trip's wall time, the CPU time of decoding
   (decode_checked_retrieval), and whether the asked document came back.
3. In this process: one query document of four queries answered by the server engine (one
   thread), median of three, against one read pass over the store's lane data (numpy's sum of the
   memory-mapped lanes, one thread).

Writes PREFIX.md and PREFIX.json (default bench/results/balanced). Loopback only; every server
stops when its run ends; the stores are written to a temporary folder and removed.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import textwrap

import numpy as np

from server_bench import median_seconds

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROFILES = ("simplepir-balanced-128-v1", "simplepir-rs-experimental-v0")
QUESTIONS = 5

PUBLISH = textwrap.dedent("""
    import json, pathlib, sys, time
    from quorvex.embedders.hashing import HashingEmbedder
    from quorvex.publisher.documents import Document
    from quorvex.publisher.publish_documents import publish_documents
    from zipf_texts import zipf_texts
    records, profile, workdir = int(sys.argv[1]), sys.argv[2], pathlib.Path(sys.argv[3])
    documents = [Document(f"d{i}", text) for i, text in enumerate(zipf_texts(records, seed=records))]
    (workdir / "questions.json").write_text(json.dumps(
        [[d.document_id, d.text] for d in documents[::max(1, records // 5)][:5]]))
    phases, marks = {}, {}
    def progress(phase, done, total):
        now = time.perf_counter()
        marks.setdefault(phase, now)
        phases[phase] = now - marks[phase]
    started = time.perf_counter()
    result = publish_documents(documents, workdir / "cache", workdir / "state", embedder=HashingEmbedder(),
                               profile=profile, on_progress=progress)
    wall = time.perf_counter() - started
    size = lambda d: sum(p.stat().st_size for p in d.rglob("*") if p.is_file())
    # This process's own peak (VmHWM; ru_maxrss would carry the parent's peak across exec).
    peak = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith("VmHWM:"))
    print(json.dumps({"wall_s": wall, "peak_bytes": peak, "written_bytes": size(workdir / "cache") + size(workdir / "state"),
                      "hint_bytes": (workdir / "cache/pir/client_hint.bin").stat().st_size, "phases_s": phases,
                      "lexical_bytes": sum(p.stat().st_size for p in (workdir / "cache/index").glob("lexical.bin")),
                      "chunks": result.record_count}))
""")

RETRIEVE = textwrap.dedent("""
    import gzip, http.client, json, pathlib, subprocess, sys, time, urllib.parse
    from quorvex import NativeClient
    from quorvex.embedders.hashing import HashingEmbedder
    workdir = pathlib.Path(sys.argv[1])
    server = subprocess.Popen([sys.executable, "-m", "quorvex", "serve", str(workdir / "state"), "--port", "0"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        line = server.stdout.readline()
        url = urllib.parse.urlsplit(line.split(" at ", 1)[1].split(";", 1)[0])
        started = time.perf_counter()
        client = NativeClient.open_public_cache(str(workdir / "cache"))
        opened = time.perf_counter() - started
        embedder, rows = HashingEmbedder(), []
        connection = http.client.HTTPConnection(url.hostname, url.port, timeout=300)
        for document_id, text in json.loads((workdir / "questions.json").read_text()):
            vector = embedder.embed_one(text).tolist()
            cpu = time.process_time()
            client.search(vector, 2)
            search_cpu = time.process_time() - cpu
            hybrid_cpu = []
            for question in (text, " ".join(text.split()[:8])):
                cpu = time.process_time()
                client.hybrid_search(vector, question, 2)
                hybrid_cpu.append(time.process_time() - cpu)
            cpu = time.process_time()
            prepared = client.prepare_retrieval_query(vector, 2, 4)
            prepare_cpu = time.process_time() - cpu
            query = prepared.query_json
            started = time.perf_counter()
            connection.request("POST", url.path, body=query, headers={"Accept-Encoding": "gzip",
                                                                      "Quorvex-Publication": client.publication})
            wire = connection.getresponse().read()
            round_trip = time.perf_counter() - started
            response = gzip.decompress(wire)
            cpu = time.process_time()
            chunks = client.decode_checked_retrieval(prepared, response)
            decode_cpu = time.process_time() - cpu
            rows.append({"prepare_cpu_s": prepare_cpu, "search_cpu_s": search_cpu, "hybrid_cpu_s": hybrid_cpu[0], "hybrid_short_cpu_s": hybrid_cpu[1],
                         "decode_cpu_s": decode_cpu,
                         "up_bytes": len(query), "down_wire_bytes": len(wire), "down_bytes": len(response),
                         "round_trip_s": round_trip, "found": chunks[0].document_id == document_id})
        (workdir / "query.json").write_bytes(query)
        print(json.dumps({"open_s": opened, "retrievals": rows}))
    finally:
        server.terminate()
        server.wait(timeout=60)
""")


def child(script: str, *args: str) -> dict:
    """Runs the script in a child process (which imports the bench folder's modules too); its last line of output
    is JSON."""
    env = {**os.environ, "PYTHONPATH": str(pathlib.Path(__file__).resolve().parent)}
    run = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=7200, env=env)
    if run.returncode != 0:
        raise RuntimeError(run.stderr.strip()[-2000:])
    return json.loads(run.stdout.strip().splitlines()[-1])


def server_figures(workdir: pathlib.Path) -> dict:
    from quorvex.server.pir_server import PirServer

    server = PirServer.load(workdir / "state")
    query = (workdir / "query.json").read_bytes()
    batch = median_seconds(lambda: server.answer_batch([query]))
    lanes = np.memmap(workdir / "state/lanes.bin", dtype="<u2", mode="r")
    read_pass = median_seconds(lambda: int(lanes.sum(dtype=np.uint64)))
    return {"batch_of_4_s": batch, "read_pass_s": read_pass, "ratio": batch / read_pass}


def measure(records: int, profile: str, root: pathlib.Path) -> dict:
    workdir = root / f"{profile}-{records}"
    workdir.mkdir()
    figures = {"records": records, "profile": profile, "publish": child(PUBLISH, str(records), profile, str(workdir))}
    print(f"{profile} {records:,}: published in {figures['publish']['wall_s']:.1f} s", flush=True)
    figures["client"] = child(RETRIEVE, str(workdir))
    figures["server"] = server_figures(workdir)
    subprocess.run(["rm", "-rf", str(workdir)], check=True)
    print(json.dumps(figures), flush=True)
    return figures


def markdown(results: list[dict]) -> str:
    def median(rows, key):
        return statistics.median(row[key] for row in rows)

    lines = ["| store | profile | publish | peak / written | hint | lexical index | prepare CPU (search) | "
             "hybrid search CPU: text / 8 words | decode CPU | up | down on the wire (uncompressed) | round trip | "
             "batch of 4 / read pass | found |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in results:
        p, c, s = r["publish"], r["client"]["retrievals"], r["server"]
        lines.append(
            f"| {r['records']:,} x 1024 B | {r['profile']} | {p['wall_s']:.0f} s | "
            f"{p['peak_bytes'] / 2**30:.2f} GiB / {p['written_bytes'] / 2**30:.2f} GiB = "
            f"{p['peak_bytes'] / p['written_bytes']:.2f} | {p['hint_bytes'] / 2**20:.1f} MiB | "
            f"{p.get('lexical_bytes', 0) / 2**20:.1f} MiB | "
            f"{median(c, 'prepare_cpu_s') * 1e3:.0f} ms ({median(c, 'search_cpu_s') * 1e3:.0f} ms) | "
            f"{median(c, 'hybrid_cpu_s') * 1e3:.0f} / {median(c, 'hybrid_short_cpu_s') * 1e3:.0f} ms | "
            f"{median(c, 'decode_cpu_s') * 1e3:.1f} ms | {median(c, 'up_bytes') / 1e3:,.0f} kB | "
            f"{median(c, 'down_wire_bytes') / 1e3:,.0f} kB ({median(c, 'down_bytes') / 1e3:,.0f} kB) | "
            f"{median(c, 'round_trip_s') * 1e3:.0f} ms | {s['batch_of_4_s'] * 1e3:.0f} / {s['read_pass_s'] * 1e3:.0f} ms "
            f"= {s['ratio']:.2f} | {sum(row['found'] for row in c)}/{len(c)} |")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, nargs="*", default=[100_000, 1_000_000])
    parser.add_argument("--profiles", nargs="*", default=list(PROFILES))
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "bench/results/balanced")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quorvex-bench-") as root:
        results = [measure(n, profile, pathlib.Path(root)) for n in args.records for profile in args.profiles]
    args.out.with_suffix(".json").write_text(json.dumps(results, indent=2) + "\n")
    args.out.with_suffix(".md").write_text(markdown(results))
    print(markdown(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
