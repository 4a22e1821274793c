"""`kx report`: what a corpus holds, under which licenses, from whom, and
what has been withdrawn, as one self-contained HTML page (or, with --json,
the same figures as data) for the people who do not run kx themselves.

The figures come from one native pass over the store
(`kx._core.report_aggregates`): document records counted by data file and by
the set of sections each draws from, token entries by set of sections.  The
groups are few next to the records, so licenses, authors, withdrawals and
filters are resolved here, over the groups.  A record counts once under each
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


class _Selection:
    """The filters, resolved to sets of section hashes."""

    def __init__(self, store: Store, sections: Dict[str, Dict[str, Any]], files, licenses, authors):
        self.files: Optional[Set[str]] = set(files) or None
        self.license_sections: Optional[Set[str]] = None
        self.author_sections: Optional[Set[str]] = None
        if licenses:
            self.license_sections = {h for h, s in sections.items() if s.get("license") in set(licenses)}
        if authors:
            ids = set()
            for name in authors:
                found = store.authors_named(name)
                if not found:
                    raise KxError(f"no author named '{name}'")
                ids |= {a["id"] for a in found}
            self.author_sections = store.sections_of_authors(ids)

    def takes_sections(self, group: Iterable[str]) -> bool:
        group = set(group)
        return all(wanted is None or group & wanted for wanted in (self.license_sections, self.author_sections))

    def takes(self, file: str, group: List[str]) -> bool:
        return (self.files is None or file in self.files) and self.takes_sections(group)

    def as_data(self, files, licenses, authors) -> Dict[str, List[str]]:
        return {"files": list(files), "licenses": list(licenses), "authors": list(authors)}


def gather(store: Store, files=(), licenses=(), authors=()) -> Dict[str, Any]:
    """Every figure of the report, as data."""
    kx_dir = store.kx_dir
    sections = store.all_sections()
    people = {a["id"]: a for a in store.all_authors()}
    withdrawn = {w["section_hash"] for w in core.withdrawals(kx_dir)}
    select = _Selection(store, sections, files, licenses, authors)
    aggregates = core.report_aggregates(kx_dir)
    documents = [(f, s, n) for f, s, n in aggregates["documents"] if select.takes(f, s)]
    tokens = {
        name: [g for g in groups if select.takes_sections(g[0])] for name, groups in aggregates["tokens"].items()
    }
    is_withdrawn = lambda group: any(h in withdrawn for h in group)  # noqa: E731
    log = store.log_entries()
    composition = _Composition(sections, people, is_withdrawn)
    return {
        "filters": select.as_data(files, licenses, authors),
        "overview": _overview(store, documents, tokens, sections, people, withdrawn, is_withdrawn),
        "by_license": composition.rows(documents, tokens, composition.licenses_of),
        "by_author": composition.rows(documents, tokens, composition.authors_of),
        "by_section": composition.rows(documents, tokens, lambda group: set(group)),
        "files": _files(store, documents, is_withdrawn, log, select.files),
        "timeline": [
            {"time": e.time, "operation": e.operation, "kind": TIMELINE_KINDS.get(e.operation, "other"), "detail": e.detail}
            for e in log
        ],
    }


def _overview(store, documents, tokens, sections, people, withdrawn, is_withdrawn) -> Dict[str, Any]:
    return {
        "data_files": len({f for f, _, _ in documents}),
        "lines": sum(n for _, _, n in documents),
        "lines_withdrawn": sum(n for _, s, n in documents if is_withdrawn(s)),
        "sections": {"total": len(sections), "revoked": sum(s["revoked"] for s in sections.values()), "withdrawn": len(withdrawn)},
        "authors": {"total": len(people), "revoked": sum(a["revoked"] for a in people.values())},
        "line_index": store.line_index_state(),
        "line_index_built": _built_at(store.path("index.bin")),
        "tokenizers": [
            {
                "tokenizer": name,
                "active_entries": sum(g[1] for g in groups),
                "active_tokens": sum(g[2] for g in groups),
                "revoked_entries": sum(g[3] for g in groups),
                "revoked_tokens": sum(g[4] for g in groups),
                "active_withdrawn_tokens": sum(g[2] for g in groups if is_withdrawn(g[0])),
                "pending_entries": store.pending_token_entries(name),
                "binary_index": store.token_index_state(name),
                "binary_index_built": _built_at(store.path(f"token-index.{name}.bin")),
            }
            for name, groups in tokens.items()
        ],
    }


def _built_at(path: str) -> Optional[str]:
    """When an index file was last written, as an ISO 8601 UTC time."""
    import datetime

    try:
        mtime = os.stat(path).st_mtime
    except OSError:
        return None
    return datetime.datetime.fromtimestamp(int(mtime), datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


class _Composition:
    """Lines and tokens by license, by author or by section: a group of
    sections counts once under each key it maps to."""

    def __init__(self, sections, people, is_withdrawn):
        self.sections, self.people, self.is_withdrawn = sections, people, is_withdrawn

    def licenses_of(self, group: List[str]) -> Set[str]:
        return {self.sections[h]["license"] for h in group if h in self.sections}

    def authors_of(self, group: List[str]) -> Set[str]:
        ids = set()
        for h in group:
            listed = self.sections.get(h, {}).get("authors") or []
            ids |= {i for i in listed if isinstance(i, str)}
        return ids

    def rows(self, documents, tokens, keys_of) -> List[Dict[str, Any]]:
        lines: Dict[str, List[int]] = defaultdict(lambda: [0, 0])
        for _, group, n in documents:
            for key in keys_of(group):
                lines[key][0] += n
                lines[key][1] += n if self.is_withdrawn(group) else 0
        token_sums: Dict[str, Dict[str, List[int]]] = defaultdict(dict)
        for name, groups in tokens.items():
            for group, _, active, _, revoked in groups:
                for key in keys_of(group):
                    sums = token_sums[key].setdefault(name, [0, 0])
                    sums[0] += active
                    sums[1] += revoked
        rows = [self._row(key, lines[key], token_sums.get(key, {}), tokens) for key in set(lines) | set(token_sums)]
        return sorted(rows, key=lambda r: (-r["lines"], r["key"]))

    def _row(self, key, counts, token_sums, tokens) -> Dict[str, Any]:
        row: Dict[str, Any] = {"key": key, "label": self._label(key), "lines": counts[0], "lines_withdrawn": counts[1]}
        row["tokens"] = {name: {"active": token_sums.get(name, [0, 0])[0], "revoked": token_sums.get(name, [0, 0])[1]} for name in tokens}
        if key in self.sections:
            s = self.sections[key]
            row.update(path=s.get("path"), license=s.get("license"), withdrawn=self.is_withdrawn([key]))
        return row

    def _label(self, key: str) -> str:
        if key in self.sections:
            return str(self.sections[key].get("path"))
        if key in self.people:
            return f"{self.people[key]['name']} <{self.people[key]['email']}>"
        return key


def _files(store, documents, is_withdrawn, log, wanted: Optional[Set[str]]) -> List[Dict[str, Any]]:
    per_file: Dict[str, Dict[str, Any]] = {}
    for file, group, n in documents:
        f = per_file.setdefault(file, {"file": file, "lines": 0, "lines_withdrawn": 0, "sections": defaultdict(int)})
        f["lines"] += n
        f["lines_withdrawn"] += n if is_withdrawn(group) else 0
        for h in group:
            f["sections"][h] += n
    for file in wanted or ():
        per_file.setdefault(file, {"file": file, "lines": 0, "lines_withdrawn": 0, "sections": {}})
    purges = _purges_by_file(log)
    out = []
    for file in sorted(per_file):
        f = per_file[file]
        f["sections"] = [{"section_hash": h, "lines": n} for h, n in sorted(f["sections"].items())]
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
