"""Progress on standard error for work over large files.

`bar()` gives a progress bar for loops the command runs itself (tracking,
blaming); `working()` gives one for a long native call (a purge), which runs
with the interpreter lock released and reports the bytes it has read through
the callback `working()` yields.  Both draw only when standard error is a
terminal and stay silent otherwise, so redirected output is never mixed with
bars.  Set KX_PROGRESS=0 to turn them off on a terminal too, or
KX_PROGRESS=1 to have them drawn from the start, without the quiet moment
(to see that they draw, even for short work)."""

from __future__ import annotations

import contextlib
import os
import sys
import time
from typing import Callable, Iterator, Optional, Sequence, TextIO

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


def _quiet_seconds() -> float:
    return 0.0 if os.environ.get("KX_PROGRESS") == "1" else _QUIET_SECONDS


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
        # Standard output carries the result; it never goes to the bar's stream.
        redirect_stdout=False,
    )


class Bar:
    """A one-line bar: `update(done)` is cheap enough to call for every item;
    it passes a count on only every 1/200 of the total, and shows the bar
    only once the work has taken longer than a moment."""

    active = True  # worth handing a native call as its progress callback

    def __init__(self, label: str, total: int, unit: str, stream: TextIO):
        self.label = label
        self.total = max(total, 1)
        self.next_at = 0
        self._step = max(1, self.total // _STEPS)
        self._start = time.monotonic()
        self._quiet = _quiet_seconds()
        self._progress = _progress(stream, unit)
        self._task = self._progress.add_task(label, total=self.total)
        self._shown = False

    def update(self, done: int) -> None:
        if done < self.next_at:
            return
        self.next_at = done + self._step
        if not self._shown:
            if time.monotonic() - self._start < self._quiet:
                return
            self._progress.start()
            self._shown = True
        self._progress.update(self._task, completed=min(done, self.total))

    def describe(self, label: str) -> None:
        self._progress.update(self._task, description=label)

    def close(self) -> None:
        if self._shown:
            self._progress.stop()
            self._shown = False


class _Silent:
    next_at = float("inf")
    active = False

    def update(self, done: int) -> None:
        pass

    def describe(self, label: str) -> None:
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


class FilesProgress:
    """One bar over several files read by native calls, advancing by bytes:
    `callback(i)` is the progress callback for the call that reads file i
    (None when no bar is shown), `finished(i)` moves the bar past it."""

    def __init__(self, shown: Bar | _Silent, sizes: Sequence[int]):
        self._shown = shown
        self._sizes = list(sizes)
        self._starts = [sum(self._sizes[:i]) for i in range(len(self._sizes))]

    def callback(self, i: int) -> Optional[Callable[[int], None]]:
        if not self._shown.active:
            return None
        start, update = self._starts[i], self._shown.update
        return lambda read: update(start + read)

    def finished(self, i: int) -> None:
        self._shown.update(self._starts[i] + self._sizes[i])


@contextlib.contextmanager
def over_files(label: str, sizes: Sequence[int], streaming: bool = False) -> Iterator[FilesProgress]:
    """A bar by bytes over files of the given sizes (see FilesProgress).  A
    command `streaming` its result to standard output while the bar runs
    gets no bar when that is a terminal: its rows would break into the bar."""
    if streaming and enabled(sys.stdout):
        yield FilesProgress(_Silent(), sizes)
        return
    with bar(label, sum(sizes), "bytes") as shown:
        yield FilesProgress(shown, sizes)


@contextlib.contextmanager
def over_tasks(verb: str, sizes: Sequence[int], streaming: bool = False) -> Iterator[Callable[[int, object], None]]:
    """A bar by bytes over files handled as tasks elsewhere, finishing in any
    order: `verb k/n files [...]`.  Yields `done(i, result)`, to be called
    as the task of file i finishes.  `streaming`: as for over_files."""
    if streaming and enabled(sys.stdout):
        yield lambda i, result: None
        return
    with bar(f"{verb} 0/{len(sizes)} files", sum(sizes), "bytes") as shown:
        finished = {"files": 0, "bytes": 0}

        def done(i: int, result: object) -> None:
            finished["files"] += 1
            finished["bytes"] += sizes[i]
            shown.describe(f"{verb} {finished['files']}/{len(sizes)} files")
            shown.update(finished["bytes"])

        yield done
