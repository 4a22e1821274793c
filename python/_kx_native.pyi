# Type stubs of the native provenance core `_kx_native`.
#
# Every function takes the project directory `kx_dir` (a `str`; path objects
# and bytes are refused) and raises RuntimeError with a one-line message when
# the operation fails (when the failure concerns one file, the exception's
# `filename` names it); argument errors raise TypeError (OverflowError for
# counts out of range).  Text lists accept any sequence of `str` except a
# `str` itself; text sets must be a `set` or `frozenset`; flags must be
# `bool` (an int is refused).  The underscored TypedDicts exist only for type
# checkers; the module returns plain dicts.
from typing import Any, Literal, Optional, Sequence, TypedDict, Union

_TextList = Sequence[str]
_TextSet = Union[set[str], frozenset[str]]
_ByteString = Union[bytes, bytearray, Sequence[int]]
_DiffTag = Literal["equal", "delete", "insert", "replace"]

class _DocumentRecord(TypedDict):
    """One tracked line: its content hash, data file and source sections."""

    file: str
    line_hash: str
    sources: list[str]

class _TokenIndexEntry(TypedDict):
    """Token count of one tracked item under one tokenizer."""

    revoked: bool
    sources: list[str]
    token_count: int
    tokenizer: str

class _TokenStatus(TypedDict):
    total_entries: int
    active_entries: int
    revoked_entries: int
    total_tokens: int

class _AuthorTokens(TypedDict):
    total_tokens: int
    document_count: int
    entries: list[_TokenIndexEntry]

class _PurgeResult(TypedDict):
    purged: int
    kept: int
    archived: int

class _CleanResult(TypedDict):
    document_merged: int
    pid_files_deleted: int
    archived_records: int
    log_rotated: int
    token_index_merged: int
    token_index_pid_deleted: int

class _MergeResult(TypedDict):
    authors_added: int
    sections_added: int
    document_added: int
    token_index_added: int
    skipped: int

class _IndexBuildResult(TypedDict):
    authors: int
    sections: int
    total: int
    token_index_entries: int

# Store and primitives
def init(kx_dir: str) -> None: ...
def compute_hash(data: Any) -> str: ...
def jsonl_read(path: str) -> list[Any]: ...
def jsonl_append(path: str, record: Any) -> None: ...
def shard_path_str(kx_dir: str, layer: str, hash_hex: str) -> str: ...
def shard_read(kx_dir: str, layer: str, hash_hex: str) -> list[Any]: ...
def shard_iterate_all(kx_dir: str, layer: str) -> list[Any]: ...
def oplog_append(kx_dir: str, operation: str, detail: str) -> None: ...

# Records
def author_add(name: str, email: str, kx_dir: str) -> str: ...
def author_query(kx_dir: str, name: Optional[str], email: Optional[str]) -> list[str]: ...
def register_section(
    path: str, authors: _TextList, contributors: _TextList, license: str, year: str, kx_dir: str
) -> str: ...
def track(
    data: Any,
    file: str,
    sources: _TextList,
    kx_dir: str,
    token_count: Optional[int] = None,
    tokenizer: Optional[str] = None,
) -> str: ...
def index_document(kx_dir: str, line_hash: str, file: str, sources: _TextList) -> None: ...
def lookup_document(kx_dir: str, line_hash: str) -> list[_DocumentRecord]: ...
def read_all_documents(kx_dir: str) -> list[dict[str, Any]]: ...
def blame(kx_dir: str, file: str, line_content: str) -> list[_DocumentRecord]: ...
def blame_diff(
    old_lines: _TextList, new_lines: _TextList
) -> list[tuple[_DiffTag, int, int, int, int]]:
    """Compute line-level diff opcodes for blame attribution.

    Returns (tag, i1, i2, j1, j2) tuples compatible with
    difflib.SequenceMatcher.get_opcodes()."""

# Indexes
def build_index(kx_dir: str) -> _IndexBuildResult: ...
def token_index_write_pid(
    kx_dir: str, tokenizer: str, token_count: int, sources: _TextList
) -> None: ...
def token_index_merge_pid_files(kx_dir: str, tokenizer: str) -> tuple[int, int]: ...
def token_index_list_tokenizers(kx_dir: str) -> list[str]: ...
def token_index_token_status(kx_dir: str, tokenizer: str) -> _TokenStatus: ...
def token_index_build_binary_index(kx_dir: str, tokenizer: str) -> str: ...
def token_index_revoke_by_sources(kx_dir: str, tokenizer: str, target_sources: _TextSet) -> int: ...
def generate_forget_set(kx_dir: str, tokenizer: str) -> bytes: ...
def write_forget_set(path: str, bitmask: _ByteString) -> None: ...

# Consent withdrawal
def revoke_section(kx_dir: str, section_hash: str, reverse: bool = False) -> int: ...
def revoke_by_author(kx_dir: str, author_name: str, reverse: bool = False) -> int: ...
def revoke_by_author_token(
    kx_dir: str, author_name: str, tokenizer: str, reverse: bool = False
) -> int: ...
def purge_revoked(kx_dir: str, data_file: str, dry_run: bool) -> _PurgeResult: ...
def purge_by_author_indexd(
    kx_dir: str, author_name: str, data_file: str, dry_run: bool
) -> _PurgeResult: ...
def purge_reverse(kx_dir: str, data_file: str) -> int: ...

# Queries
def show_by_author(kx_dir: str, author_name: str) -> list[_DocumentRecord]: ...
def show_by_author_token(kx_dir: str, author_name: str, tokenizer: str) -> _AuthorTokens: ...
def show_by_section(kx_dir: str, section_hash: str) -> list[_DocumentRecord]: ...
def show_by_license(kx_dir: str, license: str) -> list[_DocumentRecord]: ...

# Maintenance
def clean(kx_dir: str, split: bool) -> _CleanResult: ...
def merge_absorb(source: str, target: str) -> _MergeResult: ...
