"""The servers this machine no longer asks: a lasting record of failed retrievals.

A server may alter its answers on purpose: whether the client then fails tells it one bit about
which records were fetched, at most, since every check fails the same way whatever was fetched.
To keep that at one bit per machine and publication, ever, the first failure is written to disk,
and every later retrieval of that publication at that server, by any process of this user, is
refused before anything is sent.

The record lives in $XDG_STATE_HOME/quorvex/distrust (by default ~/.local/state/quorvex/distrust),
one small JSON file per publication and server address, written atomically. A record names the
server's address where the transport has one (HttpTransport: scheme, host and port); a failure
through a transport without an address distrusts the publication at every server, and a transport
without an address is refused by any record of its publication. A record file that cannot be read
is distrust of its publication everywhere (of every publication, if its name does not say which),
never trust.

    record = DistrustRecord()           # the user's state directory
    record.check(publication, server)   # raises ServerDistrusted if it applies
    quorvex distrust                    # lists the record
    quorvex distrust clear --publication ID [--server URL]
"""

from __future__ import annotations

import datetime
import hashlib
import json
import os
import pathlib
import re
import tempfile
import threading
from dataclasses import dataclass

from quorvex.client.chunk_digests import AnswerMismatch

__all__ = ["CLEAR_WARNING", "Distrust", "DistrustRecord", "ServerDistrusted", "state_directory"]

_FORMAT = "quorvex-distrust-v1"
_RECORD_NAME = re.compile(r"([0-9a-f]{64})\.(any|[0-9a-f]{16})\.json")

CLEAR_WARNING = ("clearing lets quorvex send that server queries again. If it altered its answers on purpose, "
                 "each failure it provokes tells it one more bit about what this machine fetches: clear only once "
                 "you know why the check failed (a server holding another state, a broken proxy) and that is mended")


class ServerDistrusted(AnswerMismatch):
    """This machine distrusts the server for the publication: an earlier answer failed its check."""


def state_directory() -> pathlib.Path:
    """quorvex's folder in the user's state directory ($XDG_STATE_HOME, by default ~/.local/state)."""
    base = os.environ.get("XDG_STATE_HOME", "")
    root = pathlib.Path(base) if os.path.isabs(base) else pathlib.Path.home() / ".local" / "state"
    return root / "quorvex"


@dataclass(frozen=True)
class Distrust:
    """One entry of the record. A damaged entry (its file cannot be read) names the publication its
    file name gives, or none, and the reason it cannot be read."""
    publication: str | None
    server: str | None
    since: str
    reason: str
    path: pathlib.Path
    damaged: str | None = None

    def applies_to(self, publication: str, server: str | None) -> bool:
        if self.publication is not None and self.publication != publication:
            return False
        return self.damaged is not None or self.server is None or server is None or self.server == server

    def matches(self, publication: str | None, server: str | None) -> bool:
        """Whether a clear naming this publication (None: any) and server (None: any) removes it."""
        return (publication is None or self.publication == publication) and (server is None or self.server == server)

    def describe(self) -> str:
        where = self.server or "every server"
        if self.damaged is not None:
            what = f"publication {self.publication}" if self.publication else "every publication"
            return f"{what} at every server: the record {self.path} cannot be read ({self.damaged})"
        return f"publication {self.publication} at {where}, since {self.since}: {self.reason}"


class DistrustRecord:
    """The record in one folder: by default the user's state directory; tests and the demo name
    their own. Failures that could not be written to disk are kept for the rest of the process."""

    _unwritten: dict[pathlib.Path, Distrust] = {}  # by the path of the file that could not be written
    _lock = threading.Lock()

    def __init__(self, directory: str | pathlib.Path | None = None):
        self.directory = pathlib.Path(directory) if directory is not None else state_directory() / "distrust"

    def entries(self) -> list[Distrust]:
        """Every entry, damaged ones included; OSError if the folder exists but cannot be listed."""
        try:
            names = sorted(os.listdir(self.directory))
        except FileNotFoundError:
            names = []
        found = [self._read(self.directory / name) for name in names
                 if name.endswith(".json") and not name.startswith(".")]
        with self._lock:
            found += [entry for path, entry in self._unwritten.items() if path.parent == self.directory]
        return found

    def check(self, publication: str, server: str | None) -> None:
        """Raises ServerDistrusted if an entry applies to the publication at the server (or if the
        record cannot be read at all); returns quietly otherwise."""
        try:
            entries = self.entries()
        except OSError as error:
            raise ServerDistrusted(f"cannot read the distrust record {self.directory} ({error}), so quorvex sends "
                                   "nothing: make it readable, or remove it") from None
        for entry in entries:
            if entry.applies_to(publication, server):
                raise ServerDistrusted(_refusal(entry, publication, server))

    def record(self, publication: str, server: str | None, reason: str) -> Distrust:
        """Writes an entry (atomically); OSError if the disk refuses, the entry then lasting as long
        as this process."""
        now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
        entry = Distrust(publication, server, now.isoformat().replace("+00:00", "Z"), reason,
                         self.directory / _file_name(publication, server))
        with self._lock:
            self._unwritten[entry.path] = entry
        document = {"format": _FORMAT, "publication": publication, "server": server, "since": entry.since,
                    "reason": reason}
        self.directory.mkdir(mode=0o700, parents=True, exist_ok=True)
        _write_atomically(entry.path, json.dumps(document, ensure_ascii=False))
        with self._lock:
            self._unwritten.pop(entry.path, None)
        return entry

    def clear(self, publication: str | None = None, server: str | None = None) -> list[Distrust]:
        """Removes the entries of the publication (None: every one) at the server (None: every one),
        damaged ones included, and returns them."""
        removed = [entry for entry in self.entries() if entry.matches(publication, server)]
        with self._lock:
            for entry in removed:
                self._unwritten.pop(entry.path, None)
        for entry in removed:
            try:
                entry.path.unlink()
            except FileNotFoundError:
                pass
        if removed and self.directory.is_dir():
            _sync_folder(self.directory)
        return removed

    def _read(self, path: pathlib.Path) -> Distrust:
        named = _RECORD_NAME.fullmatch(path.name)
        publication = named.group(1) if named else None
        try:
            document = json.loads(path.read_bytes())
            entry = Distrust(document["publication"], document["server"], document["since"], document["reason"], path)
            valid = (document["format"] == _FORMAT and isinstance(entry.since, str) and isinstance(entry.reason, str)
                     and (entry.server is None or isinstance(entry.server, str)) and isinstance(entry.publication, str)
                     and path.name == _file_name(entry.publication, entry.server))
        except (OSError, ValueError, KeyError, TypeError) as error:
            return Distrust(publication, None, "", "", path, damaged=str(error) or type(error).__name__)
        return entry if valid else Distrust(publication, None, "", "", path,
                                            damaged="it is not a distrust entry under its own name")


def _file_name(publication: str, server: str | None) -> str:
    key = "any" if server is None else hashlib.sha256(server.encode()).hexdigest()[:16]
    return f"{publication}.{key}.json"


def _write_atomically(path: pathlib.Path, text: str) -> None:
    """The file holds the text, or what it held before: it is staged beside it, synced, then renamed."""
    with tempfile.NamedTemporaryFile("w", dir=path.parent, prefix=".", suffix=".tmp", delete=False,
                                     encoding="utf-8") as staged:
        try:
            staged.write(text)
            staged.flush()
            os.fsync(staged.fileno())
            os.replace(staged.name, path)
        except BaseException:
            pathlib.Path(staged.name).unlink(missing_ok=True)
            raise
    _sync_folder(path.parent)


def _sync_folder(directory: pathlib.Path) -> None:
    descriptor = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _refusal(entry: Distrust, publication: str, server: str | None) -> str:
    target = server or "this transport's server"
    clear = "quorvex distrust clear " + (f"--publication {publication}" if entry.publication else "--all")
    if entry.server is not None:
        clear += f" --server {entry.server}"
    if entry.damaged is not None:
        why = f"its distrust record {entry.path} cannot be read ({entry.damaged}), which counts as distrust"
    else:
        where = f"at {entry.server}" if entry.server else "through a transport without an address"
        why = f"on {entry.since} an answer {where} failed the client's check: {entry.reason}"
    return (f"quorvex sent nothing to {target} for publication {publication}: {why}. Clear it with `{clear}` only "
            "once you know the cause: a server that fails a client on purpose learns one bit about what it fetched "
            "each time")
