"""Getting a public cache from the service that serves it, as the publication the user trusts.

    from quorvex import pull
    result = pull("http://127.0.0.1:8765", "cache/", publication="<the 64 hexadecimal digits you were given>")

A publication's identifier is the SHA-256 of its checksums.json, which lists the size and digest
of every other file: so checksums.json is fetched first, and the pull goes on only if its digest
is the pinned publication (or, without one, if the caller chose to trust the first answer; the
result then names the identifier to pin from then on). Every other file is streamed to disk and
checked against its entry as it arrives (quorvex.client.cache_download).

The new cache is put together in ".{name}.pull" beside the target folder. A file that the target
or that folder already holds with its listed digest is not fetched again (the target's copy is
hard-linked where the file system allows), and a file whose transfer was cut is continued where it
stopped. Once every file is there, the staged folder takes the target's place in one step
(quorvex.client.folder_swap): a process opening the target sees the old cache or the new one, and
quorvex.client.cache_open opens it again if it was swapped midway. A pull that fails leaves the
target as it was, and what it fetched for the next pull to use. The target must be new, empty,
or a public cache already: a folder holding anything else is refused, never replaced.
"""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import json
import os
import pathlib
import shutil
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field

from quorvex.client.cache_download import CacheDownloader, PullError, PullLimits
from quorvex.client.folder_swap import replace_folder
from quorvex.shared.checksum_list import CHECKSUMS_FILE, MAX_CHECKSUMS_BYTES, ListedFile, file_sha256, listed_files
from quorvex.shared.durable_files import sync_folder, write_durably

__all__ = ["PullError", "PullLimits", "PullResult", "pull"]

# In the staging folder: the bytes of files still arriving, by digest, so that they are only ever
# continued with the same file (a hidden name: no listed file has one).
_PARTIAL_DIR = ".partial"


@dataclass(frozen=True)
class PullResult:
    publication: str
    path: pathlib.Path
    fetched: list[str] = field(default_factory=list)  # files transferred (whole or continued)
    kept: list[str] = field(default_factory=list)     # files already held with their digest
    transferred_bytes: int = 0                        # body bytes received, compressed as they came
    replaced: bool = True                             # False when the target already was this publication


def _holds(path: pathlib.Path, entry: ListedFile) -> bool:
    """Whether path is a regular file of the entry's size and digest."""
    try:
        if not path.is_file() or path.is_symlink() or path.stat().st_size != entry.size:
            return False
        return file_sha256(path) == entry.sha256
    except OSError:
        return False


def _check_target(target: pathlib.Path) -> None:
    """Refuses a target whose replacement would lose anything but a cache: a file, or a folder holding
    files that its checksums.json (if it has one) does not list."""
    if target.exists() and not target.is_dir():
        raise ValueError(f"{target} exists and is not a folder")
    held = {path.relative_to(target).as_posix() for path in target.rglob("*") if not path.is_dir()}
    try:
        listed = {file.name for file in listed_files((target / CHECKSUMS_FILE).read_bytes())} | {CHECKSUMS_FILE}
    except (OSError, ValueError):
        listed = set()
    if held - listed:
        raise ValueError(f"{target} holds files that are not part of a public cache ({sorted(held - listed)[0]}, "
                         "...); pull into a new or empty folder, or into a cache")


@contextlib.contextmanager
def _locked(parent: pathlib.Path) -> Iterator[None]:
    """Holds the lock of the folder the target is in, as publishing does, for the whole pull."""
    parent.mkdir(parents=True, exist_ok=True)
    descriptor = os.open(parent, os.O_RDONLY | os.O_DIRECTORY)
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise PullError(f"another pull or publish is writing in {parent}; try again when it is done") from None
        yield
    finally:
        os.close(descriptor)


def _stage(target: pathlib.Path, entries: list[ListedFile], checksums: bytes) -> pathlib.Path:
    """The staging folder with the new checksums.json, and nothing of an earlier pull that this one
    cannot use (files it does not list, partial files of digests it does not list)."""
    stage = target.parent / f".{target.name}.pull"
    if stage.is_symlink() or (stage.exists() and not stage.is_dir()):
        stage.unlink()
    stage.mkdir(exist_ok=True)
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(stage, 0o777 & ~umask)  # readable as a published cache is
    keep = {entry.name for entry in entries} | {f"{_PARTIAL_DIR}/{entry.sha256}" for entry in entries}
    for path in sorted(stage.rglob("*"), reverse=True):  # a folder's entries before the folder
        if path.is_dir() and not path.is_symlink():
            if not any(path.iterdir()):
                path.rmdir()
        elif path.relative_to(stage).as_posix() not in keep:
            path.unlink()
    (stage / _PARTIAL_DIR).mkdir(exist_ok=True)
    write_durably(stage / CHECKSUMS_FILE, checksums)
    return stage


def _place(stage: pathlib.Path, target: pathlib.Path, entry: ListedFile) -> bool:
    """Puts into the staging folder the copy of the file it or the target already holds: whether
    there was one."""
    staged = stage / entry.name
    if _holds(staged, entry):
        return True
    if staged.exists() or staged.is_symlink():
        staged.unlink()
    held = target / entry.name
    if not _holds(held, entry):
        return False
    staged.parent.mkdir(parents=True, exist_ok=True)
    try:
        os.link(held, staged)
    except OSError:  # another file system, or one without links
        shutil.copyfile(held, staged)
        with open(staged, "rb+") as copy:
            os.fsync(copy.fileno())
    return True


def pull(url: str, cache_dir: str | pathlib.Path, publication: str | None = None, *, trust_first_use: bool = False,
         on_progress: Callable[[int, int], None] | None = None, limits: PullLimits = PullLimits()) -> PullResult:
    """Makes cache_dir the publication the service at url serves: `publication` pinned (the identifier its
    publisher gave out), or, with trust_first_use=True and no publication, whatever the service serves.
    on_progress(done, total) follows the bytes of the files to fetch. Raises PullError when the service
    serves another publication or fails to hand out its files as checksums.json lists them, ValueError
    for arguments that cannot be pulled to; cache_dir is then as it was."""
    if publication is None and not trust_first_use:
        raise ValueError("name the publication you trust (publication=, --publication ID, as its publisher gave "
                         "it out), or accept whatever the service serves with trust_first_use=True "
                         "(--trust-first-use) and pin the identifier it prints from then on")
    target = pathlib.Path(os.path.realpath(cache_dir))
    _check_target(target)
    downloader = CacheDownloader(url, limits)
    try:
        with _locked(target.parent):
            return _pull(downloader, target, publication, on_progress or (lambda done, total: None))
    finally:
        downloader.close()


def _pull(downloader: CacheDownloader, target: pathlib.Path, publication: str | None,
          on_progress: Callable[[int, int], None]) -> PullResult:
    source = downloader.base + CHECKSUMS_FILE
    checksums = downloader.fetch_small(CHECKSUMS_FILE, MAX_CHECKSUMS_BYTES)
    found = hashlib.sha256(checksums).hexdigest()
    if publication is not None and found != publication:
        raise PullError(f"the service at {downloader.base} serves publication {found}, not the pinned "
                        f"{publication}; nothing was fetched")
    try:
        entries = listed_files(checksums)
    except ValueError as error:
        raise PullError(f"{source}: {error}") from None
    current = target / CHECKSUMS_FILE
    if current.is_file() and current.read_bytes() == checksums and all(_holds(target / e.name, e) for e in entries):
        return PullResult(found, target, kept=[e.name for e in entries], transferred_bytes=downloader.transferred,
                          replaced=False)
    stage = _stage(target, entries, checksums)
    kept = [entry.name for entry in entries if _place(stage, target, entry)]
    missing = [entry for entry in entries if entry.name not in kept]
    partials = {entry.name: stage / _PARTIAL_DIR / entry.sha256 for entry in missing}
    total = sum(entry.size - (partials[entry.name].stat().st_size if partials[entry.name].exists() else 0)
                for entry in missing)
    free = shutil.disk_usage(stage).free
    if total > free:
        raise PullError(f"the files to fetch hold {total:,} bytes and {target.parent} has {free:,} free")
    done = 0

    def advance(count: int) -> None:
        nonlocal done
        done += count
        on_progress(done, total)

    on_progress(0, total)
    for entry in missing:
        partial = partials[entry.name]
        downloader.fetch_file(entry.name, entry.size, entry.sha256, partial, advance)
        (stage / entry.name).parent.mkdir(parents=True, exist_ok=True)
        os.replace(partial, stage / entry.name)
    shutil.rmtree(stage / _PARTIAL_DIR)
    for folder in sorted({(stage / entry.name).parent for entry in entries} | {stage}, reverse=True):
        sync_folder(folder)
    replace_folder(stage, target)
    return PullResult(found, target, [entry.name for entry in missing], kept, downloader.transferred)
