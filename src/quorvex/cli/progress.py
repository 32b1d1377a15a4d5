"""One-line progress bars on a terminal, one per phase; silent when the output is not a terminal."""

from __future__ import annotations

import sys
from typing import TextIO

_WIDTH = 30


class Progress:
    def __init__(self, stream: TextIO | None = None):
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self._drawn = False
        self._phase: str | None = None

    def update(self, phase: str, done: int, total: int) -> None:
        """Draws the bar of `phase`; a new phase starts on a new line."""
        if not self.enabled or total <= 0:
            return
        if self._drawn and phase != self._phase:
            self.stream.write("\n")
        self._phase = phase
        filled = _WIDTH * done // total
        self.stream.write(f"\r{phase:<26} [{'#' * filled}{'.' * (_WIDTH - filled)}] {done}/{total}")
        self.stream.flush()
        self._drawn = True

    def close(self) -> None:
        if self._drawn:
            self.stream.write("\n")
            self.stream.flush()
