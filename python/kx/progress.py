"""Progress on standard error for work over large files.

`bar()` gives a progress bar for loops the command runs itself (tracking,
blaming); `working()` shows progress while one long native call runs (a
purge), from a small helper process, because the native module holds the
interpreter lock for the whole call.  Both draw only when standard error is
a terminal and stay silent otherwise, so redirected output is never mixed
with bars.  Set KX_PROGRESS=0 to turn them off on a terminal too."""

from __future__ import annotations

import contextlib
import os
import shutil
import subprocess
import sys
import time
from typing import Iterator, Optional, TextIO

# Draw nothing during the first moments: short commands should not flash a bar.
_QUIET_SECONDS = 0.3
_STEPS = 200  # redraws over the whole run at most


def enabled(stream: Optional[TextIO] = None) -> bool:
    stream = stream or sys.stderr
    if os.environ.get("KX_PROGRESS") == "0":
        return False
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


class Bar:
    """A one-line bar: `update(done)` is cheap enough to call for every item;
    it redraws only every 1/200 of the total."""

    def __init__(self, label: str, total: int, unit: str, stream: TextIO):
        self.label = label
        self.total = max(total, 1)
        self.unit = unit
        self.stream = stream
        self.next_at = 0
        self._step = max(1, self.total // _STEPS)
        self._start = time.monotonic()
        self._drawn = 0

    def update(self, done: int) -> None:
        if done >= self.next_at:
            self.next_at = done + self._step
            self._draw(done)

    def _draw(self, done: int) -> None:
        elapsed = time.monotonic() - self._start
        if elapsed < _QUIET_SECONDS:
            return
        fraction = min(done / self.total, 1.0)
        columns = shutil.get_terminal_size((80, 24)).columns
        counts = f"{done}/{self.total} {self.unit}"
        eta = ""
        if 0 < fraction < 1:
            eta = f" {elapsed * (1 - fraction) / fraction:.0f}s left"
        width = max(10, min(40, columns - len(self.label) - len(counts) - len(eta) - 10))
        filled = int(width * fraction)
        line = f"{self.label} [{'#' * filled}{'.' * (width - filled)}] {fraction:4.0%} {counts}{eta}"
        line = line[: columns - 1]
        self.stream.write("\r" + line.ljust(self._drawn))
        self.stream.flush()
        self._drawn = len(line)

    def close(self) -> None:
        if self._drawn:
            self.stream.write("\r" + " " * self._drawn + "\r")
            self.stream.flush()
            self._drawn = 0


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


# Below this size a native call is over before a helper process would start.
_WORKING_MIN_BYTES = 1 << 20


@contextlib.contextmanager
def working(label: str, data_file: str) -> Iterator[None]:
    """Shows `label`, the elapsed time and, when the native call writes the
    data file's replacement, how far that has got, until the block ends."""
    try:
        size = os.path.getsize(data_file)
    except OSError:
        size = 0
    if not enabled() or size < _WORKING_MIN_BYTES:
        yield
        return
    ticker = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_ticker.py")
    helper = subprocess.Popen(
        [sys.executable, "-I", ticker, label, os.path.abspath(data_file), str(size), str(os.getpid())],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
    )
    try:
        yield
    finally:
        helper.terminate()
        try:
            helper.wait(timeout=2)
        except subprocess.TimeoutExpired:
            helper.kill()
            helper.wait()
