"""Host-level benchmarks of quorvex against its peers and this machine's floors.

Run through bench/run.sh, which installs everything, builds the native benchmark binary
and passes its path. Every figure is measured `--repeats` times (each repeat a loop long
enough to time, picked by timeit's autorange) and the median is reported. Writes
bench/results/results.md, results.json and search_scaling.png.

Everything runs on one thread: BLAS through threadpoolctl (and the environment that
run.sh sets), FAISS through omp_set_num_threads(1); quorvex's search is single-threaded.
"""

from __future__ import annotations

import argparse
import binascii
import datetime
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import textwrap
import timeit

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

import faiss  # noqa: E402
from threadpoolctl import threadpool_info, threadpool_limits  # noqa: E402

from large_cache import write_large_cache  # noqa: E402
from quorvex import NativeClient  # noqa: E402
from quorvex.publisher.publish import publish  # noqa: E402
from quorvex.server.pir_server import PirServer  # noqa: E402

DIMENSIONS = 384
MODEL = "bench-random-384"
KEYSTREAM = "BM_OpenSslChaCha20Keystream/512000"
SHA = "BM_Sha256OpenedBytes"


# ---------------------------------------------------------------- measuring

def median_seconds(call, repeats: int) -> float:
    """Median time of one call over `repeats` timed loops."""
    timer = timeit.Timer(call)
    number, _ = timer.autorange()
    return statistics.median(timer.timeit(number) / number for _ in range(repeats))


def native_medians(binary: pathlib.Path, cache: pathlib.Path, repeats: int, out: pathlib.Path) -> dict:
    """Median real time (seconds) and byte rate of every native benchmark."""
    env = dict(os.environ, QUORVEX_BENCH_CACHE=str(cache))
    subprocess.run([str(binary), f"--benchmark_repetitions={repeats}", "--benchmark_report_aggregates_only=true",
                    "--benchmark_format=json", f"--benchmark_out={out}", "--benchmark_out_format=json"],
                   env=env, check=True, stdout=subprocess.DEVNULL)
    units = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    medians = {}
    for entry in json.loads(out.read_text())["benchmarks"]:
        if entry.get("aggregate_name") != "median":
            continue
        medians[entry["run_name"]] = {"seconds": entry["real_time"] * units[entry["time_unit"]],
                                      "bytes_per_second": entry.get("bytes_per_second")}
    return medians


# ---------------------------------------------------------------- data

def random_vectors(rows: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal((rows, DIMENSIONS), dtype=np.float32)


def supported_cache(data: pathlib.Path) -> tuple[pathlib.Path, pathlib.Path, np.ndarray]:
    """A full-size supported cache: 1000 chunks of about 900 bytes of text."""
    cache, state = data / "supported", data / "supported-state"
    vectors = random_vectors(1000, 1)
    if not (cache / "manifest.json").exists() or not (state / "server_state.json").exists():
        rng = np.random.default_rng(2)
        words = ["".join(chr(97 + c) for c in rng.integers(0, 26, rng.integers(2, 9))) for _ in range(4000)]
        chunks = []
        for i in range(1000):
            text = ""
            while len(text) < 880:
                text += words[rng.integers(0, len(words))] + " "
            chunks.append({"chunk_id": f"c{i}", "document_id": f"doc{i // 4}",
                           "text": text.strip(), "metadata": {"n": i}})
        publish(chunks, vectors, cache, state, embedding_model=MODEL, overwrite=True)
    return cache, state, vectors


def large_cache(data: pathlib.Path, rows: int) -> tuple[pathlib.Path, np.ndarray]:
    cache = data / f"rows-{rows}"
    vectors = random_vectors(rows, rows)
    if not (cache / "manifest.json").exists():
        print(f"  writing a {rows} x {DIMENSIONS} experimental cache", flush=True)
        write_large_cache(cache, vectors, MODEL)
    return cache, vectors


def memory_allows(rows: int) -> bool:
    """Room for the cache being built, the opened client, numpy's and FAISS's copies."""
    available = 0
    for line in pathlib.Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemAvailable:"):
            available = int(line.split()[1]) * 1024
    return available > rows * DIMENSIONS * 4 * 8


# ---------------------------------------------------------------- checks

def row_of(hit) -> int:
    """The row of a hit: every benchmark cache names row i's chunk "c{i}"."""
    return int(hit.chunk_id[1:])


def reference_scores(vectors: np.ndarray, query: np.ndarray, rows: np.ndarray) -> np.ndarray:
    """Cosine scores of the given rows in float32, every product and sum rounded, sums in order."""
    r = vectors[rows]
    q = query.astype(np.float32)
    dot = np.zeros(len(rows), np.float32)
    rr = np.zeros(len(rows), np.float32)
    qq = np.float32(0)
    for j in range(q.shape[0]):
        dot = dot + r[:, j] * q[j]
        rr = rr + r[:, j] * r[:, j]
        qq = np.float32(qq + np.float32(q[j] * q[j]))
    with np.errstate(invalid="ignore", divide="ignore"):
        scores = dot / (np.sqrt(qq) * np.sqrt(rr))
    return np.where((qq == 0) | (rr == 0), np.float32(0), scores).astype(np.float32)


def check_bit_identity(client, vectors: np.ndarray, query: np.ndarray, sample: int = 512) -> dict:
    """quorvex's scores of a random sample of rows (and of its hits) against the reference, bit for bit."""
    hits = client.search(query.tolist(), vectors.shape[0])
    scores = np.empty(vectors.shape[0], np.float32)
    for hit in hits:
        scores[row_of(hit)] = hit.score
    rows = np.unique(np.concatenate([np.random.default_rng(4).choice(vectors.shape[0], sample, replace=False),
                                     [row_of(hit) for hit in hits[:10]]]))
    expected = reference_scores(vectors, query, rows)
    same = int(np.sum(scores[rows].view(np.uint32) == expected.view(np.uint32)))
    return {"rows_checked": int(len(rows)), "bit_identical": same}


# ---------------------------------------------------------------- figures

def search_figures(client, vectors: np.ndarray, top_k: int, repeats: int) -> dict:
    query = random_vectors(1, 99)[0]
    qlist = query.tolist()
    normalised = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)

    def numpy_search():
        scores = normalised @ query
        best = np.argpartition(scores, -top_k)[-top_k:]
        return best[np.argsort(-scores[best])]

    index = faiss.IndexFlatIP(DIMENSIONS)
    index.add(normalised)
    expected = set(numpy_search().tolist())
    found = {row_of(hit) for hit in client.search(qlist, top_k)}
    figures = {
        "quorvex": median_seconds(lambda: client.search(qlist, top_k), repeats),
        "numpy": median_seconds(numpy_search, repeats),
        "faiss": median_seconds(lambda: index.search(query[None, :], top_k), repeats),
        "same_hits_as_numpy": found == expected,
    }
    del index, normalised
    return figures


def memory_figures(supported: pathlib.Path, state: pathlib.Path, big: pathlib.Path | None) -> dict:
    """Resident memory of opened clients and the peak added by one retrieval, in a fresh process."""
    script = textwrap.dedent("""
        import ctypes, json, pathlib, sys
        from quorvex import NativeClient
        from quorvex.server.pir_server import PirServer

        class MallInfo2(ctypes.Structure):
            _fields_ = [(name, ctypes.c_size_t) for name in (
                "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                "keepcost")]

        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = MallInfo2

        def heap_in_use():
            info = libc.mallinfo2()
            return info.uordblks + info.hblkhd

        def status(key):
            for line in pathlib.Path("/proc/self/status").read_text().splitlines():
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024

        def index_bytes(cache):
            return sum(f.stat().st_size for f in (pathlib.Path(cache) / "index").iterdir())

        out = {}
        caches = json.loads(sys.argv[1])
        # One opening first, so that code pages and one-time library set-up are not counted.
        del_me = NativeClient.open_public_cache(caches["supported"])
        del del_me
        for name, cache in caches.items():
            before, heap_before = status("VmRSS"), heap_in_use()
            client = NativeClient.open_public_cache(str(cache))
            out[name] = {"rss_added": status("VmRSS") - before, "heap_added": heap_in_use() - heap_before,
                         "index_bytes": index_bytes(cache),
                         "client_hint_bytes": (pathlib.Path(cache) / "pir" / "client_hint.bin").stat().st_size}
            if name == "supported":
                server = PirServer.load(sys.argv[2])
                query = [0.5] * 384
                prepared = client.prepare_retrieval_query(query, 2, 4)
                response = server.answer(prepared.query_json)
                for _ in range(3):
                    client.prepare_retrieval_query(query, 2, 4)
                    client.decode_retrieval_response(prepared, response)
                prepared = client.prepare_retrieval_query(query, 2, 4)
                response = server.answer(prepared.query_json)
                pathlib.Path("/proc/self/clear_refs").write_text("5")
                base = status("VmRSS")
                client.prepare_retrieval_query(query, 2, 4)
                client.decode_retrieval_response(prepared, response)
                out[name]["retrieval_peak_added"] = status("VmHWM") - base
                heap_before = heap_in_use()
                held = client.prepare_retrieval_query(query, 2, 4)
                out[name]["prepared_heap"] = heap_in_use() - heap_before
                del held
                out[name]["query_document_bytes"] = len(prepared.query_json)
                out[name]["response_document_bytes"] = len(response)
            del client
        print(json.dumps(out))
    """)
    caches = {"supported": str(supported)}
    if big is not None:
        caches[big.name] = str(big)
    result = subprocess.run([sys.executable, "-c", script, json.dumps(caches), str(state)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"memory measurement failed:\n{result.stderr}")
    return json.loads(result.stdout)


# ---------------------------------------------------------------- report

def fmt_time(seconds: float) -> str:
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_rate(bytes_per_second: float) -> str:
    return f"{bytes_per_second / 1e9:.2f} GB/s"


def row(number, figure, quorvex, baseline, ratio, target, met) -> str:
    return f"| {number} | {figure} | {quorvex} | {baseline} | {ratio:.2f} | {target} | {'met' if met else 'NOT met'} |"


def load_average() -> str:
    return " ".join(pathlib.Path("/proc/loadavg").read_text().split()[:3])


def cpu_model() -> str:
    for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor()


def plot(scaling: dict, path: pathlib.Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = sorted(scaling)
    fig, ax = plt.subplots(figsize=(6.4, 4.4))
    for key, label, marker in (("quorvex", "quorvex NativeClient.search", "o"),
                               ("numpy", "numpy X @ q + argpartition", "s"),
                               ("faiss", "FAISS IndexFlatIP", "^")):
        ax.plot(rows, [scaling[n][key] * 1e3 for n in rows], marker=marker, label=label)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("rows (384 dimensions)")
    ax.set_ylabel("median time per search, top 10 (ms)")
    ax.set_title("Exact search, one thread, this machine")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=120)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native-bench", type=pathlib.Path, required=True)
    parser.add_argument("--data", type=pathlib.Path, default=ROOT / "build" / "bench" / "data")
    parser.add_argument("--results", type=pathlib.Path, default=ROOT / "bench" / "results")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--rows", type=int, nargs="*", default=[10000, 100000, 1000000],
                        help="row counts of the experimental caches searched (1000000 only if memory allows)")
    args = parser.parse_args()
    args.data.mkdir(parents=True, exist_ok=True)
    args.results.mkdir(parents=True, exist_ok=True)
    faiss.omp_set_num_threads(1)
    load_before = load_average()
    started = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")

    print("preparing caches", flush=True)
    cache, state, vectors = supported_cache(args.data)
    rows_list = [n for n in args.rows if n <= 100000 or memory_allows(n)]
    skipped_rows = sorted(set(args.rows) - set(rows_list))

    with threadpool_limits(limits=1):
        blas = [{k: info.get(k) for k in ("internal_api", "version", "architecture", "num_threads")}
                for info in threadpool_info()]
        print("native benchmarks", flush=True)
        native = native_medians(args.native_bench, cache, args.repeats, args.data / "native.json")

        print("supported cache: search, prepare, decode, open", flush=True)
        client = NativeClient.open_public_cache(str(cache))
        server = PirServer.load(state)
        query = random_vectors(1, 99)[0].tolist()
        supported_search = search_figures(client, vectors, 2, args.repeats)
        scaling = {1000: search_figures(client, vectors, 10, args.repeats)}
        prepare = median_seconds(lambda: client.prepare_retrieval_query(query, 2, 4), args.repeats)
        prepared = client.prepare_retrieval_query(query, 2, 4)
        response = server.answer(prepared.query_json)
        decode = median_seconds(lambda: client.decode_retrieval_response(prepared, response), args.repeats)
        open_time = median_seconds(lambda: NativeClient.open_public_cache(str(cache)), args.repeats)

        payload = np.random.default_rng(8).integers(0, 256, 1 << 20, dtype=np.uint8).tobytes()
        text = binascii.b2a_base64(payload, newline=False)
        b64_encode = len(payload) / median_seconds(lambda: binascii.b2a_base64(payload, newline=False), args.repeats)
        b64_decode = len(payload) / median_seconds(lambda: binascii.a2b_base64(text), args.repeats)

        identity = {}
        for rows in rows_list:
            print(f"search at {rows} rows", flush=True)
            big, big_vectors = large_cache(args.data, rows)
            big_client = NativeClient.open_public_cache(str(big))
            scaling[rows] = search_figures(big_client, big_vectors, 10, args.repeats)
            identity[rows] = check_bit_identity(big_client, big_vectors, random_vectors(1, 99)[0])
            del big_client, big_vectors

    print("memory", flush=True)
    memory = memory_figures(cache, state, args.data / "rows-100000" if 100000 in rows_list else None)
    load_after = load_average()

    keystream = native[KEYSTREAM]["seconds"]
    sha = native[SHA]["seconds"]
    encode_rate = native["BM_PayloadEncode/1048576"]["bytes_per_second"]
    decode_rate = native["BM_PayloadDecode/1048576"]["bytes_per_second"]
    lines = [
        "| # | figure | quorvex | baseline | ratio | target | status |",
        "|---|---|---|---|---|---|---|",
        row(1, "search 1000 x 384, top 2, vs numpy (with Python call)", fmt_time(supported_search["quorvex"]),
            fmt_time(supported_search["numpy"]), supported_search["quorvex"] / supported_search["numpy"], "≤ 1.0",
            supported_search["quorvex"] <= supported_search["numpy"]),
    ]
    for rows in rows_list:
        s = scaling[rows]
        for peer in ("numpy", "faiss"):
            lines.append(row(2, f"search {rows} x 384, top 10, vs {peer} (1 thread)", fmt_time(s["quorvex"]),
                             fmt_time(s[peer]), s["quorvex"] / s[peer], "≤ 1.25", s["quorvex"] <= 1.25 * s[peer]))
    lines += [
        row(3, "prepare retrieval (supported, 2 of 4) vs OpenSSL keystream 512000 B", fmt_time(prepare),
            fmt_time(keystream), prepare / keystream, "≤ 2.5", prepare <= 2.5 * keystream),
        row(4, "decode retrieval response vs prepare", fmt_time(decode), fmt_time(prepare), decode / prepare, "≤ 0.5",
            decode <= 0.5 * prepare),
        row(5, "open supported cache vs SHA-256 of the bytes it hashes", fmt_time(open_time), fmt_time(sha),
            open_time / sha, "≤ 1.5", open_time <= 1.5 * sha),
        row(6, "payload encode 1 MiB vs binascii base64 (throughput)", fmt_rate(encode_rate), fmt_rate(b64_encode),
            encode_rate / b64_encode, "≥ 0.8", encode_rate >= 0.8 * b64_encode),
        row(6, "payload decode 1 MiB vs binascii base64 (throughput)", fmt_rate(decode_rate), fmt_rate(b64_decode),
            decode_rate / b64_decode, "≥ 0.8", decode_rate >= 0.8 * b64_decode),
    ]
    for name, m in memory.items():
        lines.append(row(7, f"resident memory added by opening a client ({name}) vs its index files",
                         f"{m['rss_added'] / 1e6:.2f} MB", f"{m['index_bytes'] / 1e6:.2f} MB",
                         m["rss_added"] / m["index_bytes"], "≤ 1.3", m["rss_added"] <= 1.3 * m["index_bytes"]))
        lines.append(row(7, f"heap held by that client ({name}) vs its index files",
                         f"{m['heap_added'] / 1e6:.2f} MB", f"{m['index_bytes'] / 1e6:.2f} MB",
                         m["heap_added"] / m["index_bytes"], "≤ 1.3", m["heap_added"] <= 1.3 * m["index_bytes"]))
        lines.append(row(7, f"heap held by that client ({name}) vs its index files + client hint",
                         f"{m['heap_added'] / 1e6:.2f} MB", f"{(m['index_bytes'] + m['client_hint_bytes']) / 1e6:.2f} MB",
                         m["heap_added"] / (m["index_bytes"] + m["client_hint_bytes"]), "(≤ 1.3)",
                         m["heap_added"] <= 1.3 * (m["index_bytes"] + m["client_hint_bytes"])))
    m = memory["supported"]
    lines.append(row(7, "heap held by a prepared retrieval vs its query document", f"{m['prepared_heap'] / 1e3:.0f} kB",
                     f"{m['query_document_bytes'] / 1e3:.0f} kB", m["prepared_heap"] / m["query_document_bytes"],
                     "a few times", m["prepared_heap"] <= 4 * m["query_document_bytes"]))
    lines.append(row(7, "peak resident memory added by prepare + decode vs query document", f"{m['retrieval_peak_added'] / 1e3:.0f} kB",
                     f"{m['query_document_bytes'] / 1e3:.0f} kB", m["retrieval_peak_added"] / m["query_document_bytes"],
                     "a few times", m["retrieval_peak_added"] <= 4 * m["query_document_bytes"]))

    checks = [f"- search at {rows} rows: {c['bit_identical']} of {c['rows_checked']} sampled scores bit-identical to the "
              "float32 sequential reference" for rows, c in identity.items()]
    checks += [f"- search at {rows} rows: same top 10 as numpy: {scaling[rows]['same_hits_as_numpy']}" for rows in scaling]
    checks.append(f"- search at 1000 rows, top 2: same hits as numpy: {supported_search['same_hits_as_numpy']}")
    if skipped_rows:
        checks.append(f"- skipped for lack of memory: {skipped_rows} rows")
    internals = ["| native benchmark | median | rate |", "|---|---|---|"]
    for name, entry in native.items():
        rate = fmt_rate(entry["bytes_per_second"]) if entry.get("bytes_per_second") else ""
        internals.append(f"| {name} | {fmt_time(entry['seconds'])} | {rate} |")
    scaling_table = ["| rows | quorvex | numpy | FAISS |", "|---|---|---|---|"]
    for rows in sorted(scaling):
        s = scaling[rows]
        scaling_table.append(f"| {rows} | {fmt_time(s['quorvex'])} | {fmt_time(s['numpy'])} | {fmt_time(s['faiss'])} |")

    report = "\n".join([
        "# quorvex benchmarks",
        "",
        f"Run {started} on {cpu_model()} ({os.cpu_count()} cores), Python {platform.python_version()}, "
        f"numpy {np.__version__}, FAISS {faiss.__version__}; medians of {args.repeats} repeats. "
        f"Load average before {load_before}, after {load_after}.",
        f"BLAS: {json.dumps(blas)}",
        "",
        "Ratios are quorvex / baseline in the same run (throughput ratios: quorvex / baseline rate).",
        "",
        *lines,
        "",
        "Checks:",
        *checks,
        "",
        "Search time against row count (top 10, one thread; plot: search_scaling.png):",
        "",
        *scaling_table,
        "",
        "Native internals (Google Benchmark, medians):",
        "",
        *internals,
        "",
    ])
    (args.results / "results.md").write_text(report)
    (args.results / "results.json").write_text(json.dumps({
        "started": started, "load_before": load_before, "load_after": load_after, "blas": blas,
        "native": native, "supported_search": supported_search, "scaling": {str(k): v for k, v in scaling.items()},
        "prepare": prepare, "decode": decode, "open": open_time, "base64_encode": b64_encode,
        "base64_decode": b64_decode, "identity": {str(k): v for k, v in identity.items()}, "memory": memory,
    }, indent=2, default=str))
    plot(scaling, args.results / "search_scaling.png")
    print(report)


if __name__ == "__main__":
    main()
