"""`kx blame DATA_FILE... [LINE_NO]`: where lines come from.

Each line is looked up by its line hash; its records name the data file it
was tracked in and its source sections, which this command resolves to
paths, authors and licenses.  Whole files are blamed by the core in one
pass per file (`kx._core.blame_lines`: the lines hashed, then looked up
shard by shard), and the rows are printed as the results come, so memory
does not grow with the files.  With `--since OLD_FILE`, blame is carried
over an edit: lines kept from OLD_FILE (by the line diff) show the old
line's provenance; an edited line that is not tracked itself shows the
provenance of the old line it replaced."""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import _kx_native as native
from rich.cells import cell_len

from kx import _core as core
from kx import cluster, datafile, progress
from kx.errors import KxError
from kx.output import Output, cell, pad, short, table
from kx.store import Store


def register(commands, common) -> None:
    p = commands.add_parser(
        "blame",
        parents=[common],
        help="show where the lines of data files come from",
        usage="%(prog)s [-h] [--json] [--since OLD_FILE] [--cluster ADDRESS | --workers N] DATA_FILE [DATA_FILE ...] "
        "[LINE_NO]",
        description="Show the provenance of every line of the data files, or of one line (LINE_NO, counted "
        "from 1, after a single DATA_FILE): the sections it was tracked from, with their paths, authors "
        "and licenses. A DATA_FILE may also be a directory (its *.jsonl, *.json, *.ndjson and *.parquet files) or a "
        "glob pattern. Rows are printed as the lines are blamed; with several files each row starts with "
        "its file. --json prints one array of line results, one per line of output. With --cluster or "
        "--workers each file is blamed by a task of Dask workers, and the rows come file after file as here.",
    )
    p.add_argument("paths", nargs="+", metavar="DATA_FILE", help=argparse.SUPPRESS)
    p.add_argument(
        "--since",
        metavar="OLD_FILE",
        help="carry blame over from an earlier version of the file: kept lines show the old line's provenance",
    )
    cluster.add_options(p, "blame")
    p.set_defaults(run=blame, path_args=("paths", "since"))


class Describer:
    """Turns blame records into sections with their authors, caching the
    look-ups (a file's lines share few sections)."""

    def __init__(self, store: Store):
        self.store = store
        self._sections: Dict[str, Dict[str, Any]] = {}
        self._section_json: Dict[str, str] = {}
        self._summaries: Dict[str, str] = {}
        self._same: Dict[Tuple[str, str], bool] = {}
        self._revoked_documents: Optional[set] = None

    def section(self, hash_: str) -> Dict[str, Any]:
        if hash_ not in self._sections:
            record = self.store.section(hash_)
            if record is None:
                described: Dict[str, Any] = {"section_hash": hash_, "known": False}
            else:
                authors = []
                for id_ in record.get("authors") or []:
                    author = self.store.author(id_) if isinstance(id_, str) else None
                    authors.append(
                        {"id": id_, "name": author["name"], "email": author["email"], "revoked": author["revoked"]}
                        if author
                        else {"id": id_, "name": None, "email": None, "revoked": False}
                    )
                described = {
                    "section_hash": hash_,
                    "known": True,
                    "path": record.get("path"),
                    "authors": authors,
                    "contributors": record.get("contributors") or [],
                    "license": record.get("license"),
                    "year": record.get("year"),
                    "revoked": record["revoked"],
                    # Consent ends with the section's revocation or any of its authors'.
                    "withdrawn": bool(record["revoked"]) or any(a["revoked"] for a in authors),
                }
            self._sections[hash_] = described
        return self._sections[hash_]

    def names(self, recorded: str, path: str) -> bool:
        """Whether a record's file name names the data file `path`."""
        key = (recorded, path)
        if key not in self._same:
            self._same[key] = os.path.realpath(recorded) == os.path.realpath(path)
        return self._same[key]

    def own_first(self, path: str, records: Sequence[Any], file_of=lambda r: r[0]) -> List[Any]:
        """A line's records with those of the data file `path` first."""
        return sorted(records, key=lambda r: not self.names(file_of(r), path))

    def withdrawn(self, path: str, line_hash: Optional[str], records: Sequence[Any],
                  sources_of=lambda r: r[1], file_of=lambda r: r[0]) -> bool:
        """Whether a line of `path` may no longer be used: its records for
        that file (else, with none, all its records) draw on a withdrawn
        section, or the line is a revoked document, as the purge decides."""
        if self._revoked_documents is None:
            self._revoked_documents = set(core.revoked_documents(self.store.kx_dir))
        if line_hash is not None and line_hash in self._revoked_documents:
            return True
        own = [r for r in records if self.names(file_of(r), path)]
        return any(self.section(h)["withdrawn"] for r in (own or records) for h in sources_of(r)
                   if self.section(h)["known"])

    def section_json(self, hash_: str) -> str:
        if hash_ not in self._section_json:
            self._section_json[hash_] = _json(self.section(hash_))
        return self._section_json[hash_]

    def sources_json(self, hashes: Sequence[str]) -> str:
        return "[" + ", ".join(self.section_json(h) for h in hashes) + "]"

    def summary(self, records: Sequence[Tuple[str, Sequence[str]]]) -> Optional[str]:
        """The sections of a line's (file, sources) records, once each, as a
        table cell; None when the line has no records."""
        if not records:
            return None
        hashes = list(dict.fromkeys(h for _, sources in records for h in sources))
        return cell("; ".join(self.section_summary(h) for h in hashes))

    def section_summary(self, hash_: str) -> str:
        if hash_ not in self._summaries:
            self._summaries[hash_] = _section_summary(self.section(hash_))
        return self._summaries[hash_]

    def records(self, records: Sequence[Mapping[str, Any]]) -> List[Dict[str, Any]]:
        return [
            {"file": r["file"], "line_hash": r["line_hash"], "sources": [self.section(s) for s in r["sources"]]}
            for r in records
        ]


class Blamer:
    def __init__(self, store: Store, data_file: str):
        self.store = store
        self.data_file = data_file
        self.describer = Describer(store)
        self._cache: Dict[str, List[Dict[str, Any]]] = {}

    def __call__(self, text: str) -> List[Dict[str, Any]]:
        if text not in self._cache:
            found = native.blame(self.store.kx_dir, self.data_file, text)
            found = self.describer.own_first(self.data_file, found, file_of=lambda r: r["file"])
            self._cache[text] = self.describer.records(found)
        return self._cache[text]

    def withdrawn(self, records: List[Dict[str, Any]]) -> bool:
        line_hash = records[0]["line_hash"] if records else None
        return self.describer.withdrawn(
            self.data_file, line_hash, records,
            sources_of=lambda r: [s["section_hash"] for s in r["sources"]], file_of=lambda r: r["file"])


_NUMBER = re.compile(r"[+-]?[0-9]+")


def _split_line_no(paths: List[str]) -> Tuple[List[str], Optional[int]]:
    """The data files and LINE_NO: a last argument that is a number and
    names no file."""
    last = paths[-1]
    if len(paths) > 1 and _NUMBER.fullmatch(last) and not os.path.lexists(last):
        return paths[:-1], int(last)
    return paths, None


def blame(store: Store, args: argparse.Namespace) -> Output:
    paths, line_no = _split_line_no(args.paths)
    if cluster.requested(args) and (args.since is not None or line_no is not None):
        raise KxError("--cluster and --workers blame whole files; leave out --since and LINE_NO")
    if args.since is not None:
        if line_no is not None:
            raise KxError("--since blames the whole file; leave out LINE_NO")
        if len(paths) != 1:
            raise KxError("--since blames one data file")
        return _blame_since(store, paths[0], args.since)
    if line_no is not None:
        if len(paths) != 1:
            raise KxError("LINE_NO goes with a single data file")
        return _blame_one(Blamer(store, paths[0]), paths[0], line_no)
    return _blame_files(store, datafile.expand(paths), args)


def _blame_files(store: Store, files: List[str], args: argparse.Namespace) -> Output:
    sizes = [datafile.size(path) for path in files]
    describer = Describer(store)
    out = _JsonRows(describer) if args.json else _TextRows(describer, files, sizes)
    if cluster.requested(args):
        with cluster.connect(args.cluster, args.workers) as client, progress.over_tasks(
            "blaming", sizes, streaming=True
        ) as done:
            cluster.blame(client, store.kx_dir, files, lambda i, p, lines: out.write(files[i], p, lines), done)
        out.close()
        return Output.streamed()
    label = f"blaming {files[0]}" if len(files) == 1 else f"blaming {len(files)} files"
    with progress.over_files(label, sizes, streaming=True) as bar:
        for i, path in enumerate(files):

            def sink(provenances: List[Tuple], lines: List[Tuple[int, Optional[str], int]], path=path) -> None:
                out.write(path, provenances, lines)

            core.blame_lines(store.kx_dir, path, sink, bar.callback(i))
            bar.finished(i)
    out.close()
    return Output.streamed()


def _not_text(path: str, number: int) -> KxError:
    return KxError(f"{path}:{number}: the line is not valid UTF-8")


class _TextRows:
    """Rows of fixed-width columns, known before the first line: the file
    (with several files), the line number (as wide as the largest file's
    size in bytes), the short line hash, and the sections."""

    def __init__(self, describer: "Describer", files: List[str], sizes: List[int]):
        self.describer = describer
        self.number_width = len(str(max(sizes, default=1)))
        self.names: Optional[Dict[str, str]] = None
        if len(files) > 1:
            width = max(cell_len(cell(path)) for path in files)
            self.names = {path: pad(cell(path), width) + "  " for path in files}

    def write(self, path: str, provenances: List[Tuple], lines: List[Tuple[int, Optional[str], int]]) -> None:
        # What follows the short line hash, or None for an untracked line.
        provenances = [self.describer.own_first(path, records) for records in provenances]
        tails = [self.describer.summary(records) for records in provenances]
        tails = [t if not t else "  " + t for t in tails]
        withdrawn = [self.describer.withdrawn(path, None, records) for records in provenances]
        prefix = self.names[path] if self.names else ""
        width = self.number_width
        rows = []
        for number, hash_, provenance in lines:
            if hash_ is None:
                raise _not_text(path, number)
            tail = tails[provenance]
            if tail is None:
                rows.append(f"{prefix}{number:<{width}}  -             not tracked")
            else:
                state = _state(withdrawn[provenance] or self.describer.withdrawn(path, hash_, ()))
                rows.append(f"{prefix}{number:<{width}}  {hash_[:12]}  {state}{tail}")
        if rows:
            sys.stdout.write("\n".join(rows) + "\n")

    def close(self) -> None:
        pass


class _JsonRows:
    """One JSON array of line results, written element by element (one a
    line), each as `blame FILE LINE_NO --json` gives it."""

    def __init__(self, describer: "Describer"):
        self.describer = describer
        self.started = False

    def write(self, path: str, provenances: List[Tuple], lines: List[Tuple[int, Optional[str], int]]) -> None:
        file_json = _json(path)
        provenances = [self.describer.own_first(path, p) for p in provenances]
        records = [[(_json(file), self.describer.sources_json(sources)) for file, sources in p] for p in provenances]
        withdrawn = [self.describer.withdrawn(path, None, p) for p in provenances]
        items = []
        for number, hash_, provenance in lines:
            if hash_ is None:
                raise _not_text(path, number)
            found = records[provenance]
            tracked = ", ".join(
                f'{{"file": {file}, "line_hash": "{hash_}", "sources": {sources}}}' for file, sources in found
            )
            line_hash = f'"{hash_}"' if found else "null"
            gone = bool(found) and (withdrawn[provenance] or self.describer.withdrawn(path, hash_, ()))
            items.append(
                f'{{"file": {file_json}, "line": {number}, "line_hash": {line_hash}, '
                f'"withdrawn": {_json(gone)}, "records": [{tracked}]}}'
            )
        if items:
            sys.stdout.write(("[\n" if not self.started else ",\n") + ",\n".join(items))
            self.started = True

    def close(self) -> None:
        sys.stdout.write("\n]\n" if self.started else "[]\n")


def _json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False)


def _blame_one(blamer: Blamer, path: str, line_no: int) -> Output:
    if line_no < 1:
        raise KxError(f"line numbers start at 1, not {line_no}")
    text: Optional[str] = None
    for number, line in datafile.lines(path):
        if number == line_no:
            text = line
            break
        if number > line_no:
            break
    if text is None:
        raise KxError(f"{path} has no line {line_no} (or it is empty)")
    records = blamer(text)
    result = {"file": path, **_line_result(line_no, records, blamer.withdrawn(records))}
    return Output(result, _detail(path, result))


def _line_result(number: int, records: List[Dict[str, Any]], withdrawn: bool, **extra: Any) -> Dict[str, Any]:
    return {
        "line": number,
        "line_hash": records[0]["line_hash"] if records else None,
        "withdrawn": withdrawn,
        **extra,
        "records": records,
    }


def _state(withdrawn: bool) -> str:
    """The column that says whether a tracked line may be used."""
    return "withdrawn" if withdrawn else "usable   "


def _sections_of(result: Dict[str, Any]) -> List[Dict[str, Any]]:
    seen: Dict[str, Dict[str, Any]] = {}
    for record in result["records"]:
        for section in record["sources"]:
            seen.setdefault(section["section_hash"], section)
    return list(seen.values())


def _section_summary(section: Dict[str, Any]) -> str:
    if not section["known"]:
        return f"unknown section {short(section['section_hash'])}"
    names = ", ".join(a["name"] or short(a["id"]) for a in section["authors"]) or "no authors"
    text = f"{section['path']} ({names}; {section['license']}, {section['year']})"
    return text + (" [revoked]" if section["revoked"] else "")


def _row(result: Dict[str, Any], origin: Optional[str] = None) -> Tuple[str, ...]:
    cells = [str(result["line"])]
    if origin is not None:
        cells.append(origin)
    if not result["records"]:
        return tuple(cells + ["-", "not tracked", ""])
    summary = "; ".join(_section_summary(s) for s in _sections_of(result))
    return tuple(cells + [short(result["line_hash"]), _state(result["withdrawn"]).strip(), summary])


def _detail(path: str, result: Dict[str, Any]) -> List[str]:
    lines = [f"{path}:{result['line']}"]
    if not result["records"]:
        return lines + ["  not tracked"]
    lines.append(f"  line hash  {result['line_hash']}")
    lines.append("  withdrawn: consent for this line has ended" if result["withdrawn"] else "  usable: no withdrawal")
    for record in result["records"]:
        lines.append(f"  tracked in {record['file']} from:")
        for section in record["sources"]:
            if not section["known"]:
                lines.append(f"    section {section['section_hash']} (not registered)")
                continue
            state = "  [revoked]" if section["revoked"] else ""
            lines.append(f"    section {section['section_hash']}{state}")
            lines.append(f"      path     {section['path']}")
            for author in section["authors"]:
                name = f"{author['name']} <{author['email']}>" if author["name"] else author["id"]
                lines.append(f"      author   {name}{'  [revoked]' if author['revoked'] else ''}")
            for contributor in section["contributors"]:
                lines.append(f"      contrib  {contributor}")
            lines.append(f"      license  {section['license']} ({section['year']})")
    return lines


def _blame_since(store: Store, path: str, old_path: str) -> Output:
    old = list(datafile.lines(old_path))
    new = list(datafile.lines(path))
    opcodes = native.blame_diff([t for _, t in old], [t for _, t in new])
    old_blamer = Blamer(store, old_path)
    blamer = Blamer(store, path)
    results: List[Dict[str, Any]] = [{}] * len(new)
    removed = 0
    with progress.bar(f"blaming {path}", len(new)) as bar:
        done = 0
        for tag, i1, i2, j1, j2 in opcodes:
            if tag == "delete" or tag == "replace":
                removed += max(0, (i2 - i1) - (j2 - j1))
            for j in range(j1, j2):
                number, text = new[j]
                if tag == "equal":
                    old_number, old_text = old[i1 + j - j1]
                    records = old_blamer(old_text)
                    results[j] = _line_result(number, records, old_blamer.withdrawn(records), status="kept",
                                              old_line=old_number)
                elif tag == "replace" and i1 + j - j1 < i2:
                    old_number, old_text = old[i1 + j - j1]
                    own = blamer(text)
                    carried = not own
                    by = old_blamer if carried else blamer
                    records = old_blamer(old_text) if carried else own
                    results[j] = _line_result(
                        number, records, by.withdrawn(records), status="edited", old_line=old_number, carried=carried
                    )
                else:
                    records = blamer(text)
                    results[j] = _line_result(number, records, blamer.withdrawn(records), status="added",
                                              old_line=None)
                done += 1
                bar.update(done)
    rows = [_row(r, _origin(r)) for r in results]
    lines = table(rows)
    lines.append(f"{len(new)} lines, {sum(r['status'] == 'kept' for r in results)} kept from {old_path}, "
                f"{sum(r['status'] == 'edited' for r in results)} edited, "
                f"{sum(r['status'] == 'added' for r in results)} added, {removed} removed")
    return Output({"file": path, "since": old_path, "lines": results, "removed": removed}, lines)


def _origin(result: Dict[str, Any]) -> str:
    if result["status"] == "kept":
        return f"={result['old_line']}"
    if result["status"] == "edited":
        return f"~{result['old_line']}"
    return "+"
