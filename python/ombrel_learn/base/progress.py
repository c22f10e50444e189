"""What a long fit is doing: one line per phase on standard error, only when it is a terminal.

A phase ("featurizing", "training", ...) is one line, redrawn in place a few times a second by a
small thread (so a hot loop only adds to a counter) and finished with a newline when the phase ends:
a bar with a percentage when the phase knows how much work it has, else the seconds spent so far.
One phase is on screen at a time: work started inside a phase (the fits of a choice's folds, say)
belongs to that phase and draws nothing of its own, so a fit never shows a series of bars that each
restart at 0% for what is to the user one step.
"""

from __future__ import annotations

import os
import shutil
import sys
import threading
import time
from typing import Any, TextIO

REDRAW_SECONDS = 0.25
BAR_WIDTH = 20

_lock = threading.Lock()
_showing: "Phase | None" = None


class Silent:
    """A phase that shows nothing (not verbose, not a terminal, or another phase is on screen)."""

    def update(self, n: float = 1) -> None:
        pass

    def set(self, done: float, note: str | None = None) -> None:
        pass

    def describe(self, note: str) -> None:
        pass

    def close(self, failed: bool = False) -> None:
        pass

    def __enter__(self) -> "Silent":
        return self

    def __exit__(self, *exc: Any) -> None:
        pass


SILENT = Silent()


class Phase(Silent):
    """One phase on one line of `stream`. update/set only record the progress; the drawing thread
    shows it."""

    def __init__(self, label: str, total: float | None, unit: str, stream: TextIO, clock: bool = False):
        self.label, self.total, self.unit, self.stream, self.clock = label, total, unit, stream, clock
        self.done = 0.0
        self.note: str | None = None
        self.began = time.perf_counter()
        self._stop = threading.Event()
        self._draw_lock = threading.Lock()
        self._thread = threading.Thread(target=self._redraw, name=f"ombrel progress: {label}", daemon=True)

    def _start(self) -> None:
        self._draw()
        self._thread.start()

    def update(self, n: float = 1) -> None:
        self.done += n

    def set(self, done: float, note: str | None = None) -> None:
        self.done = done
        if note is not None:
            self.note = note

    def describe(self, note: str) -> None:
        self.note = note

    def _line(self, final: bool, failed: bool) -> str:
        seconds = time.perf_counter() - self.began
        parts = []
        if self.total:
            done = seconds if self.clock else self.total if final and not failed else self.done
            fraction = min(1.0, max(0.0, done / self.total))
            filled = int(fraction * BAR_WIDTH)
            count = (f"of {self.total:g}" if self.clock else f"{done:,.0f}/{self.total:,.0f}") + (
                f" {self.unit}" if self.unit else "")
            parts.append(f"{int(fraction * 100):3d}% |{'#' * filled}{' ' * (BAR_WIDTH - filled)}| {count}")
        timing = ("stopped after " if failed else "done in " if final else "") + f"{seconds:.1f} s"
        line = f"{self.label}: " + ", ".join(parts + ([self.note] if self.note else []) + [timing])
        try:
            columns = os.get_terminal_size(self.stream.fileno()).columns
        except (AttributeError, ValueError, OSError):
            columns = 0
        width = max(20, columns if columns >= 20 else shutil.get_terminal_size((80, 24)).columns) - 1
        if len(line) > width:  # the note goes first, then the end of the line
            line = f"{self.label}: " + ", ".join(parts + [timing])
        return line if len(line) <= width else line[:width - 3] + "..."

    def _draw(self, final: bool = False, failed: bool = False) -> None:
        with self._draw_lock:
            try:
                self.stream.write("\r" + self._line(final, failed) + "\x1b[K" + ("\n" if final else ""))
                self.stream.flush()
            except (OSError, ValueError):  # a closed or vanished terminal is no reason to stop a fit
                pass

    def _redraw(self) -> None:
        while not self._stop.wait(REDRAW_SECONDS):
            self._draw()

    def close(self, failed: bool = False) -> None:
        global _showing
        if self._stop.is_set():
            return
        self._stop.set()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join()
        self._draw(final=True, failed=failed)
        with _lock:
            if _showing is self:
                _showing = None

    def __enter__(self) -> "Phase":
        return self

    def __exit__(self, kind: Any, *exc: Any) -> None:
        self.close(failed=kind is not None)


def phase(verbose: bool, label: str, total: float | None = None, unit: str = "", clock: bool = False) -> Silent:
    """A phase shown on standard error when `verbose` and standard error is a terminal and no other
    phase is on screen; else one that shows nothing. Use it as a context manager (or close it).
    clock: the bar is the time spent out of `total` seconds (a search within a budget)."""
    global _showing
    if not verbose:
        return SILENT
    stream = sys.stderr
    try:
        terminal = stream is not None and stream.isatty()
    except (AttributeError, ValueError, OSError):
        terminal = False
    if not terminal:
        return SILENT
    with _lock:
        if _showing is not None:
            return SILENT
        shown = _showing = Phase(label, total, unit, stream, clock)
    shown._start()
    return shown
