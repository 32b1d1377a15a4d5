"""Puts freshly written directories in place all at once.

Each directory is first written into a temporary sibling of its target, then renamed
into place. A publish that fails leaves the targets as they were; an existing
non-empty target is replaced only when the caller asks for it.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import tempfile


def check_target(target: pathlib.Path, overwrite: bool) -> None:
    if target.exists() and not target.is_dir():
        raise ValueError(f"{target} exists and is not a directory")
    if target.is_dir() and any(target.iterdir()) and not overwrite:
        raise ValueError(f"{target} is not empty; pass overwrite=True to replace it")


def staging_dir(target: pathlib.Path, private: bool) -> pathlib.Path:
    """An empty sibling of target; readable by others unless private (then owner only)."""
    target.parent.mkdir(parents=True, exist_ok=True)
    stage = pathlib.Path(tempfile.mkdtemp(prefix=f".{target.name}.", suffix=".tmp", dir=target.parent))
    if not private:
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(stage, 0o777 & ~umask)
    return stage


def write_tree(root: pathlib.Path, files: dict[str, bytes]) -> None:
    for relative, data in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())


def commit(staged: list[tuple[pathlib.Path, pathlib.Path]]) -> None:
    """Renames every staged directory onto its target; on failure restores what was there."""
    done: list[tuple[pathlib.Path, pathlib.Path | None]] = []
    try:
        for stage, target in staged:
            old = None
            if target.exists():
                old = pathlib.Path(tempfile.mkdtemp(prefix=f".{target.name}.", suffix=".old", dir=target.parent))
                os.rmdir(old)
                os.rename(target, old)
            try:
                os.rename(stage, target)
            except BaseException:
                if old is not None:
                    os.rename(old, target)
                raise
            done.append((target, old))
    except BaseException:
        for target, old in reversed(done):
            shutil.rmtree(target, ignore_errors=True)
            if old is not None:
                os.rename(old, target)
        raise
    for _, old in done:
        if old is not None:
            shutil.rmtree(old, ignore_errors=True)


def discard(paths: list[pathlib.Path]) -> None:
    for path in paths:
        shutil.rmtree(path, ignore_errors=True)
