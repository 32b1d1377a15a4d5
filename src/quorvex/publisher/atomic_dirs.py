"""Puts a freshly written public cache and server state in place together.

Both directories are first written into temporary siblings of their targets (".{name}.*.tmp").
Committing writes a journal beside the public cache that lists the renames, then renames
each target away (".{name}.*.old") and its staged directory into place, then removes the
journal and the old directories. The renames take microseconds; a publish killed during
them leaves the journal, and the next publish to the same targets finishes them (the staged
directories were complete before the journal was written), so the two directories always
end up from the same publication. A publish killed at any other moment leaves the previous
pair in place; whatever it left behind (staged, old or journal files) is removed by the next
publish to the same targets. A publish holds a lock on the directories that hold the two
targets, so that two publishes never meet. A commit that fails with an error (not a kill)
puts the previous pair back before the error is raised.
"""

from __future__ import annotations

import fcntl
import json
import os
import pathlib
import shutil
import tempfile
from types import TracebackType

from quorvex.shared.durable_files import sync_folder, write_durably

_JOURNAL_SUFFIX = ".publish-journal.json"


class NotEmpty(ValueError):
    """A target that holds files, which only overwrite=True replaces."""

    def __init__(self, target: pathlib.Path):
        super().__init__(f"{target} is not empty; replace it with overwrite=True")
        self.target = target


def holds_files(folder: pathlib.Path) -> bool:
    """Whether folder is a directory with anything in it."""
    return folder.is_dir() and any(folder.iterdir())


def check_target(target: pathlib.Path, overwrite: bool) -> None:
    if target.exists() and not target.is_dir():
        raise ValueError(f"{target} exists and is not a directory")
    if holds_files(target) and not overwrite:
        raise NotEmpty(target)


def _remove_leftovers(target: pathlib.Path) -> None:
    """Removes the staged and old directories (and a staged journal) of earlier publishes to target."""
    for suffix in (".tmp", ".old"):
        for leftover in target.parent.glob(f".{target.name}.*{suffix}"):
            if leftover.is_dir() and not leftover.is_symlink():
                shutil.rmtree(leftover, ignore_errors=True)
            else:
                leftover.unlink(missing_ok=True)


class Publication:
    """Stages both directories of one publish; use as a context manager and call commit().

    `public` and `server` are the staged directories to write into. Leaving the block without
    committing (an error, an interrupt) removes them and leaves the targets as they were.
    """

    def __init__(self, public_target: pathlib.Path, server_target: pathlib.Path, overwrite: bool):
        check_target(public_target, overwrite)
        check_target(server_target, overwrite)
        self._targets = (public_target, server_target)
        self._journal = public_target.parent / f".{public_target.name}{_JOURNAL_SUFFIX}"
        self._locks: list[int] = []
        self._stages: list[pathlib.Path] = []

    @property
    def public(self) -> pathlib.Path:
        return self._stages[0]

    @property
    def server(self) -> pathlib.Path:
        return self._stages[1]

    def __enter__(self) -> Publication:
        try:
            parents = {target.parent.resolve() for target in self._targets}
            for parent in sorted(parents):  # one order for every publish: no deadlock
                parent.mkdir(parents=True, exist_ok=True)
                descriptor = os.open(parent, os.O_RDONLY | os.O_DIRECTORY)
                self._locks.append(descriptor)
                fcntl.flock(descriptor, fcntl.LOCK_EX)
            self._finish_interrupted()
            for target in self._targets:
                _remove_leftovers(target)
            self._stages.append(self._staging_dir(self._targets[0], private=False))
            self._stages.append(self._staging_dir(self._targets[1], private=True))
        except BaseException:
            self._release()
            raise
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self._release()

    def commit(self) -> None:
        """Puts both staged directories in place (see the module's description)."""
        for stage in self._stages:
            sync_folder(stage)
        moves = [[str(stage), str(target), str(self._old_name(target))]
                 for stage, target in zip(self._stages, self._targets)]
        staged_journal = self._journal.with_name(self._journal.name + ".tmp")
        write_durably(staged_journal, json.dumps({"moves": moves}).encode())
        os.rename(staged_journal, self._journal)
        sync_folder(self._journal.parent)
        try:
            self._apply(moves)
        except BaseException:
            self._roll_back(moves)  # if this fails too, the journal stays for the next publish
            raise
        self._stages = []

    def _release(self) -> None:
        if not self._journal.exists():  # an unfinished commit still needs its staged directories
            for stage in self._stages:
                shutil.rmtree(stage, ignore_errors=True)
        self._stages = []
        for descriptor in self._locks:
            os.close(descriptor)  # releases the lock
        self._locks = []

    @staticmethod
    def _staging_dir(target: pathlib.Path, private: bool) -> pathlib.Path:
        """An empty sibling of target; readable by others unless private (then owner only)."""
        stage = pathlib.Path(tempfile.mkdtemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent))
        if not private:
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(stage, 0o777 & ~umask)
        return stage

    @staticmethod
    def _old_name(target: pathlib.Path) -> pathlib.Path:
        old = pathlib.Path(tempfile.mkdtemp(prefix=f".{target.name}.", suffix=".old", dir=target.parent))
        os.rmdir(old)  # only the unused name is wanted
        return old

    def _apply(self, moves: list[list[str]]) -> None:
        """Renames each target away and its staged directory into place, then removes the journal
        and the old directories. Safe to repeat after an interruption at any point."""
        for stage, target, old in map(lambda move: map(pathlib.Path, move), moves):
            if not stage.exists():
                continue  # already in place
            if target.exists() and not old.exists():
                os.rename(target, old)
            os.rename(stage, target)
            sync_folder(target.parent)
        os.unlink(self._journal)
        sync_folder(self._journal.parent)
        for _, _, old_name in moves:
            shutil.rmtree(old_name, ignore_errors=True)

    def _roll_back(self, moves: list[list[str]]) -> None:
        """Puts the previous directories back after a failed _apply."""
        for stage, target, old in reversed([list(map(pathlib.Path, move)) for move in moves]):
            if old.exists():
                if target.exists():
                    os.rename(target, stage)
                os.rename(old, target)
        os.unlink(self._journal)

    def _finish_interrupted(self) -> None:
        try:
            moves = json.loads(self._journal.read_text(encoding="utf-8"))["moves"]
        except FileNotFoundError:
            return
        except (OSError, ValueError, KeyError, TypeError) as error:
            raise ValueError(f"cannot read {self._journal}, left by an interrupted publish: {error}; "
                             "check both directories and remove it") from None
        self._apply(moves)
