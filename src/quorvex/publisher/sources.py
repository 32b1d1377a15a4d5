"""Finding the documents to publish: a JSON Lines file, one document file, or a folder of them.

A folder is searched recursively in sorted order, leaving out hidden files and folders (names
starting with "."). Each file is one Document: its id is its path relative to the folder (the file
name for a single file), its metadata {"path": that path, "title": its title where the format has
one}, and its blocks the structure its reader found; a file of no known format that holds UTF-8
text is read as plain text. Files that are not documents (binary, empty, unreadable, not UTF-8
text, or that their parser refuses) are skipped with a reason; with strict=True any skip refuses
the whole collection.

Which files of a folder are read: those that match an `include` pattern, if any are given, and no
`exclude` pattern (gitignore-style patterns relative to the folder, matched with pathspec, the
library that tools such as black use to read .gitignore files). Left out by default, with the
reason, unless an include pattern names them: files that are not prose (stylesheets, scripts,
images, fonts, archives, data files, lock files and source maps, by name); an HTML page beside a
Markdown, reStructuredText or text file of the same name (the page made from it); and a document
whose paragraphs are mostly found in the documents kept before it (source formats first, HTML
last), such as a single page that gathers all the others.
"""

from __future__ import annotations

import os
import pathlib
import re
import stat
from collections.abc import Sequence
from dataclasses import dataclass

import pathspec

from quorvex.publisher.documents import Document, read_documents
from quorvex.publisher.chunker import Block
from quorvex.publisher.readers import READERS, NotADocument, Parsed, read_pdf

__all__ = ["Skipped", "Sources", "document_format", "left_out_lines", "read_sources", "skip_summary"]

JSON_LINES_SUFFIXES = (".jsonl", ".ndjson")

# Files that are not prose, by kind: their name suffixes.
_NOT_PROSE = {
    "stylesheet": (".css", ".scss", ".sass", ".less"),
    "script": (".js", ".mjs", ".cjs", ".jsx", ".ts", ".tsx", ".py", ".rb", ".pl", ".php", ".sh", ".bash", ".ps1",
               ".bat", ".cmd"),
    "image": (".svg", ".png", ".jpg", ".jpeg", ".gif", ".webp", ".ico", ".bmp", ".tif", ".tiff"),
    "font": (".woff", ".woff2", ".ttf", ".otf", ".eot"),
    "archive": (".gz", ".zip", ".tar", ".tgz", ".bz2", ".xz", ".zst", ".7z"),
    "data file": (".json", ".jsonc", ".jsonl", ".ndjson", ".yaml", ".yml", ".toml", ".xml", ".csv", ".tsv", ".ini"),
    "source map": (".map",),
}
_LOCK_FILES = {"package-lock.json", "npm-shrinkwrap.json", "yarn.lock", "pnpm-lock.yaml", "poetry.lock",
               "Pipfile.lock", "Cargo.lock", "Gemfile.lock", "composer.lock", "go.sum", "uv.lock"}
# The kinds of files left out, and their plurals.
_MADE_FROM_SOURCE = "HTML page made from the file of the same name beside it"
_REPEATS = "document that repeats others"
_PLURALS = {_MADE_FROM_SOURCE: "HTML pages made from the file of the same name beside them",
            _REPEATS: "documents that repeat others", "data file": "data files", "lock file": "lock files",
            "source map": "source maps"}
# Formats an HTML page of the same name may be made from.
_SOURCE_SUFFIXES = (".md", ".markdown", ".rst", ".txt")
_HTML_SUFFIXES = (".html", ".htm")
# A document repeats the others when at least this share of its paragraphs (those of at least
# _PARAGRAPH_CHARACTERS, compared by their words) appears in the documents kept before it.
_REPEATED_SHARE = 0.5
_PARAGRAPH_CHARACTERS = 40
_WORD = re.compile(r"[a-z0-9]+")
_FORMATS = {".md": "Markdown", ".markdown": "Markdown", ".rst": "reStructuredText", ".html": "HTML", ".htm": "HTML",
            ".pdf": "PDF"}


@dataclass(frozen=True)
class Skipped:
    path: str
    reason: str


@dataclass(frozen=True)
class Sources:
    documents: list[Document]
    skipped: list[Skipped]
    left_out: Sequence[Skipped] = ()  # by default, each with its kind ("stylesheet", ...)
    excluded: int = 0  # files the exclude patterns, or the include patterns, left aside


def document_format(document: Document) -> str:
    """The format of a document's file ("Markdown", "HTML", ...; "plain text" for other text files),
    or "JSON Lines" for a document without a file."""
    path = document.metadata.get("path") if isinstance(document.metadata, dict) else None
    if not isinstance(path, str):
        return "JSON Lines"
    return _FORMATS.get(pathlib.PurePosixPath(path).suffix.lower(), "plain text")


def _not_prose(name: str) -> str | None:
    """The kind of a file that is not prose, by its name."""
    base = pathlib.PurePosixPath(name).name
    if base in _LOCK_FILES or base.endswith(".lock"):
        return "lock file"
    suffix = pathlib.PurePosixPath(name).suffix.lower()
    return next((kind for kind, suffixes in _NOT_PROSE.items() if suffix in suffixes), None)


def _made_from_source(name: str, names: set[str]) -> bool:
    """Whether an HTML page has a file of the same name beside it in a format it may be made from."""
    path = pathlib.PurePosixPath(name)
    return path.suffix.lower() in _HTML_SUFFIXES and any(str(path.with_suffix(s)) in names for s in _SOURCE_SUFFIXES)


def _paragraphs(blocks: Sequence[Block]) -> list[str]:
    return [" ".join(_WORD.findall(b.text.lower())) for b in blocks if len(b.text) >= _PARAGRAPH_CHARACTERS]


def _without_repeats(parsed: list[tuple[str, Parsed]], left_out: list[Skipped]) -> list[tuple[str, Parsed]]:
    """The documents that do not repeat those kept before them (source formats first, HTML last)."""
    seen: set[str] = set()
    kept = []
    for name, (title, blocks) in sorted(parsed, key=lambda item: (item[0].lower().endswith(_HTML_SUFFIXES), item[0])):
        paragraphs = _paragraphs(blocks)
        if paragraphs and sum(p in seen for p in paragraphs) >= _REPEATED_SHARE * len(paragraphs):
            left_out.append(Skipped(name, _REPEATS))
            continue
        seen.update(paragraphs)
        kept.append((name, (title, blocks)))
    return sorted(kept)


def _files(folder: pathlib.Path, skipped: list[Skipped]) -> list[str]:
    """Relative paths (with "/") of the folder's files, sorted, without hidden files and folders;
    a folder that cannot be listed is added to skipped."""
    def unlisted(error: OSError) -> None:
        where = pathlib.Path(error.filename).relative_to(folder).as_posix() if error.filename else str(folder)
        skipped.append(Skipped(where + "/", f"unreadable: {(error.strerror or str(error)).lower()}"))

    found = []
    for directory, folders, names in os.walk(folder, onerror=unlisted):
        folders[:] = [name for name in folders if not name.startswith(".")]
        relative = pathlib.Path(directory).relative_to(folder)
        found += [(relative / name).as_posix() for name in names if not name.startswith(".")]
    return sorted(found)


def _text(data: bytes) -> str:
    """The text of a file that is not a PDF, without a byte order mark; NotADocument unless UTF-8 text."""
    if b"\0" in data:
        raise NotADocument("binary")
    try:
        return data.decode("utf-8").removeprefix("\ufeff")
    except UnicodeDecodeError:
        raise NotADocument("not UTF-8 text") from None


def _parse(path: pathlib.Path) -> Parsed:
    """The title and blocks of one file; NotADocument says why it is not a document."""
    try:
        if not stat.S_ISREG(path.stat().st_mode):
            raise NotADocument("not a regular file")
        data = path.read_bytes()
    except OSError as error:
        raise NotADocument(f"unreadable: {(error.strerror or str(error)).lower()}") from None
    if not data.strip():
        raise NotADocument("empty")
    suffix = path.suffix.lower()
    text = None if suffix == ".pdf" else _text(data)
    try:
        # Any other text file (a license named "Apache-2.0", a ".log", ...) is read as plain text.
        title, blocks = read_pdf(data) if text is None else READERS.get(suffix, READERS[""])(text)
    except NotADocument:
        raise
    except Exception as error:  # a parser failing on hostile content makes a skip, not a crash
        raise NotADocument(f"cannot be parsed: {type(error).__name__}") from None
    if not blocks:
        raise NotADocument("no text")
    return title, blocks


def _is_unicode(name: str) -> bool:
    """Whether a file name is text (names that are not UTF-8 come with lone surrogates)."""
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def read_sources(path: str | pathlib.Path, *, strict: bool = False, include: Sequence[str] = (),
                 exclude: Sequence[str] = ()) -> Sources:
    """The documents at path (a JSON Lines file, a document file or a folder), the files skipped and
    those left out by default; include and exclude select a folder's files (see above).

    Raises ValueError when nothing is left to publish, or with strict=True when any file is skipped.
    """
    path = pathlib.Path(path)
    if path.suffix.lower() in JSON_LINES_SUFFIXES and path.is_file():
        return Sources(read_documents(path), [])
    skipped: list[Skipped] = []
    left_out: list[Skipped] = []
    excluded = 0
    if path.is_dir():
        root, names = path, _files(path, skipped)
        included = pathspec.GitIgnoreSpec.from_lines(include)
        dropped = pathspec.GitIgnoreSpec.from_lines(exclude)
        chosen = [n for n in names if (not include or included.match_file(n)) and not dropped.match_file(n)]
        excluded, named, names = len(names) - len(chosen), set(chosen), []
        for name in chosen:  # under --include every chosen file was named by a pattern, so none is left out
            kind = None if include else _not_prose(name) or (
                _MADE_FROM_SOURCE if _made_from_source(name, named) else None)
            if kind is None:
                names.append(name)
            else:
                left_out.append(Skipped(name, kind))
    elif path.exists():
        root, names = path.parent, [path.name]
    else:
        raise ValueError(f"{path} does not exist")
    parsed: list[tuple[str, Parsed]] = []
    for name in names:
        try:
            if not _is_unicode(name):
                raise NotADocument("name not UTF-8")
            parsed.append((name, _parse(root / name)))
        except NotADocument as reason:
            skipped.append(Skipped(name.encode("utf-8", "replace").decode(), str(reason)))
    if not include:
        parsed = _without_repeats(parsed, left_out)
    documents = []
    for name, (title, blocks) in parsed:
        text = "\n\n".join(block.text for block in blocks)
        metadata = {"path": name, **({"title": title} if title else {})}
        documents.append(Document(name, text, metadata, None, tuple(blocks)))
    skipped.sort(key=lambda skip: skip.path)
    left_out.sort(key=lambda skip: (skip.reason, skip.path))
    if strict and skipped:
        raise ValueError(f"--strict: {skip_summary(skipped).replace('skipped', 'refusing to skip', 1)}")
    if not documents:
        raise ValueError(f"{path} holds no documents" + (f" ({skip_summary(skipped)})" if skipped else "") +
                         (f" ({excluded} files left aside by the patterns)" if excluded else ""))
    return Sources(documents, skipped, left_out, excluded)


def left_out_lines(left_out: Sequence[Skipped], most: int = 5) -> list[str]:
    """One line per kind: "left out 2 stylesheets: a.css, b.css", naming at most `most` files."""
    kinds: dict[str, list[str]] = {}
    for skip in left_out:
        kinds.setdefault(skip.reason, []).append(skip.path)
    lines = []
    for kind, paths in kinds.items():
        label = kind if len(paths) == 1 else _PLURALS.get(kind, kind + "s")
        shown = ", ".join(paths[:most]) + (f" and {len(paths) - most} more" if len(paths) > most else "")
        lines.append(f"left out {len(paths)} {label}: {shown}")
    return lines


def skip_summary(skipped: list[Skipped]) -> str:
    """One line: "skipped 2 files: a.bin (binary), empty.txt (empty)"."""
    files = "file" if len(skipped) == 1 else "files"
    return f"skipped {len(skipped)} {files}: " + ", ".join(f"{s.path} ({s.reason})" for s in skipped)
