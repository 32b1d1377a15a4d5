"""Downloading the files of a public cache from the service that serves it (quorvex serve --cache),
each checked against the size and digest its checksums.json lists while it arrives.

    downloader = CacheDownloader("http://127.0.0.1:8765", PullLimits())
    checksums = downloader.fetch_small("checksums.json", MAX_CHECKSUMS_BYTES)
    downloader.fetch_file("index/vectors.bin", size, sha256, partial_path, on_bytes)

A file is streamed to its partial path in pieces, so memory holds one piece whatever the file's
size; a partial path that already holds the start of the file is continued with a byte range
(If-Range: the file's digest, so a server whose file changed sends it whole instead). Text files
are asked for gzip-compressed when fetched from their start, and never inflate beyond their size.
Everything a server can do wrong ends in a PullError naming the file and the cause: a refusal, a
size other than the listed one, bytes beyond it (an endless body is read no further), a body cut
short (its bytes are kept, for the next pull to continue), bytes that do not match the digest
(they are removed, as are those of any answer that cannot be the file), a stall of `timeout`
seconds, an average below `min_bytes_per_second`, or a redirect to another host. Connections go
through the environment's proxy as the query transport's do (quorvex.client.http_transport.HttpEndpoint);
one is kept open from file to file.
"""

from __future__ import annotations

import hashlib
import http.client
import os
import pathlib
import time
import urllib.parse
import zlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass

from quorvex.client.http_transport import HttpEndpoint

__all__ = ["CACHE_PATH", "CacheDownloader", "PullError", "PullLimits"]

# Where a service serves the files of its cache: each at CACHE_PATH + its path in the cache.
CACHE_PATH = "/cache/"
# Bytes read from a socket, inflated or written at a time.
_PIECE = 1 << 20
_TEXT_SUFFIXES = (".json", ".jsonl")
_REDIRECTS = (301, 302, 303, 307, 308)


class PullError(OSError):
    """A pull that could not be completed; the target folder is left as it was."""


class _ForeignBytes(PullError):
    """A body that cannot be the file asked for: the bytes it brought are not kept for a later pull."""


@dataclass(frozen=True)
class PullLimits:
    # Seconds to connect, and seconds a transfer may go without a byte.
    timeout: float = 30.0
    # The lowest average rate accepted for a file, once its transfer has run `timeout` seconds:
    # a server dripping bytes just often enough to beat the timeout is stopped by this.
    min_bytes_per_second: float = 16 * 1024
    # Redirects followed within the service's own scheme, host and port.
    max_redirects: int = 5


def _origin(parts: urllib.parse.SplitResult) -> tuple[str, str, int | None]:
    return parts.scheme, (parts.hostname or "").lower(), parts.port or (443 if parts.scheme == "https" else 80)


def _server_message(response: http.client.HTTPResponse) -> str:
    text = response.read(4096).decode("utf-8", "replace").strip()
    return text[:200] or response.reason


class CacheDownloader:
    def __init__(self, url: str, limits: PullLimits):
        """url: the service's address (http:// or https://, the /cache/ folder below it); a URL ending in
        the query endpoint's /query names the same service."""
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError(f"the service URL must be an http:// or https:// URL with a host, got {url!r}")
        path = parts.path.rstrip("/")
        path = path.removesuffix("/query").removesuffix(CACHE_PATH.rstrip("/"))
        self.base = urllib.parse.urlunsplit((parts.scheme, parts.netloc, path + CACHE_PATH, "", ""))
        self.limits = limits
        self.transferred = 0  # body bytes received, as they came over the wire
        self._endpoint = HttpEndpoint(self.base, limits.timeout)
        self._connection: http.client.HTTPConnection | None = None

    def close(self) -> None:
        if self._connection is not None:
            self._connection.close()
            self._connection = None

    def fetch_small(self, name: str, limit: int) -> bytes:
        """The whole file, refused when it is larger than limit bytes (no more than limit + 1 are read)."""
        response = self._get(name, {"Accept-Encoding": "gzip"})
        if response.status != 200:
            raise self._refused(name, response)
        pieces = bytearray()
        for piece in self._body(name, response, limit, f"the {limit:,} bytes a checksum list may hold", exact=False):
            pieces += piece
        return bytes(pieces)

    def fetch_file(self, name: str, size: int, sha256: str, partial: pathlib.Path,
                   on_bytes: Callable[[int], None]) -> None:
        """Writes the file to partial, continuing the bytes partial holds; raises PullError unless the
        file then has exactly `size` bytes of digest `sha256`. on_bytes(n) is told of the bytes written."""
        start = partial.stat().st_size if partial.exists() else 0
        if start > size:
            partial.unlink()
            start = 0
        digest = hashlib.sha256()
        with open(partial, "ab+") as out:
            out.seek(0)
            while piece := out.read(_PIECE):
                digest.update(piece)
            headers = {"Accept-Encoding": "gzip" if start == 0 and name.endswith(_TEXT_SUFFIXES) else "identity"}
            if 0 < start < size:
                headers |= {"Range": f"bytes={start}-", "If-Range": f'"{sha256}"'}
            if start < size:
                response = self._get(name, headers)
                if response.status == 200 and start:  # the server sends the file whole: start again
                    out.truncate(0)
                    start, digest = 0, hashlib.sha256()
                elif response.status == 206 and start:
                    self._check_range(name, response, start, size)
                elif response.status != 200:
                    raise self._refused(name, response)
                written = start
                try:
                    for piece in self._body(name, response, size - start, f"the {size:,} bytes checksums.json lists"):
                        out.write(piece)
                        digest.update(piece)
                        written += len(piece)
                        on_bytes(len(piece))
                except _ForeignBytes:
                    out.truncate(start)  # what this answer brought; the bytes before it stay to be continued
                    raise
                if written < size:
                    raise PullError(f"{self.base}{name} ended after {written:,} of its {size:,} bytes; the "
                                    "bytes received are kept and the next pull continues them")
            out.flush()
            os.fsync(out.fileno())
        if digest.hexdigest() != sha256:
            partial.unlink()
            raise PullError(f"{self.base}{name} does not match its digest in checksums.json: the server sent "
                            "other bytes than the publication's; they were removed")

    def _check_range(self, name: str, response: http.client.HTTPResponse, start: int, size: int) -> None:
        expected = f"bytes {start}-{size - 1}/{size}"
        if (response.getheader("Content-Range") or "").strip() != expected:
            raise _ForeignBytes(f"{self.base}{name}: the server answered the range from byte {start:,} with "
                            f"Content-Range {response.getheader('Content-Range')!r}, expected {expected!r}")

    def _refused(self, name: str, response: http.client.HTTPResponse) -> PullError:
        message = _server_message(response)
        self.close()
        return PullError(f"the server refused {self.base}{name} (HTTP {response.status}): {message}")

    def _body(self, name: str, response: http.client.HTTPResponse, size: int, bound: str, *,
              exact: bool = True) -> Iterator[bytes]:
        """The body's bytes (inflated), refused as soon as they exceed size (`bound` says whose), as far as
        they come; exact: a Content-Length must be size, else at most size."""
        coding = (response.getheader("Content-Encoding") or "identity").strip().lower()
        if coding not in ("identity", "gzip"):
            self.close()
            raise _ForeignBytes(f"{self.base}{name} came with the Content-Encoding {coding!r}; a pull takes gzip or "
                                "none")
        announced = response.getheader("Content-Length")
        announced = (announced or "").strip()
        if coding == "identity" and announced and not (announced.isdigit() and (
                int(announced) == size if exact else int(announced) <= size)):
            self.close()
            raise _ForeignBytes(f"{self.base}{name}: the server announces {announced} bytes where "
                            f"{'' if exact else 'at most '}{size:,} were expected")
        inflater = zlib.decompressobj(16 + zlib.MAX_WBITS) if coding == "gzip" else None
        received = produced = 0
        began = time.monotonic()
        while True:
            try:
                piece = response.read1(_PIECE)
            except (OSError, http.client.HTTPException) as error:
                self.close()  # a stall (the timeout), a reset or a malformed body: the pieces before it stay
                raise PullError(f"the transfer of {self.base}{name} failed after {received:,} bytes: "
                                f"{error or type(error).__name__}") from None
            if not piece:
                break
            received += len(piece)
            self.transferred += len(piece)
            if inflater is not None and received > size + size // 64 + 1024:  # beyond what gzip adds to any content
                self.close()
                raise _ForeignBytes(f"{self.base}{name}: the server sends more gzip than {bound} could need; "
                                   "the rest was not read")
            if inflater is not None:
                try:
                    piece = inflater.decompress(piece, size - produced + 1)
                except zlib.error as error:
                    self.close()
                    raise _ForeignBytes(f"{self.base}{name} is not valid gzip: {error}") from None
            produced += len(piece)
            if produced > size:
                self.close()
                raise _ForeignBytes(f"{self.base}{name} is longer than {bound}; the rest was not read")
            yield piece
            elapsed = time.monotonic() - began
            if elapsed > self.limits.timeout and received / elapsed < self.limits.min_bytes_per_second:
                self.close()
                raise PullError(f"{self.base}{name} arrives at {received / elapsed:,.0f} bytes a second, below the "
                                f"{self.limits.min_bytes_per_second:,.0f} a pull accepts")
        response.read()  # the body is whole: read1 leaves the response open at its end, read closes it
        if inflater is not None and not (inflater.eof and not inflater.unused_data):
            self.close()
            raise _ForeignBytes(f"{self.base}{name} is not valid gzip: it is cut short or followed by other bytes")
        if response.will_close:
            self.close()

    def _get(self, name: str, headers: dict[str, str]) -> http.client.HTTPResponse:
        """The response to a GET of the file, redirects within the service's origin followed."""
        url = self.base + name
        for _ in range(self.limits.max_redirects + 1):
            parts = urllib.parse.urlsplit(url)
            response = self._request(url, self._endpoint.target(parts.path), headers)
            if response.status not in _REDIRECTS:
                return response
            location = urllib.parse.urljoin(url, response.getheader("Location") or "")
            response.read(64 * 1024)
            self.close()
            if _origin(urllib.parse.urlsplit(location)) != _origin(parts):
                raise PullError(f"the server redirects {url} to {location}: a pull follows no redirect to "
                                "another host")
            url = location
        raise PullError(f"the server redirects {self.base}{name} more than {self.limits.max_redirects} times")

    def _request(self, url: str, target: str, headers: dict[str, str]) -> http.client.HTTPResponse:
        for fresh in (False, True):
            if self._connection is None:
                fresh = True
                try:
                    self._connection = self._endpoint.connect()
                except OSError as error:
                    raise PullError(f"cannot reach {url}: {error.strerror or error}") from None
            try:
                self._connection.request("GET", target, headers=headers)
                return self._connection.getresponse()
            except (OSError, http.client.HTTPException) as error:
                self.close()
                if fresh:
                    raise PullError(f"no answer from {url}: {error or type(error).__name__}") from None
                # else a kept-alive connection the server closed meanwhile: once more on a new one
        raise AssertionError("unreachable")
