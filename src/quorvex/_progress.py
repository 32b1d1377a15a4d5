"""A one-line progress bar on a terminal; silent when the output is not a terminal."""

from __future__ import annotations

import sys
from typing import TextIO

_WIDTH = 30


class Progress:
    def __init__(self, label: str, stream: TextIO | None = None):
        self.label = label
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self._drawn = False

    def update(self, done: int, total: int) -> None:
        if not self.enabled or total <= 0:
            return
        filled = _WIDTH * done // total
        self.stream.write(f"\r{self.label} [{'#' * filled}{'.' * (_WIDTH - filled)}] {done}/{total}")
        self.stream.flush()
        self._drawn = True

    def close(self) -> None:
        if self._drawn:
            self.stream.write("\n")
            self.stream.flush()
