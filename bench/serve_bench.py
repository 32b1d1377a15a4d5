"""Load and abuse harness for `quorvex serve`, on loopback only; every phase stops by itself.

    .venv/bin/python bench/serve_bench.py                   # the demo's store, published in a temporary folder
    .venv/bin/python bench/serve_bench.py --cache C --server-state S --clients 8,64,256 --duration 10 \\
        --serve-args "--workers 2 --max-batch 64"

It starts `quorvex serve` as its own process, checks a set of query documents end to end (each
response decodes to the hits of its query), then:

- load: for each client count, that many concurrent clients (threads in two generator processes,
  each client with its own HttpTransport and so its own kept-alive connection) send those
  documents for --duration seconds. A retrieval succeeds when its response is byte for byte the
  checked one (a 503 retried by the transport counts only if the retry then succeeds). Reported:
  throughput, p50/p99 latency of the round trip, failures, the transport's busy retries, the
  server's CPU time per retrieval and its resident memory before, at peak and after.
- abuse: while one normal client keeps retrieving, each abuse case in turn (oversized bodies,
  slow senders, garbage, lying lengths, a large body of valid JSON, thousands of idle
  connections); reported are the server's answers, how long each took against its deadline, the
  server's peak memory and the normal client's latency during the case.

Writes bench/results/serve.md and serve.json. Query preparation and decoding are client work and
are not timed: the load measures the server.
"""

from __future__ import annotations

import argparse
import collections
import concurrent.futures
import contextlib
import itertools
import json
import multiprocessing
import os
import pathlib
import platform
import resource
import selectors
import shlex
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # before numpy: the engine timing below, like the server

import numpy as np

from quorvex import NativeClient
from quorvex.client import http_transport
from quorvex.client.cache_info import CacheInfo
from quorvex.client.http_transport import HttpTransport

RESULTS = pathlib.Path(__file__).resolve().parent / "results"
GENERATOR_PROCESSES = 2
DOCUMENTS = 32  # distinct query documents, checked end to end, that the clients send in turn
MIN_CASE_SECONDS = 3.0  # each abuse case goes on at least this long (MAX_ROUNDS rounds at most)
MAX_ROUNDS = 200
PAGE = os.sysconf("SC_PAGE_SIZE")
TICKS = os.sysconf("SC_CLK_TCK")


# --- the server process -----------------------------------------------------------------

def server_pids(pid: int) -> list[int]:
    try:
        children = pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
    except OSError:
        children = []
    return [pid, *map(int, children)]


def rss_bytes(pid: int) -> int:
    total = 0
    for p in server_pids(pid):
        with contextlib.suppress(OSError):
            total += int(pathlib.Path(f"/proc/{p}/statm").read_text().split()[1]) * PAGE
    return total


def cpu_seconds(pid: int) -> float:
    total = 0
    for p in server_pids(pid):
        with contextlib.suppress(OSError):
            fields = pathlib.Path(f"/proc/{p}/stat").read_text().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime
    return total / TICKS


class MemorySampler(threading.Thread):
    """The server's resident memory every 20 ms, for peaks over time windows."""

    def __init__(self, pid: int):
        super().__init__(daemon=True)
        self.pid, self.samples, self.stopped = pid, [], threading.Event()

    def run(self) -> None:
        while not self.stopped.wait(0.02):
            self.samples.append((time.monotonic(), rss_bytes(self.pid)))

    def peak(self, start: float, end: float) -> int:
        return max((rss for t, rss in self.samples if start <= t <= end), default=rss_bytes(self.pid))


def start_server(state: pathlib.Path, serve_args: list[str]) -> tuple[subprocess.Popen, str, str]:
    # One BLAS thread, as server.py advises for a machine whose cores have other work: here the
    # load generator's. Extra BLAS threads spin and took 0.6 ms of CPU per retrieval.
    environment = {**os.environ, "OPENBLAS_NUM_THREADS": "1"}
    process = subprocess.Popen([sys.executable, "-m", "quorvex", "serve", str(state), "--port", "0", *serve_args],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=environment)
    banner = process.stdout.readline()
    if " at http://" not in banner:
        process.kill()
        raise SystemExit(f"quorvex serve did not start: {banner}{process.stderr.read()}")
    limits = process.stdout.readline().strip()
    return process, banner.split(" at ", 1)[1].split(";", 1)[0], limits


# --- the clients ----------------------------------------------------------------------------

def checked_documents(cache: pathlib.Path, url: str, count: int, seed: int = 7) -> list[tuple[bytes, bytes]]:
    """Query documents for random vectors, each with the response that decodes to its hits."""
    client = NativeClient.open_public_cache(str(cache))
    dimensions = CacheInfo.read(cache).embedding_dimensions
    rng = np.random.default_rng(seed)
    transport = HttpTransport(url, timeout=60)
    pairs = []
    for _ in range(count):
        vector = rng.standard_normal(dimensions).astype(np.float32).tolist()
        prepared = client.prepare_retrieval_query(vector, 2, 4)
        document = prepared.query_json
        response = transport(document)
        decoded = client.decode_retrieval_response(prepared, response)
        if [c.chunk_id for c in decoded] != [h.chunk_id for h in client.search(vector, 2)]:
            raise SystemExit("a response did not decode to the hits of its query: wrong server state?")
        pairs.append((bytes(document), bytes(response)))
    return pairs


def client_process(url, pairs, threads, stop_at, stop_event, out) -> None:
    """`threads` clients retrieving in turn until stop_at (or stop_event); sends their records to out."""
    retries = itertools.count()
    pause = http_transport.sleep

    def counted_pause(seconds):
        next(retries)
        pause(seconds)

    http_transport.sleep = counted_pause
    records = []  # (start, seconds, ok)

    def run(k: int) -> None:
        transport = HttpTransport(url, timeout=60)
        for document, expected in itertools.islice(itertools.cycle(pairs), k, None):
            if time.monotonic() >= stop_at or stop_event.is_set():
                return
            started = time.monotonic()
            try:
                ok = transport(document) == expected
            except OSError:
                ok = False
            records.append((started, time.monotonic() - started, ok))

    workers = [threading.Thread(target=run, args=(k,)) for k in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    usage = resource.getrusage(resource.RUSAGE_SELF)
    out.put((records, next(retries), usage.ru_utime + usage.ru_stime))


def start_clients(url, pairs, clients, duration, stop_event):
    context = multiprocessing.get_context("fork")
    out = context.Queue()
    stop_at = time.monotonic() + duration
    shares = [len(part) for part in np.array_split(np.arange(clients), min(GENERATOR_PROCESSES, clients))]
    processes = [context.Process(target=client_process, args=(url, pairs, share, stop_at, stop_event, out))
                 for share in shares]
    for process in processes:
        process.start()

    def collect():
        results = [out.get(timeout=duration + 120) for _ in processes]
        for process in processes:
            process.join(timeout=30)
        records = [r for result in results for r in result[0]]
        return records, sum(r[1] for r in results), sum(r[2] for r in results)

    return collect


def engine_ms_per_document(state: pathlib.Path, pairs, repeats: int = 5) -> float:
    """The engine alone, in this process on one thread: one pass over every checked document."""
    from quorvex.server.pir_server import PirServer

    pir = PirServer.load(state)
    documents = [document for document, _ in pairs]
    started = time.perf_counter()
    for _ in range(repeats):
        pir.answer_batch(documents)
    return (time.perf_counter() - started) / repeats / len(documents) * 1000


def latency_summary(records) -> dict:
    latencies = np.array([seconds for _, seconds, _ in records]) * 1000
    failed = sum(1 for *_, ok in records if not ok)
    if not len(latencies):
        return {"retrievals": 0, "failed": failed, "p50_ms": None, "p99_ms": None}
    return {"retrievals": len(records), "failed": failed,
            "p50_ms": round(float(np.percentile(latencies, 50)), 1),
            "p99_ms": round(float(np.percentile(latencies, 99)), 1)}


def run_load(url, pid, pairs, sampler, clients, duration) -> dict:
    time.sleep(1.0)
    before = rss_bytes(pid)
    cpu_before = cpu_seconds(pid)
    started = time.monotonic()
    records, retries, client_cpu = start_clients(url, pairs, clients, duration, multiprocessing.Event())()
    ended = time.monotonic()
    server_cpu = cpu_seconds(pid) - cpu_before
    time.sleep(1.0)
    summary = latency_summary(records)
    count = max(summary["retrievals"], 1)
    return {"clients": clients, **summary, "busy_retries": retries,
            "per_second": round(summary["retrievals"] / (ended - started), 1),
            "server_cpu_ms": round(server_cpu / count * 1000, 2), "client_cpu_ms": round(client_cpu / count * 1000, 2),
            "rss_before_mb": round(before / 2**20, 1), "rss_peak_mb": round(sampler.peak(started, ended) / 2**20, 1),
            "rss_after_mb": round(rss_bytes(pid) / 2**20, 1)}


# --- the abuse cases ------------------------------------------------------------------------

def outcome(connection: socket.socket, started: float, deadline: float) -> tuple[str, float]:
    """What the server did with a connection: its status code, or 'closed' / 'reset' / 'open'."""
    connection.settimeout(max(0.1, deadline - time.monotonic()))
    try:
        data = connection.recv(4096)
    except socket.timeout:
        return "open", time.monotonic() - started
    except ConnectionResetError:
        return "reset", time.monotonic() - started
    if not data:
        return "closed", time.monotonic() - started
    return data.split(b" ", 2)[1].decode("ascii", "replace"), time.monotonic() - started


def connect(address) -> socket.socket:
    return socket.create_connection(address, timeout=10)


def send_then_read(address, data: bytes, limit: float) -> tuple[str, float]:
    with connect(address) as connection:
        started = time.monotonic()
        try:
            connection.sendall(data)
        except (ConnectionResetError, BrokenPipeError):
            pass  # the server answered and closed before the rest arrived: read what it said
        return outcome(connection, started, started + limit)


def trickle(address, head: bytes, tail: bytes, gap: float, limit: float) -> tuple[str, float]:
    """Sends head, then tail one byte every `gap` seconds until the server answers or closes."""
    with connect(address) as connection:
        started = time.monotonic()
        connection.sendall(head)
        for byte in tail:
            if select_readable(connection, gap):
                break
            try:
                connection.sendall(bytes([byte]))
            except OSError:
                break
            if time.monotonic() - started > limit:
                break
        return outcome(connection, started, started + limit)


def select_readable(connection: socket.socket, timeout: float) -> bool:
    with selectors.DefaultSelector() as selector:
        selector.register(connection, selectors.EVENT_READ)
        return bool(selector.select(timeout))


def oversized(address, length: int, limit: float) -> tuple[str, float]:
    """Announces and sends a body one byte above the limit, in 64 KiB pieces, reading between them."""
    with connect(address) as connection:
        started = time.monotonic()
        connection.sendall(f"POST /query HTTP/1.1\r\nHost: x\r\nContent-Length: {length}\r\n\r\n".encode())
        piece, sent = b"x" * 65536, 0
        while sent < length and not select_readable(connection, 0):
            try:
                connection.sendall(piece)
            except OSError:
                break
            sent += len(piece)
        return outcome(connection, started, started + limit)


def idle_flood(address, count: int, limit: float) -> list[tuple[str, float]]:
    """Opens `count` connections that send nothing; returns when the server has closed each, with the
    time from each one's opening."""
    started = time.monotonic()
    connections = []
    with selectors.DefaultSelector() as selector:
        for _ in range(count):
            connection = connect(address)
            connection.setblocking(False)
            selector.register(connection, selectors.EVENT_READ, time.monotonic())
            connections.append(connection)
        results = []
        while len(results) < count and time.monotonic() - started < limit:
            for key, _ in selector.select(timeout=0.5):
                try:
                    data = key.fileobj.recv(4096)
                except ConnectionResetError:
                    data = b""
                status = data.split(b" ", 2)[1].decode() if data else "closed"
                results.append((status, time.monotonic() - key.data))
                selector.unregister(key.fileobj)
        results += [("open", limit)] * (count - len(results))
    for connection in connections:
        connection.close()
    return results


def abuse_cases(address, document: bytes, max_request: int, request_timeout: float, idle_count: int):
    """(name, deadline in seconds, concurrency, list of callables each returning (outcome, seconds))."""
    cut = request_timeout + 1.0  # the deadline plus the event loop's slack
    at_once = 1.0
    head = f"POST /query HTTP/1.1\r\nHost: x\r\nContent-Length: {len(document)}\r\n\r\n".encode()
    lengths = [b"\xc2\xb2", b"-1", b"1e3", b" 0x10", b"10\r\nContent-Length: 11", b"99999999999999999999999"]
    big_json = b"[" + b"{}," * ((max_request - 4) // 3) + b"{}]"

    def request(length: bytes, body: bytes = b"{}") -> bytes:
        return b"POST /query HTTP/1.1\r\nHost: x\r\nContent-Length: " + length + b"\r\n\r\n" + body

    return [
        ("oversized body (Content-Length one above the limit)", at_once, 16,
         [lambda: oversized(address, max_request + 1, cut)] * 16),
        ("slow sender, headers one byte every 0.25 s", cut, 16,
         [lambda: trickle(address, b"", head, 0.25, cut + 2)] * 16),
        ("slow sender, body one byte every 0.25 s", cut, 16,
         [lambda: trickle(address, head, document, 0.25, cut + 2)] * 16),
        ("garbage bytes (1 KiB of random bytes)", at_once, 64,
         [lambda: send_then_read(address, os.urandom(1024) + b"\r\n\r\n", cut)] * 64),
        ("lying lengths (², -1, 1e3, 0x10, two values, 23 digits)", at_once, 24,
         [lambda v=v: send_then_read(address, request(v), cut) for v in lengths] * 4),
        ("lying length: Content-Length above the bytes sent", cut, 16,
         [lambda: send_then_read(address, head + document[:100], cut + 2)] * 16),
        ("lying length: Content-Length below the bytes sent", at_once, 16,
         [lambda: send_then_read(address, request(b"10", document), cut)] * 16),
        (f"valid JSON of {max_request:,} bytes ([{{}},{{}},...])", at_once * 5, 8,
         [lambda: send_then_read(address, request(str(len(big_json)).encode(), big_json), cut + 10)] * 8),
        (f"{idle_count:,} idle connections", cut, 1, [lambda: idle_flood(address, idle_count, cut + 10)]),
    ]


def run_abuse(url, pid, pairs, sampler, request_timeout, max_request, idle_count) -> list[dict]:
    address = urllib.parse.urlsplit(url).hostname, urllib.parse.urlsplit(url).port
    stop = multiprocessing.Event()
    collect = start_clients(url, pairs, 1, 600, stop)
    time.sleep(1.0)
    windows = []
    for name, deadline, concurrency, calls in abuse_cases(address, pairs[0][0], max_request, request_timeout,
                                                          idle_count):
        started = time.monotonic()
        outcomes = []
        with concurrent.futures.ThreadPoolExecutor(concurrency) as pool:
            for _ in range(MAX_ROUNDS):  # quick cases again and again, for the normal client's sake
                for result in pool.map(lambda call: call(), calls):
                    outcomes += result if isinstance(result, list) else [result]
                if time.monotonic() - started >= MIN_CASE_SECONDS:
                    break
        ended = time.monotonic()
        windows.append((name, deadline, outcomes, started, ended))
        time.sleep(0.5)
    stop.set()
    records, _, _ = collect()
    rows = []
    for name, deadline, outcomes, started, ended in windows:
        during = [r for r in records if started <= r[0] <= ended]
        statuses = collections.Counter(status for status, _ in outcomes)
        slowest = max(seconds for _, seconds in outcomes)
        rows.append({"case": name, "answers": dict(statuses), "slowest_s": round(slowest, 2), "deadline_s": deadline,
                     "within": slowest <= deadline and "open" not in statuses,
                     "rss_peak_mb": round(sampler.peak(started, ended) / 2**20, 1),
                     "normal": latency_summary(during)})
    return rows


# --- the report -----------------------------------------------------------------------------

def publish_demo_store(root: pathlib.Path) -> tuple[pathlib.Path, pathlib.Path]:
    from quorvex.cli.demo import select_topics, topic_documents
    from quorvex.embedders import make_embedder
    from quorvex.publisher.publish_documents import publish_documents

    selected, _, _ = select_topics(topic_documents())
    publish_documents(selected, root / "cache", root / "state", embedder=make_embedder("hashing"))
    return root / "cache", root / "state"


def report(meta, load_rows, abuse_rows) -> str:
    lines = [f"# quorvex serve under load and abuse", "",
             f"{meta['store']}; server: `{meta['serve']}` (OPENBLAS_NUM_THREADS=1)", f"{meta['limits']}",
             f"machine: {meta['machine']}; load average {meta['load_before']} before, {meta['load_after']} after",
             f"engine alone: {meta['engine_ms']} ms of one core per query document (a pass of {DOCUMENTS})", "",
             "| clients | retrievals/s | p50 ms | p99 ms | failed | busy retries | server CPU ms/retrieval "
             "| client CPU ms/retrieval | RSS before MB | RSS peak MB | RSS after MB |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in load_rows:
        lines.append(f"| {r['clients']} | {r['per_second']} | {r['p50_ms']} | {r['p99_ms']} | {r['failed']} of "
                     f"{r['retrievals']} | {r['busy_retries']} | {r['server_cpu_ms']} | {r['client_cpu_ms']} "
                     f"| {r['rss_before_mb']} | {r['rss_peak_mb']} | {r['rss_after_mb']} |")
    if abuse_rows:
        lines += ["", "| abuse case | server's answers | slowest s | deadline s | within | server RSS peak MB "
                  "| normal client: retrievals, failed, p50 ms, p99 ms |", "|---|---|---|---|---|---|---|"]
    for r in abuse_rows:
        n = r["normal"]
        answers = ", ".join(f"{k} x{v}" for k, v in sorted(r["answers"].items()))
        within = "yes" if r["within"] else "NO"
        lines.append(f"| {r['case']} | {answers} | {r['slowest_s']} | {r['deadline_s']} | {within} "
                     f"| {r['rss_peak_mb']} | {n['retrievals']}, {n['failed']}, {n['p50_ms']}, {n['p99_ms']} |")
    lines += ["", f"server's resident memory at the end: {meta['rss_end_mb']} MB"]
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", type=pathlib.Path, help="public cache (default: publish the demo's store)")
    parser.add_argument("--server-state", type=pathlib.Path, help="server state of that cache")
    parser.add_argument("--clients", default="8,64,256", help="concurrent client counts, comma-separated")
    parser.add_argument("--duration", type=float, default=10.0, help="seconds of load per client count")
    parser.add_argument("--request-timeout", type=float, default=2.0, help="the server's --request-timeout")
    parser.add_argument("--idle-connections", type=int, default=3000)
    parser.add_argument("--serve-args", default="", help="more options for quorvex serve")
    parser.add_argument("--skip-abuse", action="store_true")
    parser.add_argument("--out", type=pathlib.Path, default=RESULTS / "serve")
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # the idle flood needs a descriptor each

    with tempfile.TemporaryDirectory(prefix="quorvex-serve-bench-") as workdir:
        if args.cache is None:
            cache, state = publish_demo_store(pathlib.Path(workdir))
            store = "the demo's store"
        else:
            cache, state = args.cache, args.server_state
            store = f"the store {state}"
        serve_args = ["--request-timeout", str(args.request_timeout), *shlex.split(args.serve_args)]
        process, url, limits = start_server(state, serve_args)
        try:
            sampler = MemorySampler(process.pid)
            sampler.start()
            pairs = checked_documents(cache, url, DOCUMENTS)
            info = CacheInfo.read(cache)
            meta = {"store": f"{store}: {info.chunk_count:,} records ({info.parameter_profile})",
                    "serve": "quorvex serve " + " ".join(serve_args), "limits": limits,
                    "machine": f"{os.cpu_count()} cores, Python {platform.python_version()}",
                    "load_before": round(os.getloadavg()[0], 2),
                    "engine_ms": round(engine_ms_per_document(state, pairs), 3)}
            load_rows = []
            for clients in map(int, args.clients.split(",")):
                load_rows.append(run_load(url, process.pid, pairs, sampler, clients, args.duration))
                print(load_rows[-1], flush=True)
            abuse_rows = []
            if not args.skip_abuse:
                max_request = int(limits.split("bodies up to ", 1)[1].split(" ", 1)[0].replace(",", ""))
                abuse_rows = run_abuse(url, process.pid, pairs, sampler, args.request_timeout, max_request,
                                       args.idle_connections)
            time.sleep(1.0)
            meta["rss_end_mb"] = round(rss_bytes(process.pid) / 2**20, 1)
            meta["load_after"] = round(os.getloadavg()[0], 2)
        finally:
            process.terminate()
            _, errors = process.communicate(timeout=30)
    text = report(meta, load_rows, abuse_rows)
    print(text)
    if errors.strip():
        print(f"the server wrote to stderr:\n{errors}")
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.with_suffix(".md").write_text(text)
    args.out.with_suffix(".json").write_text(json.dumps({"meta": meta, "load": load_rows, "abuse": abuse_rows},
                                                        indent=2) + "\n")


if __name__ == "__main__":
    main()
