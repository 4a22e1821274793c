"""Reading data files (JSON Lines training data) the way the store reads them.

A data file is split at line feeds, one trailing carriage return is removed
and empty lines are skipped, as the native module does when it purges or
indexes a data file.  A line is taken as the JSON value it holds, or, when it
is not JSON, as its text: that is how `blame` turns a line into a line hash,
so a line tracked here is found again by blame."""

from __future__ import annotations

import glob
import json
import os
from typing import Any, Iterator, List, Optional, Sequence, Tuple

import _kx_native as native

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


class Unstorable(ValueError):
    """A JSON value the store cannot hold."""


def _finite_float(text: str) -> float:
    number = float(text)
    if number in (float("inf"), float("-inf")):
        raise Unstorable(f"the number {text[:20]} is out of range")
    return number


def _bounded_int(text: str) -> int:
    # Integers beyond 64 bits are stored as floats; beyond a float's range
    # they have no form at all.
    if len(text.lstrip("-")) > 300:
        raise Unstorable(f"the number {text[:20]}... is out of range")
    return int(text)


_checker = json.JSONDecoder(parse_constant=_no_constant, parse_float=_finite_float, parse_int=_bounded_int)


def checked(text: str) -> Tuple[Any, Optional[str]]:
    """(the line's JSON value, None), or (None, why the store cannot track
    the line).  The store takes JSON without NaN, infinities, lone
    surrogates or nesting beyond 128 levels; the last two are rare enough
    to be checked only when the text could hold them."""
    try:
        value = _checker.decode(text)
    except Unstorable as e:
        return None, str(e)
    except (ValueError, RecursionError):
        return None, "the line is not JSON"
    if "\\ud" in text or "\\uD" in text or text.count("[") + text.count("{") > 128:
        try:
            native.compute_hash(value)
        except (RuntimeError, ValueError) as e:
            return None, f"the line holds a value the store cannot hold ({e})"
    return value, None


def open_data_file(path: str):
    try:
        if os.path.isdir(path):
            raise KxError(f"{path} is a directory, not a data file")
        return open(path, "rb")
    except FileNotFoundError:
        raise KxError(f"data file not found: {path}") from None
    except OSError as e:
        raise KxError(f"cannot read {path}: {e.strerror}") from None


def size(path: str) -> int:
    """The size of a data file in bytes, once it is known to be readable
    (else the error `open_data_file` gives)."""
    with open_data_file(path) as f:
        return os.fstat(f.fileno()).st_size


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


# Names a directory's data files carry: what `kx track DIR` and `kx blame DIR`
# take from it (other files of the directory are not data files).
DATA_FILE_SUFFIXES = (".jsonl", ".json", ".ndjson")


def is_data_file_name(name: str) -> bool:
    return name.endswith(DATA_FILE_SUFFIXES)


def expand(arguments: Sequence[str]) -> List[str]:
    """The data files named by command-line arguments, each once, in order.

    An argument is a data file, a directory (its data files, recursively, by
    name: see DATA_FILE_SUFFIXES; the store directory is skipped), or a glob
    pattern (`*`, `?`, `[...]`, and `**` across directories) that is not
    itself a path.  A pattern or directory that names no data file is an
    error, as a missing file is."""
    files: List[str] = []
    seen = set()
    for argument in arguments:
        for path in _expand_one(argument):
            key = os.path.normpath(path)
            if key not in seen:
                seen.add(key)
                files.append(path)
    return files


def _expand_one(argument: str) -> List[str]:
    if os.path.isdir(argument):
        found = sorted(_data_files_under(argument))
        if not found:
            raise KxError(f"no data files ({', '.join('*' + s for s in DATA_FILE_SUFFIXES)}) in directory {argument}")
        return found
    if os.path.lexists(argument) or not glob.has_magic(argument):
        return [argument]  # a missing file is reported by whoever opens it
    found = sorted(p for p in glob.glob(argument, recursive=True) if not os.path.isdir(p))
    if not found:
        raise KxError(f"no data files match {argument}")
    return found


def _data_files_under(directory: str) -> Iterator[str]:
    for root, dirs, names in os.walk(directory):
        dirs[:] = [d for d in dirs if d != ".kx"]
        for name in names:
            if is_data_file_name(name):
                yield os.path.join(root, name)
