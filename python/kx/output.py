"""What a command prints: one result, as text for people or as JSON.

Every command returns an `Output`; `emit` writes it to standard output.
Notes for people (hints, warnings) go to standard error through `note`, so
that standard output stays the result alone, in either form."""

from __future__ import annotations

import io
import json
import re
import sys
from dataclasses import dataclass, field
from typing import Any, Iterable, List, Sequence, Union

from rich.cells import cell_len
from rich.console import Console
from rich.table import Table
from rich.text import Text as RichText

Text = Union[str, Sequence[str]]


@dataclass
class Output:
    """A command's result: `data` for --json, `text` (a string or lines) for
    people.  `status` is the exit status (0 for success).  A command whose
    result may be too large to hold writes it to standard output itself, as
    it goes, and returns `Output.streamed()`."""

    data: Any
    text: Text = ""
    status: int = 0
    notes: List[str] = field(default_factory=list)
    written: bool = False  # the command wrote its result itself

    @classmethod
    def streamed(cls, status: int = 0) -> "Output":
        return cls(None, status=status, written=True)


def emit(output: Output, as_json: bool, stream=None) -> None:
    stream = stream or sys.stdout
    for line in output.notes:
        note(line)
    if output.written:
        return
    if as_json:
        json.dump(output.data, stream, indent=2, ensure_ascii=False)
        stream.write("\n")
        return
    text = output.text
    if isinstance(text, str):
        if text:
            stream.write(text if text.endswith("\n") else text + "\n")
        return
    for line in text:
        stream.write(line)
        stream.write("\n")


def note(message: str) -> None:
    """A remark for people on standard error (never part of the result)."""
    sys.stderr.write(f"kx: {message}\n")


def one_line(message: str) -> str:
    """`message` with line breaks escaped, so that an error stays one line."""
    return message.replace("\r", "\\r").replace("\n", "\\n")


def short(hash_hex: str | None, width: int = 12) -> str:
    return hash_hex[:width] if hash_hex else "-"


# Control characters would move the cursor or be dropped by the terminal; a
# cell shows them escaped, as one_line() does for line breaks.
_CONTROL = re.compile(r"[\x00-\x1f\x7f]")
_ESCAPES = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escape(match: re.Match) -> str:
    c = match.group()
    return _ESCAPES.get(c, f"\\x{ord(c):02x}")


def cell(text: str) -> str:
    """`text` as a table cell shows it: control characters escaped."""
    return _CONTROL.sub(_escape, text)


def pad(text: str, width: int) -> str:
    """`text` padded with spaces to `width` terminal cells."""
    return text + " " * (width - cell_len(text))


def table(rows: Iterable[Sequence[str]], aligned: int | None = None) -> List[str]:
    """Rows as text lines, columns separated by two spaces and padded to the
    widest cell; the last column (or those after `aligned`) is not padded.
    Cells are plain text (no markup), never wrapped or cut, with control
    characters escaped."""
    rows = [[cell(str(item)) for item in row] for row in rows]
    if not rows:
        return []
    columns = max(len(row) for row in rows)
    pad_until = min(columns - 1 if aligned is None else aligned, columns)
    # The unpadded columns of a row make one cell, so that they do not pad
    # one another.
    cells = [row[:pad_until] + [""] * (pad_until - len(row[:pad_until])) + ["  ".join(row[pad_until:])] for row in rows]
    grid = Table.grid(padding=(0, 2, 0, 0), pad_edge=False)
    for _ in range(pad_until + 1):
        grid.add_column(no_wrap=True, overflow="ignore")
    for row in cells:
        grid.add_row(*(RichText(cell) for cell in row))
    width = sum(max(cell_len(row[i]) for row in cells) + 2 for i in range(pad_until + 1))
    console = Console(file=io.StringIO(), width=width, color_system=None, highlight=False)
    with console.capture() as captured:
        console.print(grid, crop=False)
    return [line.rstrip() for line in captured.get().split("\n")[: len(rows)]]


def plural(count: int, word: str, words: str | None = None) -> str:
    return f"{count} {word if count == 1 else (words or word + 's')}"
