"""`kx blame DATA_FILE [LINE_NO]`: where lines come from.

Each line is looked up by its line hash; its records name the data file it
was tracked in and its source sections, which this command resolves to
paths, authors and licenses.  With `--since OLD_FILE`, blame is carried over
an edit: lines kept from OLD_FILE (by the line diff) show the old line's
provenance; an edited line that is not tracked itself shows the provenance
of the old line it replaced."""

from __future__ import annotations

import argparse
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import _kx_native as native

from kx import datafile, progress
from kx.errors import KxError
from kx.output import Output, short, table
from kx.store import Store


def register(commands, common) -> None:
    p = commands.add_parser(
        "blame",
        parents=[common],
        help="show where the lines of a data file come from",
        description="Show the provenance of one line (LINE_NO, counted from 1) or of every line of a data "
        "file: the sections it was tracked from, with their paths, authors and licenses.",
    )
    p.add_argument("data_file", metavar="DATA_FILE")
    p.add_argument("line_no", nargs="?", type=int, metavar="LINE_NO")
    p.add_argument(
        "--since",
        metavar="OLD_FILE",
        help="carry blame over from an earlier version of the file: kept lines show the old line's provenance",
    )
    p.set_defaults(run=blame, path_args=("data_file", "since"))


class Describer:
    """Turns blame records into sections with their authors, caching the
    look-ups (a file's lines share few sections)."""

    def __init__(self, store: Store):
        self.store = store
        self._sections: Dict[str, Dict[str, Any]] = {}

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
                }
            self._sections[hash_] = described
        return self._sections[hash_]

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
            self._cache[text] = self.describer.records(found)
        return self._cache[text]


def blame(store: Store, args: argparse.Namespace) -> Output:
    if args.since is not None:
        if args.line_no is not None:
            raise KxError("--since blames the whole file; leave out LINE_NO")
        return _blame_since(store, args.data_file, args.since)
    blamer = Blamer(store, args.data_file)
    if args.line_no is not None:
        return _blame_one(blamer, args.data_file, args.line_no)
    total = datafile.count_lines(args.data_file)
    results = []
    with progress.bar(f"blaming {args.data_file}", total) as bar:
        for number, text in datafile.lines(args.data_file):
            results.append(_line_result(number, blamer(text)))
            bar.update(number)
    return Output(results, table(_row(r) for r in results))


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
    result = _line_result(line_no, blamer(text))
    return Output(result, _detail(path, result))


def _line_result(number: int, records: List[Dict[str, Any]], **extra: Any) -> Dict[str, Any]:
    return {
        "line": number,
        "line_hash": records[0]["line_hash"] if records else None,
        **extra,
        "records": records,
    }


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
        return tuple(cells + ["-", "not tracked"])
    summary = "; ".join(_section_summary(s) for s in _sections_of(result))
    return tuple(cells + [short(result["line_hash"]), summary])


def _detail(path: str, result: Dict[str, Any]) -> List[str]:
    lines = [f"{path}:{result['line']}"]
    if not result["records"]:
        return lines + ["  not tracked"]
    lines.append(f"  line hash  {result['line_hash']}")
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
                    results[j] = _line_result(number, old_blamer(old_text), status="kept", old_line=old_number)
                elif tag == "replace" and i1 + j - j1 < i2:
                    old_number, old_text = old[i1 + j - j1]
                    own = blamer(text)
                    carried = not own
                    records = old_blamer(old_text) if carried else own
                    results[j] = _line_result(
                        number, records, status="edited", old_line=old_number, carried=carried
                    )
                else:
                    results[j] = _line_result(number, blamer(text), status="added", old_line=None)
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
