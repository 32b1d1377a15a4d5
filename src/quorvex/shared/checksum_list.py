"""The files a public cache's "checksums.json" lists, as a service hands them out and a pull fetches them.

Its bytes name the publication (their SHA-256), so both sides read the same bytes the same way: a
JSON object with "algorithm" and "files", each file a plain relative path with its size in bytes and
SHA-256. A name is a path of named components: none empty, ".", "..", or hidden (starting with "."),
no backslash or NUL; so no listed name leads out of the cache's folder, and none meets the names a
pull keeps beside a cache's files while it works.
"""

from __future__ import annotations

import hashlib
import json
import pathlib
import re
from dataclasses import dataclass
from typing import BinaryIO

__all__ = ["CHECKSUMS_FILE", "MAX_CHECKSUMS_BYTES", "ListedFile", "file_sha256", "listed_files", "stream_sha256"]

CHECKSUMS_FILE = "checksums.json"
# checksums.json names about ten files in about a kilobyte; anything far larger is not one.
MAX_CHECKSUMS_BYTES = 1 << 20
_SHA256 = re.compile(r"[0-9a-f]{64}")
# Bytes hashed at a time: a file's digest takes memory for one piece, whatever its size.
_PIECE = 1 << 20


@dataclass(frozen=True)
class ListedFile:
    name: str
    size: int
    sha256: str


def _is_plain_name(name: str) -> bool:
    return "\\" not in name and "\0" not in name and all(part and not part.startswith(".") for part in name.split("/"))


def listed_files(document: bytes) -> list[ListedFile]:
    """The files checksums.json lists, in the order of their names; ValueError saying what is wrong."""
    try:
        checksums = json.loads(document)
        if checksums["algorithm"] != "sha256":
            raise ValueError(f"the algorithm is {checksums['algorithm']!r}, not sha256")
        files = [ListedFile(name, entry["size_bytes"], entry["sha256"]) for name, entry in checksums["files"].items()]
    except (ValueError, TypeError, KeyError, AttributeError, RecursionError) as error:
        raise ValueError(f"{CHECKSUMS_FILE} is not a list of the cache's files ({type(error).__name__}: {error})") \
            from None
    for file in files:
        if not _is_plain_name(file.name) or file.name == CHECKSUMS_FILE:
            raise ValueError(f"{CHECKSUMS_FILE} lists {file.name!r}, which is not a plain relative path to a file "
                             "it lists")
        if type(file.size) is not int or file.size < 0 or not (isinstance(file.sha256, str)
                                                                and _SHA256.fullmatch(file.sha256)):
            raise ValueError(f"{CHECKSUMS_FILE} gives {file.name} no size in bytes and SHA-256")
    return sorted(files, key=lambda file: file.name)


def stream_sha256(stream: BinaryIO) -> str:
    """The hexadecimal SHA-256 of what is left to read in a binary stream."""
    digest = hashlib.sha256()
    while piece := stream.read(_PIECE):
        digest.update(piece)
    return digest.hexdigest()


def file_sha256(path: pathlib.Path) -> str:
    """The hexadecimal SHA-256 of a file, as checksums.json lists it."""
    with open(path, "rb") as file:
        return stream_sha256(file)
