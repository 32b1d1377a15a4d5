"""Finding the documents to publish: a JSON Lines file, one document file, or a folder of them.

A folder is searched recursively in sorted order, leaving out hidden files and folders (names
starting with "."). Each file is one Document: its id is its path relative to the folder (the file
name for a single file), its metadata {"path": that path, "title": its title where the format has
one}, and its blocks the structure its reader found; a file of no known format that holds UTF-8
text is read as plain text. Files that are not documents (binary, empty, unreadable, not UTF-8
text, or that their parser refuses) are skipped with a reason; with strict=True any skip refuses
the whole collection.
"""

from __future__ import annotations

import os
import pathlib
import stat
from dataclasses import dataclass

from quorvex.publisher.documents import Document, read_documents
from quorvex.publisher.readers import READERS, NotADocument, Parsed, read_pdf

__all__ = ["Skipped", "Sources", "read_sources", "skip_summary"]

JSON_LINES_SUFFIXES = (".jsonl", ".ndjson")


@dataclass(frozen=True)
class Skipped:
    path: str
    reason: str


@dataclass(frozen=True)
class Sources:
    documents: list[Document]
    skipped: list[Skipped]


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


def read_sources(path: str | pathlib.Path, *, strict: bool = False) -> Sources:
    """The documents at path (a JSON Lines file, a document file or a folder) and the files skipped.

    Raises ValueError when nothing is left to publish, or with strict=True when any file is skipped.
    """
    path = pathlib.Path(path)
    if path.suffix.lower() in JSON_LINES_SUFFIXES and path.is_file():
        return Sources(read_documents(path), [])
    documents: list[Document] = []
    skipped: list[Skipped] = []
    if path.is_dir():
        root, names = path, _files(path, skipped)
    elif path.exists():
        root, names = path.parent, [path.name]
    else:
        raise ValueError(f"{path} does not exist")
    for name in names:
        try:
            if not _is_unicode(name):
                raise NotADocument("name not UTF-8")
            title, blocks = _parse(root / name)
        except NotADocument as reason:
            skipped.append(Skipped(name.encode("utf-8", "replace").decode(), str(reason)))
            continue
        text = "\n\n".join(block.text for block in blocks)
        metadata = {"path": name, **({"title": title} if title else {})}
        documents.append(Document(name, text, metadata, None, tuple(blocks)))
    skipped.sort(key=lambda skip: skip.path)
    if strict and skipped:
        raise ValueError(f"--strict: {skip_summary(skipped).replace('skipped', 'refusing to skip', 1)}")
    if not documents:
        raise ValueError(f"{path} holds no documents" + (f" ({skip_summary(skipped)})" if skipped else ""))
    return Sources(documents, skipped)


def skip_summary(skipped: list[Skipped]) -> str:
    """One line: "skipped 2 files: a.bin (binary), empty.txt (empty)"."""
    files = "file" if len(skipped) == 1 else "files"
    return f"skipped {len(skipped)} {files}: " + ", ".join(f"{s.path} ({s.reason})" for s in skipped)
