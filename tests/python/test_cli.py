import contextlib
import io
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import re
import time

import pytest

from quorvex import NativeClient, __version__
from quorvex.cli import display
from quorvex.cli.commands import main
from quorvex.cli.privacy import PRIVACY_NOTE
from quorvex.cli.progress import Progress
from quorvex.publisher.documents import Document
from quorvex.server.http_server import PirHttpServer, serve_in_background
from quorvex.server.pir_server import AnswerAlteration, PirServer
from quorvex.shared.formats import publication_id
from support.documents import DOCUMENTS, write_jsonl

TIMEOUT = 60


def quorvex(*args: str, stdin: str = "") -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "quorvex", *args], input=stdin, capture_output=True, text=True,
                          timeout=TIMEOUT)


@contextlib.contextmanager
def serving(state_dir, *options):
    """`quorvex serve` on an ephemeral loopback port; yields its query URL, then stops it with Ctrl-C
    (heard even when the tests run in the background, where Ctrl-C is ignored from the start)."""
    with subprocess.Popen([sys.executable, "-m", "quorvex", "serve", str(state_dir), "--port", "0", *options],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)) as process:
        try:
            line = process.stdout.readline()
            assert "at http://127.0.0.1:" in line, line + process.stderr.read()
            # It names the publication it serves, as publish and verify do.
            assert process.stdout.readline() == f"publication {publication_id(state_dir.parent / 'cache')}\n"
            yield line.split(" at ", 1)[1].split(";", 1)[0]
        finally:
            process.send_signal(signal.SIGINT)
            try:
                assert process.wait(timeout=30) == 0  # a graceful stop may take its 10 s on a busy machine
            finally:
                process.kill()


@pytest.fixture(scope="module")
def published(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli")
    docs = write_jsonl(root / "docs.jsonl")
    assert main(["publish", str(docs), "--cache", str(root / "cache"), "--server-state", str(root / "state"),
                 "--embedder", "hashing"]) == 0
    return root


def test_publish_summarises_what_it_wrote(capsys, tmp_path):
    command = ["publish", str(write_jsonl(tmp_path / "docs.jsonl")), "--cache", str(tmp_path / "c"),
               "--server-state", str(tmp_path / "s"), "--embedder", "hashing"]
    assert main(command) == 0
    out = capsys.readouterr().out
    for part in ["published 4 documents as ", "simplepir-balanced-128-v1 (estimated-128-unaudited)",
                 "quorvex-hashing-words-pairs-384-v1, 384 dimensions",
                 f"\npublication {publication_id(tmp_path / 'c')}\n"]:
        assert part in out
    assert main(command) == 1  # into the same, now non-empty, directories
    assert f"quorvex publish: error: {tmp_path / 'c'} is not empty; add --overwrite to replace it" in \
        capsys.readouterr().err


def test_serve_ask_verify_end_to_end(published):
    with serving(published / "state", "--workers", "2") as url:
        # Questions are asked in order, before or after the options; "-" stands for the lines of standard input.
        asked = quorvex("ask", str(published / "cache"), "how often do tomato plants need water", "--server", url,
                        "-", "--publication", publication_id(published / "cache"), stdin="\nsourdough starter\n")
        assert asked.returncode == 0, asked.stderr
        garden, kitchen = asked.stdout.split("\n\nquestion: ")
        assert garden.startswith("question: how often do tomato plants need water\n")
        assert "1. score" in garden and "4 PIR queries (2 hits + 2 padding)" in garden
        assert "--- garden#0 (document garden" in garden and "Tomatoes need full sun" in garden
        assert kitchen.startswith("sourdough starter\n") and "--- kitchen#0 (document kitchen" in kitchen

        # Without a question, every line of standard input is one; --json prints a line for each.
        as_json = quorvex("ask", str(published / "cache"), "--server", url, "--json",
                          stdin="sourdough starter\nbicycle chain\n")
        first, second = map(json.loads, as_json.stdout.splitlines())
        assert first["chunks"][0]["document_id"] == "kitchen" and first["query_count"] == 4
        assert second["chunks"][0]["document_id"] == "bikes"
        assert set(first["timings"]) == {"embed", "search_and_prepare", "round_trip", "decode"}

    verified = quorvex("verify", str(published / "cache"))
    assert verified.returncode == 0 and verified.stdout.startswith(f"ok: {published / 'cache'} passed every check")
    assert "quorvex-hashing-words-pairs-384-v1" in verified.stdout and verified.stdout.rstrip().endswith(PRIVACY_NOTE)
    assert f"\npublication {publication_id(published / 'cache')}\n" in verified.stdout


def test_ask_stops_at_the_first_altered_answer_and_no_later_process_asks_until_cleared(published, capsys):
    liar, answered = PirServer.load(published / "state", alteration=AnswerAlteration(lane=0)), []
    liar.answer_batch = lambda documents, answer=liar.answer_batch: answered.extend(documents) or answer(documents)
    cache, publication = str(published / "cache"), publication_id(published / "cache")
    with serve_in_background(PirHttpServer(liar)) as server:
        assert main(["ask", cache, "tomatoes", "sourdough", "bicycle", "--server", server.url]) == 1
        error = capsys.readouterr().err
        assert len(answered) == 1 and "a fetched record differs" in error and "#0" not in error
        address = server.url.rsplit("/", 1)[0]
        # Another process, another path of the same server: refused before anything is sent.
        again = quorvex("ask", cache, "bicycle", "--server", address + "/other")
        assert again.returncode == 1 and len(answered) == 1
        assert f"quorvex ask: error: quorvex sent nothing to {address} for publication {publication}: on " in again.stderr
        listed = quorvex("distrust")
        assert listed.stdout.startswith(f"publication {publication} at {address}, since ") and listed.returncode == 0
        cleared = quorvex("distrust", "clear", "--publication", publication, "--server", server.url)
        assert "warning: clearing lets quorvex send that server queries again" in cleared.stderr
        assert cleared.stdout.startswith(f"cleared: publication {publication} at {address}")
        assert "no server is distrusted" in quorvex("distrust").stdout
        assert main(["ask", cache, "tomatoes", "--server", server.url]) == 1 and len(answered) == 2


def test_ask_refuses_a_development_cache_or_another_publication_unless_told(toy, published):
    pinned = f"is publication {publication_id(published / 'cache')}, not the pinned"
    for cache, options, expected in [(toy.public, (), "is for development only"),
                                     (toy.public, ("--allow-insecure",), "embedding model 'm'"),  # its own embedder
                                     (published / "cache", ("--publication", "0" * 64), pinned),
                                     (published / "cache", ("--publication", "0" * 63), "64 lower-case hexadecimal")]:
        assert expected in quorvex("ask", str(cache), "x", "--server", "http://127.0.0.1:1/query", *options).stderr


def test_verify_prints_the_exact_error_of_an_unsound_cache(published, tmp_path):
    cache = tmp_path / "cache"
    shutil.copytree(published / "cache", cache)
    vectors = bytearray((cache / "index/vectors.bin").read_bytes())
    vectors[-1] ^= 1
    (cache / "index/vectors.bin").write_bytes(bytes(vectors))
    with pytest.raises(RuntimeError) as expected:
        NativeClient.open_public_cache(str(cache))
    verified = quorvex("verify", str(cache))
    assert (verified.returncode, verified.stdout.strip()) == (1, f"FAILED: {cache} is not a sound public cache: "
                                                                 f"{expected.value}")


@pytest.mark.parametrize("command, stream, expected", [
    (lambda root, tmp, port: ["ask", str(root / "cache"), "  ", "--server", "http://127.0.0.1:1/query"], "stderr",
     "quorvex ask: error: the question is empty"),
    (lambda root, tmp, port: ["ask", str(tmp), "x", "--server", "http://127.0.0.1:1/query"], "stderr",
     f"is not a quorvex public cache (it holds no manifest.json): I/O error for "),
    (lambda root, tmp, port: ["serve", str(root / "state"), "--port", str(port)], "stderr",
     "the address is already in use; choose another port with --port, or --port 0"),
    (lambda root, tmp, port: ["publish", str(write_jsonl(tmp / "one.jsonl", DOCUMENTS[:1])), "--cache", str(tmp / "c"),
                              "--server-state", str(tmp / "s")], "stdout", "published 1 document as 1 chunk\n"),
    (lambda root, tmp, port: ["ask", str(root / "cache"), "x", "--server", "http://127.0.0.1:1/query"], "stderr",
     "quorvex ask: error: cannot reach http://127.0.0.1:1/query"),
    (lambda root, tmp, port: ["publish", str(write_jsonl(tmp / "own.jsonl", [Document("d", "t", None, (1.0,) * 384)])),
                              "--cache", str(tmp / "c"), "--server-state", str(tmp / "s"), "--embedding-model", "theirs"],
     "stdout", "embedding model  theirs, 384 dimensions"),
    (lambda root, tmp, port: ["ask", str(root / "state"), "x"], "stderr", "state folder (it holds server_state.json), "
     "not a public cache: pass the cache folder"),
    (lambda root, tmp, port: ["verify", str(root / "state")], "stdout", "is a server state folder"),
    (lambda root, tmp, port: ["serve", str(root / "cache")], "stderr", "is a public cache (it holds manifest.json and "
     "checksums.json), not a server state folder"),
    (lambda root, tmp, port: ["--version"], "stdout", f"quorvex {__version__}\n"),
    (lambda root, tmp, port: ["ask", "--help"], "stdout", "http://127.0.0.1:8765/query)"),
    (lambda root, tmp, port: ["verify", "/missing/cache"], "stderr", "quorvex verify: error: /missing/cache does not "
     "exist\n"),
    (lambda root, tmp, port: ["ask", str(root / "cache"), "x", "--top-k", "5"], "stderr",
     "quorvex ask: error: top_k must be from 1 to the retrieval count 4, got 5\n"),
], ids=["empty question", "not a cache", "port in use", "plural forms", "unreachable server", "own embeddings",
        "state as cache", "state to verify", "cache as state", "version", "defaults in help", "missing cache",
        "top-k beyond the queries"])
def test_command_line_frictions(tmp_path, published, command, stream, expected):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        ran = quorvex(*command(published, tmp_path, listener.getsockname()[1]))
    assert expected in getattr(ran, stream), ran.stderr


def test_an_interrupted_publish_says_so_in_one_line_after_the_skips_it_showed_first(tmp_path, monkeypatch, capsys):
    (tmp_path / "docs").mkdir()
    (tmp_path / "docs/blob.bin").write_bytes(b"\0")
    def interrupted(*args, **kwargs):  # the long work starts once the skips are out
        skips, embedder = (tmp_path / "out").read_text().splitlines()
        assert skips == "skipped 1 file: blob.bin (binary)" and embedder.startswith("embedder: ")  # the best installed
        raise KeyboardInterrupt
    monkeypatch.setattr("quorvex.publisher.publish_documents.publish_documents", interrupted)
    with open(tmp_path / "out", "w") as out, contextlib.redirect_stdout(out):
        (tmp_path / "docs/d.md").write_text("# A document\n\nIts text.\n")
        assert main(["publish", str(tmp_path / "docs"), "--cache", str(tmp_path / "c"),
                     "--server-state", str(tmp_path / "s")]) == 130
    assert capsys.readouterr().err == ("quorvex publish: interrupted; the previous cache and server state are "
                                       "unchanged\n")


def test_texts_are_cut_after_a_word_unless_that_keeps_half_or_less():
    texts = [" a  few\n words ", "aaaaaa bbbbbbbbbbb", "aaaaaaa bbbbbbbbbb", "a" * 13]
    assert [display.trimmed(t, 12) for t in texts] == ["a few words", "aaaaaa bbbbb …", "aaaaaaa …", "a" * 12 + " …"]


@pytest.mark.parametrize("on_terminal", [True, False])
def test_progress_shows_each_phase_with_its_rate_and_estimate(on_terminal):
    stream = type("Terminal", (io.StringIO,), {"isatty": lambda self: on_terminal})()
    progress = Progress(stream, lines := io.StringIO())
    for phase, done, total in [("slow", 0, 10 ** 9), ("slow", 1, 10 ** 9), ("slow", 2, 10 ** 9), ("embed", 0, 3),
                               ("embed", 1, 3), ("embed", 3, 3), ("hint", 0, 1)]:
        progress.update(phase, done, total)
        time.sleep(0.6 if phase == "hint" else 0)  # a long step: the bar is redrawn meanwhile
    progress.close()
    if on_terminal:  # a bar a phase with count, rate and time left, still drawn while the hint's step runs
        bars = stream.getvalue()
        assert re.search(r"slow:\s+0%.*2/1000000000 \[.*<.*chunks/s\]", bars) and "embed: 100%" in bars
        assert bars.count("hint: 00:00") >= 2 and lines.getvalue() == ""
    else:  # one line a phase, and an estimate for the one that will take long
        said = lines.getvalue().splitlines()
        assert said[0].startswith("slow: about ") and "left for 1,000,000,000 (" in said[0]
        assert [re.sub(r"[\d.,]+ (s|a second)", "T", line) for line in said[1:]] == [
            "slow: 2 of 1,000,000,000 in T (T)", "embed: 3 of 3 in T (T)", "hint: T"]
        assert stream.getvalue() == ""


def test_the_workers_of_a_killed_server_stop_with_it(published):
    def alive(pid):  # an orphan is reaped by init, which may be slow (or never) to do it in a container
        with contextlib.suppress(FileNotFoundError), open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
        return False
    with subprocess.Popen([sys.executable, "-m", "quorvex", "serve", str(published / "state"), "--port", "0",
                           "--workers", "2"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True) as server:
        try:
            assert "at http://127.0.0.1:" in server.stdout.readline()
            children, deadline = f"/proc/{server.pid}/task/{server.pid}/children", time.monotonic() + TIMEOUT
            while len(workers := open(children).read().split()) < 2 and time.monotonic() < deadline:
                time.sleep(0.05)
            assert len(workers) == 2
        finally:
            server.kill()
    deadline = time.monotonic() + 10
    while any(map(alive, workers)) and time.monotonic() < deadline:
        time.sleep(0.05)
    survivors = [int(pid) for pid in workers if alive(pid)]
    for pid in survivors:
        os.kill(pid, signal.SIGKILL)
    assert not survivors


def test_output_into_a_closed_pipe_ends_quietly(published):
    piped = subprocess.run(f"{sys.executable} -m quorvex verify {published / 'cache'} | head -1", shell=True,
                           capture_output=True, text=True, timeout=TIMEOUT)
    assert piped.stdout.startswith("ok: ") and piped.stderr == ""


def test_demo_runs_end_to_end_and_catches_a_tampering_server(capsys, monkeypatch, tmp_path):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    assert main(["demo", "--question", "What does the yield expression do?", "--tamper", "--embedder", "hashing"]) == 0
    out = capsys.readouterr().out
    for part in [f"publishing into {tmp_path}/quorvex/demo-", "listening on http://127.0.0.1:",
                 "Question 1/1: What does the yield expression do?", "[yield#",
                 "4 PIR queries (2 hits + 2 padding)", "timings: embed", "server round trip", "every one of exactly",
                 "caught: a fetched record differs", "refused: quorvex sent nothing to http://127.0.0.1:"]:
        assert part in out
    assert out.rstrip().endswith(PRIVACY_NOTE)
    # The next demo reuses the published corpus, and publishes it again once it is damaged.
    assert main(["demo", "--question", "yield", "--embedder", "hashing"]) == 0
    assert "reusing it (it opened with every check)" in capsys.readouterr().out
    next(tmp_path.glob("quorvex/demo-*/cache/index/vectors.bin")).write_bytes(b"")
    assert main(["demo", "--question", "yield", "--embedder", "hashing"]) == 0
    assert "chunking, embedding and publishing into" in capsys.readouterr().out
    # A folder named by --keep is reused once it holds this demo's publication, and never replaced otherwise.
    keep = ["demo", "--question", "yield", "--embedder", "hashing", "--keep", str(tmp_path / "kept")]
    assert main(keep) == 0 and f"Kept the cache in {tmp_path}/kept/cache and" in capsys.readouterr().out
    assert main(keep) == 0 and "reusing it (it opened with every check)" in capsys.readouterr().out
    (tmp_path / "kept/server-state/lanes.bin").write_bytes(b"mine")
    assert main(keep) == 1 and "give --keep a new or empty folder" in capsys.readouterr().err
    assert (tmp_path / "kept/server-state/lanes.bin").read_bytes() == b"mine"
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "kept/cache/manifest.json"))  # a file: no folder in it
    assert main(["demo", "--question", "yield", "--embedder", "hashing"]) == 0
    assert "; publishing into a temporary folder)" in capsys.readouterr().out


def test_two_first_demos_at_once_publish_once_and_the_other_reuses_it(tmp_path):
    command = [sys.executable, "-m", "quorvex", "demo", "--question", "yield", "--embedder", "hashing"]
    environment = dict(os.environ, XDG_CACHE_HOME=str(tmp_path))
    demos = [subprocess.Popen(command, env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for _ in range(2)]
    outputs = [demo.communicate(timeout=TIMEOUT)[0] for demo in demos]
    assert [demo.returncode for demo in demos] == [0, 0]
    assert sorted("chunking, embedding and publishing into" in out for out in outputs) == [False, True]
    assert sum("reusing it (it opened with every check)" in out for out in outputs) == 1
