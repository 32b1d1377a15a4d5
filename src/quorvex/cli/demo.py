"""quorvex demo: a private retrieval end to end, on a corpus every Python installation carries.

The documentation topics of pydoc_data.topics (one document per topic) are chunked,
embedded (with MiniLM where it is installed, else with the hashing embedder) and published
with quorvex's default profile; the PIR server answers over HTTP on a free loopback port in a
background thread; each question is searched locally and its hits fetched privately.
Everything stays on this machine.

The published corpus is kept in the user's cache folder ($XDG_CACHE_HOME, else ~/.cache), under
quorvex/demo-<hash of the Python version, the embedding model and quorvex's version>, and the
next demo reuses it once it opens with every check, so that it starts in seconds.
"""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import os
import pathlib
import platform
import tempfile
import time
from collections.abc import Iterator, Sequence

from quorvex._native import NativeClient, __version__
from quorvex.cli import display
from quorvex.cli.privacy import PRIVACY_NOTE
from quorvex.client.cache_info import CacheInfo
from quorvex.client.http_transport import HttpTransport
from quorvex.client.distrust import DistrustRecord
from quorvex.client.retriever import PrivateRetriever, ServerDistrusted, TamperedChunk
from quorvex.embedders import Embedder, best_embedder, make_embedder
from quorvex.publisher.atomic_dirs import holds_files
from quorvex.publisher.documents import Document
from quorvex.publisher.publish_documents import publish_documents
from quorvex.server.http_server import PirHttpServer, serve_in_background
from quorvex.server.pir_server import AnswerAlteration, PirServer, QueryError

__all__ = ["DEFAULT_QUESTIONS", "cache_folder", "run_demo", "topic_documents"]

DEFAULT_QUESTIONS = (
    "How does the with statement use a context manager?",
    "What does the yield expression do in a generator function?",
    "What does the finally clause of a try statement do?",
)
PREVIEW_CHARACTERS = 240
SERVER_VIEW_CHARACTERS = 200


def topic_documents() -> list[Document]:
    """One document per documentation topic, in the order of their names."""
    from pydoc_data.topics import topics

    return [Document(name, text) for name, text in sorted(topics.items()) if text.strip()]


class _ServerView:
    """Wraps the PIR server to record what it receives, as an operator's log would."""

    def __init__(self, pir: PirServer):
        self.pir = pir
        self.max_query_bytes = pir.max_query_bytes
        self.received: list[bytes] = []

    def answer_batch(self, query_documents: Sequence[bytes]) -> list[bytes | QueryError]:
        self.received.extend(bytes(document) for document in query_documents)
        return self.pir.answer_batch(query_documents)


def _say(text: str = "") -> None:
    print(text, flush=True)


def _embedder(kind: str | None) -> Embedder:
    """The embedder asked for; without one, MiniLM where it is installed, else the hashing embedder."""
    if kind is not None:
        embedder = make_embedder(kind)
        _say(f"embedder: {embedder.name} (--embedder {kind})")
        return embedder
    embedder, why = best_embedder(verbose=False)
    _say(why)
    return embedder


def cache_folder(embedder: Embedder) -> pathlib.Path:
    """Where the demo keeps its published corpus for this Python, embedding model and quorvex."""
    root = os.environ.get("XDG_CACHE_HOME", "")
    base = pathlib.Path(root) if os.path.isabs(root) else pathlib.Path.home() / ".cache"
    key = hashlib.sha256(f"{platform.python_version()}\0{embedder.name}\0{__version__}".encode()).hexdigest()
    return base / "quorvex" / f"demo-{key[:12]}"


def _published_before(workdir: pathlib.Path, embedder: Embedder) -> bool:
    """Whether workdir holds a cache of this embedder that opens with every check, and the server state of that
    publication."""
    try:
        client = NativeClient.open_public_cache(str(workdir / "cache"))
        info = CacheInfo.from_manifest(workdir / "cache", client.manifest_json)
        return (info.embedding_model == embedder.name and
                PirServer.load(workdir / "server-state").publication == client.publication)
    except (RuntimeError, ValueError, OSError):
        return False


@contextlib.contextmanager
def _only_demo_in(workdir: pathlib.Path) -> Iterator[None]:
    """Holds workdir's lock while the block runs: a second demo publishing into the same folder waits,
    then finds the first one's publication and reuses it instead of replacing it."""
    workdir.mkdir(parents=True, exist_ok=True)
    with open(workdir / ".demo.lock", "a") as lock:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            _say(f"   (another demo is publishing into {workdir}; waiting for it)")
            fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def _publish(workdir: pathlib.Path, embedder: Embedder, reuse: bool,
             replace: bool) -> tuple[pathlib.Path, pathlib.Path]:
    """reuse: take an earlier demo's publication in workdir; replace: workdir is the demo's own folder, so what
    else it holds may be published over (never a folder the user named)."""
    documents = topic_documents()
    text_bytes = sum(len(d.text.encode("utf-8")) for d in documents)
    _say(f"1. Publish (done once, by whoever owns the documents)")
    _say(f"   corpus: pydoc_data.topics of Python {platform.python_version()}: {len(documents)} topics, "
         f"{display.count(text_bytes)} bytes of text")
    cache, state = workdir / "cache", workdir / "server-state"
    if reuse and _published_before(workdir, embedder):
        _say(f"   published by an earlier demo into {workdir}; reusing it (it opened with every check)")
        return cache, state
    if not replace and (holds_files(cache) or holds_files(state)):
        raise ValueError(f"{workdir} holds files that are not a demo publication of the {embedder.name} embedder "
                         "that opens with every check; the demo replaces nothing in a folder you name: give "
                         "--keep a new or empty folder")
    _say(f"   chunking, embedding and publishing into {workdir} ...")
    started = time.perf_counter()
    result = publish_documents(documents, cache, state, embedder=embedder, overwrite=replace)
    elapsed = time.perf_counter() - started
    server_bytes = sum(f.stat().st_size for f in state.rglob("*") if f.is_file())
    for line in display.publish_lines(result, len(documents), embedder.name, server_bytes):
        _say(f"   {line}")
    _say(f"   chunking, embedding and publishing took {elapsed:.2f} s" +
         ("; the next demo reuses what it wrote" if reuse else ""))
    return cache, state


def _ask(retriever: PrivateRetriever, view: _ServerView, number: int, total: int, question: str) -> None:
    _say()
    _say(f"   Question {number}/{total}: {question}")
    retrieval = retriever.retrieve(question)
    _say("   local hits (searched on this machine, nothing sent):")
    for line in display.hit_lines(retrieval):
        _say(f"   {line}")
    _say(f"   private fetch: {display.transfer_line(retrieval)}")
    seen = view.received[-1].decode("ascii", "replace")
    _say(f"   what the server received: {seen[:SERVER_VIEW_CHARACTERS]}…")
    _say("   fetched texts (decoded here; the server cannot tell which chunks they are):")
    for chunk in retrieval.chunks:
        _say(f"     [{chunk.chunk_id}] {display.trimmed(chunk.text, PREVIEW_CHARACTERS)}")
    _say(f"   timings: {display.timing_line(retrieval)}")


# The answer element a dishonest server alters with --tamper: it decodes into a few bytes of each
# fetched record (chunk text or the zero filler after it), whichever record that is.
TAMPERED_LANE = 100


def _tamper(cache: pathlib.Path, state: pathlib.Path, embedder: Embedder, question: str) -> None:
    _say()
    _say("5. A dishonest server (--tamper)")
    _say(f"   this server adds one plaintext step to answer element {TAMPERED_LANE} of every response: the "
         "record each query fetches decodes with a few bits changed, though the server cannot tell which "
         "records those are")
    liar = PirServer.load(state, alteration=AnswerAlteration(lane=TAMPERED_LANE))
    # The demo's liar is remembered in a folder of its own, not in the user's distrust record.
    with serve_in_background(PirHttpServer(liar)) as server, tempfile.TemporaryDirectory() as remembered:
        retriever = PrivateRetriever(cache, embedder, HttpTransport(server.url, timeout=30),
                                     distrust=DistrustRecord(remembered))
        _say(f"   Question: {question}")
        try:
            retrieval = retriever.retrieve(question)
        except TamperedChunk as caught:
            _say(f"   caught: {caught}")
            _say("   (every record of every column the queries touched, padding queries included, is checked "
                 "against the SHA-256 that the verified cache holds for it, so every retrieval fails alike whichever "
                 "records it fetched)")
        else:
            _say(f"   NOT caught: the retrieval returned {[c.chunk_id for c in retrieval.chunks]}")
            return
        _say(f"   Asked again, in a new retriever: {question}")
        try:
            PrivateRetriever(cache, embedder, HttpTransport(server.url, timeout=30),
                             distrust=DistrustRecord(remembered)).retrieve(question)
        except ServerDistrusted as refused:
            _say(f"   refused: {refused}")
            _say("   (the failure is recorded on disk, so no process of this user asks that server for this "
                 "publication again until the record is cleared)")
        else:
            _say("   NOT refused: the second retriever asked the server again")


def _run(workdir: pathlib.Path, embedder: Embedder, questions: Sequence[str], tamper: bool,
         reuse: bool, replace: bool) -> None:
    with _only_demo_in(workdir):
        cache, state = _publish(workdir, embedder, reuse, replace)
    _say()
    _say("2. Serve (the server holds the padded records and answers PIR queries)")
    view = _ServerView(PirServer.load(state))
    with serve_in_background(PirHttpServer(view)) as server:
        _say(f"   listening on {server.url} (loopback only, background thread of this process)")
        _say()
        _say("3. Open the cache (the client verifies every file once)")
        started = time.perf_counter()
        retriever = PrivateRetriever(cache, embedder, HttpTransport(server.url, timeout=30))
        _say(f"   checksums, manifest, index and PIR client hint verified in "
             f"{display.milliseconds(time.perf_counter() - started)}")
        _say()
        _say("4. Ask (embed and search locally, fetch the hits by PIR, decode locally)")
        for number, question in enumerate(questions, start=1):
            _ask(retriever, view, number, len(questions), question)
    if tamper:
        _tamper(cache, state, embedder, questions[0])
    sizes = sorted({len(document) for document in view.received})
    _say()
    if len(sizes) == 1:
        _say(f"The server answered {len(view.received)} requests, every one of exactly {display.count(sizes[0])} "
             "bytes: it cannot tell the questions apart by their size.")
    else:
        _say(f"The server answered {len(view.received)} requests of "
             f"{', '.join(display.count(s) for s in sizes)} bytes.")
    _say(PRIVACY_NOTE)


def run_demo(questions: Sequence[str] | None = None, keep: pathlib.Path | None = None, tamper: bool = False,
             embedder: str | None = None) -> int:
    """embedder: a kind of quorvex.embedders, or None for MiniLM where it is installed, else hashing."""
    questions = list(questions) if questions else list(DEFAULT_QUESTIONS)
    _say("quorvex demo: private retrieval over Python's documentation topics, all on this machine")
    chosen = _embedder(embedder)
    _say()
    if keep is not None:
        _run(pathlib.Path(keep), chosen, questions, tamper, reuse=True, replace=False)
        _say(f"Kept the cache in {keep / 'cache'} and the server state in {keep / 'server-state'}.")
        return 0
    workdir = cache_folder(chosen)
    try:
        workdir.mkdir(parents=True, exist_ok=True)
    except OSError as error:  # a read-only home, say: publish into a temporary folder instead
        _say(f"(cannot keep the corpus in {workdir}: {error}; publishing into a temporary folder)")
        with tempfile.TemporaryDirectory(prefix="quorvex-demo-") as temporary:
            _run(pathlib.Path(temporary), chosen, questions, tamper, reuse=False, replace=False)
        return 0
    _run(workdir, chosen, questions, tamper, reuse=True, replace=True)
    return 0
