"""Reading data files (JSON Lines training data) the way the store reads them.

A data file is split at line feeds, one trailing carriage return is removed
and empty lines are skipped, as the native module does when it purges or
indexes a data file.  A line is taken as the JSON value it holds, or, when it
is not JSON, as its text: that is how `blame` turns a line into a line hash,
so a line tracked here is found again by blame."""

from __future__ import annotations

import json
import os
from typing import Any, Iterator, Tuple

from kx.errors import KxError


def _no_constant(name: str) -> Any:
    # The store's JSON has no NaN or Infinity: such a line is text.
    raise ValueError(name)


_decoder = json.JSONDecoder(parse_constant=_no_constant)


def parse(text: str) -> Tuple[Any, bool]:
    """(the line's JSON value, True), or (the text itself, False)."""
    try:
        return _decoder.decode(text), True
    except ValueError:
        return text, False
    except RecursionError:
        return text, False


def open_data_file(path: str):
    try:
        if os.path.isdir(path):
            raise KxError(f"{path} is a directory, not a data file")
        return open(path, "rb")
    except FileNotFoundError:
        raise KxError(f"data file not found: {path}") from None
    except OSError as e:
        raise KxError(f"cannot read {path}: {e.strerror}") from None


def lines(path: str) -> Iterator[Tuple[int, str]]:
    """(line number from 1, text) of every non-empty line."""
    with open_data_file(path) as f:
        for number, raw in enumerate(f, 1):
            if raw.endswith(b"\n"):
                raw = raw[:-1]
            if raw.endswith(b"\r"):
                raw = raw[:-1]
            if not raw:
                continue
            try:
                text = raw.decode("utf-8")
            except UnicodeDecodeError:
                raise KxError(f"{path}:{number}: the line is not valid UTF-8") from None
            yield number, text


def count_lines(path: str) -> int:
    """Line feeds in the file plus an unterminated last line: an upper
    bound of the lines `lines` yields, cheap enough for a progress total."""
    count = 0
    last = b"\n"
    with open_data_file(path) as f:
        while True:
            chunk = f.read(1 << 20)
            if not chunk:
                break
            count += chunk.count(b"\n")
            last = chunk[-1:]
    return count + (last != b"\n")
