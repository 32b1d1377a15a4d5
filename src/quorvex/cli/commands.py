"""The quorvex command: publish, serve, pull, ask, verify, distrust and demo.

    quorvex publish docs/ --cache cache/ --server-state state/     # or docs.jsonl
    quorvex serve state/ --cache cache/       # http://127.0.0.1:8765/query, the cache under /cache/
    quorvex ask cache/ "what is a generator?" --server http://127.0.0.1:8765/query
    quorvex ask cache/ --server http://127.0.0.1:8765/query < questions.txt
    quorvex pull http://127.0.0.1:8765 cache/ --publication <id>    # the cache a server serves
    quorvex verify cache/
    quorvex distrust                          # servers whose answers failed their check
    quorvex demo
"""

from __future__ import annotations

import argparse
import dataclasses
import errno
import json
import os
import pathlib
import sys
import warnings
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, TextIO

from quorvex.cli import display
from quorvex.shared import profiles
from quorvex.shared.formats import STATE_FILE
from quorvex.cli.progress import Progress
from quorvex.embedders import EMBEDDER_KINDS, Embedder, best_embedder, make_embedder
from quorvex.server.http_app import Limits
from quorvex.client.http_transport import HttpTransport, server_address
from quorvex.cli.privacy import PRIVACY_NOTE

if TYPE_CHECKING:
    from quorvex.client.retriever import Retrieval
    from quorvex.publisher.records import Chunk

DEFAULT_PORT = 8765
DEFAULT_URL = f"http://127.0.0.1:{DEFAULT_PORT}/query"


def _directory_bytes(path: pathlib.Path) -> int:
    return sum(f.stat().st_size for f in path.rglob("*") if f.is_file())


def _state_not_cache(path: pathlib.Path) -> str | None:
    """Why path, given where a public cache is expected, is the wrong folder, if it is a server state's."""
    if (path / STATE_FILE).is_file() and not (path / "manifest.json").is_file():
        return (f"{path} is a server state folder (it holds {STATE_FILE}), not a public cache: pass the cache "
                "folder that publish wrote beside it")
    return None


def _cache_not_state(path: pathlib.Path) -> str | None:
    """Why path, given where a server state is expected, is the wrong folder, if it is a public cache."""
    if all((path / name).is_file() for name in ("manifest.json", "checksums.json")) and \
            not (path / STATE_FILE).is_file():
        return (f"{path} is a public cache (it holds manifest.json and checksums.json), not a server state "
                "folder: pass the server state folder that publish wrote beside it")
    return None


def _publish_embedder(args: argparse.Namespace) -> Embedder:
    """The embedder named, else the best installed one, saying which."""
    if args.embedder is not None:
        return make_embedder(args.embedder, verbose=args.verbose)
    embedder, why = best_embedder(verbose=args.verbose)
    print(why, flush=True)
    return embedder


def _publish(args: argparse.Namespace) -> int:
    from quorvex.publisher.atomic_dirs import NotEmpty
    from quorvex.publisher.publish_documents import publish_documents
    from quorvex.publisher.sources import left_out_lines, read_sources, skip_summary

    progress = Progress()

    def chunked(chunks: Sequence[Chunk]) -> None:
        print("\n".join(display.plan_lines(documents, chunks)), flush=True)

    try:
        with progress:  # closed before anything below is said
            sources = read_sources(args.path, strict=args.strict, include=args.include or (),
                                   exclude=args.exclude or ())
            skipped = [skip_summary(sources.skipped)] if sources.skipped else []
            for line in [*left_out_lines(sources.left_out), *skipped]:
                print(line, flush=True)
            if sources.excluded:
                print(f"left aside {display.counted(sources.excluded, 'file')} by --include and --exclude", flush=True)
            documents = sources.documents
            embedder = None if documents[0].embedding is not None else _publish_embedder(args)
            result = publish_documents(documents, args.cache, args.server_state, embedder=embedder,
                                       embedding_model=args.embedding_model, profile=args.profile,
                                       record_size_bytes=args.record_size, overwrite=args.overwrite,
                                       reuse_from=args.reuse, cluster=args.cluster, on_progress=progress.update,
                                       on_chunked=chunked)
    except NotEmpty as full:
        raise ValueError(f"{full.target} is not empty; add --overwrite to replace it") from None
    except KeyboardInterrupt:
        # Until publish_documents returns, both folders are written aside and put in place together
        # (quorvex.publisher.atomic_dirs), or the previous pair is put back.
        print("quorvex publish: interrupted; the previous cache and server state are unchanged", file=sys.stderr)
        return 130
    model = embedder.name if embedder is not None else args.embedding_model
    print("\n".join(display.publish_lines(result, len(documents), model, _directory_bytes(result.server_dir))))
    return 0


def _serve(args: argparse.Namespace) -> int:
    from quorvex.server.http_server import PirHttpServer
    from quorvex.server.pir_server import PirServer
    from quorvex.server.served_cache import ServedCache

    mistake = _cache_not_state(args.server_state)
    if mistake:
        raise ValueError(mistake)
    pir = PirServer.load(args.server_state, threads=args.threads)
    try:
        cache = None if args.cache is None else ServedCache.load(args.cache, pir.publication)
    except ValueError as error:
        print(f"quorvex serve: error: {error}", file=sys.stderr)
        return 2
    limits = Limits(max_batch=args.max_batch, max_pending_bytes=args.max_pending_bytes,
                    request_timeout=args.request_timeout, keep_alive_timeout=args.keep_alive_timeout,
                    max_connections=args.max_connections, max_request_bytes=args.max_request_bytes)
    try:
        server = PirHttpServer(pir, args.host, args.port, limits=limits, access_log=args.access_log,
                               workers=args.workers, cache=cache)
    except OSError as error:
        if error.errno != errno.EADDRINUSE:
            raise
        raise OSError(f"cannot listen on {args.host}:{args.port}: the address is already in use; choose another "
                      f"port with --port, or --port 0 for a free one") from None
    print(f"serving {display.count(pir.record_count)} records of {display.count(pir.record_size_bytes)} bytes "
          f"({pir.profile.name}) at {server.url}; Ctrl-C stops", flush=True)
    if pir.publication is not None:
        print(f"publication {pir.publication}", flush=True)
    if cache is not None:
        print(f"public cache {args.cache} (publication {cache.publication}) served read-only at {server.cache_url}",
              flush=True)
    print(f"limits: bodies up to {display.count(server.app.max_request_bytes)} bytes, "
          f"{display.count(limits.max_pending_bytes)} bytes of query documents in flight, "
          f"{limits.max_batch} documents a pass, {limits.max_connections} connections, "
          f"{limits.request_timeout:g} s to send a request; {args.workers} worker(s) of {args.threads} "
          "thread(s)", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


def _questions(arguments: Sequence[str], stdin: TextIO) -> Iterator[str]:
    """The questions in order; "-", or no question at all, reads standard input, one question a line."""
    for argument in arguments or ["-"]:
        if argument != "-":
            yield argument
            continue
        if stdin.isatty():
            print("reading questions from standard input, one a line; Ctrl-D ends", file=sys.stderr)
        yield from (line.strip() for line in stdin if line.strip())


def _print_retrieval(retrieval: Retrieval, server: str) -> None:
    print(f"question: {retrieval.question}")
    print("local hits (searched on this machine):")
    print("\n".join(display.hit_lines(retrieval)))
    print(f"fetched privately from {server}: {display.transfer_line(retrieval)}")
    for chunk in retrieval.chunks:
        print(f"\n--- {chunk.chunk_id} (document {chunk.document_id}, score {chunk.score:.4f})")
        print(chunk.text)


def _ask(args: argparse.Namespace) -> int:
    from quorvex.client.retriever import PrivateRetriever

    # The embedder (a model, for minilm) is loaded once, before the first question; without --embedder,
    # the retriever takes the one of the model the cache names.
    embedder = None if args.embedder is None else make_embedder(args.embedder, verbose=args.verbose)
    try:
        retriever = PrivateRetriever(args.cache, embedder, HttpTransport(args.server, timeout=args.timeout),
                                     top_k=args.top_k, publication=args.publication,
                                     allow_insecure=args.allow_insecure)
    except RuntimeError as error:
        mistake = _state_not_cache(args.cache)
        if mistake:
            raise ValueError(mistake) from None
        if not (args.cache / "manifest.json").is_file():
            raise ValueError(f"{args.cache} is not a quorvex public cache (it holds no manifest.json): {error}") from None
        raise
    # A server this machine distrusts is refused before the first question is read.
    retriever.check_trusted()
    # The first failure ends the command: the retriever would refuse every later question anyway.
    for number, question in enumerate(_questions(args.questions, sys.stdin)):
        retrieval = retriever.retrieve(question)
        if args.json:
            print(json.dumps(dataclasses.asdict(retrieval), ensure_ascii=False), flush=True)
            continue
        if number:
            print()
        _print_retrieval(retrieval, args.server)
        sys.stdout.flush()
    return 0


def _verify(args: argparse.Namespace) -> int:
    from quorvex.client.cache_info import CacheInfo
    from quorvex.client.cache_open import open_cache

    from quorvex.client.retriever import insecurity

    if not args.cache.exists():
        raise ValueError(f"{args.cache} does not exist")
    try:
        client = open_cache(args.cache)
    except RuntimeError as error:
        print(f"FAILED: {_state_not_cache(args.cache) or f'{args.cache} is not a sound public cache: {error}'}")
        return 1
    print(f"ok: {args.cache} passed every check (checksums, manifest, index, PIR scheme and client hint)")
    info = CacheInfo.from_manifest(args.cache, client.manifest_json)
    print("\n".join(display.cache_lines(info)))
    for reason in insecurity(client, info):
        print(f"  warning          {reason}; ask refuses it without --allow-insecure")
    print(f"publication {client.publication}")
    print(PRIVACY_NOTE)
    return 0


def _pull(args: argparse.Namespace) -> int:
    from quorvex.client.pull import pull

    with Progress(in_bytes=True) as progress:
        result = pull(args.url, args.cache, args.publication, trust_first_use=args.trust_first_use,
                      on_progress=lambda done, total: progress.update("fetching the cache", done, total))
    if not result.replaced:
        print(f"{result.path} already holds this publication; nothing was fetched")
    else:
        print(f"fetched {len(result.fetched)} files ({display.count(result.transferred_bytes)} bytes transferred), "
              f"kept {len(result.kept)} already on disk (in the folder, or from an earlier pull); every file matches "
              "checksums.json")
    if args.publication is None:
        print("trusted on first use: this is what the service serves now; pin it from now on with --publication "
              f"{result.publication}, and check it against the identifier its publisher gave out")
    print(f"publication {result.publication}")
    return 0


def _distrust(args: argparse.Namespace) -> int:
    from quorvex.client.distrust import CLEAR_WARNING, DistrustRecord

    record = DistrustRecord()
    if args.action == "list":
        entries = record.entries()
        if not entries:
            print(f"no server is distrusted (record: {record.directory})")
        for entry in entries:
            print(entry.describe())
        return 0
    if args.all == (args.publication is not None or args.server is not None):
        raise ValueError("name what to clear: --publication ID (with --server URL for one server), or --all alone")
    if args.server is not None and args.publication is None:
        raise ValueError("--server clears the entry of one publication at that server: name it with --publication")
    server = None if args.server is None else server_address(args.server)
    print(f"quorvex distrust: warning: {CLEAR_WARNING}", file=sys.stderr)
    removed = record.clear(None if args.all else args.publication, server)
    for entry in removed:
        print(f"cleared: {entry.describe()}")
    if not removed:
        print("nothing to clear: no entry matches")
    return 0


def _demo(args: argparse.Namespace) -> int:
    from quorvex.cli.demo import run_demo

    return run_demo(questions=args.question or None, keep=args.keep, tamper=args.tamper, embedder=args.embedder)


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text}")
    return value


def _publication(text: str) -> str:
    from quorvex.client.retriever import check_publication_id

    try:
        return check_publication_id(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


class _HelpFormatter(argparse.ArgumentDefaultsHelpFormatter):
    """Adds "(default: ...)" to every option with a value to show; an unset option (None) or a flag
    (False) says in its own help what leaving it out means."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        if action.default is None or action.default is False:
            return action.help
        return super()._get_help_string(action)


def _parser() -> argparse.ArgumentParser:
    from quorvex import __version__

    parser = argparse.ArgumentParser(prog="quorvex", description="Private retrieval: publish a document "
                                     "collection, serve it by PIR, search it locally and fetch chunks privately.")
    parser.add_argument("--version", action="version", version=f"quorvex {__version__}")
    # Every subcommand's help shows each option's default ("(default: ...)") from the one formatter.
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    embedding = argparse.ArgumentParser(add_help=False, formatter_class=_HelpFormatter)
    embedding.add_argument("--embedder", choices=EMBEDDER_KINDS,
                           help="hashing (no model), minilm (all-MiniLM-L6-v2 with numpy) or minilm-torch "
                                "(the same model with sentence-transformers and PyTorch); by default publish takes "
                                "minilm where it is installed, else hashing, and ask the model the cache names")
    embedding.add_argument("--verbose", action="store_true",
                           help="let the libraries an embedder loads show their progress bars and notices")

    publish = commands.add_parser("publish", parents=[embedding], formatter_class=_HelpFormatter,
                                  help="chunk, embed and publish a folder of documents or a JSON Lines file")
    publish.add_argument("path", type=pathlib.Path,
                         help="a folder of documents (searched recursively), a document file (.txt .md .rst .html, "
                              ".pdf with the pdf extra) or JSON Lines (.jsonl)")
    publish.add_argument("--strict", action="store_true",
                         help="refuse to publish when any file is skipped (binary, empty, unreadable, not UTF-8 text)")
    publish.add_argument("--include", action="append", metavar="PATTERN",
                         help="publish only the folder's files that match one of these gitignore-style patterns "
                              "(repeatable); files they name are never left out by default")
    publish.add_argument("--exclude", action="append", metavar="PATTERN",
                         help="leave out the folder's files that match this gitignore-style pattern (repeatable); "
                              "by default stylesheets, scripts, images, fonts, archives, data and lock files, "
                              "source maps, HTML made from a file of the same name and documents that repeat "
                              "others are left out, and listed")
    publish.add_argument("--cache", type=pathlib.Path, required=True, help="public cache directory to write")
    publish.add_argument("--server-state", type=pathlib.Path, required=True,
                         help="server state directory to write (outside the cache; keep it private)")
    publish.add_argument("--embedding-model", help="model name of the documents' own embeddings (needed when "
                                                    "they carry them)")
    publish.add_argument("--profile", choices=list(profiles.PROFILES), default=profiles.DEFAULT,
                         help="PIR parameter profile (any but the default is far too weak to hide queries)")
    publish.add_argument("--record-size", type=int, default=profiles.DEFAULT_RECORD_SIZE,
                         help=f"bytes per padded chunk record (fixed at {profiles.SUPPORTED_RECORD_SIZE} for "
                              f"{profiles.RS_SUPPORTED})")
    publish.add_argument("--overwrite", action="store_true", help="replace existing output directories")
    publish.add_argument("--reuse", type=pathlib.Path, metavar="CACHE",
                         help="take the embeddings of the chunks this cache holds unchanged (same model) from it "
                              "instead of embedding them again; by default from the cache being overwritten")
    publish.add_argument("--cluster", metavar="ADDRESS",
                         help="embed the chunks on the workers of this Dask distributed scheduler (tcp://host:port), "
                              "each running this quorvex with the embedder's extras; needs the cluster extra")
    publish.set_defaults(run=_publish)

    serve = commands.add_parser("serve", help="answer PIR queries over HTTP for a server state directory",
                                formatter_class=_HelpFormatter)
    serve.add_argument("server_state", type=pathlib.Path,
                       help="server state directory that `quorvex publish --server-state` wrote")
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (127.0.0.1: loopback only)")
    serve.add_argument("--port", type=int, default=DEFAULT_PORT, help="0 picks a free port")
    serve.add_argument("--max-request-bytes", type=int, default=None,
                       help="largest body accepted (by default, and at most, the store's largest valid query)")
    serve.add_argument("--workers", type=_positive, default=1,
                       help="processes serving the same port, each with its own queue")
    serve.add_argument("--threads", type=_positive, default=1,
                       help="cores one pass over the store may use (with --workers, per worker)")
    serve.add_argument("--max-batch", type=_positive, default=Limits.max_batch,
                       help="query documents answered by one pass over the store")
    serve.add_argument("--max-pending-bytes", type=_positive, default=Limits.max_pending_bytes,
                       help="bytes of query documents admitted and not yet answered; beyond, 503")
    serve.add_argument("--request-timeout", type=float, default=Limits.request_timeout,
                       help="seconds for a request to arrive whole (408 after)")
    serve.add_argument("--keep-alive-timeout", type=float, default=Limits.keep_alive_timeout,
                       help="seconds an idle connection stays open")
    serve.add_argument("--max-connections", type=_positive, default=Limits.max_connections,
                       help="connections served at once; requests on more get a 503")
    serve.add_argument("--cache", type=pathlib.Path,
                       help="also serve this public cache, the one publish wrote beside the state, read-only under "
                            "/cache/ (refused unless it is the state's publication)")
    serve.add_argument("--access-log", action="store_true",
                       help="log every request (client address, request line, status) to stderr")
    serve.set_defaults(run=_serve)

    ask = commands.add_parser("ask", parents=[embedding], help="search a cache locally and fetch the hits privately",
                              formatter_class=_HelpFormatter)
    ask.add_argument("cache", type=pathlib.Path, help="public cache directory that `quorvex publish --cache` wrote")
    ask.add_argument("questions", nargs="*", metavar="QUESTION",
                     help='questions to ask in turn; "-", or none, reads them from standard input, one a line')
    ask.add_argument("--server", default=DEFAULT_URL,
                     help="query URL of a quorvex server; the default is where `quorvex serve` listens by default")
    ask.add_argument("--top-k", type=_positive, default=profiles.DEFAULT_TOP_K,
                     help=f"chunks fetched for each question, from 1 to the {profiles.FIXED_RETRIEVAL_COUNT} PIR "
                          "queries of every retrieval (the others fetch padding)")
    ask.add_argument("--timeout", type=float, default=30.0, help="seconds to wait for the server")
    ask.add_argument("--json", action="store_true", help="print each retrieval as one line of JSON")
    ask.add_argument("--publication", type=_publication,
                     help="refuse the cache unless it is this publication (64 hexadecimal digits, as "
                          "`quorvex verify` and `quorvex publish` print them)")
    ask.add_argument("--allow-insecure", action="store_true",
                     help="use a cache without record digests, or of a profile too weak to hide queries "
                          "(with a warning saying why)")
    ask.set_defaults(run=_ask)

    pull_command = commands.add_parser("pull", formatter_class=_HelpFormatter,
                                       help="fetch the public cache a server serves (quorvex serve --cache), "
                                            "checked against the publication you trust")
    pull_command.add_argument("url", help="the server's address, e.g. http://127.0.0.1:8765 (its /cache/ folder)")
    pull_command.add_argument("cache", type=pathlib.Path,
                              help="the cache folder to create or update (new, empty, or a public cache)")
    pull_command.add_argument("--publication", type=_publication,
                              help="the publication to accept, as its publisher gave it out (64 hexadecimal digits)")
    pull_command.add_argument("--trust-first-use", action="store_true",
                              help="without --publication: accept what the server serves and print its "
                                   "identifier to pin")
    pull_command.set_defaults(run=_pull)

    verify = commands.add_parser("verify", help="open a cache with every check and report what it holds",
                                 formatter_class=_HelpFormatter)
    verify.add_argument("cache", type=pathlib.Path, help="public cache directory to check")
    verify.set_defaults(run=_verify)

    distrust = commands.add_parser("distrust", formatter_class=_HelpFormatter,
                                   help="list or clear the servers this machine no longer asks, after an answer "
                                        "failed its check")
    distrust.add_argument("action", nargs="?", choices=("list", "clear"), default="list",
                          help="list the record, or clear entries from it")
    distrust.add_argument("--publication", type=_publication, help="clear the entries of this publication")
    distrust.add_argument("--server", help="with --publication: clear only the entry of this server URL")
    distrust.add_argument("--all", action="store_true", help="clear every entry, damaged ones included")
    distrust.set_defaults(run=_distrust)

    demo = commands.add_parser("demo", help="publish Python's documentation topics, serve them and ask questions",
                               formatter_class=_HelpFormatter)
    demo.add_argument("--question", action="append", help="ask this instead of the built-in questions "
                                                          "(repeatable)")
    demo.add_argument("--keep", type=pathlib.Path, help="write the cache and server state here (by default the "
                                                               "demo keeps them in the user's cache folder and "
                                                               "reuses them)")
    demo.add_argument("--embedder", choices=EMBEDDER_KINDS,
                      help="as for publish and ask; by default minilm where it is installed, else hashing")
    demo.add_argument("--tamper", action="store_true", help="then ask again through a server that alters its "
                                                            "answers, and show the client catching it")
    demo.set_defaults(run=_demo)
    return parser


def _parse(argv: Sequence[str] | None) -> argparse.Namespace:
    """The parsed arguments; ask's questions may also follow its options (argparse gives a positional
    that takes any number of arguments only those before the first option)."""
    parser = _parser()
    args, rest = parser.parse_known_args(argv)
    if args.command == "ask":
        args.questions += [r for r in rest if r == "-" or not r.startswith("-")]
        rest = [r for r in rest if r != "-" and r.startswith("-")]
    if rest:
        parser.error(f"unrecognized arguments: {' '.join(rest)}")
    return args


def _warning_line(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                  line: str | None = None) -> str:
    return f"quorvex: warning: {message}\n"


def main(argv: Sequence[str] | None = None) -> int:
    args = _parse(argv)
    warnings.formatwarning = _warning_line  # one line, without the source line that raised it
    # Chunk texts may hold any character; a terminal that cannot show one gets a replacement.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="replace")
    try:
        code: int = args.run(args)
        return code
    except BrokenPipeError:
        # The reader of the output went away (`quorvex verify cache/ | head -1`): nothing left to say.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (ValueError, RuntimeError, OSError) as error:
        print(f"quorvex {args.command}: error: {error}", file=sys.stderr)
        return 1
