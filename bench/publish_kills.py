"""Kills `quorvex publish` at random moments and checks that the public cache and the server
state still belong together.

    .venv/bin/python bench/publish_kills.py [--records 12000] [--kills 16] [--seed 1]

A first publish writes the pair; then each round starts a publish over it with --overwrite
and sends SIGKILL at a random moment of its run (uniform over the measured length of a whole
publish for half the kills, over its last quarter for the other half). After each kill, the pair must open and answer: the cache passes every check of the
client and a private retrieval through the server state decodes to the local hit. The
leftovers of each killed publish are counted, and a last publish must remove all of them.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import random
import signal
import subprocess
import sys
import tempfile
import time

from quorvex._native import NativeClient
from quorvex.embedders.hashing import HashingEmbedder
from quorvex.server.pir_server import PirServer

PROFILE = "simplepir-rs-experimental-v0"


def consistent(cache: pathlib.Path, state: pathlib.Path, question: str) -> bool:
    """The cache opens, and a private retrieval through the state decodes to the local hit."""
    try:
        client = NativeClient.open_public_cache(str(cache))
        prepared = client.prepare_retrieval_query(HashingEmbedder().embed_one(question).tolist(), 1, 4)
        decoded = client.decode_retrieval_response(prepared, PirServer.load(state).answer(prepared.query_json))
        return decoded[0].chunk_id == prepared.search_results()[0].chunk_id
    except (RuntimeError, ValueError, OSError):
        return False


def leftovers(root: pathlib.Path) -> list[str]:
    return sorted(p.name for p in root.iterdir() if p.name.startswith("."))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=12_000)
    parser.add_argument("--kills", type=int, default=16)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    quorvex = str(pathlib.Path(sys.executable).with_name("quorvex"))
    rng = random.Random(args.seed)
    with tempfile.TemporaryDirectory(prefix="quorvex-kills-") as work:
        root = pathlib.Path(work)
        documents = root / "documents.jsonl"
        with open(documents, "w", encoding="utf-8") as out:
            for i in range(args.records):
                words = " ".join(f"w{rng.randrange(50000)}" for _ in range(100))
                out.write(json.dumps({"document_id": f"doc{i}", "text": f"topic{i} {words}"}) + "\n")
        command = [quorvex, "publish", str(documents), "--cache", str(root / "cache"), "--server-state",
                   str(root / "state"), "--profile", PROFILE, "--overwrite"]
        subprocess.run(command, check=True, capture_output=True)
        started = time.perf_counter()
        subprocess.run(command, check=True, capture_output=True)
        length = time.perf_counter() - started
        print(f"a whole publish of {args.records} records takes {length:.1f} s; half the kills fall in its "
              "last quarter, where the directories are written and put in place")
        results = []
        for kill in range(args.kills):
            delay = rng.uniform(0, length) if kill % 2 == 0 else rng.uniform(0.75 * length, length)
            publish = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(delay)
            publish.send_signal(signal.SIGKILL)
            publish.wait()
            killed = publish.returncode == -signal.SIGKILL
            ok = consistent(root / "cache", root / "state", f"topic{rng.randrange(args.records)}")
            left = leftovers(root)
            results.append(ok)
            print(f"kill {kill + 1:2d} after {delay:5.2f} s ({'killed' if killed else 'had finished'}): "
                  f"pair {'consistent' if ok else 'INCONSISTENT'}; left behind: {', '.join(left) or 'nothing'}")
        subprocess.run(command, check=True, capture_output=True)
        final = leftovers(root)
        print(f"{sum(results)} of {len(results)} kills left a consistent pair; after the next publish, "
              f"left behind: {', '.join(final) or 'nothing'}")
        return 0 if all(results) and not final else 1


if __name__ == "__main__":
    sys.exit(main())
