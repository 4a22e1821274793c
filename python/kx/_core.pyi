# Type stubs of `kx._core`, the command line's view of a store.
#
# Every function takes the project directory `kx_dir` (a `str`) and raises
# RuntimeError with a one-line message when the store cannot be read (an
# error that concerns one file names it in the exception's `filename`);
# argument errors raise TypeError, as in `_kx_native`.  A missing store,
# layer or file reads as empty.  The underscored TypedDicts exist only for
# type checkers; the module returns plain dicts.
from typing import Any, Callable, Literal, Optional, Sequence, TypedDict, Union

_Freshness = Literal["missing", "fresh", "stale"]

class _Author(TypedDict):
    id: str
    name: str
    email: str
    revoked: bool

class _Withdrawal(TypedDict):
    """Why the lines of a section may no longer be used."""

    section_hash: str
    path: str
    section_revoked: bool
    revoked_authors: list[_Author]

class _PidFile(TypedDict):
    path: str
    entries: int

class _TokenIndexEntry(TypedDict):
    revoked: bool
    sources: list[str]
    token_count: int
    tokenizer: str

class _PurgeArchive(TypedDict):
    name: str
    path: str
    data_file: Optional[str]
    exact: bool

class _UndoResult(TypedDict):
    outcome: Literal["none", "exact", "by_position", "appended", "changed", "present"]
    restored: int
    archive: Optional[str]

class _DataFile(TypedDict):
    file: str
    records: int

class _TokenTotals(TypedDict):
    entries: int
    active_entries: int
    revoked_entries: int
    active_tokens: int
    revoked_tokens: int
    withdrawn_active_entries: int
    withdrawn_active_tokens: int

class _SectionLines(TypedDict):
    section_hash: str
    lines: int
    withdrawn: bool

class _AuthorLines(TypedDict):
    id: str
    lines: int

class _FileStatus(TypedDict):
    lines: int
    tracked: int
    untracked: int
    withdrawn: int
    sections: list[_SectionLines]
    authors: list[_AuthorLines]

# A record of a line as blame_lines gives it: (data file, sources).
_Tracked = tuple[str, list[str]]
# A line: (line number from 1, counting blank lines; line hash, or None for a
# line that is neither JSON nor UTF-8 text; index of its provenance).
_BlamedLine = tuple[int, Optional[str], int]

class _PurgeResult(TypedDict):
    purged: int
    kept: int
    archived: int

class _TokenTotals(TypedDict):
    total_tokens: int
    document_count: int
    entries: list[_TokenIndexEntry]

class _TokenCounts(TypedDict):
    entries: int
    active_entries: int
    revoked_entries: int
    active_tokens: int  # sums wrap modulo 2**64
    revoked_tokens: int
    withdrawn_active_entries: int
    withdrawn_active_tokens: int

class _Problem(TypedDict):
    problem: Literal[
        "damaged_line", "incomplete_record", "stray_temp", "stale_index", "damaged_index", "index_mismatch"
    ]
    file: str  # as the project directory names it, e.g. ".kx/document-index/ab"
    line: Optional[int]  # physical line number from 1; None for a whole file
    detail: str

class _CheckReport(TypedDict):
    files: int
    lines: int
    problems: list[_Problem]

class _RepairReport(_CheckReport):
    found: list[_Problem]
    moved_lines: int
    rewritten_files: int
    removed_temps: int
    rebuilt_indexes: list[str]

def sections(kx_dir: str) -> list[dict[str, Any]]:
    """Every section once: its first record, `revoked` when any record is."""

def section(kx_dir: str, section_hash: str) -> Optional[dict[str, Any]]: ...
def authors(kx_dir: str) -> list[_Author]:
    """Every author once, `revoked` when any of its records is."""

def author(kx_dir: str, author_id: str) -> Optional[_Author]: ...
def withdrawn_sections(kx_dir: str, section_hashes: Sequence[str]) -> list[_Withdrawal]:
    """The given sections whose lines may not be tracked, in order."""

def withdrawals(kx_dir: str) -> list[_Withdrawal]:
    """Every section of the store whose lines may not be used, in the
    order of `sections`."""

def pid_files(kx_dir: str, tokenizer: str) -> list[_PidFile]:
    """The per-process files of a tokenizer waiting for a merge."""

def token_entries_of(
    kx_dir: str, tokenizer: str, sections: Union[set[str], frozenset[str]]
) -> list[_TokenIndexEntry]:
    """The merged entries listing any of the sections, in merged order."""

def line_index_state(kx_dir: str) -> _Freshness: ...
def token_index_state(kx_dir: str, tokenizer: str) -> _Freshness: ...
def log_entries(kx_dir: str) -> list[tuple[str, str, str]]:
    """(timestamp, operation, detail) of both log generations, oldest first."""

def purge_archives(kx_dir: str, data_file: Optional[str] = None) -> list[_PurgeArchive]:
    """The purge archives, newest first, with the data file of each (from
    its undo record, or else from the log) and whether an exact undo is
    possible; with `data_file`, only the archives of that file."""

def show_by_section_token(kx_dir: str, section_hash: str, tokenizer: str) -> _TokenTotals:
    """The unrevoked token entries of a section under a tokenizer, as
    `_kx_native.show_by_author_token` gives an author's."""

def show_by_license_token(kx_dir: str, license: str, tokenizer: str) -> _TokenTotals:
    """The same for the sections of a license (matched byte for byte)."""

def check_store(kx_dir: str) -> _CheckReport:
    """Reads every record file of the store and reports damaged lines,
    records that lack their fields, stray temporary files, stale or damaged
    indexes and token binary indexes that disagree with their merged files."""

def repair_store(kx_dir: str) -> _RepairReport:
    """Moves damaged lines into .kx/damaged/, removes stray temporary
    files and rebuilds stale indexes; `found` is what the check found before,
    `problems` what a check finds after."""

class _ExcessRecords(TypedDict):
    lines: int
    records: int

def excess_records(kx_dir: str, data_file: str) -> _ExcessRecords:
    """The lines of `data_file` that have more records for the file, with
    one list of sources, than the file holds them, and the records beyond
    the file's occurrences."""

def remove_excess_records(kx_dir: str, data_file: str) -> _ExcessRecords:
    """Removes the excess records of `data_file` (the later ones in shard
    order) holding the file's lock, each shard replaced atomically; keeps
    the removed lines in .kx/damaged/ and logs "repair".  Returns what it
    removed."""

def revoked_documents(kx_dir: str) -> list[str]:
    """The line hashes of the revoked-documents file: lines withdrawn in
    every data file.  Empty without the file."""

def withdrawn_lines(kx_dir: str, data_file: str) -> list[str]:
    """The line hashes `purge_withdrawn` removes from `data_file` (repeats
    possible): lines withdrawn in the file by its own records, or by any
    file's for lines it has no record of, and revoked documents."""

def data_files(kx_dir: str) -> list[_DataFile]:
    """The data files the document records name, each with the number of
    records naming it, sorted by name."""

def files_with_records(kx_dir: str, files: Sequence[str]) -> list[str]:
    """Those of `files` (names as recorded) that some document record of
    the store names, sorted: one pass over the document records."""

def merge_stores(source: str, target: str) -> dict[str, int]:
    """Absorbs the source store into the target as merge_absorb does,
    matching token entries that name their line by (line, file, count,
    tokenizer, sources), and carries the source's withdrawals: revoked
    authors, sections, documents and token entries.  Counts of what was
    added, skipped, matched without identity and revoked."""
    ...

def missing_token_entries(kx_dir: str) -> list[dict[str, Any]]:
    """{tokenizer, file, records, entries} of each data file with fewer
    token entries naming it under a tokenizer than records (judged once the
    file has at least one such entry there)."""
    ...

def forget_map_runs(kx_dir: str, tokenizer: str, bitmask: bytes, run_dir: str) -> dict[str, Any]:
    """Writes the rows of a forget set's map into sorted run files in
    run_dir: {runs, mapped, unmapped, missing_files}."""
    ...

def token_totals(kx_dir: str, tokenizer: str) -> _TokenCounts:
    """A tokenizer's merged entries and their tokens, active and revoked,
    and the active ones that list a withdrawn section."""

def blame_lines(
    kx_dir: str,
    data_file: str,
    sink: Callable[[list[tuple[_Tracked, ...]], list[_BlamedLine]], object],
    progress: Optional[Callable[[int], object]] = None,
) -> int:
    """Blames every line of `data_file` as `_kx_native.blame` blames one
    line's text, in one pass, and returns the number of lines.  The lines
    come to sink(provenances, lines) in batches, in file order; a line's
    records are provenances[index] (empty when it is not tracked), in the
    order blame returns them.  Runs with the interpreter lock released;
    `progress` is called with the bytes read so far.  An exception the sink
    or `progress` raises ends the pass and is raised."""

def file_status(
    kx_dir: str, data_file: str, progress: Optional[Callable[[int], object]] = None
) -> _FileStatus:
    """The lines of `data_file` counted in one bulk-blame pass: all, tracked,
    untracked and drawn from a withdrawn section; per section the lines drawn
    from it, per author the lines drawn from the author's sections."""

def is_valid_tokenizer_name(name: str) -> bool: ...
def purge_revoked(
    kx_dir: str,
    data_file: str,
    dry_run: bool,
    progress: Optional[Callable[[int], object]] = None,
) -> _PurgeResult:
    """`_kx_native.purge_revoked` with the interpreter lock released;
    `progress` is called with the bytes read so far."""

def purge_by_author(
    kx_dir: str,
    author_name: str,
    data_file: str,
    dry_run: bool,
    progress: Optional[Callable[[int], object]] = None,
    level: Optional[int] = None,
    log_to: Optional[str] = None,
) -> dict[str, int]:
    """`_kx_native.purge_by_author_indexd` with the interpreter lock
    released, keeping every byte of `data_file` but the removed lines and
    leaving an undo record for `undo_purge`; `progress` is called with the
    bytes read so far.  A dry run counts the lines of `data_file` a purge
    would remove and keep, and gives the author's distinct lines in the
    store as `author_lines`.  `log_to` as for `purge_withdrawn`."""

class _TrackedFile(TypedDict):
    lines: int
    recorded: int
    skipped: int
    tokens: int
    # Lines recorded before that got their missing token entry (among the
    # skipped), and lines found counted by entries that name no line.
    completed: int
    without_identity: int
    first_hash: str
    last_hash: str

def track_file(
    kx_dir: str,
    data_file: str,
    recorded_as: str,
    sources: Sequence[str],
    source_field: Optional[str] = None,
    tokenizer: Optional[str] = None,
    counter: Optional[str] = None,
    count_field: Optional[str] = None,
    retrack: bool = False,
    tokens_only: bool = False,
    resolve: Optional[Callable[[str, int], str]] = None,
    progress: Optional[Callable[[int], object]] = None,
    known_in: Optional[str] = None,
    records_file: Optional[str] = None,
    unrecorded_at: Optional[int] = None,
) -> _TrackedFile:
    """Tracks every line of `data_file` as records of `recorded_as`: the
    file is read, checked and hashed whole before anything is written.
    `counter` is none, whitespace, bytes or field (`count_field` names the
    field counted in or read); `resolve(ref, line_number)` gives the
    section hash of each reference of `source_field`.  Lines count as
    already recorded by the records of `known_in` (default: `kx_dir`).
    With `records_file`, the records go to that one file, each batch's
    shard after shard, with a line "<shard> <bytes>" per run appended to
    `records_file + ".runs"`, instead of to the store's shards.

    Without `records_file` the file's lock (`lock_data_file`) is held from
    the check of the store's records to the last write, so that trackers of
    one file running at once record each line once per occurrence.
    `unrecorded_at` is the generation (`data_file_generations`) at which
    the caller found no record of the file: when the lock still shows it,
    the check is skipped."""

def lock_data_file(kx_dir: str, recorded_as: str) -> int:
    """Takes the lock of the data file recorded as `recorded_as` (a record
    lock on a file under .kx/locks that a shared file system passes to its
    server), waiting while another holder, in this process or any other,
    has it; its generation turns odd: a holder is writing.  Returns a
    handle for `unlock_data_file`.  Hold it from the check of what the
    store holds for the file until its records are written; the lock ends
    with the process that holds it, leaving the generation odd."""

def unlock_data_file(handle: int) -> None:
    """Marks the holder's writes complete (the generation turns even) and
    releases a lock that `lock_data_file` took."""

def data_file_generations(kx_dir: str, recorded_as: Sequence[str]) -> list[int]:
    """The generation of each name's lock (0 when never taken), read
    without taking the locks.  Read before finding that no record names a
    file, and passed to `track_file` as `unrecorded_at`, it lets the
    commit skip its check when nobody held the lock since (an odd one, a
    holder at work, never does)."""

def purge_withdrawn(
    kx_dir: str,
    data_file: str,
    dry_run: bool,
    progress: Optional[Callable[[int], object]] = None,
    log_to: Optional[str] = None,
    level: Optional[int] = None,
) -> _PurgeResult:
    """Removes every line whose consent is withdrawn (of a revoked section,
    of the revoked-documents file, of a section of a revoked author) in one
    rewrite that keeps every other byte, with one archive and its undo
    record; a dry run counts what it would remove and keep.  With `log_to`
    the operation-log lines go to that file instead of the store's log."""

def undo_purge(
    kx_dir: str,
    data_file: str,
    by_position: bool = False,
    archive: Optional[str] = None,
    progress: Optional[Callable[[int], object]] = None,
    level: Optional[int] = None,
) -> _UndoResult:
    """Undoes the newest purge of `data_file` (or the archive named): the
    removed lines back at their places, byte for byte, when the file is
    still as the purge left it (or with `by_position` anyway); an archive
    without an undo record is appended as `_kx_native.purge_reverse` does.
    Outcome "changed" changes nothing; "none": no archive of the file."""

# (key, count, withdrawn count): lines and those under withdrawn consent,
# or active and revoked tokens.
_Count = tuple[str, int, int]

class _FileTally(TypedDict):
    file: str
    records: int
    withdrawn: int
    sections: list[_Count]

class _TokenTally(TypedDict):
    tokenizer: str
    active_entries: int
    revoked_entries: int
    active_tokens: int
    revoked_tokens: int
    active_withdrawn_tokens: int
    sections: list[_Count]
    licenses: list[_Count]
    authors: list[_Count]

class _ReportAggregates(TypedDict):
    files: list[_FileTally]
    licenses: list[_Count]
    authors: list[_Count]
    tokenizers: list[_TokenTally]

def report_aggregates(
    kx_dir: str,
    files: Optional[Sequence[str]] = None,
    licenses: Optional[Sequence[str]] = None,
    author_ids: Optional[Sequence[str]] = None,
) -> _ReportAggregates:
    """The document records tallied by data file, section, license and
    author (each record once under every one its sources lead to; withdrawn
    when any of its sections is), in one pass over the layer on the worker
    pool, and each tokenizer's merged entries likewise; memory grows with
    the keys, not the records.  A filter left out takes everything; a record
    or entry passes `licenses` and `author_ids` through any of its sections."""

def set_threads(threads: int) -> int:
    """Holds this module's worker pool to `threads` threads working on each
    parallel step, the calling thread included (at most 1024; 0 returns to
    one per CPU, the default), and returns the number used from now on.
    Zstd rewrites keep to it as well.  It may be called before the pool is
    first used and at any time after: a step already running keeps its
    threads to its end, later ones use the new number.  `_kx_native` has a
    pool of its own, which this leaves alone."""

def build_info() -> dict[str, str]:
    """What this build of the core was made with: "compiler", "build_type",
    and the library behind each codec with its version: "gzip_reader"
    ("ISA-L 2.30.0" or "zlib 1.2.13"), "gzip_writer" ("libdeflate 1.14" or
    zlib) and "zstd" ("libzstd 1.5.4")."""
