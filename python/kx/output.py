"""What a command prints: one result, as text for people or as JSON.

Every command returns an `Output`; `emit` writes it to standard output.
Notes for people (hints, warnings) go to standard error through `note`, so
that standard output stays the result alone, in either form."""

from __future__ import annotations

import json
import sys
from dataclasses import dataclass, field
from typing import Any, Iterable, List, Sequence, Union

Text = Union[str, Sequence[str]]


@dataclass
class Output:
    """A command's result: `data` for --json, `text` (a string or lines) for
    people.  `status` is the exit status (0 for success)."""

    data: Any
    text: Text = ""
    status: int = 0
    notes: List[str] = field(default_factory=list)


def emit(output: Output, as_json: bool, stream=None) -> None:
    stream = stream or sys.stdout
    for line in output.notes:
        note(line)
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


def table(rows: Iterable[Sequence[str]], aligned: int | None = None) -> List[str]:
    """Rows as text lines, columns separated by two spaces and padded to the
    widest cell; the last column (or those after `aligned`) is not padded."""
    rows = [list(map(str, row)) for row in rows]
    if not rows:
        return []
    columns = max(len(row) for row in rows)
    pad_until = columns - 1 if aligned is None else aligned
    widths = [0] * columns
    for row in rows:
        for i, cell in enumerate(row[:pad_until]):
            widths[i] = max(widths[i], len(cell))
    lines = []
    for row in rows:
        cells = [cell.ljust(widths[i]) if i < pad_until else cell for i, cell in enumerate(row)]
        lines.append("  ".join(cells).rstrip())
    return lines


def plural(count: int, word: str, words: str | None = None) -> str:
    return f"{count} {word if count == 1 else (words or word + 's')}"
