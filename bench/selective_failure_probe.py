"""Selective failure: does whether a retrieval fails depend on which records it fetched?

    .venv/bin/python bench/selective_failure_probe.py [--records 2000] [--record-size 256] [--questions 12]

Publishes a balanced store of one-chunk documents (hashing embedder) in a temporary folder, reads its
layout (k records stacked in each column, d digits a record), and for each position of the batch and
each slot of a column adds one plaintext step (2^23) to one answer element of that position (the
middle digit of that slot), as a server can without knowing what was fetched. Each question is then
prepared, answered by the server engine in this process, altered, and decoded with the checked
decode. A cell reads "refused" or "accepted" when every question got that outcome and "DEPENDS"
when the outcome differed between questions: from such an alteration a server learns something
about which records were fetched. Prints the table (markdown); the folder is removed.
"""

from __future__ import annotations

import argparse
import binascii
import json
import pathlib
import sys
import tempfile

import numpy as np

from quorvex import NativeClient
from quorvex.embedders.hashing import HashingEmbedder
from quorvex.publisher.documents import Document
from quorvex.publisher.publish_documents import publish_documents
from quorvex.server.pir_server import PirServer

_ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_~.!*()[]{}"
_STANDARD = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
STEP = 1 << 23  # one plaintext step of the balanced profile's 9-bit digits


def altered(response: bytes, position: int, element: int) -> bytes:
    """The response with answer element `element` of response `position` one step higher."""
    document = json.loads(response)
    item = document["responses"][position]
    standard = item["payload"].encode().translate(bytes.maketrans(_ALPHABET, _STANDARD))
    data = bytearray(binascii.a2b_base64(standard + b"=" * (-len(standard) % 4)))
    words = np.frombuffer(data, "<u4", offset=16)
    words[element] += np.uint32(STEP)
    encoded = binascii.b2a_base64(bytes(data), newline=False).rstrip(b"=")
    item["payload"] = encoded.translate(bytes.maketrans(_STANDARD, _ALPHABET)).decode()
    return json.dumps(document, separators=(",", ":")).encode()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=2000)
    parser.add_argument("--record-size", type=int, default=256)
    parser.add_argument("--questions", type=int, default=12)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quorvex-probe-") as folder:
        root = pathlib.Path(folder)
        documents = [Document(f"d{i}", f"document {i} about topic {i % 97} and item {i * 7919 % 1009}")
                     for i in range(args.records)]
        publish_documents(documents, root / "cache", root / "state", embedder=HashingEmbedder(),
                          record_size_bytes=args.record_size)
        header = np.frombuffer((root / "cache/pir/client_hint.bin").read_bytes()[8:64], "<u8")
        digits, per_column, columns = int(header[2]), int(header[3]), int(header[4])
        client, server, embedder = NativeClient.open_public_cache(str(root / "cache")), PirServer.load(
            root / "state"), HashingEmbedder()
        step = max(1, args.records // args.questions)
        questions = [embedder.embed_one(documents[i].text).tolist() for i in range(0, args.records, step)]
        questions = questions[:args.questions]
        print(f"{args.records} records of {args.record_size} bytes: {per_column} a column, {columns} columns, "
              f"{digits} digits a record; {len(questions)} questions, one step added to the middle digit of a "
              "slot at one position\n")
        print("| position | " + " | ".join(f"slot {s}" for s in range(per_column)) + " |")
        print("|---|" + "---|" * per_column)
        for position in range(4):
            cells = []
            for slot in range(per_column):
                refused = 0
                for vector in questions:
                    prepared = client.prepare_retrieval_query(vector, 2, 4)
                    response = altered(server.answer(prepared.query_json), position, slot * digits + digits // 2)
                    try:
                        client.decode_checked_retrieval(prepared, response)
                    except RuntimeError:
                        refused += 1
                outcome = "refused" if refused == len(questions) else "accepted" if not refused else "DEPENDS"
                cells.append(f"{outcome} ({refused}/{len(questions)} refused)")
            print(f"| {position} | " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
