"""`kx track DATA_FILE`: record every line of a JSON Lines file with its
sources, and optionally its token count under a tokenizer.

Counts come from a built-in counter (`whitespace`: words of the record's
text; `bytes`: UTF-8 bytes of it) or from a field of each record.  The file
is checked whole before the first line is recorded (encoding, sources,
count fields), so a bad line does not leave half a file tracked."""

from __future__ import annotations

import argparse
import os
from typing import Any, Callable, Dict, List, Optional

import _kx_native as native

from kx import _core as core
from kx import datafile, progress
from kx.errors import KxError, UsageError
from kx.output import Output, plural
from kx.store import Store

BUILT_IN_COUNTERS = ("whitespace", "bytes")


def register(commands, common) -> None:
    p = commands.add_parser(
        "track",
        parents=[common],
        help="record the lines of a data file with their sources",
        description="Record every line of a JSON Lines data file: its line hash, the data file and its "
        "sources (section hashes), and with --tokenizer its token count. Every line must be JSON. Prints the line hash when the file has one line, else a summary. "
        "The file is recorded under its path relative to the project directory, wherever in the project kx runs "
        "(see `kx --help`).",
    )
    p.add_argument("data_file", metavar="DATA_FILE")
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
    p.set_defaults(run=track, path_args=("data_file",))


class Plan:
    """How each line of the file becomes one `track` call."""

    def __init__(self, store: Store, args: argparse.Namespace):
        self.store = store
        self.path = args.data_file
        self.fixed_sources = [self._usable(store.resolve_section(ref)) for ref in args.sources]
        self.source_field: Optional[str] = args.source_field
        if not self.fixed_sources and self.source_field is None:
            raise UsageError("give the lines' sections with --source or --source-field")
        self.tokenizer: Optional[str] = args.tokenizer
        self.checks_counts = False  # whether counting can fail (counts from a field)
        self.counter = self._counter(args)
        self._resolved: Dict[str, str] = {}

    def _counter(self, args: argparse.Namespace) -> Optional[Callable[[Any, str, int], int]]:
        if self.tokenizer is None:
            if args.count or args.count_field:
                raise UsageError("--count and --count-field need --tokenizer")
            return None
        if not core.is_valid_tokenizer_name(self.tokenizer):
            raise KxError(f"invalid tokenizer name '{self.tokenizer}'")
        if args.count_field is not None:
            self.checks_counts = True
            return self._field_counter(args.count_field)
        kind = args.count or (self.tokenizer if self.tokenizer in BUILT_IN_COUNTERS else None)
        if kind is None:
            raise UsageError(
                f"tokenizer '{self.tokenizer}' has no built-in counter: give --count whitespace|bytes or --count-field FIELD"
            )
        text_field = args.text_field
        if kind == "whitespace":
            return lambda value, text, number: len(_text_of(value, text, text_field).split())
        return lambda value, text, number: len(_text_of(value, text, text_field).encode("utf-8"))

    def _field_counter(self, field: str) -> Callable[[Any, str, int], int]:
        def count(value: Any, text: str, number: int) -> int:
            n = value.get(field) if isinstance(value, dict) else None
            if not isinstance(n, int) or isinstance(n, bool) or not 0 <= n < 2**64:
                raise KxError(f"{self.path}:{number}: field '{field}' is missing or not a token count")
            return n

        return count

    def _usable(self, hash_: str) -> str:
        """`hash_`, unless consent for the section was withdrawn: lines drawn
        from a revoked section, or from a revoked author's, are refused."""
        for withdrawn in self.store.withdrawn([hash_]):
            if withdrawn["section_revoked"]:
                raise KxError(f"section {hash_[:12]} ({withdrawn['path']}) is revoked; its lines may not be tracked")
            author = withdrawn["revoked_authors"][0]
            raise KxError(f"author '{author['name']}' of section {hash_[:12]} is revoked; its lines may not be tracked")
        return hash_

    def sources(self, value: Any, number: int) -> List[str]:
        if self.source_field is None:
            return self.fixed_sources
        refs = value.get(self.source_field) if isinstance(value, dict) else None
        if isinstance(refs, str):
            refs = [refs]
        if not isinstance(refs, list) or not refs or not all(isinstance(r, str) for r in refs):
            raise KxError(f"{self.path}:{number}: field '{self.source_field}' holds no section")
        found = list(self.fixed_sources)
        for ref in refs:
            hash_ = self._resolved.get(ref)
            if hash_ is None:
                try:
                    hash_ = self._resolved[ref] = self._usable(self.store.resolve_section(ref))
                except KxError as e:
                    raise KxError(f"{self.path}:{number}: {e}") from None
            if hash_ not in found:
                found.append(hash_)
        return found


def _text_of(value: Any, text: str, field: str) -> str:
    if isinstance(value, dict) and isinstance(value.get(field), str):
        return value[field]
    if isinstance(value, str):
        return value
    return text


def track(store: Store, args: argparse.Namespace) -> Output:
    plan = Plan(store, args)
    total = datafile.count_lines(args.data_file)
    lines = _check(plan, total)
    if lines == 0:
        raise KxError(f"nothing to track: {args.data_file} has no lines")
    recorded_as = os.path.normpath(args.data_file)
    hashes, tokens = _record(store, plan, recorded_as, total, lines)

    data = {
        "file": recorded_as,
        "lines": len(hashes),
        "tokenizer": plan.tokenizer,
        "tokens": tokens if plan.tokenizer else None,
        "line_hashes": hashes,
    }
    if len(hashes) == 1:
        return Output(data, hashes[0])
    summary = f"tracked {plural(len(hashes), 'line')} of {recorded_as}"
    if plan.tokenizer:
        summary += f" ({plural(tokens, 'token')} under {plan.tokenizer})"
    return Output(data, summary)


def _check(plan: Plan, total: int) -> int:
    """Reads the whole file once and raises on the first line that cannot be
    tracked; returns the number of lines.

    Every line must be a JSON value the store can hold: a purge finds a line
    by hashing its JSON value, so a line tracked in any other form could
    never be purged again."""
    count = 0
    with progress.bar(f"checking {plan.path}", total) as bar:
        for number, text in datafile.lines(plan.path):
            count += 1
            value, problem = datafile.checked(text)
            if problem is not None:
                raise KxError(f"{plan.path}:{number}: {problem} (kx tracks JSON Lines files)")
            plan.sources(value, number)
            if plan.checks_counts and plan.counter is not None:
                plan.counter(value, text, number)
            bar.update(number)
    return count


def _record(store: Store, plan: Plan, recorded_as: str, total: int, checked: int):
    """Tracks the `checked` lines the checking pass read (not lines a writer
    may have appended since)."""
    track_line = native.track
    kx_dir = store.kx_dir
    tokenizer = plan.tokenizer
    counter = plan.counter
    hashes: List[str] = []
    tokens = 0
    with progress.bar(f"tracking {plan.path}", total) as bar:
        for number, text in datafile.lines(plan.path):
            value, _ = datafile.parse(text)
            sources = plan.sources(value, number)
            count = counter(value, text, number) if counter is not None else None
            hashes.append(track_line(value, recorded_as, sources, kx_dir, count, tokenizer))
            if count is not None:
                tokens += count
            if number >= bar.next_at:
                bar.update(number)
            if len(hashes) == checked:
                break
    return hashes, tokens
