"""`kx status [DATA_FILE...]`: the state of the store and of data files.

The store-wide part: the sections and authors with the withdrawals of
consent, the freshness of `index.bin`, and per tokenizer its entries and
tokens, active and revoked, with the binary token index's freshness.  Token
entries record no data file, so token figures are the store's, per
tokenizer.  For each data file named, one pass of the core's bulk blame
(`kx._core.file_status`) counts its lines: tracked, untracked, and under
withdrawn consent, by section and by author.  Without data files, the data
files the store's records name are listed instead.

The JSON form is the whole result with every key always present (`data_files`
is null when data files were named), for tools that build on it."""

from __future__ import annotations

import argparse
import os
from typing import Any, Dict, List, Optional

from kx import _core as core
from kx import datafile, progress
from kx.errors import UsageError
from kx.output import Output, plural, short, table
from kx.store import Store


def register(commands, common) -> None:
    p = commands.add_parser(
        "status",
        parents=[common],
        help="what the store holds, and how the lines of data files stand",
        description="Show the store's sections and authors with the withdrawals of consent, whether index.bin "
        "and the binary token indexes are fresh, and per tokenizer its entries and tokens, active and "
        "revoked (store-wide: token entries record no data file), with the active tokens whose sources "
        "were withdrawn but which are not revoked yet. For each DATA_FILE (a file, a directory of data "
        "files or a glob pattern), count its lines: tracked (a record from any data file), untracked, and "
        "under withdrawn consent, by section and by author. Without DATA_FILE, list the data files the "
        "store's records name.",
    )
    p.add_argument("paths", nargs="*", metavar="DATA_FILE")
    p.add_argument(
        "--fail-on-withdrawn",
        action="store_true",
        help="exit with status 1, naming each file and its count, when any DATA_FILE still holds a line "
        "under withdrawn consent (a gate before a training run)",
    )
    p.set_defaults(run=status)


def status(store: Store, args: argparse.Namespace) -> Output:
    data: Dict[str, Any] = _store_part(store)
    files = datafile.expand(args.paths) if args.paths else []
    data["data_files"] = None if files else _known_files(store)
    data["files"] = _files(store, files)
    text = _text(data)
    if not args.fail_on_withdrawn:
        return Output(data, text)
    if not files:
        raise UsageError("--fail-on-withdrawn needs the data files to look at")
    holding = [f for f in data["files"] if f["withdrawn"]]
    text += [""] + [f"{f['file']} still holds {plural(f['withdrawn'], 'line')} under withdrawn consent" for f in holding]
    return Output(data, text, status=1 if holding else 0)


def _store_part(store: Store) -> Dict[str, Any]:
    sections = store.all_sections().values()
    authors = store.all_authors()
    withdrawn = core.withdrawals(store.kx_dir)
    return {
        "line_index": store.line_index_state(),
        "sections": {
            "total": len(sections),
            "revoked": sum(s["revoked"] for s in sections),
            "withdrawn": len(withdrawn),
        },
        "authors": {"total": len(authors), "revoked": sum(a["revoked"] for a in authors)},
        "withdrawn_sections": withdrawn,
        "tokenizers": [_tokenizer(store, name) for name in store.tokenizers()],
    }


def _tokenizer(store: Store, name: str) -> Dict[str, Any]:
    totals = core.token_totals(store.kx_dir, name)
    return {
        "tokenizer": name,
        "binary_index": store.token_index_state(name),
        "entries": {
            "total": totals["entries"],
            "active": totals["active_entries"],
            "revoked": totals["revoked_entries"],
            "active_withdrawn": totals["withdrawn_active_entries"],
            "pending": store.pending_token_entries(name),
        },
        "tokens": {
            "active": totals["active_tokens"],
            "revoked": totals["revoked_tokens"],
            "active_withdrawn": totals["withdrawn_active_tokens"],
        },
    }


def _known_files(store: Store) -> List[Dict[str, Any]]:
    return [
        {"file": f["file"], "records": f["records"], "exists": os.path.isfile(f["file"])}
        for f in core.data_files(store.kx_dir)
    ]


def _files(store: Store, files: List[str]) -> List[Dict[str, Any]]:
    sizes = [datafile.size(path) for path in files]
    results = []
    label = f"reading {files[0]}" if len(files) == 1 else f"reading {len(files)} files"
    with progress.over_files(label, sizes) as bar:
        for i, path in enumerate(files):
            counts = core.file_status(store.kx_dir, path, bar.callback(i))
            bar.finished(i)
            results.append(_file(store, path, counts))
    return results


def _file(store: Store, path: str, counts: Dict[str, Any]) -> Dict[str, Any]:
    sections = []
    for s in counts["sections"]:
        record = store.section(s["section_hash"])
        sections.append(
            {
                "section_hash": s["section_hash"],
                "known": record is not None,
                "path": record.get("path") if record else None,
                "license": record.get("license") if record else None,
                "revoked": bool(record and record["revoked"]),
                "withdrawn": s["withdrawn"],
                "lines": s["lines"],
            }
        )
    authors = []
    for a in counts["authors"]:
        author = store.author(a["id"])
        authors.append(
            {
                "id": a["id"],
                "known": author is not None,
                "name": author["name"] if author else None,
                "email": author["email"] if author else None,
                "revoked": bool(author and author["revoked"]),
                "lines": a["lines"],
            }
        )
    return {
        "file": path,
        "lines": counts["lines"],
        "tracked": counts["tracked"],
        "untracked": counts["untracked"],
        "withdrawn": counts["withdrawn"],
        "sections": sections,
        "authors": authors,
    }


def _text(data: Dict[str, Any]) -> List[str]:
    sections, authors = data["sections"], data["authors"]
    lines = [
        f"store: {plural(sections['total'], 'section')} ({sections['withdrawn']} withdrawn, "
        f"{sections['revoked']} revoked), {plural(authors['total'], 'author')} ({authors['revoked']} revoked)",
        f"line index (index.bin): {data['line_index']}",
    ]
    for w in data["withdrawn_sections"]:
        why = ["revoked"] if w["section_revoked"] else []
        why += [f"author {a['name']} revoked" for a in w["revoked_authors"]]
        lines.append(f"withdrawn: section {short(w['section_hash'])} {w['path']} ({', '.join(why)})")
    if data["tokenizers"]:
        lines.append("")
        header = ("TOKENIZER", "INDEX", "ENTRIES", "ACTIVE", "REVOKED", "PENDING", "ACTIVE TOKENS",
                  "REVOKED TOKENS", "ACTIVE TOKENS WITHDRAWN")
        rows = [
            (t["tokenizer"], t["binary_index"], t["entries"]["total"], t["entries"]["active"],
             t["entries"]["revoked"], t["entries"]["pending"], t["tokens"]["active"], t["tokens"]["revoked"],
             t["tokens"]["active_withdrawn"])
            for t in data["tokenizers"]
        ]
        lines += table([header, *rows])
    if data["data_files"] is not None:
        lines.append("")
        if data["data_files"]:
            rows = [(f["file"], f["records"], "" if f["exists"] else "missing") for f in data["data_files"]]
            lines += table([("DATA FILE", "RECORDS", ""), *rows])
        else:
            lines.append("no data files tracked")
    for f in data["files"]:
        lines += [""] + _file_text(f)
    return lines


def _file_text(f: Dict[str, Any]) -> List[str]:
    lines = [
        f"{f['file']}: {plural(f['lines'], 'line')}, {f['tracked']} tracked, {f['untracked']} untracked, "
        f"{f['withdrawn']} under withdrawn consent"
    ]
    rows = [
        ("  section", s["path"] if s["known"] else f"{short(s['section_hash'])} (not registered)", s["lines"],
         "withdrawn" if s["withdrawn"] else "")
        for s in f["sections"]
    ]
    rows += [
        ("  author", f"{a['name']} <{a['email']}>" if a["known"] else f"{short(a['id'])} (not registered)",
         a["lines"], "revoked" if a["revoked"] else "")
        for a in f["authors"]
    ]
    return lines + table(rows)
