"""Putting a complete folder in the place of another in one step.

The two folders are exchanged by one rename (Linux's renameat2 with RENAME_EXCHANGE), so that a
process that opens the target's path meanwhile finds the old folder or the new one, and the old
one is removed after. Where the file system cannot exchange, the target is renamed away and the
new folder into its place: between the two renames the path names nothing for a moment.
"""

from __future__ import annotations

import ctypes
import errno
import os
import pathlib
import shutil
import tempfile

from quorvex.shared.durable_files import sync_folder

__all__ = ["replace_folder"]

_AT_FDCWD = -100
_RENAME_EXCHANGE = 2  # linux/fs.h


def _exchange(first: pathlib.Path, second: pathlib.Path) -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    if not hasattr(libc, "renameat2"):
        raise OSError(errno.ENOSYS, "renameat2 is not available")
    if libc.renameat2(_AT_FDCWD, os.fsencode(first), _AT_FDCWD, os.fsencode(second), _RENAME_EXCHANGE) != 0:
        error = ctypes.get_errno()
        raise OSError(error, os.strerror(error), str(first), None, str(second))


def replace_folder(new: pathlib.Path, target: pathlib.Path) -> None:
    """Puts the folder new at target (a sibling of it), and removes the folder target held, if any."""
    if not target.exists():
        os.rename(new, target)
        sync_folder(target.parent)
        return
    try:
        _exchange(new, target)
        old = new
    except OSError as error:
        if error.errno not in (errno.EINVAL, errno.ENOSYS, errno.ENOTSUP):
            raise
        old = pathlib.Path(tempfile.mkdtemp(prefix=f".{target.name}.", suffix=".old", dir=target.parent))
        os.rename(target, old)  # over the empty folder just made: the name is ours
        os.rename(new, target)
    sync_folder(target.parent)
    shutil.rmtree(old, ignore_errors=True)
