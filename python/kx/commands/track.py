"""`kx track DATA_FILE...`: record every line of JSON Lines files (or every
row of Parquet files) with their sources, and optionally their token counts
under a tokenizer.

Counts come from a built-in counter (`whitespace`: words of the record's
text; `bytes`: UTF-8 bytes of it) or from a field of each record.  Each file
is read, checked and hashed whole by the native core before its first line
is recorded (encoding, sources, count fields), so a bad line does not leave
half a file tracked.  Tracking is idempotent: lines already recorded for the
same file with the same sources are skipped, counting repeated lines."""

from __future__ import annotations

import argparse
import os
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from kx import _core as core
from kx import cluster, datafile, progress
from kx.errors import KxError, UsageError, working_on
from kx.output import Output, plural
from kx.store import Store

BUILT_IN_COUNTERS = ("whitespace", "bytes")


def register(commands, common) -> None:
    p = commands.add_parser(
        "track",
        parents=[common],
        help="record the lines of a data file with their sources",
        description="Record every line of JSON Lines data files: its line hash, the data file and its "
        "sources (section hashes), and with --tokenizer its token count. Every line must be JSON. "
        "DATA_FILE may also be a directory (its *.jsonl, *.json, *.ndjson and *.parquet files) or a glob pattern. "
        "Lines already recorded for the same file with the same sources are skipped (a line the file "
        "holds three times needs three records), so tracking a file again records only its new lines; "
        "with --tokenizer, those of them without a token entry under it (tracked without it, or by a run "
        "that stopped) get one. "
        "Each file is checked whole before its first line is recorded. Prints the line hash when a "
        "single file has one line, else a summary. Files are recorded under their paths relative to the "
        "project directory, wherever in the project kx runs (see `kx --help`).",
        epilog="A Parquet file (known by its first bytes; reading it needs pyarrow: pip install 'kx[parquet]') "
        "is tracked row by row, each row the JSON object of its columns: integers, floats (NaN and infinities "
        "as null), strings, booleans and nulls as such; lists as arrays; structs and maps as objects; "
        "decimals, dates (YYYY-MM-DD), times and timestamps (YYYY-MM-DDTHH:MM:SS with the unit's fraction "
        "digits, in UTC with a Z when zoned) as strings. Binary columns are refused. Its line numbers count "
        "rows. See docs/parquet.md.",
    )
    p.add_argument("data_files", nargs="+", metavar="DATA_FILE")
    p.add_argument(
        "--source",
        dest="sources",
        action="append",
        default=[],
        metavar="SECTION",
        help="section every line is drawn from: a section hash, a unique prefix or a registered path (repeatable)",
    )
    p.add_argument(
        "--source-field",
        metavar="FIELD",
        help="take each record's sections from FIELD (a section hash or path, or a list of them)",
    )
    p.add_argument("--tokenizer", metavar="NAME", help="record token counts under this tokenizer name")
    counts = p.add_mutually_exclusive_group()
    counts.add_argument(
        "--count",
        choices=BUILT_IN_COUNTERS,
        help="built-in counter: whitespace-separated words or UTF-8 bytes of the text "
        "(default for the tokenizers named whitespace and bytes)",
    )
    counts.add_argument("--count-field", metavar="FIELD", help="take each record's token count from FIELD")
    p.add_argument(
        "--text-field",
        default="text",
        metavar="FIELD",
        help="the field built-in counters count in (default: text; the whole line when a record has none)",
    )
    p.add_argument(
        "--retrack",
        action="store_true",
        help="record every line again, even lines already recorded for the file with the same sources",
    )
    p.add_argument(
        "--tokens-only",
        action="store_true",
        help="count the lines under --tokenizer without recording them again (for files tracked "
        "before, counted under another tokenizer); lines with an entry under it already are skipped",
    )
    cluster.add_options(p, "track")
    p.set_defaults(run=track, path_args=("data_files",))


class Plan:
    """What every line of the data files is tracked with: its sources and
    how its tokens are counted."""

    def __init__(self, store: Store, args: argparse.Namespace):
        self.store = store
        self.fixed_sources = [self._usable(store.resolve_section(ref)) for ref in args.sources]
        self.source_field: Optional[str] = args.source_field
        if not self.fixed_sources and self.source_field is None:
            raise UsageError("give the lines' sections with --source or --source-field")
        self.tokenizer: Optional[str] = args.tokenizer
        self.counter, self.counted_field = self._counter(args)
        self.tokens_only: bool = args.tokens_only
        self._resolved: Dict[str, str] = {}

    def _counter(self, args: argparse.Namespace) -> Tuple[str, str]:
        """(the native counter's name, the field it reads)."""
        if self.tokenizer is None:
            if args.count or args.count_field or args.tokens_only:
                raise UsageError("--count, --count-field and --tokens-only need --tokenizer")
            return "none", args.text_field
        if not core.is_valid_tokenizer_name(self.tokenizer):
            raise KxError(f"invalid tokenizer name '{self.tokenizer}'")
        if args.count_field is not None:
            return "field", args.count_field
        kind = args.count or (self.tokenizer if self.tokenizer in BUILT_IN_COUNTERS else None)
        if kind is None:
            raise UsageError(
                f"tokenizer '{self.tokenizer}' has no built-in counter: give --count whitespace|bytes or --count-field FIELD"
            )
        return kind, args.text_field

    def _usable(self, hash_: str) -> str:
        """`hash_`, unless consent for the section was withdrawn: lines drawn
        from a revoked section, or from a revoked author's, are refused."""
        for withdrawn in self.store.withdrawn([hash_]):
            if withdrawn["section_revoked"]:
                raise KxError(f"section {hash_[:12]} ({withdrawn['path']}) is revoked; its lines may not be tracked")
            author = withdrawn["revoked_authors"][0]
            raise KxError(f"author '{author['name']}' of section {hash_[:12]} is revoked; its lines may not be tracked")
        return hash_

    def resolver(self, path: str) -> Callable[[str, int], str]:
        """What a section reference of a record's source field stands for."""

        def resolve(ref: str, number: int) -> str:
            hash_ = self._resolved.get(ref)
            if hash_ is None:
                try:
                    hash_ = self._resolved[ref] = self._usable(self.store.resolve_section(ref))
                except KxError as e:
                    raise KxError(f"{_line_of(path, number)}: {e}") from None
            return hash_

        return resolve


def _line_of(path: str, number: int) -> str:
    """A line of a data file in messages: a row, in a Parquet file."""
    return f"{path}: row {number}" if datafile.content_format(path) == "Parquet" else f"{path}:{number}"


def track(store: Store, args: argparse.Namespace) -> Output:
    plan = Plan(store, args)
    paths = datafile.expand(args.data_files)
    sizes = [_size_of(path) for path in paths]
    if cluster.requested(args):
        results = _track_on_cluster(store, plan, args, paths, sizes)
    else:
        # An absorption a killed cluster client left open is undone before
        # this run counts on what it absorbed.
        cluster.sweep(os.path.abspath(store.kx_dir))
        results = []
        unrecorded = unrecorded_files(store.kx_dir, [os.path.normpath(p) for p in paths], args)
        with progress.bar("tracking", sum(sizes), "bytes") as bar:
            done = 0
            for path, size in zip(paths, sizes):
                results.append(
                    _track_one(store, plan, args, path, lambda n, at=done: bar.update(at + n), unrecorded)
                )
                done += size
                bar.update(done)
    if len(results) == 1:
        return _single_output(plan, results[0])
    totals = {key: sum(r.get(key) or 0 for r in results) for key in ("lines", "recorded", "skipped", "tokens", "completed")}
    data = {"files": results, **totals, "tokenizer": plan.tokenizer}
    if not plan.tokenizer:
        data["tokens"] = None
    return Output(data, [_summary(plan, r) for r in results] + [_summary(plan, {**totals, "file": f"{len(results)} files"})])


def _size_of(path: str) -> int:
    datafile.open_data_file(path).close()  # a missing file fails before any is tracked
    return os.path.getsize(path)


def unrecorded_files(kx_dir: str, names: Sequence[str], args: argparse.Namespace) -> Dict[str, int]:
    """Those of the names (distinct) a run of several files records its files
    as that no record of the store names yet, each with the generation of
    its lock read before the records were: their lines need no check against
    the store's records, unless another tracker took the file's lock since
    (the commit looks again under the lock).  One pass over the records
    finds them, where a check per file reads every record once per file."""
    if args.retrack or args.tokens_only or len(names) < 2:
        return {}
    distinct = list(dict.fromkeys(names))
    generations = dict(zip(distinct, core.data_file_generations(kx_dir, distinct)))
    recorded = set(core.files_with_records(kx_dir, distinct))
    return {name: generation for name, generation in generations.items() if name not in recorded}


def _track_one(
    store: Store, plan: Plan, args: argparse.Namespace, path: str, progress_at: Callable[[int], None],
    unrecorded: Dict[str, int],
) -> Dict[str, Any]:
    recorded_as = os.path.normpath(path)
    try:
        counts = core.track_file(
            store.kx_dir,
            path,
            recorded_as,
            plan.fixed_sources,
            plan.source_field,
            plan.tokenizer,
            plan.counter,
            plan.counted_field,
            retrack=args.retrack,
            unrecorded_at=unrecorded.get(recorded_as),
            tokens_only=plan.tokens_only,
            resolve=plan.resolver(path),
            progress=progress_at if progress.enabled() else None,
        )
    except RuntimeError as e:
        if not str(e).startswith(f"{path}:"):
            with working_on("tracking", path):
                raise  # a failure of the store or the file
        number, why = str(e)[len(path) + 1 :].split(": ", 1)
        if datafile.content_format(path) == "Parquet":
            raise KxError(f"{_line_of(path, int(number))}: {why}") from None
        if "not JSON" in why or "UTF-8" in why:
            raise KxError(f"{e} (kx tracks JSON Lines files)") from None
        raise KxError(str(e)) from None
    if counts["lines"] == 0:
        raise KxError(f"nothing to track: {path} has no lines")
    return {"file": recorded_as, **counts, "tokenizer": plan.tokenizer,
            "tokens": counts["tokens"] if plan.tokenizer else None}


def _track_on_cluster(
    store: Store, plan: Plan, args: argparse.Namespace, paths: List[str], sizes: List[int]
) -> List[Dict[str, Any]]:
    files = [(path, os.path.normpath(path)) for path in paths]
    with cluster.connect(args.cluster, args.workers) as client, progress.over_tasks("tracking", sizes) as done:
        counted = cluster.track(client, store.kx_dir, files, args, on_done=done)
    results = []
    for (path, recorded_as), counts in zip(files, counted):
        if counts["lines"] == 0:
            raise KxError(f"nothing to track: {path} has no lines")
        results.append({"file": recorded_as, **counts, "tokenizer": plan.tokenizer,
                        "tokens": counts["tokens"] if plan.tokenizer else None})
    return results


def _single_output(plan: Plan, result: Dict[str, Any]) -> Output:
    if result["lines"] == 1 and result["recorded"] == 1:
        return Output(result, result["first_hash"])
    return Output(result, _summary(plan, result))


def _summary(plan: Plan, r: Dict[str, Any]) -> str:
    what = "counted" if plan.tokens_only else "tracked"
    text = f"{what} {plural(r['recorded'], 'line')} of {r['file']}"
    if plan.tokenizer:
        text += f" ({plural(r['tokens'], 'token')} under {plan.tokenizer})"
    if r["skipped"]:
        done = "counted" if plan.tokens_only else "tracked"
        text += f"; {plural(r['skipped'], 'line')} already {done}, skipped"
    if r.get("completed"):
        text += f" ({r['completed']} of them had no token entry under {plan.tokenizer}: counted now)"
    return text
