"""`kx show` (the lines of an author, a section or a license, or their
token total) and `kx tokens status` (the token index of each tokenizer)."""

from __future__ import annotations

import argparse
from collections import Counter
from typing import Any, List, Sequence

import _kx_native as native

from kx import _core as core
from kx.errors import KxError
from kx.output import Output, note, plural, short, table
from kx.store import Store


def register(commands, common) -> None:
    p = commands.add_parser(
        "show",
        parents=[common],
        help="list the tracked lines of an author, a section or a license",
        description="List the tracked lines (line hash and data file) of an author, a section or a license. "
        "With --tokenizer, show their token total under that tokenizer instead (revoked entries left out).",
    )
    which = p.add_mutually_exclusive_group(required=True)
    which.add_argument("--author", metavar="NAME", help="the author's name, exactly as registered")
    which.add_argument("--section", metavar="SECTION", help="a section hash, a unique prefix or a registered path")
    which.add_argument("--license", metavar="LICENSE", help="a license, exactly as registered")
    p.add_argument("--tokenizer", metavar="NAME", help="the token total under this tokenizer")
    p.set_defaults(run=show)

    tokens = commands.add_parser("tokens", help="the token index", description="The token index.")
    verbs = tokens.add_subparsers(dest="verb", metavar="VERB")
    tokens.set_defaults(group_parser=tokens)
    p = verbs.add_parser(
        "status",
        parents=[common],
        help="entry and token counts of each tokenizer",
        description="Entries and tokens of a tokenizer, or of every tokenizer, active and revoked apart. "
        "Entries written by `kx track` count once they are merged (`kx index build` or `kx clean`); "
        "until then they are shown as pending.",
    )
    p.add_argument("--tokenizer", metavar="NAME")
    p.set_defaults(run=tokens_status)


def show(store: Store, args: argparse.Namespace) -> Output:
    if args.tokenizer is not None:
        return _tokens(store, args)
    if args.author is not None:
        if not store.authors_named(args.author):
            raise KxError(f"no author named '{args.author}'")
        if store.line_index_state() == "stale":
            note("the line index is older than the tracked lines; results may be incomplete (run `kx index build`)")
        records = native.show_by_author(store.kx_dir, args.author)
        what = f"by {args.author}"
    elif args.section is not None:
        hash_ = store.resolve_section(args.section)
        records = native.show_by_section(store.kx_dir, hash_)
        what = f"from section {short(hash_)}"
    else:
        records = native.show_by_license(store.kx_dir, args.license)
        what = f"under {args.license}"
    records = _sorted(records)
    lines = table((r["line_hash"], r["file"]) for r in records)
    files = Counter(r["file"] for r in records)
    in_files = f" in {plural(len(files), 'file')}" if records else ""
    lines.append(f"{plural(len(records), 'line')} {what}{in_files}")
    return Output(records, lines)


def _sorted(records: Sequence[Any]) -> List[Any]:
    # The native queries return shards in no defined order; sort for a stable listing.
    return sorted(records, key=lambda r: (r["file"], r["line_hash"]))


def _tokens(store: Store, args: argparse.Namespace) -> Output:
    """The token total of the author, section or license under --tokenizer."""
    tokenizer = args.tokenizer
    if args.author is not None:
        if not store.authors_named(args.author):
            raise KxError(f"no author named '{args.author}'")
        subject, what = {"author": args.author}, args.author
    elif args.section is not None:
        hash_ = store.resolve_section(args.section)
        subject, what = {"section": hash_}, f"section {short(hash_)}"
    else:
        subject, what = {"license": args.license}, f"license {args.license}"
    _require_tokenizer(store, tokenizer)
    if args.author is not None:
        result = native.show_by_author_token(store.kx_dir, args.author, tokenizer)
    elif args.section is not None:
        result = core.show_by_section_token(store.kx_dir, subject["section"], tokenizer)
    else:
        result = core.show_by_license_token(store.kx_dir, args.license, tokenizer)
    pending = store.pending_token_entries(tokenizer)
    if pending:
        note(f"{plural(pending, 'token entry', 'token entries')} of {tokenizer} are not merged yet and not counted (run `kx index build`)")
    data = {**subject, "tokenizer": tokenizer, **result}
    text = f"{what}: {plural(result['total_tokens'], 'token')} in {plural(result['document_count'], 'entry', 'entries')} under {tokenizer}"
    return Output(data, text)


def _require_tokenizer(store: Store, tokenizer: str) -> None:
    if tokenizer not in store.tokenizers():
        raise KxError(f"unknown tokenizer '{tokenizer}' (no token entries were recorded under it)")


def tokens_status(store: Store, args: argparse.Namespace) -> Output:
    if args.tokenizer is not None:
        _require_tokenizer(store, args.tokenizer)
        names = [args.tokenizer]
    else:
        names = store.tokenizers()
    statuses = []
    for name in names:
        totals = core.token_totals(store.kx_dir, name)
        statuses.append(
            {
                "tokenizer": name,
                "total_entries": totals["entries"],
                "active_entries": totals["active_entries"],
                "revoked_entries": totals["revoked_entries"],
                # Sums wrap modulo 2**64, as the native counts do.
                "total_tokens": (totals["active_tokens"] + totals["revoked_tokens"]) % 2**64,
                "active_tokens": totals["active_tokens"],
                "revoked_tokens": totals["revoked_tokens"],
                "pending_entries": store.pending_token_entries(name),
                "binary_index": store.token_index_state(name),
            }
        )
    header = ("TOKENIZER", "ENTRIES", "ACTIVE", "REVOKED", "TOKENS", "ACTIVE TOKENS", "REVOKED TOKENS", "PENDING", "INDEX")
    rows = [
        (
            s["tokenizer"],
            s["total_entries"],
            s["active_entries"],
            s["revoked_entries"],
            s["total_tokens"],
            s["active_tokens"],
            s["revoked_tokens"],
            s["pending_entries"],
            s["binary_index"],
        )
        for s in statuses
    ]
    text = table([header, *rows]) if rows else ["no tokenizers"]
    return Output(statuses if args.tokenizer is None else statuses[0], text)
