"""The public cache a PIR service hands out, read-only, under /cache/ (`quorvex serve STATE --cache CACHE`).

    cache = ServedCache.load("cache/", pir.publication)   # refuses the cache of another publication
    app = PirApp(pir, limits, cache)                       # GET /cache/manifest.json, /cache/index/ids.bin, ...

The names served are "checksums.json" and the names it lists, nothing else: a request's decoded path
after /cache/ must be one of them exactly, so no request reaches a file outside the folder. Every file
is opened once, when the cache is loaded, and checked then against its listed size and SHA-256; answers
read the descriptors opened then, so a publication written over the folder while serving (publish puts
folders in place whole) changes nothing served, and no request leads to a lookup on disk.

Answers, beyond the refusals of quorvex.server.http_app:

    200  the whole file                     206  one byte range of it (Range: bytes=a-b, a- or -n)
    304  If-None-Match names its ETag       416  a range that starts past the file (Content-Range: bytes */size)
    404  a name not served                  405  a method other than GET and HEAD (Allow: GET, HEAD)
    400  a request carrying a body (left unread: the connection closes)

A Range header of several ranges, or one that cannot be read, is ignored (200), and so is one whose
If-Range is not the file's ETag. The ETag is the file's SHA-256 as checksums.json lists it (for
checksums.json, the publication identifier). The JSON and JSON Lines files are gzip-compressed when the
request's Accept-Encoding accepts gzip and the whole file is sent; that answer's ETag is "<sha256>-gzip"
and it has no Content-Length. Bodies go out PIECE_BYTES at a time, read (and compressed) on worker
threads, so a connection holds about one piece whatever the file's size; the server closes a connection
whose client stops reading (quorvex.server.http_protocol).
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import functools
import hashlib
import logging
import os
import re
import stat
import zlib
from collections.abc import AsyncIterator
from http import HTTPStatus

from quorvex.server.http_app import CACHE_PATH, Receive, Scope, Send, _accepts_gzip, _Refusal
from quorvex.shared.checksum_list import CHECKSUMS_FILE, MAX_CHECKSUMS_BYTES, listed_files, stream_sha256

__all__ = ["PIECE_BYTES", "ServedCache"]

PIECE_BYTES = 256 * 1024
# Pieces this small are read (and compressed) on the event loop: a worker thread's round trip costs more.
_INLINE_BYTES = 16 * 1024
# Measured on the metadata.jsonl of a 100,000-record cache (23 MB of hexadecimal digests and short
# identifiers): level 1 leaves 0.408 of it at 106 MB/s, level 6 0.391 at 46 MB/s (level 9: 0.389 at
# 28 MB/s). Level 6 would send 4 % fewer bytes for more than twice a core's time per request.
_GZIP_LEVEL = 1
_TEXT_TYPES = {".json": b"application/json", ".jsonl": b"application/x-ndjson"}
_RANGE = re.compile(rb"bytes=([0-9]*)-([0-9]*)", re.IGNORECASE)
_VARY = (b"vary", b"Accept-Encoding")
_log = logging.getLogger("quorvex.http")


@dataclasses.dataclass(frozen=True)
class _ServedFile:
    descriptor: int
    size: int
    etag: bytes  # '"<sha256>"', a strong validator of the file's bytes
    content_type: bytes
    compressible: bool  # text, sent gzip-compressed to clients that accept it

    @classmethod
    def of(cls, name: str, descriptor: int, size: int, sha256: str) -> _ServedFile:
        suffix = os.path.splitext(name)[1]
        return cls(descriptor, size, f'"{sha256}"'.encode(), _TEXT_TYPES.get(suffix, b"application/octet-stream"),
                   suffix in _TEXT_TYPES)


def _open_inside(folder: str, name: str, opened: contextlib.ExitStack) -> int:
    """A descriptor of the regular file name, which must lie in folder once every link is followed."""
    path = os.path.realpath(os.path.join(folder, name))
    if os.path.commonpath((folder, path)) != folder:
        raise ValueError(f"{name} leads outside the cache folder, to {path}")
    try:  # O_NONBLOCK: opening a FIFO must not wait for a writer; reads of a regular file ignore it
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError as error:
        raise ValueError(f"cannot open {name}: {error.strerror}") from None
    opened.callback(os.close, descriptor)
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        raise ValueError(f"{name} is not a regular file")
    return descriptor


def _checked_file(folder: str, name: str, size: int, sha256: str, opened: contextlib.ExitStack) -> _ServedFile:
    descriptor = _open_inside(folder, name, opened)
    actual = os.fstat(descriptor).st_size
    if actual != size:
        raise ValueError(f"{name} holds {actual} bytes, but {CHECKSUMS_FILE} lists {size}")
    with open(descriptor, "rb", buffering=0, closefd=False) as stream:
        if stream_sha256(stream) != sha256:
            raise ValueError(f"{name} does not match its SHA-256 in {CHECKSUMS_FILE}")
    return _ServedFile.of(name, descriptor, size, sha256)


def _requested_name(scope: Scope) -> str:
    """The decoded path after /cache/; "" when a slash in it came percent-encoded (no name has one)."""
    raw = scope.get("raw_path") or scope["path"].encode()
    return "" if b"%2f" in raw.lower() else str(scope["path"]).removeprefix(CACHE_PATH)


def _values(headers: list[tuple[bytes, bytes]], name: bytes) -> list[bytes]:
    return [value.strip() for key, value in headers if key == name]


def _offset(digits: bytes) -> int:
    """A Range header's offset; one of more than 18 digits lies past any file (int() refuses thousands)."""
    digits = digits.lstrip(b"0")
    return int(digits or b"0") if len(digits) <= 18 else 1 << 62


def _requested_range(headers: list[tuple[bytes, bytes]], file: _ServedFile) -> range | None:
    """The bytes one Range asks for; None to send the whole file (no Range, several ranges, one that
    cannot be read, or an If-Range that is not the file's ETag); an empty range when none of the file
    can be sent (416)."""
    ranges, conditions = _values(headers, b"range"), _values(headers, b"if-range")
    match = _RANGE.fullmatch(ranges[0]) if len(ranges) == 1 and conditions in ([], [file.etag]) else None
    if match is None or match.groups() == (b"", b""):
        return None
    first, last = match.groups()
    if not first:  # bytes=-n: the last n bytes
        return range(max(file.size - _offset(last), 0), file.size)
    start = _offset(first)
    if last and _offset(last) < start:  # bytes=5-2 cannot be read
        return None
    if start >= file.size:
        return range(0)
    return range(start, min(_offset(last) + 1, file.size) if last else file.size)


def _matches(headers: list[tuple[bytes, bytes]], etag: bytes) -> bool:
    """Whether If-None-Match names etag, or "*" (compared weakly: W/ is ignored, as HTTP has it)."""
    tags = (tag.strip() for value in _values(headers, b"if-none-match") for tag in value.split(b","))
    return any(tag == b"*" or tag.removeprefix(b"W/") == etag for tag in tags)


def _carries_body(headers: list[tuple[bytes, bytes]]) -> bool:
    return any(key == b"transfer-encoding" or (key == b"content-length" and value.strip() != b"0")
               for key, value in headers)


def _piece(descriptor: int, offset: int, length: int, compressor: zlib._Compress | None) -> bytes:
    data = os.pread(descriptor, length, offset)
    if len(data) != length:
        raise OSError(f"a served file ends {length - len(data)} bytes short of its size when it was loaded")
    return data if compressor is None else compressor.compress(data)


async def _pieces(file: _ServedFile, part: range, compressor: zlib._Compress | None) -> AsyncIterator[bytes]:
    """The file's bytes in part, PIECE_BYTES at a time, each compressed if a compressor is given."""
    for offset in range(part.start, part.stop, PIECE_BYTES):
        read = functools.partial(_piece, file.descriptor, offset, min(PIECE_BYTES, part.stop - offset), compressor)
        yield read() if part.stop - offset <= _INLINE_BYTES else await asyncio.to_thread(read)
    if compressor is not None:
        yield compressor.flush()


async def _disconnection(receive: Receive) -> None:
    while (await receive())["type"] != "http.disconnect":
        pass


async def _send_body(send: Send, receive: Receive, pieces: AsyncIterator[bytes]) -> None:
    """Sends the pieces as the response's body, one at a time, until the client goes away."""
    gone = asyncio.ensure_future(_disconnection(receive))
    try:
        async for piece in pieces:
            if piece:
                await send({"type": "http.response.body", "body": piece, "more_body": True})
            if gone.done():
                return
        await send({"type": "http.response.body", "body": b""})
    except Exception as error:  # noqa: BLE001 - a file changed under the server: the answer is cut short
        _log.error("a cache file could not be sent whole: %s", type(error).__name__)
    finally:
        gone.cancel()


class ServedCache:
    """The files of one public cache, open and checked; answers requests for /cache/<name>."""

    def __init__(self, publication: str, files: dict[str, _ServedFile]):
        self.publication, self._files = publication, files

    @classmethod
    def load(cls, cache_dir: str | os.PathLike[str], publication: str | None) -> ServedCache:
        """Opens and checks the files of the cache of publication (the server state's); a ValueError
        says what is wrong, and leaves nothing open."""
        if publication is None:
            raise ValueError("the server state names no publication (it was written by an older quorvex), so "
                             "no cache can be checked against it: publish again to serve the cache")
        folder = os.path.realpath(cache_dir)
        with contextlib.ExitStack() as opened:
            try:
                descriptor = _open_inside(folder, CHECKSUMS_FILE, opened)
                document = os.pread(descriptor, MAX_CHECKSUMS_BYTES + 1, 0)
                if len(document) > MAX_CHECKSUMS_BYTES:
                    raise ValueError(f"{CHECKSUMS_FILE} holds more than {MAX_CHECKSUMS_BYTES} bytes")
                served = hashlib.sha256(document).hexdigest()
                if served != publication:
                    raise ValueError(f"it is publication {served}, but the server state serves {publication}")
                files = {CHECKSUMS_FILE: _ServedFile.of(CHECKSUMS_FILE, descriptor, len(document), served)}
                for listed in listed_files(document):
                    files[listed.name] = _checked_file(folder, listed.name, listed.size, listed.sha256, opened)
            except (OSError, ValueError) as error:
                raise ValueError(f"cannot serve the cache at {cache_dir}: {error}") from None
            opened.pop_all()
        return cls(publication, files)

    async def answer(self, scope: Scope, receive: Receive, send: Send) -> None:
        """Answers a request for /cache/<name>; a refusal is raised (_Refusal) before anything is sent."""
        file = self._files.get(_requested_name(scope))
        if file is None:
            raise _Refusal(HTTPStatus.NOT_FOUND, "the served cache holds no file of that name")
        if scope["method"] not in ("GET", "HEAD"):
            raise _Refusal(HTTPStatus.METHOD_NOT_ALLOWED, "cache files are read with GET or HEAD",
                           (b"allow", b"GET, HEAD"))
        headers = scope["headers"]
        if _carries_body(headers):
            raise _Refusal(HTTPStatus.BAD_REQUEST, "a request for a cache file carries no body",
                           (b"connection", b"close"))
        vary = (_VARY,) if file.compressible else ()
        part = _requested_range(headers, file)
        compressor = zlib.compressobj(_GZIP_LEVEL, wbits=31) if part is None and file.compressible and \
            _accepts_gzip(headers) else None  # wbits 31: the gzip format, with no time in its header
        etag = file.etag if compressor is None else file.etag[:-1] + b'-gzip"'
        answer = [(b"etag", etag), (b"cache-control", b"no-cache"), *vary]
        if _matches(headers, etag):
            await send({"type": "http.response.start", "status": HTTPStatus.NOT_MODIFIED, "headers": answer})
            await send({"type": "http.response.body", "body": b""})
            return
        if part is not None and not part:
            raise _Refusal(HTTPStatus.REQUESTED_RANGE_NOT_SATISFIABLE, f"the range starts past the file's {file.size} "
                           "bytes", (b"content-range", f"bytes */{file.size}".encode()), *vary)
        answer += [(b"content-type", file.content_type), (b"accept-ranges", b"bytes")]
        status = HTTPStatus.OK if part is None else HTTPStatus.PARTIAL_CONTENT
        if part is None:
            part = range(file.size)
        else:
            answer.append((b"content-range", f"bytes {part.start}-{part.stop - 1}/{file.size}".encode()))
        answer.append((b"content-encoding", b"gzip") if compressor else (b"content-length", str(len(part)).encode()))
        await send({"type": "http.response.start", "status": status, "headers": answer})
        if scope["method"] == "HEAD":
            await send({"type": "http.response.body", "body": b""})
            return
        await _send_body(send, receive, _pieces(file, part, compressor))

    def close(self) -> None:
        """Closes the files' descriptors."""
        for file in self._files.values():
            os.close(file.descriptor)
        self._files = {}
