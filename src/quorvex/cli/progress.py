"""Progress of a publish or a pull, phase by phase, in chunks or in bytes.

On a terminal each phase has a bar (tqdm) with its count, rate and the time left, redrawn at
least once a second even while a long step runs. Otherwise each phase gets one line when it ends,
with its count and time, and a phase that will take long says so after its first step.
"""

from __future__ import annotations

import sys
import threading
import time
from typing import Any, TextIO

from tqdm import tqdm

# A phase expected to take longer than this after its first step gets an estimate.
_LONG_SECONDS = 30.0
# Bytes come in many small steps, the first of them before a transfer reaches its pace: a byte count's
# estimate waits until the phase has run this long.
_BYTES_ESTIMATE_SECONDS = 2.0
# Seconds between redraws of a bar while its phase runs.
_REDRAW_SECONDS = 0.5


def _duration(seconds: float) -> str:
    if seconds < 90:
        return f"{seconds:.1f} s" if seconds < 10 else f"{seconds:.0f} s"
    return f"{seconds / 60:.0f} minutes" if seconds < 90 * 60 else f"{seconds / 3600:.1f} hours"


def _bytes(count: float) -> str:
    for unit in ("bytes", "kB", "MB", "GB"):
        if count < 1000 or unit == "GB":
            return f"{count:,.0f} {unit}" if unit == "bytes" else f"{count:,.1f} {unit}"
        count /= 1000
    raise AssertionError("unreachable")


class Progress:
    def __init__(self, stream: TextIO | None = None, lines: TextIO | None = None, *, in_bytes: bool = False):
        """Bars go to stream (standard error) when it is a terminal; otherwise lines go to lines (standard
        output). in_bytes: the counts are bytes (a pull's), else chunks."""
        self.in_bytes = in_bytes
        self.stream = stream if stream is not None else sys.stderr
        self.lines = lines if lines is not None else sys.stdout
        self.enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self._phase: str | None = None
        self._done = self._total = 0
        self._estimated = False  # the phase's estimate is due no more (given, or not needed)
        self._began = 0.0
        self._bar: Any = None  # the tqdm bar of the running phase, on a terminal
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._redraw: threading.Thread | None = None

    def update(self, phase: str, done: int, total: int) -> None:
        """Records that `phase` has done `done` of `total`; a new phase (which starts with done 0, so that
        its time counts from its start) ends the one before."""
        with self._lock:
            if phase != self._phase:
                self._end()
                self._begin(phase, total)
            self._advance(done, total)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Ends the phase that runs and stops redrawing."""
        with self._lock:
            self._end()
        if self._redraw is not None:
            self._stop.set()
            self._redraw.join()
            self._redraw, self._stop = None, threading.Event()

    def _begin(self, phase: str, total: int) -> None:
        self._phase, self._done, self._total = phase, 0, total
        self._estimated = False
        self._began = time.perf_counter()
        if not self.enabled:
            return
        single = total <= 1
        unit = {"unit": "B", "unit_scale": True} if self.in_bytes else {"unit": " chunks"}
        self._bar = tqdm(total=total, desc=phase, file=self.stream, dynamic_ncols=True,
                         bar_format="{desc}: {elapsed}" if single else None, **unit)
        if self._redraw is None:
            self._redraw = threading.Thread(target=self._redraw_bars, name="progress", daemon=True)
            self._redraw.start()

    def _advance(self, done: int, total: int) -> None:
        # The estimate comes with the first step, or for bytes the first past the wait.
        wait = _BYTES_ESTIMATE_SECONDS if self.in_bytes else 0.0
        due = not self._estimated and done > 0 and time.perf_counter() - self._began >= wait
        self._estimated = self._estimated or due
        self._done, self._total = done, total
        if self._bar is not None:
            self._bar.total = total
            self._bar.update(done - self._bar.n)
        elif due and done < total:
            rate = done / max(time.perf_counter() - self._began, 1e-9)
            left = (total - done) / rate
            if left > _LONG_SECONDS:
                self._line(f"{self._phase}: about {_duration(left)} left for {self._amount(total)} "
                           f"({self._amount(rate, 1)} a second over the first {self._amount(done)})")

    def _end(self) -> None:
        """Closes the bar of the phase that ran, or says in one line what it did."""
        if self._phase is None:
            return
        seconds = time.perf_counter() - self._began
        if self._bar is not None:
            self._bar.close()
            self._bar = None
        elif self._total > 1:
            self._line(f"{self._phase}: {self._amount(self._done)} of {self._amount(self._total)} in "
                       f"{_duration(seconds)} ({self._amount(self._done / max(seconds, 1e-9), 1)} a second)")
        else:
            self._line(f"{self._phase}: {_duration(seconds)}")
        self._phase = None

    def _amount(self, count: float, decimals: int = 0) -> str:
        return _bytes(count) if self.in_bytes else f"{count:,.{decimals}f}"

    def _line(self, text: str) -> None:
        self.lines.write(text + "\n")
        self.lines.flush()

    def _redraw_bars(self) -> None:
        """Redraws the running bar, so that its time moves on while a long step runs."""
        while not self._stop.wait(_REDRAW_SECONDS):
            with self._lock:
                if self._bar is not None:
                    self._bar.refresh()
