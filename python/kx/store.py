"""One project's store as the commands see it.

`Store` binds the native modules to a project directory and adds the
look-ups several commands share: authors by name, sections by hash, hash
prefix or path, the freshness of the line index, the token-index entries of
given sections, the operation log and the purge archives.  It reads no store
file itself: what the store holds, and the rules by which its files are read,
come from the core (`kx._core` and `_kx_native`), and every change goes
through `_kx_native`."""

from __future__ import annotations

import datetime
import json
import os
import re
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Set, Tuple

import _kx_native as native

from kx import _core as core
from kx.errors import KxError

_HASH = re.compile(r"[0-9a-f]{64}")
_HEX_PREFIX = re.compile(r"[0-9a-f]{4,63}")


def is_hash(text: str) -> bool:
    """A content hash as the store writes it: 64 lowercase hex digits."""
    return _HASH.fullmatch(text) is not None


def author_id(name: str, email: str) -> str:
    return native.compute_hash({"name": name, "email": email})


def section_hash(path: str, authors: List[str], contributors: List[str], license: str, year: str) -> str:
    return native.compute_hash(
        {"path": path, "authors": authors, "contributors": contributors, "license": license, "year": year}
    )


@dataclass
class LogEntry:
    timestamp: str  # as written: <days since the epoch>-HH:MM:SS
    operation: str
    detail: str

    @property
    def time(self) -> str:
        """The timestamp as an ISO 8601 UTC time."""
        days, rest = self.timestamp.split("-", 1)
        hours, minutes, seconds = (int(part) for part in rest.split(":"))
        moment = datetime.datetime(1970, 1, 1) + datetime.timedelta(
            days=int(days), hours=hours, minutes=minutes, seconds=seconds
        )
        return moment.isoformat() + "Z"


def find_project(start: str) -> Optional[str]:
    """The nearest directory at or above `start` that holds a store (.kx),
    or None."""
    current = os.path.abspath(start)
    while True:
        if os.path.isdir(os.path.join(current, ".kx")):
            return current
        parent = os.path.dirname(current)
        if parent == current:
            return None
        current = parent


class Store:
    """The store of the project directory `kx_dir` (the command line runs in
    the project directory, so this is normally ".")."""

    def __init__(self, kx_dir: str = "."):
        self.kx_dir = kx_dir
        self._section_cache: Dict[str, List[Dict[str, Any]]] = {}
        self._section_state_cache: Dict[str, Optional[Dict[str, Any]]] = {}
        self._author_cache: Dict[str, Optional[Dict[str, Any]]] = {}
        self._all_sections: Optional[Dict[str, Dict[str, Any]]] = None

    def path(self, *parts: str) -> str:
        return os.path.join(self.kx_dir, ".kx", *parts)

    # Authors

    def authors_named(self, name: str) -> List[Dict[str, Any]]:
        return [json.loads(text) for text in native.author_query(self.kx_dir, name, None)]

    def all_authors(self) -> List[Dict[str, Any]]:
        """Every author once (the store may hold repeated registrations); an
        author counts as revoked when any of its records is."""
        return core.authors(self.kx_dir)

    def author(self, id_: str) -> Optional[Dict[str, Any]]:
        if id_ not in self._author_cache:
            self._author_cache[id_] = core.author(self.kx_dir, id_)
        return self._author_cache[id_]

    def resolve_author(self, ref: str) -> str:
        """The author id that `ref` names: a full id, a unique id prefix of at
        least four hex digits, or the name of exactly one author."""
        if is_hash(ref):
            if self.author(ref) is None:
                raise KxError(f"unknown author id {ref} (add the author with `kx author add`)")
            return ref
        if _HEX_PREFIX.fullmatch(ref):
            ids = sorted({a["id"] for a in self.all_authors() if a["id"].startswith(ref)})
            if len(ids) == 1:
                return ids[0]
            if len(ids) > 1:
                raise KxError(f"author id prefix {ref} is ambiguous ({len(ids)} authors)")
        ids = sorted({a["id"] for a in self.authors_named(ref)})
        if not ids:
            raise KxError(f"unknown author '{ref}' (give an author id or the name of a registered author)")
        if len(ids) > 1:
            raise KxError(f"{len(ids)} authors are named '{ref}'; give the author id instead")
        return ids[0]

    # Sections

    def section_records(self, hash_: str) -> List[Dict[str, Any]]:
        """The stored records of one section (normally one)."""
        if hash_ not in self._section_cache:
            found = []
            if len(hash_) >= 2:
                for record in native.shard_read(self.kx_dir, "sections", hash_):
                    if isinstance(record, dict) and record.get("section_hash") == hash_:
                        found.append(record)
            self._section_cache[hash_] = found
        return self._section_cache[hash_]

    def section(self, hash_: str) -> Optional[Dict[str, Any]]:
        """A section's record; `revoked` is true when a record of it carries
        the mark (as the purge reads it)."""
        if hash_ not in self._section_state_cache:
            self._section_state_cache[hash_] = core.section(self.kx_dir, hash_)
        return self._section_state_cache[hash_]

    def all_sections(self) -> Dict[str, Dict[str, Any]]:
        if self._all_sections is None:
            self._all_sections = {s["section_hash"]: s for s in core.sections(self.kx_dir)}
        return self._all_sections

    def resolve_section(self, ref: str, by_path: bool = True) -> str:
        """The section hash that `ref` names: a full hash, a unique prefix of
        at least four hex digits, or (with `by_path`) the path of exactly one
        registered section."""
        if is_hash(ref):
            if not self.section_records(ref):
                raise KxError(f"unknown section {ref} (register it with `kx section add`)")
            return ref
        if _HEX_PREFIX.fullmatch(ref):
            hashes = sorted(h for h in self.all_sections() if h.startswith(ref))
            if len(hashes) == 1:
                return hashes[0]
            if len(hashes) > 1:
                raise KxError(f"section hash prefix {ref} is ambiguous ({len(hashes)} sections)")
        if by_path:
            hashes = sorted(h for h, s in self.all_sections().items() if s.get("path") == ref)
            if len(hashes) == 1:
                return hashes[0]
            if len(hashes) > 1:
                raise KxError(f"{len(hashes)} sections have the path '{ref}'; give the section hash instead")
        raise KxError(f"unknown section '{ref}' (give a section hash or the path of a registered section)")

    def sections_of_authors(self, ids: Set[str]) -> Set[str]:
        """Hashes of the sections that list one of `ids` among their authors."""
        return {
            h
            for h, s in self.all_sections().items()
            if isinstance(s.get("authors"), list) and any(a in ids for a in s["authors"])
        }

    def withdrawn(self, hashes: List[str]) -> List[Dict[str, Any]]:
        """Which of the sections `hashes` may no longer be used: each with
        `section_revoked` and the `revoked_authors` that withdrew it."""
        return core.withdrawn_sections(self.kx_dir, hashes)

    # Line index

    def line_index_state(self) -> str:
        """"missing", "fresh", or "stale" when lines were tracked (a
        document-index shard changed) after the index was built."""
        return core.line_index_state(self.kx_dir)

    # Token index

    def tokenizers(self) -> List[str]:
        return list(native.token_index_list_tokenizers(self.kx_dir))

    def token_index_state(self, tokenizer: str) -> str:
        """"missing", "fresh", or "stale" when the merged files changed after
        the binary token index was built (its readers then scan the merged
        files instead)."""
        return core.token_index_state(self.kx_dir, tokenizer)

    def pending_token_entries(self, tokenizer: str) -> int:
        """Entries still in per-process files, not yet merged (and so not seen
        by status, queries, revocations or forget sets)."""
        return sum(f["entries"] for f in core.pid_files(self.kx_dir, tokenizer))

    def merge_pending(self, tokenizer: str) -> int:
        """Moves the entries still in per-process files into merged files, so
        that revocations and forget sets reach them; returns how many."""
        if not core.pid_files(self.kx_dir, tokenizer):
            return 0
        return native.token_index_merge_pid_files(self.kx_dir, tokenizer)[0]

    def token_entries_of(self, tokenizer: str, sections: Set[str]) -> List[Tuple[List[str], bool]]:
        """(sources, revoked) of each entry of `tokenizer` that lists one of
        `sections`."""
        return [(e["sources"], e["revoked"]) for e in core.token_entries_of(self.kx_dir, tokenizer, set(sections))]

    # Operation log

    def log_entries(self) -> List[LogEntry]:
        """Both generations of the log, oldest first."""
        return [LogEntry(*entry) for entry in core.log_entries(self.kx_dir)]

    # Purge archives

    def purge_archives(self) -> List[Dict[str, Any]]:
        """Every purge archive (`name`, `path`, and the `data_file` its lines
        came from when the log tells it), newest first: the first is the one
        an undo restores."""
        return core.purge_archives(self.kx_dir)

    def newest_purge_archive(self) -> Optional[Dict[str, Any]]:
        archives = self.purge_archives()
        return archives[0] if archives else None
