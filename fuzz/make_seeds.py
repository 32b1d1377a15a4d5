"""Writes the seed corpora of the fuzz targets from three small valid caches
(toy, simplepir-rs and balanced), published and answered by this package. Run with the
installed package: .venv/bin/python fuzz/make_seeds.py"""

import json
import pathlib
import struct
import sys
import tempfile

import numpy as np

from quorvex._native import NativeClient
from quorvex.publisher.publish import publish
from quorvex.server.pir_server import PirServer

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))
from support import codec as _codec  # noqa: E402 - the tests' payload codec
# Small records keep the hints (record size x matrix width values) small.
RECORD_SIZE = 112
JSON_RECORDS = ["manifest.json", "checksums.json", "pir/scheme.json", "index/index.config.json"]


def write(target: str, name: str, data: bytes) -> None:
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def seeds_of(name: str, profile: str, root: pathlib.Path) -> None:
    chunks = [{"chunk_id": f"c{i}", "document_id": "d", "text": f"t{i}",
               "metadata": {"k": [i, None, True, 1.5, "\u00e9"]} if i % 2 else None} for i in range(4)]
    embeddings = np.random.default_rng(0).standard_normal((4, 3)).astype(np.float32)
    public, server_dir = root / name, root / f"{name}-server"
    publish(chunks, embeddings, public, server_dir, embedding_model="m", profile=profile, record_size_bytes=RECORD_SIZE)
    for selector, relative in enumerate(JSON_RECORDS):
        write("json_records", f"{name}-{pathlib.Path(relative).stem}", bytes([selector]) + (public / relative).read_bytes())
    metadata_line = (public / "index/metadata.jsonl").read_bytes().splitlines()[1]
    write("json_records", f"{name}-metadata-line", bytes([4]) + metadata_line)
    write("index_files", f"{name}-vectors", b"\0" + (public / "index/vectors.bin").read_bytes())
    write("index_files", f"{name}-ids", b"\1" + (public / "index/ids.bin").read_bytes())
    if (public / "index/lexical.bin").is_file():
        write("index_files", f"{name}-lexical", b"\2" + (public / "index/lexical.bin").read_bytes())
    hint = (public / "pir/client_hint.bin").read_bytes()
    if profile == "simplepir-balanced-128-v1":
        # The whole hint is 563 kB; the same header claiming one row of one value reads the same way.
        hint = hint[:48] + struct.pack("<2Q", 1, 1) + hint[64:100]
    write("client_hint", name, hint)

    if profile != "simplepir-balanced-128-v1":  # whose lanes hold digits, not bytes
        lanes = np.fromfile(server_dir / "lanes.bin", dtype="<u2").reshape(-1, len(chunks))
        # simplepir-rs lanes hold two bytes of a record each, toy lanes one.
        record = (lanes[:, 1].astype("<u2").tobytes() if profile != "toy-development-only-v0"
                  else lanes[:, 1].astype(np.uint8).tobytes())[:RECORD_SIZE]
        write("padded_chunk_record", name, record)
        (length,) = struct.unpack_from("<I", record)
        write("json_records", f"{name}-chunk-record", bytes([5]) + record[4:4 + length])

    client = NativeClient.open_public_cache(str(public))
    prepared = client.prepare_retrieval_query(embeddings[1], 1, 4)
    response = PirServer.load(server_dir).answer(prepared.query_json)
    write("batched_response", name, response)
    write("query_document", name, prepared.query_json)
    payload = json.loads(response)["responses"][0]["payload"]
    write("payload_codec", f"{name}-response", payload.encode())
    query_payload = json.loads(prepared.query_json)["queries"][0]["payload"]
    write("payload_codec", f"{name}-query", query_payload.encode())
    framed = _codec.decode_payload(payload)
    (count,) = struct.unpack_from("<Q", framed, 8)
    write("vector_payload", name, struct.pack("<Q", count) + framed)


def main() -> int:
    # Seeds written by hand (not by this script) are kept.
    with tempfile.TemporaryDirectory() as root:
        seeds_of("toy", "toy-development-only-v0", pathlib.Path(root))
        seeds_of("rs", "simplepir-rs-experimental-v0", pathlib.Path(root))
        seeds_of("balanced", "simplepir-balanced-128-v1", pathlib.Path(root))
    return 0


if __name__ == "__main__":
    sys.exit(main())
