"""Progress of a publish: one-line bars on a terminal, one per phase (silent when the output is not
a terminal), and, for a phase that will take long, one line with an estimate of the time it takes."""

from __future__ import annotations

import sys
import time
from typing import TextIO

_WIDTH = 30
# A phase expected to take longer than this after its first step gets an estimate.
_LONG_SECONDS = 30.0


def _duration(seconds: float) -> str:
    if seconds < 90:
        return f"{seconds:.0f} seconds"
    return f"{seconds / 60:.0f} minutes" if seconds < 90 * 60 else f"{seconds / 3600:.1f} hours"


class Progress:
    def __init__(self, stream: TextIO | None = None, estimates: TextIO | None = None):
        self.stream = stream if stream is not None else sys.stderr
        self.estimates = estimates if estimates is not None else sys.stdout
        self.enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self._drawn = False
        self._phase: str | None = None
        self._started: dict[str, float] = {}

    def start(self, phase: str) -> None:
        """Marks the start of a phase whose first update may then say how long it will take."""
        self._started[phase] = time.perf_counter()

    def update(self, phase: str, done: int, total: int) -> None:
        """Draws the bar of `phase`; a new phase starts on a new line."""
        started = self._started.pop(phase, None)
        if started is not None and 0 < done < total:
            rate = done / max(time.perf_counter() - started, 1e-9)
            left = (total - done) / rate
            if left > _LONG_SECONDS:
                self._line(f"{phase}: about {_duration(left)} left for {total:,} ({rate:.1f} a second over the "
                           f"first {done:,})")
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
            self._drawn = False

    def _line(self, text: str) -> None:
        """A line of its own, after the bar being drawn, if any."""
        self.close()
        self.estimates.write(text + "\n")
        self.estimates.flush()
