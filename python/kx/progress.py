"""Progress on standard error for work over large files.

`bar()` gives a progress bar for loops the command runs itself (tracking,
blaming); `working()` gives one for a long native call (a purge), which runs
with the interpreter lock released and reports the bytes it has read through
the callback `working()` yields.  Both draw only when standard error is a
terminal and stay silent otherwise, so redirected output is never mixed with
bars.  Set KX_PROGRESS=0 to turn them off on a terminal too."""

from __future__ import annotations

import contextlib
import os
import sys
import time
from typing import Callable, Iterator, Optional, TextIO

from rich.console import Console
from rich.progress import (
    BarColumn,
    DownloadColumn,
    Progress,
    TaskProgressColumn,
    TextColumn,
    TimeRemainingColumn,
)

# Draw nothing during the first moments: short commands should not flash a bar.
_QUIET_SECONDS = 0.3
_STEPS = 200  # updates over the whole run at most


def enabled(stream: Optional[TextIO] = None) -> bool:
    stream = stream or sys.stderr
    if os.environ.get("KX_PROGRESS") == "0":
        return False
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _progress(stream: TextIO, unit: str) -> Progress:
    """A one-line bar that is erased when it ends: `label [####....] 40%
    done/total unit, time left` (bytes counted in kB, MB, ...)."""
    counts = DownloadColumn() if unit == "bytes" else TextColumn("{task.completed}/{task.total} " + unit, markup=False)
    return Progress(
        TextColumn("{task.description} [", markup=False),
        BarColumn(bar_width=40),
        TextColumn("]"),
        TaskProgressColumn(),
        counts,
        TimeRemainingColumn(),
        console=Console(file=stream, highlight=False),
        transient=True,
    )


class Bar:
    """A one-line bar: `update(done)` is cheap enough to call for every item;
    it passes a count on only every 1/200 of the total, and shows the bar
    only once the work has taken longer than a moment."""

    def __init__(self, label: str, total: int, unit: str, stream: TextIO):
        self.label = label
        self.total = max(total, 1)
        self.next_at = 0
        self._step = max(1, self.total // _STEPS)
        self._start = time.monotonic()
        self._progress = _progress(stream, unit)
        self._task = self._progress.add_task(label, total=self.total)
        self._shown = False

    def update(self, done: int) -> None:
        if done < self.next_at:
            return
        self.next_at = done + self._step
        if not self._shown:
            if time.monotonic() - self._start < _QUIET_SECONDS:
                return
            self._progress.start()
            self._shown = True
        self._progress.update(self._task, completed=min(done, self.total))

    def close(self) -> None:
        if self._shown:
            self._progress.stop()
            self._shown = False


class _Silent:
    next_at = float("inf")

    def update(self, done: int) -> None:
        pass

    def close(self) -> None:
        pass


@contextlib.contextmanager
def bar(label: str, total: int, unit: str = "lines") -> Iterator[Bar | _Silent]:
    """A progress bar for `total` items, or a silent stand-in when standard
    error is not a terminal."""
    shown: Bar | _Silent = Bar(label, total, unit, sys.stderr) if enabled() else _Silent()
    try:
        yield shown
    finally:
        shown.close()


# Below this size a native call is over before a bar would show.
_WORKING_MIN_BYTES = 1 << 20


@contextlib.contextmanager
def working(label: str, data_file: str) -> Iterator[Optional[Callable[[int], None]]]:
    """The progress callback to hand a long native call that reads
    `data_file` (it is called with the bytes read so far), or None when no
    bar is shown: off a terminal, or for a small file."""
    try:
        size = os.path.getsize(data_file)
    except OSError:
        size = 0
    if not enabled() or size < _WORKING_MIN_BYTES:
        yield None
        return
    shown = Bar(label, size, "bytes", sys.stderr)
    try:
        yield shown.update
    finally:
        shown.close()
