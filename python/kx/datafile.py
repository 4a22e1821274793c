"""Reading data files (JSON Lines training data) the way the store reads them.

Compressed files (gzip, zstd) and Parquet tables, known by their first
bytes, are read by the native passes as their content: the decompressed
lines, or a table's rows as JSON lines (kx.parquet).

A data file is split at line feeds, one trailing carriage return is removed
and empty lines are skipped, as the native module does when it purges or
indexes a data file.  A line is taken as the JSON value it holds, or, when it
is not JSON, as its text: that is how `blame` turns a line into a line hash,
so a line tracked is found again by blame."""

from __future__ import annotations

import glob
import os
import stat
from typing import Iterator, List, Optional, Sequence, Tuple

from kx.errors import KxError


# Files that reading would hang on (a FIFO waits for a writer) or never
# finish (a device such as /dev/zero).
_NOT_REGULAR = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def open_data_file(path: str):
    try:
        mode = os.stat(path).st_mode
        if stat.S_ISDIR(mode):
            raise KxError(f"{path} is a directory, not a data file")
        for test, kind in _NOT_REGULAR:
            if test(mode):
                raise KxError(f"{path} is {kind}, not a regular file: kx reads only regular files")
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


# The first bytes of the formats the native passes read as their content (a
# zstd file may begin with a skippable frame, 0x184D2A5?).
_CONTENT_MAGIC = ((b"\x1f\x8b", "gzip"), (b"\x28\xb5\x2f\xfd", "zstd"), (b"PAR1", "Parquet"))


def content_format(path: str) -> Optional[str]:
    """"gzip", "zstd" or "Parquet" for a data file that is not plain lines,
    else None."""
    with open_data_file(path) as f:
        head = f.read(4)
    for magic, name in _CONTENT_MAGIC:
        if head.startswith(magic):
            return name
    if len(head) == 4 and head[0] & 0xF0 == 0x50 and head[1:] == b"\x2a\x4d\x18":
        return "zstd"
    return None


def lines(path: str) -> Iterator[Tuple[int, str]]:
    """(line number from 1, text) of every non-empty line."""
    format = content_format(path)
    if format is not None:
        what = "a Parquet file" if format == "Parquet" else f"{format}-compressed"
        raise KxError(
            f"{path} is {what}: this reads plain data files only (`kx blame FILE`, `kx track` and "
            "`kx purge` take it as it is)"
        )
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
DATA_FILE_SUFFIXES = tuple(
    base + compressed for base in (".jsonl", ".json", ".ndjson") for compressed in ("", ".gz", ".zst")
) + (".parquet",)


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
