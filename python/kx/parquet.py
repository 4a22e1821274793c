"""Parquet data files, read and written through pyarrow (the `parquet` extra).

The native core reads a Parquet file as its rows, one JSON line each (the
mapping of Arrow types to JSON is in docs/parquet.md), and calls this module
for the tables themselves: `Rows` hands it the record batches of a file a row
group at a time; `remove_rows` writes a purged table and, apart, the rows
the purge removed; `restore_rows` puts those rows back at their indexes.
Rewrites go a row group at a time too, and keep the schema (with its
metadata), each column's codec, the format version and the row-group size of
the file they rewrite, so that a purge and its undo give back a table that
reads as before."""

from __future__ import annotations

import bisect
import os
from array import array
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from typing import Iterator, List, Optional, Tuple

from kx.errors import KxError


def _pyarrow(path: str):
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError:
        raise KxError(
            f"{path} is a Parquet file, and reading it needs pyarrow: install the parquet extra "
            "(pip install 'kx[parquet]')"
        ) from None
    return pyarrow, pyarrow.parquet


@contextmanager
def _failing_as(path: str, what: str):
    """Turns pyarrow's failures into one-line errors naming `path`."""
    pa, _ = _pyarrow(path)
    try:
        yield
    except (pa.ArrowException, OSError) as e:
        reason = str(e).splitlines()[0] if str(e) else type(e).__name__
        raise KxError(f'data file "{path}" {what}: {reason}') from None


def _open(path: str):
    _, pq = _pyarrow(path)
    with _failing_as(path, "is damaged"):
        return pq.ParquetFile(path)


class Rows:
    """The rows of the Parquet file at `path` as record batches, a row group
    at a time: next_batch() gives (batch, bytes of the file read so far),
    and (None, the file's size) after the last."""

    def __init__(self, path: str):
        self._path = path
        self._file = _open(path)
        self._batches = self._read()

    def _read(self) -> Iterator[Tuple[object, int]]:
        size = os.path.getsize(self._path)
        metadata = self._file.metadata
        done = 0
        # The next row group is read on a thread of its own while the core
        # works on this one (pyarrow lets go of the interpreter meanwhile).
        with ThreadPoolExecutor(max_workers=1) as reader:
            ahead = reader.submit(self._file.read_row_group, 0) if metadata.num_row_groups else None
            for i in range(metadata.num_row_groups):
                table = ahead.result()
                if i + 1 < metadata.num_row_groups:
                    ahead = reader.submit(self._file.read_row_group, i + 1)
                group = metadata.row_group(i)
                done = min(size, done + sum(group.column(c).total_compressed_size for c in range(group.num_columns)))
                for batch in table.to_batches():
                    yield batch, done
        yield None, size

    def next_batch(self) -> Tuple[object, int]:
        with _failing_as(self._path, "is damaged"):
            return next(self._batches)


class _RowStream:
    """The rows of a Parquet file taken in order, a row group at a time."""

    def __init__(self, parquet_file):
        self._file = parquet_file
        self._group = 0
        self._table = None
        self._at = 0

    def take(self, count: Optional[int]) -> List[object]:
        """Slices of the next `count` rows (all that are left with None);
        fewer when the file ends first."""
        pieces = []
        while count is None or count > 0:
            if self._table is None or self._at == self._table.num_rows:
                if self._group == self._file.metadata.num_row_groups:
                    break
                self._table = self._file.read_row_group(self._group)
                self._group += 1
                self._at = 0
                continue
            piece = self._table.slice(self._at, count)
            self._at += piece.num_rows
            if count is not None:
                count -= piece.num_rows
            pieces.append(piece)
        return pieces


# Codec names in a file's metadata that ParquetWriter spells otherwise.
_CODECS = {"UNCOMPRESSED": "none", "LZ4_RAW": "lz4"}


class _Writer:
    """Writes a table like the Parquet file `like`: its schema (with its
    metadata), its columns' codecs, its format version, and row groups of
    its largest row group's size."""

    def __init__(self, path: str, like):
        self._pa, pq = _pyarrow(path)
        self._path = path
        metadata = like.metadata
        groups = [metadata.row_group(i) for i in range(metadata.num_row_groups)]
        self._size = max((g.num_rows for g in groups), default=0) or 1 << 20
        codecs = "snappy"
        if groups:
            columns = [groups[0].column(c) for c in range(groups[0].num_columns)]
            codecs = {c.path_in_schema: _CODECS.get(c.compression, c.compression.lower()) for c in columns}
        self._writer = pq.ParquetWriter(path, like.schema_arrow, compression=codecs, version=metadata.format_version)
        self._held: List[object] = []
        self._rows = 0

    def write(self, pieces: List[object]) -> None:
        self._held += pieces
        self._rows += sum(piece.num_rows for piece in pieces)
        while self._rows >= self._size:
            self._flush(self._size)

    def _flush(self, count: int) -> None:
        table = self._pa.concat_tables(self._held)
        self._writer.write_table(table.slice(0, count), row_group_size=count)
        rest = table.slice(count)
        self._held = [rest] if rest.num_rows else []
        self._rows -= count

    def close(self) -> None:
        """Writes the rest and makes the file durable."""
        if self._rows:
            self._flush(self._rows)
        self._writer.close()
        with open(self._path, "rb+") as f:
            os.fsync(f.fileno())


def _over(pa, type, values):
    """An Arrow array of `type` over the bytes of `values` (an array.array or
    a bytearray of items of that type)."""
    return pa.Array.from_buffers(type, len(values), [None, pa.py_buffer(values)])


def remove_rows(path: str, removed: bytes, kept_path: str, removed_path: str) -> None:
    """Writes the table at `path` without the rows at the indexes `removed`
    to `kept_path`, and those rows, in order, to `removed_path`."""
    pa, _ = _pyarrow(path)
    source = _open(path)
    indexes = array("Q")
    indexes.frombytes(removed)
    with _failing_as(path, "could not be rewritten"):
        kept, gone = _Writer(kept_path, source), _Writer(removed_path, source)
        start = taken = 0
        for group in range(source.metadata.num_row_groups):
            table = source.read_row_group(group)
            end = bisect.bisect_left(indexes, start + table.num_rows, lo=taken)
            local = [index - start for index in indexes[taken:end]]
            start, taken = start + table.num_rows, end
            if local:
                keep = bytearray(b"\x01") * table.num_rows
                for index in local:
                    keep[index] = 0
                gone.write([table.take(local)])
                table = table.filter(_over(pa, pa.uint8(), keep).cast(pa.bool_()))
            kept.write([table])
        kept.close()
        gone.close()


def restore_rows(path: str, positions: bytes, removed_path: str, out_path: str) -> None:
    """Writes to `out_path` the table at `path` with the rows of the table at
    `removed_path` put back, in order, at the indexes `positions` (those past
    the end at the end)."""
    pa, _ = _pyarrow(path)
    source = _open(path)
    places = array("Q")
    places.frombytes(positions)
    with _failing_as(path, "could not be rewritten"):
        removed = _RowStream(_open(removed_path))
        out = _Writer(out_path, source)
        written = placed = 0
        for group in range(source.metadata.num_row_groups):
            table = source.read_row_group(group)
            # The group's rows and the removed rows placed among them, as
            # indexes into the group followed by those removed rows.
            n, order, taken = table.num_rows, array("q"), 0
            while placed < len(places):
                before = places[placed] - written - len(order)  # rows of the group before it
                if before > n - taken:
                    break
                order.extend(range(taken, taken + max(before, 0)))
                taken += max(before, 0)
                order.append(n + len(order) - taken)
                placed += 1
            order.extend(range(taken, n))
            back = removed.take(len(order) - n)
            if back:
                table = pa.concat_tables([table, *back]).take(_over(pa, pa.int64(), order))
            out.write([table])
            written += len(order)
        out.write(removed.take(None))
        out.close()
