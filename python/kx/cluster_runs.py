"""The folders of cluster runs under `.kx/cluster/`, and the journal that
undoes an absorption its client did not finish.

Every run (tracking, blame, purge) works in a folder `<kind>-<id>/` held by
its client: the client locks `<kind>-<id>.lock` beside it before the folder
exists and lets go only once the folder is gone.  The kernel drops the lock
when the client dies, on whatever host (a shared file system passes it to
its server), so a folder whose lock anyone else can take belongs to a client
that is provably gone.  The next cluster run, `kx track` and `kx clean`
remove such folders, first rolling back what their journal shows open (and
appending the log lines of a purge run's finished purges); `kx check`
reports them.  A folder without a lock file was left by an older kx: only
`kx clean`, which runs while nothing else writes, removes it.

Journal (`run-<id>/journal`, JSON lines, names relative to the store or the
run folder, never paths):
  {"absorbing": [store, ...], "files": {recorded as: lock generation},
   "targets": [[target, inode, size, length], ...],
   "sources": {target: [[store, runs], ...]}, "moved": [name, ...]}
      before an absorption: the task stores (folder names in the run
      folder), the generation of each data file's lock (held by the client
      from its check to its absorption), each target shard
      ("document-index/<hh>") with its inode and size before (-1: none) and
      the bytes to append, the runs of each store's records file that go
      there, and the token files moved into the store;
  {"appended": target, "inode": i, "size": s}  after each target's append;
  {"absorbed": [store, ...]}  after the whole absorption.

An open absorption is undone only where every byte it would cut is provably
its own: each appended target still has the inode and size written after
its append (and that size is the one before plus exactly what was
appended), the target cut part-way holds a prefix of what was being
appended, the targets not yet reached have not grown, and no tracker took
the lock of one of its data files since (a tracker that found its lines
recorded wrote nothing, yet counted on them).  Anything else ends the
claim: another process appended, or counted on what was absorbed, so
nothing is cut and nothing removed, and a note (`kept-<id>`) makes
`kx check` report that those files' lines may lack token entries or be
recorded twice."""

from __future__ import annotations

import contextlib
import errno
import fcntl
import json
import os
import re
import shutil
import uuid
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from kx.errors import KxError

WORK_DIR = "cluster"  # under the store directory
KINDS = ("run", "blame", "purge")
RECORDS = "records"  # in a task store: its document records

Runs = List[Tuple[int, int]]  # (offset, length) pairs of a file

_STORE = re.compile(r"[0-9a-f]{32}")
_TARGET = re.compile(r"document-index/[0-9a-f]{2}")
_RUN = re.compile(r"(run|blame|purge)-[0-9a-f]{32}")


def work_root(kx_dir: str) -> str:
    return os.path.join(kx_dir, ".kx", WORK_DIR)


def inside_store(kx_dir: str, path: str) -> str:
    """`path`, when the directory holding it lies inside the store of
    `kx_dir` with links resolved; else a KxError.  The name itself is opened
    without following a link (O_NOFOLLOW), so together nothing kx writes
    through `path` lands outside the store."""
    store = os.path.realpath(os.path.join(kx_dir, ".kx"))
    where = os.path.realpath(os.path.dirname(path))
    if where != store and not where.startswith(store + os.sep):
        raise KxError(f"{path} leads out of the store through a symbolic link: refusing to write there")
    return path


def open_in_store(kx_dir: str, path: str, flags: int, mode: int = 0o666) -> int:
    """os.open of a file of the store for writing, never through a link."""
    try:
        return os.open(inside_store(kx_dir, path), flags | os.O_NOFOLLOW | os.O_CLOEXEC, mode)
    except OSError as e:
        if e.errno == errno.ELOOP:
            raise KxError(f"{path} is a symbolic link: refusing to write through it") from None
        raise


# ------------------------------------------------------------- run folders ---


class RunDir:
    """The folder of one run, held by this process until close()."""

    def __init__(self, kx_dir: str, kind: str):
        root = work_root(kx_dir)
        inside_store(kx_dir, os.path.join(root, "x"))
        os.makedirs(root, exist_ok=True)
        self.kx_dir = kx_dir
        while True:
            self.path = os.path.join(root, f"{kind}-{uuid.uuid4().hex}")
            self._lock = open_in_store(kx_dir, self.path + ".lock", os.O_RDWR | os.O_CREAT | os.O_EXCL)
            if self._locked():
                break
            os.close(self._lock)  # a sweeper took the new file for a dead run's: another name
        os.mkdir(self.path)

    def _locked(self) -> bool:
        """Locks the new lock file, unless a sweeper got to it first (it has
        no folder yet) and may have removed it."""
        try:
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return os.stat(self.path + ".lock").st_ino == os.fstat(self._lock).st_ino
        except (BlockingIOError, FileNotFoundError):
            return False

    def close(self) -> None:
        if self._lock < 0:
            return
        shutil.rmtree(self.path, ignore_errors=True)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path + ".lock")
        os.close(self._lock)  # only now: while the folder exists, the lock says its client lives
        self._lock = -1


@contextlib.contextmanager
def run_dir(kx_dir: str, kind: str) -> Iterator[RunDir]:
    run = RunDir(kx_dir, kind)
    try:
        yield run
    finally:
        run.close()


@contextlib.contextmanager
def _abandoned(path: str) -> Iterator[bool]:
    """Whether the client of the run folder `path` is provably gone (its lock
    can be taken), holding that lock meanwhile so that no other sweeper
    works on the folder at the same time."""
    try:
        fd = os.open(path + ".lock", os.O_RDWR | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        yield False  # an older kx's folder, or one being created or removed
        return
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            yield False
            return
        yield os.path.isdir(path) or not os.path.exists(path)
    finally:
        os.close(fd)


def _run_folders(kx_dir: str) -> List[str]:
    try:
        names = os.listdir(work_root(kx_dir))
    except (FileNotFoundError, NotADirectoryError):
        return []
    return sorted(name for name in names if _RUN.fullmatch(name.removesuffix(".lock")))


def sweep(kx_dir: str, older_kx_too: bool = False) -> List[str]:
    """Removes the run folders of `kx_dir` whose client is gone, after
    rolling back their open absorptions and appending their finished
    purges' log lines; with `older_kx_too` (only while nothing else writes
    the store), also the folders and the journal an older kx left.
    Returns the folders removed, as the project names them."""
    root = work_root(kx_dir)
    removed = []
    for name in _run_folders(kx_dir):
        path = os.path.join(root, name)
        if name.endswith(".lock"):
            if not os.path.exists(path.removesuffix(".lock")):
                with _abandoned(path.removesuffix(".lock")) as gone, contextlib.suppress(FileNotFoundError):
                    if gone:
                        os.unlink(path)  # its folder went, then its sweeper or client died
            continue
        with _abandoned(path) as gone:
            legacy = older_kx_too and not os.path.exists(path + ".lock")
            if not (gone or legacy):
                continue
            if name.startswith("run-"):
                Journal(kx_dir, path).recover(_generations())
            elif name.startswith("purge-"):
                append_logs(kx_dir, path)
            shutil.rmtree(path, ignore_errors=True)
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path + ".lock")
            removed.append(os.path.join(".kx", WORK_DIR, name))
    legacy_journal = os.path.join(root, "journal")
    if older_kx_too and os.path.isfile(legacy_journal):
        # An older kx's absorption, which nothing can tell apart from a
        # later writer's records: they stay.
        os.unlink(legacy_journal)
        removed.append(os.path.join(".kx", WORK_DIR, "journal"))
    return removed


def _generations() -> Any:
    """The core's reading of data-file lock generations, where it has one."""
    from kx import _core as core

    return getattr(core, "data_file_generations", None)


def findings(kx_dir: str) -> List[Dict[str, Any]]:
    """What `kx check` reports of `.kx/cluster/`: folders of runs whose
    client is gone, those of an older kx, and absorptions kept."""
    root = work_root(kx_dir)
    found = []

    def finding(problem: str, name: str, detail: str) -> None:
        found.append({"problem": problem, "file": os.path.join(".kx", WORK_DIR, name), "line": None,
                      "detail": detail})

    for name in _run_folders(kx_dir):
        path = os.path.join(root, name)
        if name.endswith(".lock"):
            continue
        with _abandoned(path) as gone:
            if gone:
                finding("abandoned_run", name, f"{_size_text(path)} left by a cluster run whose client is gone; "
                        "the next cluster run or kx clean removes it")
            elif not os.path.exists(path + ".lock"):
                finding("abandoned_run", name, f"{_size_text(path)} left by a cluster run of an older kx; "
                        "kx clean removes it")
    if os.path.isfile(os.path.join(root, "journal")):
        finding("abandoned_run", "journal", "an older kx's record of an absorption cut short, whose records "
                "stay; kx clean removes it")
    for name in sorted(os.listdir(root)) if os.path.isdir(root) else []:
        if name.startswith("kept-"):
            with contextlib.suppress(OSError, ValueError), open(os.path.join(root, name)) as f:
                files = json.load(f)["files"]
                finding("kept_absorption", name, "an absorption cut short was kept, since another process "
                        "wrote or counted on its records since: the lines of " + ", ".join(files) +
                        " may lack token entries or be recorded twice (kx check --repair removes this note)")
    return found


def forget_kept(kx_dir: str) -> int:
    """Removes the notes of kept absorptions (once reported)."""
    root = work_root(kx_dir)
    names = [n for n in os.listdir(root) if n.startswith("kept-")] if os.path.isdir(root) else []
    for name in names:
        os.unlink(os.path.join(root, name))
    return len(names)


def _size_text(path: str) -> str:
    size = 0
    for folder, _, files in os.walk(path):
        for name in files:
            with contextlib.suppress(OSError):
                size += os.lstat(os.path.join(folder, name)).st_size
    return f"{size / 1e6:.1f} MB"


def append_logs(kx_dir: str, run: str) -> None:
    """Appends the log lines of every purge attempt in the run folder `run`
    to the store's log, ordered by their time stamps (a line cut short by
    a kill is left out)."""
    lines = []
    for name in os.listdir(run):
        if name.endswith(".log"):
            with open(os.path.join(run, name)) as f:
                lines += [line for line in f.read().splitlines(keepends=True) if line.endswith("\n")]
    lines.sort(key=lambda line: line.split(" ", 1)[0])
    if lines:
        fd = open_in_store(kx_dir, os.path.join(kx_dir, ".kx", "log"), os.O_WRONLY | os.O_APPEND | os.O_CREAT)
        with open(fd, "w") as f:
            f.writelines(lines)


# ---------------------------------------------------------------- journal ---


class Journal:
    """The journal of one tracking run's absorptions (see the module's
    comment for its format and the rules of its rollback)."""

    def __init__(self, kx_dir: str, run: str):
        self.kx_dir = kx_dir
        self.run = run
        self.path = os.path.join(run, "journal")
        self._fd = -1
        self._open: Optional[Dict[str, Any]] = None  # the absorption begun and not marked
        self._appended: Dict[str, Tuple[int, int]] = {}

    def _append(self, entry: Dict[str, Any], sync: bool = False) -> None:
        self._append_line(json.dumps(entry) + "\n")
        if sync:
            os.fsync(self._fd)

    def _append_line(self, line: str) -> None:
        if self._fd < 0:
            self._fd = open_in_store(self.kx_dir, self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT)
        os.write(self._fd, line.encode())

    def begin(self, stores: Sequence[str], files: Dict[str, int], targets: List[Tuple[str, int, int, int]],
              sources: Dict[str, List[Tuple[str, Runs]]], moved: Sequence[str]) -> None:
        """Records an absorption about to start (names as the module's
        comment gives them)."""
        entry = {"absorbing": list(stores), "files": files, "targets": [list(t) for t in targets],
                 "sources": sources, "moved": list(moved)}
        self._append(entry, sync=True)
        self._open = json.loads(json.dumps(entry))
        self._appended = {}

    def appended(self, target: str, inode: int, size: int) -> None:
        """Records that the append to `target` is done: the file's inode and
        size after it.  Not flushed to disk: it stands against a kill, and
        after a power cut an absorption without it is kept, not undone."""
        self._append_line(f'{{"appended": "{target}", "inode": {inode}, "size": {size}}}\n')
        self._appended[target] = (inode, size)

    def done(self, stores: Sequence[str]) -> None:
        self._append({"absorbed": list(stores)}, sync=True)
        self._open = None

    def roll_back_open(self, generations: Any = None) -> bool:
        """Undoes the absorption begun in this process and not marked (it
        failed: a full disk, an interrupt), by the same rules as after a
        kill.  True when it was undone, False when it was kept."""
        if self._open is None:
            return True
        entry, self._open = self._open, None
        undone = self._undo(entry, self._appended, generations)
        self._append({"absorbed": entry["absorbing"], "undone": undone}, sync=True)
        return undone

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    def recover(self, generations: Any = None) -> Tuple[int, int]:
        """Undoes or keeps every absorption of a run whose client is gone;
        returns how many it undid and how many it kept."""
        try:
            with open(self.path, "rb") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return 0, 0
        open_entries: List[Dict[str, Any]] = []
        appended: Dict[str, Tuple[int, int]] = {}
        for line in lines:
            try:
                entry = json.loads(line)
            except ValueError:
                continue  # a line torn by a kill: its absorption never started
            if "absorbing" in entry:
                self._check(entry)
                open_entries.append(entry)
                appended = {}
            elif "appended" in entry:
                appended[entry["appended"]] = (entry["inode"], entry["size"])
            elif "absorbed" in entry and open_entries and open_entries[-1]["absorbing"] == entry["absorbed"]:
                open_entries.pop()
        undone = kept = 0
        for entry in open_entries:  # at most one: a run absorbs one batch at a time
            if self._undo(entry, appended, generations):
                undone += 1
            else:
                kept += 1
        return undone, kept

    def _check(self, entry: Dict[str, Any]) -> None:
        """Refuses a journal that names anything but the run's task stores,
        shards of the store and token files named after those stores: a
        store is input, and a hostile journal must not make kx cut or remove
        a file elsewhere."""
        try:
            stores = entry["absorbing"]
            names = [*stores, *(t[0] for t in entry["targets"]), *entry["sources"], *entry["moved"]]
            names += [store for parts in entry["sources"].values() for store, _ in parts]
            ok = all(isinstance(n, str) for n in names) and all(_STORE.fullmatch(s) for s in stores)
            ok = ok and all(_TARGET.fullmatch(t[0]) for t in entry["targets"])
            ok = ok and all(_TARGET.fullmatch(t) and all(s in stores for s, _ in p) for t, p in entry["sources"].items())
            ok = ok and all(_moved_name_ok(name, stores) for name in entry["moved"])
        except (KeyError, TypeError, IndexError, AttributeError, ValueError):
            ok = False
        if not ok:
            raise KxError(f"{self.path} names files outside its run and the store's shards and token files: "
                          "refusing to roll back from it (remove it by hand once you have looked at it)")

    def _undo(self, entry: Dict[str, Any], appended: Dict[str, Tuple[int, int]], generations: Any) -> bool:
        """Undoes the absorption `entry` when every byte it would cut is
        provably its own; else keeps it and leaves a note for `kx check`."""
        files = entry.get("files", {})
        now = generations(self.kx_dir, list(files)) if generations and files else None
        ours = now is None or list(now) == list(files.values())
        cuts: List[Tuple[str, int]] = []
        reached = True  # no target after the one cut part-way has been started
        for target, inode, size, length in entry["targets"]:
            path = os.path.join(self.kx_dir, ".kx", target)
            start = max(size, 0)
            state = _state(path)
            if target in appended:
                after = appended[target]
                ours = ours and after[1] == start + length and state == after and (size < 0 or after[0] == inode)
            elif reached:
                reached = False
                if state is None:
                    ours = ours and size < 0
                elif state[1] > start:
                    ours = ours and (size < 0 or state[0] == inode) and state[1] - start <= length
                    ours = ours and self._holds_start(path, start, state[1] - start, entry["sources"][target])
                else:
                    ours = ours and state == (inode, start) if size >= 0 else ours
            else:
                ours = ours and (state is None if size < 0 else state == (inode, start))
            if state is not None and state[1] > start:
                cuts.append((path, start))
            if not ours:
                break
        if not ours:
            self._note_kept(list(files))
            return False
        for path, start in cuts:
            fd = open_in_store(self.kx_dir, path, os.O_WRONLY)
            try:
                os.ftruncate(fd, start)
            finally:
                os.close(fd)
        for name in entry["moved"]:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(inside_store(self.kx_dir, os.path.join(self.kx_dir, ".kx", name)))
        return True

    def _holds_start(self, path: str, offset: int, length: int, parts: List[Tuple[str, Runs]]) -> bool:
        """Whether the `length` bytes of `path` from `offset` are the first
        `length` bytes of the runs `parts` of the task stores' records laid
        end to end."""
        try:
            with open(path, "rb") as t:
                t.seek(offset)
                for store, runs in parts:
                    with open(os.path.join(self.run, store, RECORDS), "rb") as s:
                        for start, size in runs:
                            s.seek(start)
                            while size > 0 and length > 0:
                                want = min(size, length, 1 << 22)
                                chunk = t.read(want)
                                if len(chunk) != want or s.read(want) != chunk:
                                    return False
                                size -= want
                                length -= want
                    if length == 0:
                        break
        except OSError:
            return False  # a task store is gone: nothing tells whose bytes those are
        return length == 0

    def _note_kept(self, files: List[str]) -> None:
        note = os.path.join(work_root(self.kx_dir), f"kept-{os.path.basename(self.run)}")
        fd = open_in_store(self.kx_dir, note, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        with open(fd, "w") as f:
            json.dump({"files": files}, f)


def _moved_name_ok(name: str, stores: Sequence[str]) -> bool:
    """A token file moved in by an absorption: `token-index.<tokenizer>.<store>`
    directly in the store directory, named after one of its stores."""
    if "/" in name or "\0" in name or not name.startswith("token-index."):
        return False
    return any(name.endswith("." + store) and len(name) > len("token-index.") + len(store) + 1 for store in stores)


def _state(path: str) -> Optional[Tuple[int, int]]:
    """(inode, size) of the regular file at `path`, not following a link;
    None when there is none."""
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return None
    if not os.path.isfile(path) or os.path.islink(path):
        return (-1, -1)  # not a file an absorption appended to
    return info.st_ino, info.st_size
