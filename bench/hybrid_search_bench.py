"""Hit@1 and hit@2 of the local search on labelled questions over real documentation: the cosine
search alone, the lexical index alone, and their fusion (what PrivateRetriever uses).

    .venv/bin/python bench/hybrid_search_bench.py [--sets python_topics nodejs_api nodejs_api_heldout]

Each set in bench/questions/ is one labelled question a line: the question, the document that
answers it and the passages that answer it (texts the answering chunk holds, such as the heading of
the API's section). nodejs_api_heldout was written after reciprocal rank fusion was chosen on the
other two sets, to measure it on questions it was not chosen on; what it showed then changed the
fusion (see bench/NOTES.md), so it is held out no longer. A hit answers when its chunk is of that document and holds one of the passages.
The collections: Python's documentation topics (pydoc_data.topics, the demo's corpus) and the
Node.js API reference in /usr/share/doc/nodejs/api (the nodejs package's documentation; the set is
skipped, and said so, where it is not installed), published as `quorvex publish` publishes them
(default leave-outs, 1024-byte records) into a temporary folder that is removed at the end. Writes
the summary table and, for every question, its label and where each search put the answering
chunk, to bench/results/hybrid-search.md (or --out); no server is involved (the search runs on the
client alone).
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys
import tempfile

from quorvex import NativeClient
from quorvex.cli.demo import topic_documents
from quorvex.embedders import make_embedder
from quorvex.publisher.documents import chunk_documents
from quorvex.publisher.publish_documents import publish_documents
from quorvex.publisher.sources import read_sources
from quorvex.shared.profiles import DEFAULT_RECORD_SIZE

QUESTIONS = pathlib.Path(__file__).resolve().parent / "questions"
MODES = ("dense", "lexical", "fused")
NODE_DOCS = pathlib.Path("/usr/share/doc/nodejs/api")


def documents(name: str) -> list | None:
    if name == "python_topics":
        return topic_documents()
    return read_sources(NODE_DOCS).documents if NODE_DOCS.is_dir() else None  # the nodejs_api sets


def answers(hit, label: dict, texts: dict[str, tuple[str, str]]) -> bool:
    document, text = texts[hit.chunk_id]
    flat = " ".join(text.split())
    return document == label["document"] and any(" ".join(p.split()) in flat for p in label["passages"])


def measure(name: str, embedder, root: pathlib.Path) -> dict | None:
    docs = documents(name)
    if docs is None:
        print(f"{name}: skipped, {NODE_DOCS} is not here", file=sys.stderr)
        return None
    collection = root / name.removesuffix("_heldout")  # the held-out questions ask the same collection
    if not (collection / "cache").exists():
        publish_documents(docs, collection / "cache", collection / "state", embedder=embedder)
    client = NativeClient.open_public_cache(str(collection / "cache"))
    assert client.has_lexical_index
    # The chunks' texts, cut as the publisher cut them (the default record size).
    texts = {chunk.chunk_id: (chunk.document_id, chunk.text) for chunk in chunk_documents(docs, DEFAULT_RECORD_SIZE)}
    labels = [json.loads(line) for line in (QUESTIONS / f"{name}.jsonl").read_text().splitlines()]
    counts = {mode: [0, 0] for mode in MODES}
    for label in labels:
        vector = embedder.embed_one(label["question"]).tolist()
        ranked = {"dense": client.search(vector, 2), "lexical": client.lexical_search(label["question"], 2),
                  "fused": client.hybrid_search(vector, label["question"], 2)}
        label["found"] = {}
        for mode, hits in ranked.items():
            first = next((rank for rank, hit in enumerate(hits, 1) if answers(hit, label, texts)), None)
            counts[mode][0] += first == 1
            counts[mode][1] += first is not None
            label["found"][mode] = first
    sizes = {f: (collection / "cache/index" / f).stat().st_size for f in ("lexical.bin", "vectors.bin")}
    return {"set": name, "questions": len(labels), "chunks": len(texts), **counts, "labels": labels, "sizes": sizes}


def markdown(results: list[dict], embedder: str) -> str:
    lines = [f"Embedder: {embedder}. A cell of the second table is the rank (1 or 2) of the first hit that "
             "answers, or - when neither of the two does.", "",
             "| set | questions | chunks | dense hit@1 / hit@2 | lexical hit@1 / hit@2 | fused hit@1 / hit@2 | "
             "lexical.bin (vectors.bin) |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for r in results:
        cells = " | ".join(f"{r[m][0]} / {r[m][1]}" for m in MODES)
        lines.append(f"| {r['set']} | {r['questions']} | {r['chunks']:,} | {cells} | "
                     f"{r['sizes']['lexical.bin'] / 1e6:.2f} MB ({r['sizes']['vectors.bin'] / 1e6:.2f} MB) |")
    lines += ["", "| set | question | document | answering passage | dense | lexical | fused |",
              "|---|---|---|---|:-:|:-:|:-:|"]
    for r in results:
        for label in r["labels"]:
            passages = " or ".join(f"`{p}`" for p in label["passages"]).replace("|", "\\|")
            found = " | ".join(str(label["found"][m] or "-") for m in MODES)
            lines.append(f"| {r['set']} | {label['question']} | {label['document']} | {passages} | {found} |")
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sets", nargs="*", default=["python_topics", "nodejs_api", "nodejs_api_heldout"])
    parser.add_argument("--embedder", default="minilm")
    parser.add_argument("--out", type=pathlib.Path, default=QUESTIONS.parent / "results/hybrid-search.md")
    args = parser.parse_args()
    embedder = make_embedder(args.embedder)
    with tempfile.TemporaryDirectory(prefix="quorvex-hybrid-") as folder:
        results = [r for name in args.sets if (r := measure(name, embedder, pathlib.Path(folder)))]
    args.out.write_text(markdown(results, args.embedder))
    print(markdown(results, args.embedder))
    return 0


if __name__ == "__main__":
    sys.exit(main())
