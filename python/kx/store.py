"""One project's store as the commands see it.

`Store` binds the native module to a project directory and adds the look-ups
several commands share: authors by name, sections by hash, hash prefix or
path, the freshness of the line index, the token-index entries of given
sections, the operation log and the purge archives.  It reads the store's
files (whose formats the native module defines) but never writes them; every
change goes through the native module."""

from __future__ import annotations

import datetime
import json
import os
import re
from dataclasses import dataclass
from typing import Any, Dict, Iterable, Iterator, List, Optional, Set, Tuple

import _kx_native as native

from kx.errors import KxError

_HASH = re.compile(r"[0-9a-f]{64}")
_HEX_PREFIX = re.compile(r"[0-9a-f]{4,63}")
_MERGED_NUMBER = re.compile(r"\+?[0-9]+")
_LOG_LINE = re.compile(r"(\d+)-(\d\d):(\d\d):(\d\d) (\S*) ?(.*)")


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


def unquote(text: str) -> Optional[str]:
    """The path inside a quoted path of the log (`"..."` with backslash
    escapes), or None when `text` does not start with one."""
    if not text.startswith('"'):
        return None
    out: List[str] = []
    escapes = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}
    i = 1
    while i < len(text):
        c = text[i]
        if c == '"':
            return "".join(out)
        if c == "\\" and i + 1 < len(text):
            i += 1
            out.append(escapes.get(text[i], "\\" + text[i]))
        else:
            out.append(c)
        i += 1
    return None


class Store:
    """The store of the project directory `kx_dir` (the command line runs in
    the project directory, so this is normally ".")."""

    def __init__(self, kx_dir: str = "."):
        self.kx_dir = kx_dir
        self._section_cache: Dict[str, List[Dict[str, Any]]] = {}
        self._author_cache: Dict[str, Optional[Dict[str, Any]]] = {}
        self._all_sections: Optional[Dict[str, Dict[str, Any]]] = None

    def path(self, *parts: str) -> str:
        return os.path.join(self.kx_dir, ".kx", *parts)

    def exists(self) -> bool:
        return os.path.isdir(self.path())

    def require(self) -> None:
        if not self.exists():
            where = os.path.abspath(self.kx_dir)
            raise KxError(f"not a kx project: {where} has no .kx directory (run `kx init` first)")

    # Authors

    def authors_named(self, name: str) -> List[Dict[str, Any]]:
        return [json.loads(text) for text in native.author_query(self.kx_dir, name, None)]

    def all_authors(self) -> List[Dict[str, Any]]:
        """Every author once (the store may hold repeated registrations); an
        author counts as revoked when any of its records is."""
        merged: Dict[str, Dict[str, Any]] = {}
        for text in native.author_query(self.kx_dir, None, None):
            record = json.loads(text)
            known = merged.setdefault(record["id"], dict(record))
            known["revoked"] = bool(known["revoked"] or record["revoked"])
        return list(merged.values())

    def author(self, id_: str) -> Optional[Dict[str, Any]]:
        if id_ not in self._author_cache:
            found = None
            if len(id_) >= 2:
                for record in native.shard_read(self.kx_dir, "authors", id_):
                    if isinstance(record, dict) and record.get("id") == id_:
                        if found is None:
                            found = dict(record)
                        found["revoked"] = bool(found.get("revoked") is True or record.get("revoked") is True)
            self._author_cache[id_] = found
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
        records = self.section_records(hash_)
        if not records:
            return None
        section = dict(records[0])
        section["revoked"] = any(r.get("revoked") is True for r in records)
        return section

    def all_sections(self) -> Dict[str, Dict[str, Any]]:
        if self._all_sections is None:
            sections: Dict[str, Dict[str, Any]] = {}
            for record in native.shard_iterate_all(self.kx_dir, "sections"):
                if not isinstance(record, dict) or not isinstance(record.get("section_hash"), str):
                    continue
                known = sections.setdefault(record["section_hash"], dict(record, revoked=False))
                known["revoked"] = known["revoked"] or record.get("revoked") is True
            self._all_sections = sections
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

    # Line index

    def line_index_state(self) -> str:
        """"missing", "fresh", or "stale" when lines were tracked (a
        document-index shard changed) after the index was built."""
        try:
            built = os.stat(self.path("index.bin")).st_mtime_ns
        except OSError:
            return "missing"
        try:
            entries = list(os.scandir(self.path("document-index")))
        except OSError:
            return "fresh"
        for entry in entries:
            try:
                if entry.is_file() and entry.stat().st_mtime_ns > built:
                    return "stale"
            except OSError:
                continue
        return "fresh"

    # Token index

    def tokenizers(self) -> List[str]:
        return list(native.token_index_list_tokenizers(self.kx_dir))

    def merged_files(self, tokenizer: str) -> List[str]:
        """The merged token-index files of `tokenizer`, in merged order."""
        directory = self.path(f"token-index.{tokenizer}")
        try:
            names = os.listdir(directory)
        except OSError:
            return []
        numbered = [(int(n), n) for n in names if _MERGED_NUMBER.fullmatch(n)]
        numbered.sort(key=lambda item: item[0])
        return [os.path.join(directory, name) for _, name in numbered]

    def pending_token_entries(self, tokenizer: str) -> int:
        """Entries still in per-process files, not yet merged (and so not seen
        by status, queries, revocations or forget sets)."""
        prefix = f"token-index.{tokenizer}."
        count = 0
        try:
            entries = list(os.scandir(self.path()))
        except OSError:
            return 0
        for entry in entries:
            rest = entry.name[len(prefix):]
            if not entry.name.startswith(prefix) or not rest or rest == "bin" or "." in rest:
                continue
            try:
                if entry.is_file():
                    with open(entry.path, "rb") as f:
                        count += sum(1 for line in f if line.strip())
            except OSError:
                continue
        return count

    def token_entries(self, tokenizer: str, needles: Iterable[str] = ()) -> Iterator[Dict[str, Any]]:
        """The valid entries of the merged files in merged order; with
        `needles`, only lines holding one of them are parsed."""
        patterns = [n.encode() for n in needles]
        for path in self.merged_files(tokenizer):
            try:
                f = open(path, "rb")
            except OSError:
                continue
            with f:
                for line in f:
                    if patterns and not any(p in line for p in patterns):
                        continue
                    entry = _token_entry(line)
                    if entry is not None:
                        yield entry

    def token_entries_of(self, tokenizer: str, sections: Set[str]) -> List[Tuple[List[str], bool]]:
        """(sources, revoked) of each entry of `tokenizer` that lists one of
        `sections`."""
        if not sections:
            return []
        return [
            (entry["sources"], entry["revoked"])
            for entry in self.token_entries(tokenizer, sections)
            if any(s in sections for s in entry["sources"])
        ]

    # Operation log

    def log_entries(self) -> List[LogEntry]:
        """Both generations of the log, oldest first.  A physical line that
        does not start with a timestamp continues the previous detail."""
        entries: List[LogEntry] = []
        for name in ("log.1", "log"):
            try:
                with open(self.path(name), encoding="utf-8", errors="replace") as f:
                    lines = f.read().split("\n")
            except FileNotFoundError:
                continue
            if lines and lines[-1] == "":
                lines.pop()
            for line in lines:
                match = _LOG_LINE.fullmatch(line)
                if match:
                    d, h, m, s, operation, detail = match.groups()
                    entries.append(LogEntry(f"{d}-{h}:{m}:{s}", operation, detail))
                elif entries:
                    entries[-1].detail += "\n" + line
        return entries

    # Purge archives

    def newest_purge_archive(self) -> Optional[str]:
        """The name of the archive an undo restores: the greatest `purge.`
        name (archive names sort in the order of the purges)."""
        try:
            names = [n for n in os.listdir(self.path("archive")) if n.startswith("purge.")]
        except OSError:
            return None
        return max(names, key=lambda n: n.encode("utf-8", "surrogateescape")) if names else None

    def purged_file_of(self, archive: str) -> Optional[str]:
        """The data file whose lines `archive` holds, as the log recorded it
        (the purge logs the archive, then the data file), or None."""
        entries = self.log_entries()
        for i in range(len(entries) - 1, -1, -1):
            entry = entries[i]
            if entry.operation != "purge_archive" or " lines to " not in entry.detail:
                continue
            path = unquote(entry.detail.split(" lines to ", 1)[1])
            if path is None or os.path.basename(path) != archive:
                continue
            for later in entries[i + 1:]:
                if later.operation == "purge" and " lines from " in later.detail:
                    return unquote(later.detail.split(" lines from ", 1)[1])
            return None
        return None


def _token_entry(line: bytes) -> Optional[Dict[str, Any]]:
    """A merged line as an entry, by the rules of the token index: an object
    with the four fields, or an array of exactly the four values."""
    try:
        value = json.loads(line)
    except ValueError:
        return None
    if isinstance(value, list) and len(value) == 4:
        value = dict(zip(("token_count", "sources", "tokenizer", "revoked"), value))
    if not isinstance(value, dict):
        return None
    count, sources, tokenizer, revoked = (value.get(k) for k in ("token_count", "sources", "tokenizer", "revoked"))
    if (
        not isinstance(count, int)
        or isinstance(count, bool)
        or count < 0
        or not isinstance(sources, list)
        or not all(isinstance(s, str) for s in sources)
        or not isinstance(tokenizer, str)
        or not isinstance(revoked, bool)
    ):
        return None
    return value
