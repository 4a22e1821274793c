"""`kx index build`, `kx clean`, `kx check`, `kx merge` and `kx log`:
keeping a store in shape and seeing what was done to it."""

from __future__ import annotations

import argparse
import os

from typing import Any, Dict, List, Tuple

import _kx_native as native

from kx import _core as core
from kx import cluster_runs, datafile
from kx.errors import KxError
from kx.output import Output, plural, table
from kx.store import Store


def register(commands, common) -> None:
    index = commands.add_parser("index", help="the store's derived indexes", description="The store's derived indexes.")
    verbs = index.add_subparsers(dest="verb", metavar="VERB")
    index.set_defaults(group_parser=index)
    p = verbs.add_parser(
        "build",
        parents=[common],
        help="merge pending token entries and rebuild every index",
        description="Merge the token entries that trackers left in per-process files, then rebuild the line "
        "index and the token indexes from the store. Run it after tracking, while no other process writes "
        "to the store; `kx show --author` and `kx purge --author` read the line index.",
    )
    p.set_defaults(run=index_build)

    p = commands.add_parser(
        "clean",
        parents=[common],
        help="housekeeping: merge per-process files, archive revoked records, rotate the log",
        description="Rotate an oversized operation log, fold stray per-process files into the store, merge "
        "token entries and rebuild the token indexes, and copy revoked records to the archive. Run it while "
        "no other process writes to the store.",
    )
    p.add_argument("--split", action="store_true", help="also empty the store's split directory")
    p.set_defaults(run=clean)

    p = commands.add_parser(
        "check",
        parents=[common],
        help="check the store for damage (and repair it)",
        description="Read every file of the store and report damaged lines (a torn append or a corrupted "
        "byte: every reader skips them silently), records that lack their fields, temporary files left by "
        "rewrites that did not finish, damaged indexes, token binary indexes that disagree with their "
        "merged files, and data files whose records lack their token entries (a `kx track` that stopped "
        "part-way), each with its file and line. With DATA_FILE (a file, a directory of data files or a "
        "glob pattern), also report lines recorded for the file more often than it holds them (trackers of "
        "one file running at once left such records before kx kept them apart). An index older than what "
        "it is built from (after tracking, or a revocation) is a note, not damage: `kx index build` "
        "brings it up to date.",
        epilog="Exit status: 0 when nothing is damaged (notes aside), 1 when something is (after --repair: "
        "when something remains).",
    )
    p.add_argument("paths", nargs="*", metavar="DATA_FILE")
    p.add_argument(
        "--repair",
        action="store_true",
        help="move damaged lines into .kx/damaged/ (with the file and line each came from; nothing is "
        "deleted), remove the stray temporary files and rebuild stale indexes; with DATA_FILE, remove the "
        "excess records of each (kept in .kx/damaged/ and logged as well). Records that lack their "
        "fields are left for a person to look at, and records without their token entries are named with the "
        "`kx track` that completes them. Run it while no other process writes to the store: an "
        "append that lands in the instant a file is replaced can be lost",
    )
    p.set_defaults(run=check, path_args=("paths",))

    p = commands.add_parser(
        "merge",
        parents=[common],
        help="absorb another project's store into this one",
        description="Copy into this store every author, section, tracked line and token entry of the store in "
        "SOURCE_DIR that this store does not hold yet, and every withdrawal it holds: authors, sections and "
        "documents revoked there are revoked here, and so are its revoked token entries (matched by line, file, "
        "count and sources). SOURCE_DIR is only read. Token entries written by older versions of kx name no line "
        "and are matched by count and sources alone; the summary says how many.",
    )
    p.add_argument("source", metavar="SOURCE_DIR", help="the other project directory (the one holding .kx)")
    p.set_defaults(run=merge, path_args=("source",))

    p = commands.add_parser(
        "log",
        parents=[common],
        help="show the operation log",
        description="Show the operation log (both generations, oldest first): revocations, purges, undos, "
        "cleans and merges, with their times in UTC.",
    )
    p.add_argument("-n", type=int, metavar="N", dest="limit", help="only the last N entries")
    p.set_defaults(run=log)


def index_build(store: Store, args: argparse.Namespace) -> Output:
    merged = {}
    for tokenizer in store.tokenizers():
        entries, files = native.token_index_merge_pid_files(store.kx_dir, tokenizer)
        if entries or files:
            merged[tokenizer] = entries
    counts = native.build_index(store.kx_dir)
    text = [
        f"indexed {plural(counts['authors'], 'author')}, {plural(counts['sections'], 'section')} "
        f"and {plural(counts['token_index_entries'], 'token entry', 'token entries')}"
    ]
    for tokenizer, entries in merged.items():
        text.append(f"merged {plural(entries, 'pending token entry', 'pending token entries')} of {tokenizer}")
    return Output({**counts, "merged_token_entries": merged}, text)


def clean(store: Store, args: argparse.Namespace) -> Output:
    counts = dict(native.clean(store.kx_dir, args.split))
    # Nothing else writes the store while it is cleaned: an older kx's
    # folders go too.
    removed = cluster_runs.sweep(os.path.abspath(store.kx_dir), older_kx_too=True)
    labels = {
        "document_merged": "records folded in from per-process files",
        "pid_files_deleted": "per-process files deleted",
        "archived_records": "revoked records archived",
        "log_rotated": "log rotated",
        "token_index_merged": "token entries merged",
        "token_index_pid_deleted": "token per-process files merged",
    }
    rows = [(str(counts[key]), label) for key, label in labels.items()]
    if removed:
        rows.append((str(len(removed)), "folders of killed cluster runs removed"))
    return Output({**counts, "cluster_folders_removed": removed}, table(rows))


def _missing_token_entries(store: Store) -> List[Dict[str, Any]]:
    """Records without their token entry (a `kx track` that stopped between
    the two): the next `kx track` of the file with the same sources, tokenizer
    and counter adds exactly the missing entries."""
    return [
        {
            "problem": "missing_token_entries",
            "file": m["file"],
            "line": None,
            "detail": f"{m['records'] - m['entries']} of its {plural(m['records'], 'record')} have no token entry "
            f"under {m['tokenizer']}; run `kx track {m['file']} --tokenizer {m['tokenizer']}` again with the same "
            "sources and counter to add them",
        }
        for m in core.missing_token_entries(store.kx_dir)
    ]


# Findings that are notes: nothing is damaged.
_NOTES = {"stale_index"}


def check(store: Store, args: argparse.Namespace) -> Output:
    files = datafile.expand(args.paths) if args.paths else []
    if not args.repair:
        report = core.check_store(store.kx_dir)
        report["problems"] += cluster_runs.findings(os.path.abspath(store.kx_dir))
        report["problems"] += _missing_token_entries(store)
        problems, notes = _split(report["problems"])
        excess = [{"file": path, **core.excess_records(store.kx_dir, path)} for path in files]
        damaged = [e for e in excess if e["records"]]
        lines = _problem_lines(problems) + _excess_lines(damaged) + _note_lines(notes)
        count = len(problems) + len(damaged)
        lines.append(
            f"checked {plural(report['files'], 'file')} ({plural(report['lines'], 'line')})"
            + (f" and {plural(len(files), 'data file')}" if files else "")
            + f": {_count(count)}"
            + (f", {plural(len(notes), 'note')}" if notes else "")
        )
        data = {**report, "problems": problems, "notes": notes, "excess_records": excess}
        return Output(data, lines, status=1 if count else 0)
    kx_dir = os.path.abspath(store.kx_dir)
    found = cluster_runs.findings(kx_dir)
    swept = cluster_runs.sweep(kx_dir)
    kept = cluster_runs.forget_kept(kx_dir)
    report = core.repair_store(store.kx_dir)
    removed = [{"file": path, **core.remove_excess_records(store.kx_dir, path)} for path in files]
    report["found"] += found
    report["problems"] += cluster_runs.findings(kx_dir)
    missing = _missing_token_entries(store)
    report["found"] += missing
    report["problems"] += missing  # only a rerun of the tracking can complete them
    found, _ = _split(report["found"])
    lines = _problem_lines(found)
    done = [
        f"moved {plural(report['moved_lines'], 'damaged line')} of "
        f"{plural(report['rewritten_files'], 'file')} to .kx/damaged/",
        f"removed {plural(report['removed_temps'], 'stray temporary file')}",
        f"removed {plural(len(swept), 'folder')} of killed cluster runs and {plural(kept, 'note')} of kept absorptions",
    ]
    if report["rebuilt_indexes"]:
        done.append(f"rebuilt {', '.join(report['rebuilt_indexes'])}")
    for r in removed:
        if r["records"]:
            done.append(
                f"removed {plural(r['records'], 'excess record')} of {plural(r['lines'], 'line')} of {r['file']}"
            )
    lines.append("repaired: " + "; ".join(done))
    remaining, notes = _split(report["problems"])
    remaining_excess = [
        e for e in ({"file": path, **core.excess_records(store.kx_dir, path)} for path in files) if e["records"]
    ]
    if remaining or remaining_excess:
        lines.append(f"{_count(len(remaining) + len(remaining_excess))} remaining:")
        lines.extend(_problem_lines(remaining) + _excess_lines(remaining_excess))
    else:
        lines.append("no problems remain")
    lines.extend(_note_lines(notes))
    data = {**report, "problems": remaining, "notes": notes, "removed_excess_records": removed}
    return Output(data, lines, status=1 if remaining or remaining_excess else 0)


def _split(findings: List[Dict[str, Any]]) -> Tuple[List[Dict[str, Any]], List[Dict[str, Any]]]:
    """(damage, notes) of a check's findings."""
    return [f for f in findings if f["problem"] not in _NOTES], [f for f in findings if f["problem"] in _NOTES]


def _excess_lines(excess: List[Dict[str, Any]]) -> List[str]:
    return [
        f"{e['file']}: lines recorded more often than the file holds them: {plural(e['lines'], 'line')}, "
        f"{plural(e['records'], 'excess record')} (`kx check --repair {e['file']}` removes them)"
        for e in excess
    ]


def _note_lines(notes: List[Dict[str, Any]]) -> List[str]:
    return [f"note: {line} (run `kx index build`)" for line in _problem_lines(notes)]


_PROBLEMS = {
    "damaged_line": "damaged line",
    "incomplete_record": "record lacks its fields",
    "stray_temp": "stray temporary file",
    "stale_index": "stale index",
    "damaged_index": "damaged index",
    "index_mismatch": "index disagrees with its merged files",
    "abandoned_run": "left by a cluster run",
    "kept_absorption": "absorption kept",
    "missing_token_entries": "records lack their token entries",
}


def _problem_lines(problems: List[Dict[str, Any]]) -> List[str]:
    lines = []
    for p in problems:
        where = p["file"] if p["line"] is None else f"{p['file']}:{p['line']}"
        lines.append(f"{where}: {_PROBLEMS[p['problem']]}: {p['detail']}")
    return lines


def _count(problems: int) -> str:
    return plural(problems, "problem") if problems else "no problems"


def merge(store: Store, args: argparse.Namespace) -> Output:
    if not os.path.isdir(args.source):
        raise KxError(f"{args.source} is not a directory")
    if os.path.realpath(args.source) == os.path.realpath(store.kx_dir):
        raise KxError("cannot merge a store into itself")
    counts = core.merge_stores(args.source, store.kx_dir)
    text = [
        f"merged {args.source}: {plural(counts['authors_added'], 'author')}, "
        f"{plural(counts['sections_added'], 'section')}, {plural(counts['document_added'], 'line record')} and "
        f"{plural(counts['token_index_added'], 'token entry', 'token entries')} added, {counts['skipped']} already present"
    ]
    carried = [
        plural(counts[key], word, words)
        for key, word, words in (
            ("authors_revoked", "author", None),
            ("sections_revoked", "section", None),
            ("documents_revoked", "document", None),
            ("token_entries_revoked", "token entry", "token entries"),
        )
        if counts[key]
    ]
    if carried:
        text.append("revoked here as in the source: " + ", ".join(carried))
    notes = []
    if counts["matched_without_identity"]:
        notes.append(
            f"{plural(counts['matched_without_identity'], 'token entry', 'token entries')} of the source name no line "
            "(written by an older kx) and were taken for copies of target entries with the same count and sources"
        )
    return Output({"source": args.source, **counts}, text, notes=notes)


def log(store: Store, args: argparse.Namespace) -> Output:
    entries = store.log_entries()
    if args.limit is not None:
        if args.limit < 0:
            raise KxError("-n takes a count of 0 or more")
        entries = entries[len(entries) - args.limit:] if args.limit else []
    data = [{"time": e.time, "timestamp": e.timestamp, "operation": e.operation, "detail": e.detail} for e in entries]
    rows = [(e.time, e.operation, e.detail.replace("\n", "\\n")) for e in entries]
    return Output(data, table(rows))
