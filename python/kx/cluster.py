"""Tracking and purging many data files on Dask workers (the optional extra `kx[dask]`).

Each data file is one task.  A task tracks its file into a store of its own,
a new directory per attempt under `<project>/.kx/cluster/`, on the storage
the workers share with the client, and marks that store complete only once
the file is tracked whole.  The task reads the target store but never writes
it: its lines count as already recorded by the target's records (as
`kx track` run on the target would count them), so a task store holds
exactly the records and token entries tracking the file here would add.

Only the client (one process) writes the target.  For each file it takes the
first complete store a task hands back and ignores any other attempt of the
same file (a task Dask ran twice after a retry or a lost worker), so every
token entry arrives exactly once.  Each entry names its line and data file,
and the task counted the target's entries of its file as it counted the
records, so the client matches nothing: it moves the entries in whole, and
they describe the same lines a plain run would.  A task writes its document records into one
file, in runs by shard, rather than into 256 shard files (creating files is
what shared file systems do slowest).  Task stores are absorbed a few at a
time by appending their runs to the target's shards, each shard's in one
append, and by renaming their token entries' pid files into the target,
under each attempt's own name; the target's file sizes and the renamed files
are written to a journal (`.kx/cluster/journal`) before and a mark after,
so a run killed part-way through an absorption is rolled back to whole
absorbed stores when the next cluster run starts.  Absorption is byte
appends with no look-up per record, so stores are absorbed as their tasks
finish, while the other tasks still run.

Paths are made absolute on the client: the workers must see the project and
the data files under the same paths.  A task holds the native worker pool of
its process to its Dask worker's threads, so that workers sharing a host do
not each take all of its CPUs.

A run removes its directory under `.kx/cluster/` when it ends, and the
journal once no absorption is open.  What a failed run can leave there is
described at `track` and `purge`; nothing outside `.kx/cluster/` reads it."""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import mmap
import os
import shutil
import uuid
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from kx.errors import KxError, UsageError

WORK_DIR = "cluster"  # under the store directory
_COMPLETE = "complete"  # in a task store: its counts, written last
_RECORDS = "records"  # in a task store: its document records, with their runs in records.runs

Runs = List[Tuple[int, int]]  # (offset, length) pairs of a file


def work_root(kx_dir: str) -> str:
    return os.path.join(kx_dir, ".kx", WORK_DIR)


def add_options(parser: argparse.ArgumentParser, verb: str) -> None:
    """--cluster ADDRESS and --workers N of a command that hands its data
    files to Dask workers, one task per file."""
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--cluster",
        metavar="ADDRESS",
        help=f"{verb} the files as tasks of the Dask scheduler at ADDRESS, one task per file (needs kx[dask]; "
        "the workers must see the project and the data files under the same paths)",
    )
    where.add_argument(
        "--workers",
        type=int,
        metavar="N",
        help=f"{verb} the files as tasks of a local Dask cluster of N worker processes (one thread each) "
        "started for the run",
    )


def requested(args: argparse.Namespace) -> bool:
    """Whether the command line sends the work to Dask workers."""
    if args.workers is not None and args.workers < 1:
        raise UsageError("--workers takes a number of workers of at least 1")
    return bool(args.cluster or args.workers)


def _dask():
    try:
        import distributed
    except ImportError:
        raise KxError("the cluster options need Dask: install kx with its extra, pip install 'kx[dask]'") from None
    return distributed


@contextlib.contextmanager
def connect(address: Optional[str] = None, workers: Optional[int] = None) -> Iterator[Any]:
    """A Dask client of the scheduler at `address`, or of a local cluster of
    `workers` processes with one thread each, started for the run."""
    distributed = _dask()
    if address:
        try:
            client = distributed.Client(address, timeout="20s")
        except OSError as e:
            raise KxError(f"cannot reach the Dask scheduler at {address}: {e}") from None
        with client:
            yield client
        return
    with local_cluster(workers or 1) as cluster, distributed.Client(cluster) as client:
        yield client


@contextlib.contextmanager
def local_cluster(workers: int) -> Iterator[Any]:
    """A local Dask cluster of `workers` processes with one thread each.

    Its workers start without the 64 KB malloc trim threshold Dask gives
    them by default: with it, every large buffer the core frees goes back
    to the system and faults in again for the next file, which about
    doubles the CPU time of tracking.  Its processes wake up less often
    than Dask's defaults have them: the cluster has no dashboard to show
    stack samples (taken every 10 ms) or the host's counters (read twice a
    second), nothing logs the event loop's delays (measured every 20 ms),
    and the tasks' memory is bounded, so the nannies check the workers'
    once a second instead of ten times.  Idle, two workers and their
    nannies took 10% of a core before; on a small host that was taken from
    the tasks.  The workers' own reports of a failed task are silenced: the
    command reports it, naming its file, in one line."""
    import dask

    distributed = _dask()
    key = "distributed.nanny.pre-spawn-environ"
    environ = {name: value for name, value in dask.config.get(key, {}).items() if name != "MALLOC_TRIM_THRESHOLD_"}
    # Set for the cluster's whole life: a worker restarted after a loss is
    # spawned with it too.
    settings = {
        key: environ,
        "distributed.worker.profile.enabled": False,
        "distributed.admin.system-monitor.interval": "10s",
        "distributed.admin.tick.interval": "1s",
        "distributed.worker.memory.monitor-interval": "1s",
    }
    with dask.config.set(settings), distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
        scheduler_kwargs={"dashboard_address": ":0"},  # its HTTP port: any free one, without a warning
        silence_logs=logging.CRITICAL,
    ) as cluster:
        yield cluster


# ------------------------------------------------------------ worker side ---


def _hold_threads_to_worker() -> None:
    """Holds the native pool of this process to the threads of the Dask
    worker running the task: each worker's share of the host's CPUs."""
    from kx import _core as core

    try:
        worker = _dask().get_worker()
    except ValueError:
        return  # run outside a worker (called directly): the pool keeps its size
    core.set_threads(worker.state.nthreads)


def _task_failure(data_file: str, error: RuntimeError) -> KxError:
    """The error of a task that failed on `data_file`, naming it."""
    message = str(error)
    return KxError(message if data_file in message else f"{data_file}: {message}")


def track_task(
    kx_dir: str, data_file: str, recorded_as: str, args: argparse.Namespace, run_dir: str, check_recorded: bool = True
) -> Tuple[str, Dict[str, Any]]:
    """Runs on a worker: tracks one data file into a new store under
    `run_dir`, counting the target `kx_dir`'s records as already recorded
    (unless `check_recorded` is false: the client found none of the file).
    Returns the task store's directory and the counts."""
    from kx import _core as core
    from kx.commands.track import Plan
    from kx.store import Store

    _hold_threads_to_worker()
    store = os.path.join(run_dir, uuid.uuid4().hex)
    os.mkdir(store)  # fails once the client has removed the run's directory: the run is over
    # Only what tracking into it writes: the records file and a token pid
    # file under .kx (no store layout: files are slow to create on shared
    # storage, and nothing reads a task store but the client).
    os.mkdir(os.path.join(store, ".kx"))
    plan = Plan(Store(kx_dir), args)
    try:
        counts = core.track_file(
            store, data_file, recorded_as, plan.fixed_sources, plan.source_field, plan.tokenizer,
            plan.counter, plan.counted_field, retrack=args.retrack or not check_recorded, tokens_only=plan.tokens_only,
            resolve=plan.resolver(data_file), known_in=kx_dir, records_file=os.path.join(store, _RECORDS),
        )
    except RuntimeError as e:
        raise _task_failure(data_file, e) from None
    with open(os.path.join(store, _COMPLETE), "w") as f:
        json.dump(counts, f)
    return store, counts


# ------------------------------------------------------------ client side ---


def _failure(doing: str, path: str, error: Exception) -> str:
    """The message of a task that failed on `path`, naming it as the user
    gave it rather than by the absolute path the task was handed."""
    if isinstance(error, KxError):
        return str(error).replace(os.path.abspath(path), path)
    return f"{doing} {path} failed on the cluster: {error}"


class Journal:
    """The client's record of absorptions into the target: before one, the
    sizes of the target files it appends to and the names of the files it
    moves in; after it, a mark.  An absorption begun and not marked is
    undone by truncating those files to their sizes, unless another writer
    has appended to one of them since, and removing the files moved in."""

    def __init__(self, kx_dir: str):
        self.kx_dir = kx_dir
        self.path = os.path.join(work_root(kx_dir), "journal")
        self.open: Optional[str] = None  # the store being absorbed, until marked

    def _append(self, entry: Dict[str, Any]) -> None:
        with open(self.path, "a") as f:
            f.write(json.dumps(entry) + "\n")
            f.flush()
            os.fsync(f.fileno())

    def begin(
        self,
        stores: Sequence[str],
        sources: Dict[str, List[Tuple[str, Runs]]],
        moves: Sequence[Tuple[str, str]],
        sizes: Dict[str, int],
    ) -> None:
        """Records an absorption of `stores` about to start: what it appends
        to each target file (task store files and their runs, in order), the
        files it moves in, and the sizes of its target files (-1: none)."""
        moved = [target for _, target in moves]
        self._append({"absorbing": list(stores), "sizes": sizes, "sources": sources, "moved": moved})
        self.open = stores[0]

    def done(self, stores: Sequence[str]) -> None:
        self._append({"absorbed": list(stores)})
        self.open = None

    def close(self) -> None:
        """Removes the journal at the end of a run that left no absorption
        open: the next run has nothing to roll back."""
        if self.open is None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.path)

    def recover(self) -> int:
        """Rolls back an absorption the previous run did not finish; returns
        how many it rolled back."""
        if not os.path.exists(self.path):
            return 0
        open_begins: Dict[str, Dict[str, Any]] = {}
        with open(self.path) as f:
            for line in f:
                try:
                    entry = json.loads(line)
                except ValueError:
                    continue  # a line torn by a kill: its absorption never started
                if "absorbing" in entry:
                    open_begins[_first(entry["absorbing"])] = entry
                elif "absorbed" in entry:
                    open_begins.pop(_first(entry["absorbed"]), None)
        for entry in open_begins.values():
            for target, size in entry["sizes"].items():
                _roll_back(target, size, _parts(entry.get("sources", {}).get(target)))
            for target in entry.get("moved", []):
                # A pid file of the attempt's own name: nothing else writes it.
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(target)
        os.unlink(self.path)
        self.open = None
        return len(open_begins)


def _first(stores: Any) -> str:
    """The store naming a journalled absorption: its first (a journal left
    by an older kx names one store, not a list)."""
    return stores if isinstance(stores, str) else stores[0]


def _parts(source: Any) -> Optional[List[Tuple[str, Optional[Runs]]]]:
    """A journal's record of what an absorption appended to one target, as
    (task store file, its runs) pairs in order (runs None: the whole file).
    Journals left by older kx hold one pair, or a bare path."""
    if source is None:
        return None
    if isinstance(source, str):
        return [(source, None)]
    if len(source) == 2 and isinstance(source[0], str):
        return [(source[0], source[1])]
    return [(path, runs) for path, runs in source]


def _roll_back(target: str, size: int, parts: Optional[List[Tuple[str, Optional[Runs]]]]) -> None:
    """Truncates `target` to `size` bytes (-1: removes it) when all it holds
    beyond that is the start of `parts`, what an absorption was appending:
    task store files and their runs.  Bytes another writer appended since
    (a `kx track` run here) stay, and with them the part absorbed before:
    its whole records count as recorded, as any tracked line does, and a
    torn line is one no reader takes."""
    try:
        now = os.path.getsize(target)
    except FileNotFoundError:
        return
    start = max(size, 0)
    if now < start or parts is None:
        return
    if not _holds_start_of(target, start, now - start, parts):
        return
    if size < 0:
        os.unlink(target)
    else:
        os.truncate(target, size)


def _holds_start_of(target: str, offset: int, length: int, parts: List[Tuple[str, Optional[Runs]]]) -> bool:
    """Whether the `length` bytes of `target` from `offset` are the first
    `length` bytes of `parts` laid end to end."""
    try:
        with open(target, "rb") as t:
            t.seek(offset)
            for path, runs in parts:
                with open(path, "rb") as s:
                    for start, size in runs if runs is not None else [(0, length)]:
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
    except FileNotFoundError:
        return False  # a task store is gone: nothing tells whose bytes those are
    return length == 0


_SHARDS = frozenset(f"{byte:02x}" for byte in range(256))


def _appends(store: str, target: str) -> List[Tuple[Tuple[str, Runs], str]]:
    """((task store file, its runs), target file they are appended to): each
    shard's runs of the records file to the target's shard of that name."""
    records = os.path.join(store, _RECORDS)
    by_shard: Dict[str, Runs] = {}
    offset = 0
    with contextlib.suppress(FileNotFoundError), open(records + ".runs") as f:
        for line in f:
            shard, length = line.split()
            if shard not in _SHARDS:
                raise KxError(f"task store {store} is damaged: {records}.runs names shard {shard!r}")
            by_shard.setdefault(shard, []).append((offset, int(length)))
            offset += int(length)
    layer = os.path.join(target, ".kx", "document-index")
    return [((records, runs), os.path.join(layer, shard)) for shard, runs in sorted(by_shard.items())]


def _moves(store: str, target: str) -> List[Tuple[str, str]]:
    """(task store file, its name in the target): the token entries of every
    tokenizer, a pid file of the task's, become a pid file of the target
    named after the task store (unique to the attempt), as if a process of
    that name had tracked them there.  A rename copies no byte."""
    moves = []
    for name in sorted(os.listdir(os.path.join(store, ".kx"))):
        if name.startswith("token-index.") and not name.endswith(".bin"):
            tokenizer = name[len("token-index."):].rsplit(".", 1)[0]
            own = f"token-index.{tokenizer}.{os.path.basename(store)}"
            moves.append((os.path.join(store, ".kx", name), os.path.join(target, ".kx", own)))
    return moves


class _Targets:
    """The target files a run's absorptions append to, each opened once for
    the run (every task appends to most shards) and opened again only when
    the file at its path has been replaced since."""

    def __init__(self) -> None:
        self._open: Dict[str, Tuple[int, int]] = {}  # path: (descriptor, its inode)
        self._seen: Dict[str, int] = {}  # path: inode at the last size() (0: none)

    def size(self, path: str) -> int:
        """The size of the file now at `path` (-1: none), which the next
        fd() of `path` appends to.  A file that ends in a torn line (its
        writer was killed part-way through an append) first gets a line
        feed: the torn piece stays a damaged line of its own, which readers
        skip, instead of swallowing the first line appended after it."""
        try:
            info = os.stat(path)
        except FileNotFoundError:
            self._seen[path] = 0
            return -1
        self._seen[path] = info.st_ino
        if info.st_size == 0:
            return 0
        fd = self.fd(path)
        try:
            last = os.pread(fd, 1, info.st_size - 1)
        except OSError:
            return info.st_size  # a file we may not read: appended to unchecked
        if last in (b"\n", b""):
            return info.st_size
        os.write(fd, b"\n")
        return os.fstat(fd).st_size

    def fd(self, path: str) -> int:
        opened = self._open.get(path)
        if opened is not None and opened[1] == self._seen.get(path):
            return opened[0]
        if opened is not None:
            os.close(opened[0])
        fd = _open_for_append(path)
        self._open[path] = (fd, os.fstat(fd).st_ino)
        return fd

    def close(self) -> None:
        for fd, _ in self._open.values():
            os.close(fd)
        self._open.clear()


def _open_for_append(path: str) -> int:
    """A descriptor appending to `path` (created with 0666), readable where
    the file lets us read it, for the torn-line check, and without access
    time updates: a read of a file appended to since its last read would
    otherwise write its inode every time.  Only the file's owner may ask for
    that; others open without it, and write-only where reading is refused."""
    flags = os.O_APPEND | os.O_CREAT | os.O_CLOEXEC
    for mode in (os.O_RDWR | os.O_NOATIME, os.O_RDWR):
        try:
            return os.open(path, flags | mode, 0o666)
        except PermissionError:
            pass
    return os.open(path, flags | os.O_WRONLY, 0o666)


_APPEND_BYTES = 1 << 22  # at most in one append request, unless one run is longer
_APPEND_RUNS = 512  # at most in one append request (the system takes 1024)


def _append_runs(fd: int, runs: List[memoryview]) -> None:
    """Appends `runs`, whole lines each, to the open file `fd` in as few
    requests as their sizes allow.  Every request ends at a line end, so that
    a line another writer appends meanwhile falls between lines."""
    first = 0
    while first < len(runs):
        last, size = first + 1, len(runs[first])
        while last < len(runs) and last - first < _APPEND_RUNS and size + len(runs[last]) <= _APPEND_BYTES:
            size += len(runs[last])
            last += 1
        _write_all(fd, runs[first:last])
        first = last


def _write_all(fd: int, views: List[memoryview]) -> None:
    """Writes `views` to `fd` in order; a request the system takes only in
    part (a run over 2 GB) is followed by the rest."""
    while views:
        written = os.writev(fd, views)
        while views and written >= len(views[0]):
            written -= len(views.pop(0))
        if views:
            views[0] = views[0][written:]


def _mapped(path: str) -> memoryview:
    """The bytes of a task store file, mapped: absorbing it copies them once,
    straight into the target's files."""
    with open(path, "rb") as f:
        if os.fstat(f.fileno()).st_size == 0:
            return memoryview(b"")
        return memoryview(mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ))


def absorb(stores: Sequence[str], target: str, journal: Journal, targets: _Targets) -> None:
    """Appends complete task stores to the target as one journalled
    absorption, through the run's open `targets`.  Each target file gets the
    runs of all `stores` in one append where their sizes allow: appends of a
    few runs cost the file system several times the CPU per byte of a larger
    one, and the client that absorbs shares its host with the workers."""
    sources: Dict[str, List[Tuple[str, Runs]]] = {}  # target file: (task store file, runs) in order
    moves: List[Tuple[str, str]] = []
    for store in stores:
        if not os.path.exists(os.path.join(store, _COMPLETE)):
            raise KxError(f"task store {store} is not complete")
        for (path, runs), destination in _appends(store, target):
            sources.setdefault(destination, []).append((path, runs))
        moves += _moves(store, target)
    journal.begin(stores, sources, moves, {destination: targets.size(destination) for destination in sources})
    try:
        mapped = {path: _mapped(path) for path in {path for parts in sources.values() for path, _ in parts}}
        for destination, parts in sources.items():
            runs = [_run(mapped[path], path, start, size) for path, part_runs in parts for start, size in part_runs]
            _append_runs(targets.fd(destination), runs)
        for source, destination in moves:
            os.rename(source, destination)
    except BaseException:
        journal.recover()  # a full disk, an interrupt: the target holds whole stores only
        raise
    journal.done(stores)


def _run(records: memoryview, path: str, start: int, size: int) -> memoryview:
    if start + size > len(records):
        raise KxError(f"task store file {path} ends before its runs do")
    return records[start : start + size]


class Absorber:
    """Takes task results as they arrive: the first complete store of each
    data file is absorbed, later ones of the same file are ignored.  Either
    way the store is then removed: the records of a long run wait on the
    shared storage only until they are absorbed, not until the run ends."""

    def __init__(self, kx_dir: str):
        self.kx_dir = kx_dir
        self.journal = Journal(kx_dir)
        self.journal.recover()
        self.targets = _Targets()
        self.counts: Dict[str, Dict[str, Any]] = {}

    def take(self, results: Sequence[Tuple[str, str, Dict[str, Any]]]) -> List[bool]:
        """Absorbs in one absorption the stores of `results` ((recorded as,
        task store, counts) triples) whose data file has none absorbed yet,
        then removes every store of `results`.  Returns which were taken."""
        first: Dict[str, str] = {}  # recorded as: its store absorbed now
        for recorded_as, store, _ in results:
            if recorded_as not in self.counts:
                first.setdefault(recorded_as, store)
        if first:
            absorb(list(first.values()), self.kx_dir, self.journal, self.targets)
        taken = []
        for recorded_as, store, counts in results:
            taken.append(first.get(recorded_as) == store)
            if taken[-1]:
                self.counts[recorded_as] = counts
            shutil.rmtree(store, ignore_errors=True)
        return taken

    def close(self) -> None:
        self.targets.close()
        self.journal.close()


def track(
    client: Any,
    kx_dir: str,
    files: Sequence[Tuple[str, str]],
    args: argparse.Namespace,
    on_done: Optional[Callable[[int, Dict[str, Any]], None]] = None,
    retries: int = 2,
) -> List[Dict[str, Any]]:
    """Tracks `files` ((data file, recorded as) pairs) on the client's
    workers into the store of `kx_dir`.  `on_done(i, counts)` is called as
    file i is absorbed.  On a task's failure the other tasks are cancelled
    and the error names its data file; the target then holds whole absorbed
    task stores only.  Returns the counts of each file, in order.

    The run's directory is removed when it ends.  Dask cannot stop a task
    already running when the run fails: such an attempt may leave its store
    under the run's directory, or recreate it, after the client removed it.
    Nothing reads it (the client takes only the stores its tasks hand
    back); it may be removed while no cluster run is going."""
    from kx.commands.track import unrecorded_files

    distributed = _dask()
    kx_dir = os.path.abspath(kx_dir)
    absorber = Absorber(kx_dir)
    # Once, here: a check per task would read the whole target once per file.
    unrecorded = unrecorded_files(kx_dir, [recorded_as for _, recorded_as in files], args)
    run_dir = os.path.join(work_root(kx_dir), "run-" + uuid.uuid4().hex)
    os.makedirs(run_dir)
    futures = {
        client.submit(
            track_task, kx_dir, os.path.abspath(path), recorded_as, args, run_dir, recorded_as not in unrecorded,
            key=f"kx-track-{os.path.basename(run_dir)}-{i}", retries=retries, pure=False,
        ): i
        for i, (path, recorded_as) in enumerate(files)
    }
    try:
        for batch in _batches(distributed.as_completed(futures)):
            results = []
            for future in batch:
                i = futures[future]
                try:
                    store, counts = future.result()
                except Exception as e:
                    raise KxError(_failure("tracking", files[i][0], e)) from None
                results.append((i, store, counts))
            taken = absorber.take([(files[i][1], store, counts) for i, store, counts in results])
            for (i, _, counts), absorbed in zip(results, taken):
                if absorbed and on_done:
                    on_done(i, counts)
    finally:
        client.cancel(list(futures))
        shutil.rmtree(run_dir, ignore_errors=True)
        absorber.close()
    return [absorber.counts[recorded_as] for _, recorded_as in files]


_BATCH = 16  # task stores absorbed at most at once


def _batches(completed: Any) -> Iterator[List[Any]]:
    """The futures of `completed` (a Dask as_completed) in batches to absorb
    together: those that have finished by the time the last one is taken,
    and two at least while two or more are still to come.  A batch of two
    halves the appends into each target file (see absorb); a store waits
    for the next at most, and only on the shared storage.  The last store
    is not waited for: what is absorbed after the last task ends is what
    the run waits for."""
    batch: List[Any] = []
    for future in completed:
        batch.append(future)
        more = completed.has_ready() or (len(batch) < 2 and completed.count() > 1)
        if more and len(batch) < _BATCH and future.status != "error":  # a failure ends the run at once
            continue
        yield batch
        batch = []


# ----------------------------------------------------------------- purges ---


def purge_task(
    kx_dir: str, data_file: str, run_dir: str, author: Optional[str] = None, dry_run: bool = False,
    level: Optional[int] = None,
) -> Dict[str, Any]:
    """Runs on a worker: purges the withdrawn lines of one data file, or
    with `author` those of that revoked author, as `kx purge` does here.
    The data file and the purge's archive and undo record are files no
    other task writes (archives are published under names of their own);
    the operation-log lines go to a file of this attempt, which the client
    appends to the store's log."""
    from kx import _core as core

    _hold_threads_to_worker()
    log = os.path.join(run_dir, f"{uuid.uuid4().hex}.log")
    try:
        if author is None:
            return core.purge_withdrawn(kx_dir, data_file, dry_run, log_to=log, level=level)
        return core.purge_by_author(kx_dir, author, data_file, dry_run, log_to=log, level=level)
    except RuntimeError as e:
        raise _task_failure(data_file, e) from None


def _append_logs(kx_dir: str, run_dir: str) -> None:
    """Appends the log lines of every purge attempt of the run to the
    store's log, ordered by their time stamps."""
    lines = []
    for name in os.listdir(run_dir):
        if name.endswith(".log"):
            with open(os.path.join(run_dir, name)) as f:
                lines += f.read().splitlines(keepends=True)
    lines.sort(key=lambda line: line.split(" ", 1)[0])
    if lines:
        with open(os.path.join(kx_dir, ".kx", "log"), "a") as f:
            f.writelines(lines)


def purge(
    client: Any,
    kx_dir: str,
    data_files: Sequence[str],
    author: Optional[str] = None,
    dry_run: bool = False,
    level: Optional[int] = None,
    on_done: Optional[Callable[[int, Dict[str, Any]], None]] = None,
    retries: int = 2,
) -> List[Dict[str, Any]]:
    """Purges the withdrawn lines of `data_files` (with `author`, those of
    that revoked author) on the client's workers, one task per file: each
    file ends as purging the files one after another here leaves it, with
    the same archive and undo.  Returns the counts of each file, in order;
    `on_done(i, counts)` is called as file i is done.

    A task that fails does not stop the others: each purge is whole on its
    own, and a running task cannot be stopped anyway, so the run waits for
    every file and then raises the first failure, naming its file; every
    other file is purged and logged.  The run's directory (the attempts'
    log lines) is removed when it ends.  A client interrupted (Ctrl-C)
    appends the log lines of the purges done so far; tasks running then
    still finish their purges, whose files and undo records are whole, but
    their log lines are lost with the directory."""
    distributed = _dask()
    kx_dir = os.path.abspath(kx_dir)
    run_dir = os.path.join(work_root(kx_dir), "purge-" + uuid.uuid4().hex)
    os.makedirs(run_dir)
    futures = {
        client.submit(
            purge_task, kx_dir, os.path.abspath(path), run_dir, author, dry_run, level,
            key=f"kx-purge-{os.path.basename(run_dir)}-{i}", retries=retries, pure=False,
        ): i
        for i, path in enumerate(data_files)
    }
    results: Dict[int, Dict[str, Any]] = {}
    failures: List[str] = []
    try:
        for future in distributed.as_completed(futures):
            i = futures[future]
            try:
                results[i] = future.result()
            except Exception as e:
                failures.append(_failure("purging", data_files[i], e))
                continue
            if on_done:
                on_done(i, results[i])
    finally:
        client.cancel(list(futures))
        _append_logs(kx_dir, run_dir)
        shutil.rmtree(run_dir, ignore_errors=True)
    if failures:
        others = f" ({len(failures) - 1} more files failed)" if len(failures) > 1 else ""
        raise KxError(f"{failures[0]}{others}; the {len(results)} other files are done")
    return [results[i] for i in range(len(data_files))]


# ------------------------------------------------------------------ blame ---


def blame_task(kx_dir: str, data_file: str, run_dir: str) -> str:
    """Runs on a worker: blames every line of one data file as `kx blame`
    does here, writing what the core hands back (a JSON line per batch) to a
    file of the attempt's own, whose path it returns."""
    from kx import _core as core

    _hold_threads_to_worker()
    path = os.path.join(run_dir, f"{uuid.uuid4().hex}.blame")
    with open(path, "w", encoding="utf-8") as out:

        def sink(provenances: List[Any], lines: List[Any]) -> None:
            out.write(json.dumps([provenances, lines], ensure_ascii=False) + "\n")

        try:
            core.blame_lines(kx_dir, data_file, sink)
        except RuntimeError as e:
            raise _task_failure(data_file, e) from None
    return path


def blame(
    client: Any,
    kx_dir: str,
    data_files: Sequence[str],
    write: Callable[[int, List[Any], List[Any]], None],
    on_done: Optional[Callable[[int, Any], None]] = None,
    retries: int = 2,
) -> None:
    """Blames every line of `data_files` on the client's workers, one task
    per file, and hands the results to write(i, provenances, lines) as
    `_core.blame_lines` hands them to its sink: file after file in order,
    each file's batches in its line order (records and sources as lists).
    `on_done(i, None)` is called once file i is written.  A task that fails
    stops the run with an error naming its file.  The run's directory (the
    results waiting to be written) is removed when it ends."""
    _dask()  # a clear error when Dask is missing
    kx_dir = os.path.abspath(kx_dir)
    run_dir = os.path.join(work_root(kx_dir), "blame-" + uuid.uuid4().hex)
    os.makedirs(run_dir)
    futures = [
        client.submit(
            blame_task, kx_dir, os.path.abspath(path), run_dir,
            key=f"kx-blame-{os.path.basename(run_dir)}-{i}", retries=retries, pure=False,
        )
        for i, path in enumerate(data_files)
    ]
    try:
        for i, future in enumerate(futures):
            try:
                results = future.result()
            except Exception as e:
                raise KxError(_failure("blaming", data_files[i], e)) from None
            with open(results, encoding="utf-8") as f:
                for line in f:
                    provenances, lines = json.loads(line)
                    write(i, provenances, lines)
            os.unlink(results)
            if on_done:
                on_done(i, None)
    finally:
        client.cancel(futures)
        shutil.rmtree(run_dir, ignore_errors=True)
