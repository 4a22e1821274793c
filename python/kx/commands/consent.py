"""`kx revoke`, `kx purge` and `kx forget-set`: withdrawing consent.

The native revocations flip marks: calling one twice restores what the
first call revoked.  `kx revoke` instead sets a state: it revokes only what
is not revoked yet and, with --reverse, restores only what is revoked, so
running it twice is harmless.  Token entries follow their sections: an
entry is revoked while one of its sections, or an author of one, is; when
only some of the entries of an author must change (the author's entries of
a section revoked earlier), only the sections whose entries all must change
are flipped.  When records disagree in a way no flip can settle, the command
refuses rather than flip them both ways.

Purges remove the lines whose consent is withdrawn from a data file, leave
every other byte of it as it was, and archive the removed lines together
with what an exact undo needs; `kx purge --undo FILE` puts the lines of the
newest purge of FILE back where they were, so that the file is byte for
byte what it was before."""

from __future__ import annotations

import argparse
import os
import shlex
import signal
import sys
from collections import Counter
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence, Set

import _kx_native as native

from kx import _core as core
from kx import cluster, datafile, progress
from kx.errors import KxError, UsageError, working_on
from kx.output import Output, note, plural, short
from kx.store import Store


def register(commands, common) -> None:
    p = commands.add_parser(
        "revoke",
        parents=[common],
        help="withdraw (or with --reverse restore) consent for an author or a section",
        description="Mark an author or a section as revoked, so that `kx purge` removes its lines. "
        "With --tokenizer, also revoke the token-index entries drawn from the author's sections "
        "(or the section) under that tokenizer, for `kx forget-set`. With --reverse, restore instead. "
        "Revoking what is already revoked changes nothing.",
    )
    which = p.add_mutually_exclusive_group(required=True)
    which.add_argument("--author", metavar="NAME", help="every author record with exactly this name")
    which.add_argument("--section", metavar="SECTION", help="a section hash, a unique prefix or a registered path")
    p.add_argument("--tokenizer", dest="tokenizers", action="append", default=[], metavar="NAME", help="repeatable")
    p.add_argument("--reverse", action="store_true", help="restore consent instead of withdrawing it")
    p.set_defaults(run=revoke)

    p = commands.add_parser(
        "purge",
        parents=[common],
        help="remove revoked lines from data files (or undo their last purge)",
        description="Remove from each DATA_FILE every line whose consent is withdrawn: the lines of revoked "
        "sections and of the sections of revoked authors; or with --author only the lines of that revoked "
        "author (through the line index: run `kx index build` after tracking). Every other byte of the "
        "file stays as it was. The removed lines are archived in the store first. DATA_FILE may also be a "
        "directory (its *.jsonl, *.json, *.ndjson and *.parquet files) or a glob pattern; the files are "
        "purged one after another, or with --cluster or --workers as tasks of Dask workers. With --undo, put the "
        "lines of the newest purge of each DATA_FILE back where they were, so that the file is again byte "
        "for byte what it was (archives of older versions of kx, which lack the lines' places, are "
        "appended at the end in canonical JSON form). A gzip or zstd DATA_FILE (known by its first bytes) "
        "is purged and restored as its decompressed content and written again in its own format: the "
        "decompressed content comes back byte for byte, while the compressed bytes may differ from the "
        "original file's (gzip is written as one member per 4 MiB of content, compressed on several cores "
        "at once). A Parquet DATA_FILE (needs kx[parquet]) is purged row by row and written again "
        "with its schema, codec and row-group size; its undo gives back a table that reads as before.",
    )
    p.add_argument("data_files", nargs="+", metavar="DATA_FILE")
    p.add_argument("--author", metavar="NAME", help="purge the lines of this revoked author")
    p.add_argument("--dry-run", action="store_true", help="count the lines a purge would remove; change nothing")
    p.add_argument("--undo", action="store_true", help="restore the lines of the newest purge of DATA_FILE")
    p.add_argument(
        "--by-position",
        action="store_true",
        help="with --undo: when DATA_FILE changed since the purge, put the lines back at their former line numbers anyway",
    )
    p.add_argument(
        "--force",
        action="store_true",
        help="with --undo: restore lines whose consent is still withdrawn, which an undo otherwise refuses; "
        "and when a single DATA_FILE has no purge archive, append the store's newest archive to it",
    )
    p.add_argument(
        "--level",
        type=int,
        metavar="N",
        help="compression level of a rewritten gzip (1-9, default 6) or zstd (1-19, default 3) DATA_FILE; "
        "plain files ignore it",
    )
    cluster.add_options(p, "purge")
    p.set_defaults(run=purge, path_args=("data_files",))

    p = commands.add_parser(
        "forget-set",
        parents=[common],
        help="write the bitmask of revoked token-index entries",
        description="Write the forget set of a tokenizer: one bit per token-index entry in merged order "
        "(least significant bit first), set when the entry is revoked. Entries tracked since the last merge "
        "are merged first; a set that could not hold every entry is not written and the command fails.",
    )
    p.add_argument("--tokenizer", required=True, metavar="NAME")
    p.add_argument("-o", "--output", required=True, metavar="FILE", help="file to write the bitmask to")
    p.add_argument(
        "--map",
        metavar="FILE",
        help="also write where the set bits' lines are: one row per line of a data file with set entries, "
        "{file, line_hash, lines, entries} (the line numbers of the line in the file, from 1, and how many "
        "set entries name it), sorted by file and first line; JSON Lines, or Parquet when FILE ends in "
        ".parquet (needs kx[parquet]). The rows do not depend on the order the entries were tracked in",
    )
    p.set_defaults(run=forget_set, path_args=("output", "map"))


# Revocation


@dataclass
class TokenFlip:
    """How to bring a tokenizer's entries of some sections to the state they
    should have."""

    tokenizer: str
    present: int  # entries drawn from the sections
    pending: int  # entries not in the state they should have
    # None: every entry is pending, so the whole set is flipped; else the
    # sections whose entries are all pending, flipped on their own.
    subset: Optional[Set[str]]


def _state(flags: List[bool]) -> str:
    if all(flags):
        return "revoked"
    if not any(flags):
        return "active"
    return "mixed"


def revoke(store: Store, args: argparse.Namespace) -> Output:
    want = "active" if args.reverse else "revoked"
    args.section_hash = None
    if args.author is not None:
        authors = store.authors_named(args.author)
        if not authors:
            raise KxError(f"no author named '{args.author}'")
        target = f"author '{args.author}'"
        sections = store.sections_of_authors({a["id"] for a in authors})
        flags = [a["revoked"] is True for a in authors]
    else:
        hash_ = args.section_hash = store.resolve_section(args.section)
        target = f"section {short(hash_)}"
        sections = {hash_}
        flags = [r.get("revoked") is True for r in store.section_records(hash_)]
    state = _state(flags)
    if state == "mixed":
        raise KxError(
            f"the records of {target} disagree (some revoked, some not); "
            "revocation flips every record, so it cannot make them agree"
        )
    # Entries tracked since the last merge are revoked too: they are merged
    # first, since revocations reach only merged entries.
    for tokenizer in args.tokenizers:
        _require_tokenizer(store, tokenizer)
        store.merge_pending(tokenizer)
    # Plan every change before making the first one.
    flips = [_plan_token_flip(store, t, sections, args, target) for t in args.tokenizers]

    verb = "restored" if args.reverse else "revoked"
    changed = 0
    if state != want:
        if args.author is not None:
            changed = native.revoke_by_author(store.kx_dir, args.author, args.reverse)
        else:
            changed = native.revoke_section(store.kx_dir, hash_, args.reverse)
    kind = "author" if args.author is not None else "section"
    results: List[Dict[str, Any]] = [{"target": kind, "changed": changed, "state": want}]
    lines = [f"{verb} {target} ({plural(changed, 'record')})" if changed else f"{target} is already {want}"]
    for flip in flips:
        count = _flip_tokens(store, flip, args, sections) if flip.pending else 0
        results.append({"target": "tokens", "tokenizer": flip.tokenizer, "changed": count, "state": want})
        if count:
            lines.append(f"{verb} {plural(count, 'token entry', 'token entries')} of {target} under {flip.tokenizer}")
        else:
            what = f"token entries of {target} under {flip.tokenizer}"
            lines.append(f"{what}: nothing to change" if flip.present else f"{what}: none")
        if count != flip.pending:
            note(f"expected to change {flip.pending} token entries under {flip.tokenizer}, changed {count}")
    return Output(results, lines)


def _plan_token_flip(store: Store, tokenizer: str, sections: Set[str], args: argparse.Namespace, target: str) -> TokenFlip:
    """Which entries drawn from `sections` must change.  Revoking, all of
    them become revoked.  Restoring, an entry stays revoked while one of its
    sections, or an author of one, is still revoked for another reason (the
    forum's section when one of its authors is restored)."""
    _require_tokenizer(store, tokenizer)
    entries = store.token_entries_of(tokenizer, sections)
    withdrawn: Dict[str, bool] = {}

    def should_be_revoked(sources: List[str]) -> bool:
        if not args.reverse:
            return True
        for source in sources:
            if source not in withdrawn:
                withdrawn[source] = _withdrawn_after_restore(store, source, args)
            if withdrawn[source]:
                return True
        return False

    verdicts = [(sources, revoked != should_be_revoked(sources)) for sources, revoked in entries]
    pending = [set(sources) & sections for sources, change in verdicts if change]
    if not pending or len(pending) == len(entries):
        return TokenFlip(tokenizer, len(entries), len(pending), None)
    # A flip reaches every entry listing a targeted section: target only the
    # sections all of whose entries must change, if they reach every one.
    settled = set().union(*(set(sources) for sources, change in verdicts if not change))
    subset = sections - settled
    if not all(listed & subset for listed in pending):
        raise KxError(
            f"{plural(len(pending), 'token entry', 'token entries')} of {target} under {tokenizer} share sections "
            "with entries that must not change; revocation flips whole sections, so it cannot change only them"
        )
    return TokenFlip(tokenizer, len(entries), len(pending), subset)


def _withdrawn_after_restore(store: Store, hash_: str, args: argparse.Namespace) -> bool:
    """Whether consent for a section stays withdrawn once the author or
    section being restored is active again."""
    for withdrawn in store.withdrawn([hash_]):
        if withdrawn["section_revoked"] and hash_ != args.section_hash:
            return True
        if any(author["name"] != args.author for author in withdrawn["revoked_authors"]):
            return True
    return False


def _flip_tokens(store: Store, flip: TokenFlip, args: argparse.Namespace, sections: Set[str]) -> int:
    if flip.subset is None and args.author is not None:
        # The native revocation by author logs the change itself.
        return native.revoke_by_author_token(store.kx_dir, args.author, flip.tokenizer, args.reverse)
    targets = flip.subset if flip.subset is not None else sections
    count = native.token_index_revoke_by_sources(store.kx_dir, flip.tokenizer, set(targets))
    who = args.author if args.author is not None else f"section={args.section_hash}"
    operation = "revoke_reverse_token" if args.reverse else "revoke_token"
    native.oplog_append(store.kx_dir, operation, f"{who} tokenizer={flip.tokenizer} count={count}")
    return count


def _require_tokenizer(store: Store, tokenizer: str) -> None:
    if tokenizer not in store.tokenizers():
        raise KxError(f"unknown tokenizer '{tokenizer}' (no token entries were recorded under it)")


# Purge


class _Stopped(KxError):
    """Ctrl-C before the first file was touched."""

    status = 130


class _Interrupts:
    """Ctrl-C during purges and undos.  A data file being rewritten is
    finished (its rewrite cannot stop half-way), and the files after it are
    left as they were; the command then reports what it did and exits with
    status 130."""

    def __init__(self) -> None:
        self.hit = False
        self._previous: Any = None

    def __enter__(self) -> "_Interrupts":
        try:
            self._previous = signal.signal(signal.SIGINT, self._handle)
        except ValueError:  # not the main thread: Ctrl-C is not ours to take
            self._previous = None
        return self

    def __exit__(self, *exc: Any) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)

    def _handle(self, signum: int, frame: Any) -> None:
        if not self.hit:
            sys.stderr.write("\ninterrupted: the file under way is finished, no further file is touched\n")
        self.hit = True

    def finish(self, output: Output, done: int, paths: List[str], verb: str) -> Output:
        """The output of the files done, and a word on those left alone."""
        if not self.hit:
            return output
        left = paths[done:]
        lines = [output.text] if isinstance(output.text, str) else list(output.text)
        if left:
            lines.append(f"interrupted: {', '.join(left)} not {verb}, left as {'it was' if len(left) == 1 else 'they were'}")
        else:
            lines.append("interrupted: every file was finished")
        data = output.data if isinstance(output.data, dict) else {"files": output.data}
        return Output({**data, "interrupted": True, "not_done": left}, lines, status=130, notes=output.notes)


class _NoInterrupts(_Interrupts):
    """Ctrl-C left as it is."""

    def __enter__(self) -> "_Interrupts":
        return self

    def __exit__(self, *exc: Any) -> None:
        pass


def purge(store: Store, args: argparse.Namespace) -> Output:
    paths = datafile.expand(args.data_files)
    on_cluster = cluster.requested(args)
    if args.undo:
        if args.author is not None or args.dry_run:
            raise UsageError("--undo takes neither --author nor --dry-run")
        if on_cluster:
            raise UsageError("--undo runs here: it takes neither --cluster nor --workers")
        undone = []
        with _Interrupts() as interrupts:
            for path in paths:
                if interrupts.hit:
                    break
                undone.append(_undo(store, args, path, len(paths) > 1))
        if not undone:
            raise _Stopped("interrupted before any file was restored; every file is as it was")
        output = _combined(undone, ["restored"], lambda n, sums: f"restored {plural(sums['restored'], 'line')} to {n} files")
        return interrupts.finish(output, len(undone), paths, "restored")
    if args.force or args.by_position:
        raise UsageError("--force and --by-position go with --undo")
    sizes = [datafile.size(path) for path in paths]  # a missing file fails before any is purged
    for path, size in zip(paths, sizes):
        if size == 0:
            raise KxError(f"nothing to purge: {path} is empty")
    if args.author is not None:
        _check_author_purge(store, args.author, paths)
    # A purge on the cluster stops on Ctrl-C as the cluster run does.
    with _Interrupts() if not on_cluster else _NoInterrupts() as interrupts:
        if on_cluster:
            with cluster.connect(args.cluster, args.workers) as client, progress.over_tasks(
                "counting" if args.dry_run else "purging", sizes
            ) as done:
                counts = cluster.purge(client, store.kx_dir, paths, args.author, args.dry_run, _level(args), on_done=done)
        else:
            counts = _purge_here(store, args, paths, sizes, interrupts)
    if not counts:
        raise _Stopped("interrupted before any file was purged; every file is as it was")
    verb = "would purge" if args.dry_run else "purged"
    output = _combined(
        [_purged(store, args, path, c) for path, c in zip(paths, counts)],
        ["purged", "kept", "archived"],
        lambda n, sums: f"{verb} {plural(sums['purged'], 'line')} from {n} files, kept {sums['kept']}",
    )
    return interrupts.finish(output, len(counts), paths, "counted" if args.dry_run else "purged")


def _purge_here(store: Store, args: argparse.Namespace, paths: List[str], sizes: List[int],
                interrupts: _Interrupts) -> List[Dict[str, Any]]:
    """Purges the files one after another in this process, until all are
    done or Ctrl-C stops the run between two files."""
    counts = []
    label = "counting" if args.dry_run else "purging"
    with progress.over_files(f"{label} {paths[0]}" if len(paths) == 1 else label, sizes) as bar:
        for i, path in enumerate(paths):
            if interrupts.hit:
                break
            hook = bar.callback(i)
            with working_on(label, path):
                if args.author is None:
                    counts.append(core.purge_withdrawn(store.kx_dir, path, args.dry_run, hook, level=_level(args)))
                else:
                    counts.append(core.purge_by_author(store.kx_dir, args.author, path, args.dry_run, hook,
                                                       level=_level(args)))
            bar.finished(i)
    return counts


def _purged(store: Store, args: argparse.Namespace, path: str, result: Dict[str, Any]) -> Output:
    """What the purge of one file reports."""
    what = "of revoked sections and authors" if args.author is None else f"of author '{args.author}'"
    result["file"] = path
    result["dry_run"] = args.dry_run
    total = result["purged"] + result["kept"]
    if args.dry_run:
        return Output(result, [f"would purge {plural(result['purged'], 'line')} {what} from {path} (of {total})"])
    text = [f"purged {plural(result['purged'], 'line')} {what} from {path}, kept {result['kept']}"]
    if result["archived"]:
        mine = core.purge_archives(store.kx_dir, path)
        archive = result["archive"] = mine[0]["name"] if mine else None
        text.append(f"archived them in .kx/archive/{archive}; undo with `kx purge --undo {path}`")
    return Output(result, text)


def _combined(outputs: List[Output], keys: Sequence[str], summary: Callable[[int, Dict[str, int]], str]) -> Output:
    """One file's output as it is; several files' outputs one after another,
    with the sums of their counts under `keys` and `summary(files, sums)`
    last."""
    if len(outputs) == 1:
        return outputs[0]
    sums = {key: sum(o.data[key] for o in outputs) for key in keys}
    lines = [line for o in outputs for line in ([o.text] if isinstance(o.text, str) else o.text)]
    return Output({"files": [o.data for o in outputs], **sums}, lines + [summary(len(outputs), sums)])


def _level(args: argparse.Namespace) -> Optional[int]:
    if args.level is not None and args.level < 1:
        raise UsageError(f"--level takes a level from 1, not {args.level}")
    return args.level


def _check_author_purge(store: Store, name: str, paths: List[str]) -> None:
    """Fails before any file is purged when the author's lines cannot be
    purged: the author is not revoked, or the line index is missing or
    stale."""
    # The native dry run checks that the author is revoked and that the index
    # exists (on a plain file: the module's purges refuse compressed and
    # Parquet ones, and each purge checks the same first).
    plain = next((path for path in paths if datafile.content_format(path) is None), None)
    if plain is not None:
        native.purge_by_author_indexd(store.kx_dir, name, plain, True)
    if store.line_index_state() == "stale":
        raise KxError("lines were tracked after the line index was built; run `kx index build` first")


# What an undo did, by the outcome the core reports.
_UNDONE = {
    "exact": "{file} is again as it was before the purge",
    "by_position": "put back at their former line numbers; {file} had changed since the purge",
    "appended": "appended at the end of {file}: the archive does not record where they were",
    "present": "{file} already held them (an earlier purge or undo was interrupted); the archive is removed",
}


def _undo(store: Store, args: argparse.Namespace, data_file: str, several: bool) -> Output:
    archive = None
    mine = core.purge_archives(store.kx_dir, data_file)
    if mine:
        target = mine[0]
    else:
        target = store.newest_purge_archive()
        if target is None:
            raise KxError("no purge archive to undo")
        # --force appends the newest archive to a file that has none only
        # when that file alone is named.
        if not args.force or several:
            # --force would append another file's lines to this one: never the advice.
            if target["data_file"]:
                other = _shown(target["data_file"])
                raise KxError(
                    f"no purge archive of {data_file}; the newest ({target['name']}) holds lines of "
                    f"{other}: undo it with `kx purge --undo {shlex.quote(other)}`"
                )
            raise KxError(
                f"no purge archive of {data_file}; the newest ({target['name']}) holds lines of a file "
                "the log no longer names"
            )
        archive = target["name"]
    if not args.force:
        _refuse_withdrawn(store, data_file, target)
    with progress.working(f"restoring {data_file}", data_file) as hook, working_on("restoring", data_file):
        result = core.undo_purge(store.kx_dir, data_file, args.by_position, archive, hook, level=_level(args))
    name = result["archive"]
    if result["outcome"] == "none":  # removed meanwhile by another undo
        raise KxError(f"no purge archive of {data_file}")
    if result["outcome"] == "changed":
        raise KxError(
            f"{data_file} changed since its purge into .kx/archive/{name}, so its lines cannot be put back "
            "exactly (pass --by-position to put them back at their former line numbers anyway)"
        )
    restored = result["restored"]
    data = {"file": data_file, "restored": restored, "archive": name, "outcome": result["outcome"]}
    text = f"restored {plural(restored, 'line')} to {data_file} from .kx/archive/{name}: "
    return Output(data, text + _UNDONE[result["outcome"]].format(file=data_file))


def _shown(path: str) -> str:
    """A resolved path as the project names it, when it lies inside."""
    relative = os.path.relpath(path)
    return path if relative.startswith(os.pardir) else relative


# Lines whose withdrawal is named in the refusal of an undo, at most: each
# costs a look-up of its records.
_NAMED_LINES = 2000


def _refuse_withdrawn(store: Store, data_file: str, archive: Dict[str, Any]) -> None:
    """Refuses an undo that would put lines whose consent is still withdrawn
    back into `data_file` (withdrawn as a purge of it decides now), saying
    how many and whose."""
    withdrawn = set(core.withdrawn_lines(store.kx_dir, data_file))
    if not withdrawn:
        return
    archived = [r["line"] for r in native.jsonl_read(archive["path"]) if isinstance(r, dict) and r.get("line") is not None]
    hashes = [native.compute_hash(value) for value in archived]
    still = [h for h in hashes if h in withdrawn]
    if not still:
        return
    whose: Dict[str, int] = {}
    occurrences = Counter(still)
    for hash_ in list(occurrences)[:_NAMED_LINES]:
        records = native.lookup_document(store.kx_dir, hash_)
        sources = list(dict.fromkeys(s for r in records for s in r["sources"]))
        names = set()
        for w in store.withdrawn(sources):
            names.update(f"author {a['name']}" for a in w["revoked_authors"])
            if w["section_revoked"]:
                names.add(f"section {w['path']}")
        for name in names or {"revoked documents"}:
            whose[name] = whose.get(name, 0) + occurrences[hash_]
    named = ", ".join(f"{name}: {plural(n, 'line')}" for name, n in sorted(whose.items()))
    raise KxError(
        f"{plural(len(still), 'line')} of .kx/archive/{archive['name']} {'is' if len(still) == 1 else 'are'} "
        f"still withdrawn ({named}); undoing would put them back in {data_file} "
        "(pass --force to restore them all the same)"
    )


# Forget sets


def forget_set(store: Store, args: argparse.Namespace) -> Output:
    _require_tokenizer(store, args.tokenizer)
    # Entries tracked since the last merge take bits too: merged first.
    store.merge_pending(args.tokenizer)
    bitmask = native.generate_forget_set(store.kx_dir, args.tokenizer)
    entries = native.token_index_token_status(store.kx_dir, args.tokenizer)["total_entries"]
    if len(bitmask) != (entries + 7) // 8:
        raise KxError(
            f"the merged files of {args.tokenizer} hold lines that are not token entries, so the bits would not "
            "line up with the entries; run `kx check --repair` first"
        )
    pending = store.pending_token_entries(args.tokenizer)
    if pending:
        raise KxError(
            f"{plural(pending, 'token entry', 'token entries')} of {args.tokenizer} were tracked while the set was "
            "made and would be missing from it; run again once tracking has finished"
        )
    native.write_forget_set(args.output, bitmask)
    revoked = sum(bin(byte).count("1") for byte in bitmask)
    data = {"file": args.output, "tokenizer": args.tokenizer, "bytes": len(bitmask), "entries": entries, "revoked": revoked}
    text = [f"wrote {args.output}: {plural(revoked, 'revoked entry', 'revoked entries')} of {entries} under {args.tokenizer} ({plural(len(bitmask), 'byte')})"]
    if args.map is not None:
        mapped = data["map"] = _write_map(store, args.tokenizer, bitmask, args.map)
        text.append(f"wrote {args.map}: {plural(mapped['rows'], 'line')} of {plural(len(mapped['files']), 'data file')}")
        if mapped["unmapped"] or mapped["missing_files"]:
            lacking = []
            if mapped["unmapped"]:
                lacking.append(
                    f"{plural(mapped['unmapped'], 'revoked entry', 'revoked entries')} that name no line "
                    "(tracked by an older kx; `kx track --retrack` records them anew)"
                )
            if mapped["missing_files"]:
                lacking.append("the lines of data files it could not read: " + ", ".join(mapped["missing_files"]))
            raise KxError(f"wrote {args.output} and {args.map}, but the map lacks " + " and ".join(lacking))
    return Output(data, text)


def _write_map(store: Store, tokenizer: str, bitmask: bytes, path: str) -> Dict[str, Any]:
    """Writes the map of a forget set; the core writes sorted runs of rows,
    merged here one row at a time, so memory stays bounded."""
    import heapq
    import json
    import tempfile

    parquet = path.endswith(".parquet")
    if parquet:
        from kx.parquet import _pyarrow

        pa, pq = _pyarrow(path)
    directory = os.path.dirname(os.path.abspath(path))
    with tempfile.TemporaryDirectory(prefix=".kx-map-", dir=directory) as runs_dir:
        found = core.forget_map_runs(store.kx_dir, tokenizer, bitmask, runs_dir)

        def rows_of(run: str):
            with open(run, encoding="utf-8") as f:
                for line in f:
                    yield json.loads(line)

        def key(row: Dict[str, Any]):
            return (row["file"], row["lines"][0] if row["lines"] else 0, row["line_hash"])

        def combined():
            held = None
            for row in heapq.merge(*(rows_of(run) for run in found["runs"]), key=key):
                if held is not None and (held["file"], held["line_hash"]) == (row["file"], row["line_hash"]):
                    held["entries"] += row["entries"]
                    continue
                if held is not None:
                    yield held
                held = {"file": row["file"], "line_hash": row["line_hash"], "lines": row["lines"], "entries": row["entries"]}
            if held is not None:
                yield held

        rows, files = 0, set()
        if parquet:
            schema = pa.schema([("file", pa.string()), ("line_hash", pa.string()),
                                ("lines", pa.list_(pa.int64())), ("entries", pa.int64())])
            with pq.ParquetWriter(path, schema) as writer:
                batch: List[Dict[str, Any]] = []
                for row in combined():
                    rows += 1
                    files.add(row["file"])
                    batch.append(row)
                    if len(batch) == 65536:
                        writer.write_table(pa.Table.from_pylist(batch, schema=schema))
                        batch = []
                writer.write_table(pa.Table.from_pylist(batch, schema=schema))
        else:
            with open(path, "w", encoding="utf-8") as out:
                for row in combined():
                    rows += 1
                    files.add(row["file"])
                    out.write(json.dumps(row, ensure_ascii=False, separators=(",", ":")) + "\n")
    return {"file": path, "rows": rows, "files": sorted(files), "mapped": found["mapped"],
            "unmapped": found["unmapped"], "missing_files": found["missing_files"]}
