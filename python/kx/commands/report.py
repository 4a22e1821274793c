"""`kx report`: what a corpus holds, under which licenses, from whom, and
what has been withdrawn, as one self-contained HTML page (or, with --json,
the same figures as data) for the people who do not run kx themselves.

The figures come from one native pass over the store on the worker pool
(`kx._core.report_aggregates`), which tallies by data file, section, license
and author, never by record, and applies the filters as it goes.  A record counts once under each
license, author and section it draws from, as `kx show` lists it; it is
under withdrawn consent when any of its sections is withdrawn (revoked, or
with a revoked author)."""

from __future__ import annotations

import argparse
import json
import os
from collections import defaultdict
from typing import Any, Dict, Iterable, List, Optional, Set, Tuple

from kx import _core as core
from kx.errors import KxError
from kx.output import Output, plural
from kx.store import Store

# Operations of the log by what they did, for the timeline.
TIMELINE_KINDS = {
    "revoke_section": "revocation",
    "revoke_author": "revocation",
    "revoke_token": "revocation",
    "revoke_reverse_section": "revocation undone",
    "revoke_reverse_author": "revocation undone",
    "revoke_reverse_token": "revocation undone",
    "purge": "purge",
    "purge_archive": "purge",
    "purge_reverse": "purge undone",
    "merge": "merge",
    "clean": "maintenance",
}


def register(commands, common) -> None:
    p = commands.add_parser(
        "report",
        parents=[common],
        help="write an HTML report of the corpus: licenses, authors, withdrawals",
        description="Write one self-contained HTML page (styles, charts and data inline; it makes no network "
        "request when opened) describing the corpus: data files, lines tracked and under withdrawn consent, "
        "tokens per tokenizer, index freshness; lines and tokens by license, by author and by section; each "
        "data file with its lines purged (from the operation log); and the timeline of the operation log. "
        "Charts need matplotlib (pip install 'kx[report]'); without it the page holds the tables. With "
        "--json, print the figures instead.",
    )
    p.add_argument("-o", "--output", metavar="FILE", default="report.html", help="the HTML file (default: report.html)")
    p.add_argument("--file", action="append", default=[], metavar="DATA_FILE", help="only the lines of this data file (repeatable)")
    p.add_argument("--license", action="append", default=[], metavar="LICENSE", help="only lines drawn from a section under this license (repeatable)")
    p.add_argument("--author", action="append", default=[], metavar="NAME", help="only lines drawn from a section of this author (repeatable)")
    p.set_defaults(run=report, path_args=("file", "output"))


def report(store: Store, args: argparse.Namespace) -> Output:
    figures = gather(store, files=args.file, licenses=args.license, authors=args.author)
    if args.json:
        return Output(figures)
    from kx import report_html

    page, charts = report_html.render(figures)
    try:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(page)
    except OSError as e:
        raise KxError(f"cannot write {args.output}: {e.strerror}") from None
    what = f"{plural(charts, 'chart')}" if charts is not None else "no charts (matplotlib is not installed)"
    return Output({"output": args.output}, f"wrote {args.output} ({what})")


def gather(store: Store, files=(), licenses=(), authors=()) -> Dict[str, Any]:
    """Every figure of the report, as data."""
    kx_dir = store.kx_dir
    sections = store.all_sections()
    people = {a["id"]: a for a in store.all_authors()}
    withdrawn = {w["section_hash"] for w in core.withdrawals(kx_dir)}
    filters: Dict[str, Set[str]] = {}
    if files:
        filters["files"] = set(files)
    if licenses:
        filters["licenses"] = set(licenses)
    if authors:
        filters["author_ids"] = _author_ids(store, authors)
    tallies = core.report_aggregates(kx_dir, **filters)
    tokens = tallies["tokenizers"]
    log = store.log_entries()
    files_out = _files(store, tallies["files"], log, set(files))
    overview = {
        "data_files": len(tallies["files"]),
        "lines": sum(f["records"] for f in tallies["files"]),
        "lines_withdrawn": sum(f["withdrawn"] for f in tallies["files"]),
        "sections": {"total": len(sections), "revoked": sum(s["revoked"] for s in sections.values()), "withdrawn": len(withdrawn)},
        "authors": {"total": len(people), "revoked": sum(a["revoked"] for a in people.values())},
        "line_index": store.line_index_state(),
        "line_index_built": _built_at(store.path("index.bin")),
        "tokenizers": [_tokenizer(store, t) for t in tokens],
    }
    section_lines: Dict[str, List[int]] = defaultdict(lambda: [0, 0])
    for f in tallies["files"]:
        for hash_, n, w in f["sections"]:
            section_lines[hash_][0] += n
            section_lines[hash_][1] += w
    label = _Labels(sections, people, withdrawn)
    return {
        "filters": {"files": list(files), "licenses": list(licenses), "authors": list(authors)},
        "overview": overview,
        "by_license": _rows(tallies["licenses"], tokens, "licenses", label.plain),
        "by_author": _rows(tallies["authors"], tokens, "authors", label.author),
        "by_section": _rows([(k, *v) for k, v in section_lines.items()], tokens, "sections", label.section),
        "files": files_out,
        "timeline": [
            {"time": e.time, "operation": e.operation, "kind": TIMELINE_KINDS.get(e.operation, "other"), "detail": e.detail}
            for e in log
        ],
    }


def _author_ids(store: Store, names: Iterable[str]) -> Set[str]:
    ids: Set[str] = set()
    for name in names:
        found = store.authors_named(name)
        if not found:
            raise KxError(f"no author named '{name}'")
        ids |= {a["id"] for a in found}
    return ids


def _tokenizer(store: Store, t: Dict[str, Any]) -> Dict[str, Any]:
    name = t["tokenizer"]
    keys = ("active_entries", "active_tokens", "revoked_entries", "revoked_tokens", "active_withdrawn_tokens")
    return {
        "tokenizer": name,
        **{key: t[key] for key in keys},
        "pending_entries": store.pending_token_entries(name),
        "binary_index": store.token_index_state(name),
        "binary_index_built": _built_at(store.path(f"token-index.{name}.bin")),
    }


class _Labels:
    """How a key of the tallies is shown, and what a row adds about it."""

    def __init__(self, sections, people, withdrawn):
        self.sections, self.people, self.withdrawn = sections, people, withdrawn

    def plain(self, key: str) -> Dict[str, Any]:
        return {"label": key}

    def author(self, key: str) -> Dict[str, Any]:
        a = self.people.get(key)
        if a is None:
            return {"label": f"{key[:12]} (not registered)"}
        return {"label": f"{a['name']} <{a['email']}>", "name": a["name"], "revoked": a["revoked"]}

    def section(self, key: str) -> Dict[str, Any]:
        s = self.sections.get(key)
        if s is None:
            return {"label": f"{key[:12]} (not registered)", "license": None, "withdrawn": False}
        return {"label": str(s.get("path")), "path": s.get("path"), "license": s.get("license"),
                "withdrawn": key in self.withdrawn}


def _rows(counts, tokens, kind: str, describe) -> List[Dict[str, Any]]:
    """Rows of lines and tokens by license, author or section, most lines
    first: counts are (key, lines, withdrawn lines); a key with tokens but
    no line gets a row too."""
    lines = {key: (n, w) for key, n, w in counts}
    per_tokenizer = {t["tokenizer"]: {key: (a, r) for key, a, r in t[kind]} for t in tokens}
    keys = set(lines).union(*(set(v) for v in per_tokenizer.values()))
    rows = []
    for key in keys:
        n, w = lines.get(key, (0, 0))
        row = {"key": key, **describe(key), "lines": n, "lines_withdrawn": w}
        row["tokens"] = {
            name: dict(zip(("active", "revoked"), by_key.get(key, (0, 0)))) for name, by_key in per_tokenizer.items()
        }
        rows.append(row)
    return sorted(rows, key=lambda r: (-r["lines"], r["key"]))


def _built_at(path: str) -> Optional[str]:
    """When an index file was last written, as an ISO 8601 UTC time."""
    import datetime

    try:
        mtime = os.stat(path).st_mtime
    except OSError:
        return None
    return datetime.datetime.fromtimestamp(int(mtime), datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def _files(store, tallies, log, wanted: Set[str]) -> List[Dict[str, Any]]:
    per_file = {
        t["file"]: {"file": t["file"], "lines": t["records"], "lines_withdrawn": t["withdrawn"],
                    "sections": [{"section_hash": h, "lines": n, "lines_withdrawn": w} for h, n, w in t["sections"]]}
        for t in tallies
    }
    for file in wanted:
        per_file.setdefault(file, {"file": file, "lines": 0, "lines_withdrawn": 0, "sections": []})
    purges = _purges_by_file(log)
    out = []
    for file in sorted(per_file):
        f = per_file[file]
        f["exists"] = os.path.isfile(file)
        f["untracked"] = _untracked(store, file) if f["exists"] else None
        f["purged"], f["restored"] = purges.get(_resolved(file), (0, 0))
        out.append(f)
    return out


def _untracked(store: Store, file: str) -> int:
    """Lines of the data file with no record, by one bulk blame pass."""
    counts = core.file_status(store.kx_dir, file)
    return counts["untracked"]


def _resolved(path: str) -> str:
    return os.path.realpath(path)


def _quoted(text: str) -> Optional[str]:
    """The path a log detail quotes after its marker (a JSON string)."""
    try:
        value, _ = json.JSONDecoder().raw_decode(text)
    except ValueError:
        return None
    return value if isinstance(value, str) else None


def _count_before(detail: str, marker: str) -> Tuple[int, Optional[str]]:
    """(N, path) of a detail "<verb> N lines <marker> \"path\"..."."""
    head, sep, tail = detail.partition(marker)
    words = head.split()
    if not sep or len(words) < 2 or not words[1].isdigit():
        return 0, None
    return int(words[1]), _quoted(tail)


def _purges_by_file(log) -> Dict[str, Tuple[int, int]]:
    """Lines purged from and restored to each data file (resolved path), from
    the log: a purge names its data file; an undo names the archive, whose
    data file is the one of the purge that followed its archiving."""
    purged: Dict[str, int] = defaultdict(int)
    restored: Dict[str, int] = defaultdict(int)
    archive_file: Dict[str, str] = {}
    pending_archive: Optional[str] = None
    for e in log:
        if e.operation == "purge_archive":
            pending_archive = _count_before(e.detail, " lines to ")[1]
        elif e.operation == "purge":
            n, path = _count_before(e.detail, " lines from ")
            if path is None:
                continue
            purged[_resolved(path)] += n
            if pending_archive:
                archive_file[os.path.basename(pending_archive)] = _resolved(path)
            pending_archive = None
        elif e.operation == "purge_reverse":
            n, archive = _count_before(e.detail, " lines from ")
            file = archive_file.get(os.path.basename(archive or ""))
            if file:
                restored[file] += n
    return {f: (purged.get(f, 0), restored.get(f, 0)) for f in set(purged) | set(restored)}
