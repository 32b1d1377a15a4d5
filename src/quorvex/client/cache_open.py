"""Opening a public cache with the extension module, whole, even while a pull replaces it.

The module reads the cache's files one after another, by their paths. A pull puts a new cache in
the folder's place in one step, but that step may fall between two of those reads: the files then
come from two publications and fail their checks against checksums.json. When an open fails and
the folder's path names another folder than when the open began, the cache is opened again, so
that an application sees the old publication or the new one, whole. An open that fails with the
folder unchanged fails as it is.
"""

from __future__ import annotations

import os
import pathlib

from quorvex._native import NativeClient

__all__ = ["open_cache"]

# Opens attempted when the folder keeps being replaced under the reader.
_ATTEMPTS = 3


def _identity(folder: str) -> tuple[int, int] | None:
    try:
        status = os.stat(folder)
    except OSError:
        return None
    return status.st_dev, status.st_ino


def open_cache(cache_dir: str | pathlib.Path) -> NativeClient:
    """The opened, verified cache (RuntimeError with the module's message when it is unsound)."""
    folder = str(cache_dir)
    for attempt in range(_ATTEMPTS):
        before = _identity(folder)
        try:
            return NativeClient.open_public_cache(folder)
        except RuntimeError:
            if attempt == _ATTEMPTS - 1 or _identity(folder) == before:
                raise
    raise AssertionError("unreachable")
