"""Writes that survive a crash of the machine: a file's bytes, and the names in a folder."""

from __future__ import annotations

import os
import pathlib

__all__ = ["sync_folder", "write_durably"]


def sync_folder(folder: pathlib.Path) -> None:
    """Makes the folder's entries durable (names created or renamed in it)."""
    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def write_durably(path: pathlib.Path, data: bytes) -> None:
    """Writes the file and waits until its bytes are on disk."""
    with open(path, "wb") as out:
        out.write(data)
        out.flush()
        os.fsync(out.fileno())
