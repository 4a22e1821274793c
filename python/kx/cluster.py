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
under each attempt's own name.  Each absorption is journalled in the run's
folder, so that one cut short by a killed client is undone once that client
is provably gone, where every byte it would cut is provably its own
(`kx.cluster_runs`).  Absorption is byte appends with no look-up per
record, so stores are absorbed as their tasks finish, while the other tasks
still run.

Paths are made absolute on the client: the workers must see the project and
the data files under the same paths.  A task holds the native worker pool of
its process to its Dask worker's threads, so that workers sharing a host do
not each take all of its CPUs.

A run works in a folder of its own under `.kx/cluster/`, held by a lock for
the client's life, and removes it when it ends; a killed client's folder is
removed by the next run, `kx track` or `kx clean` and reported by
`kx check`.  Nothing outside `.kx/cluster/` reads it."""

from __future__ import annotations

import argparse
import contextlib
import errno
import json
import logging
import mmap
import os
import re
import resource
import shutil
import uuid
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from kx.cluster_runs import WORK_DIR, Journal, Runs, append_logs, inside_store, sweep, work_root
from kx.cluster_runs import run_dir as _run_folder
from kx.errors import KxError, UsageError

_COMPLETE = "complete"  # in a task store: its counts, written last
_RECORDS = "records"  # in a task store: its document records, with their runs in records.runs

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
    layer = os.path.join(target, ".kx", _LAYER)
    return [((records, runs), os.path.join(layer, shard)) for shard, runs in sorted(by_shard.items())]


_LAYER = "document-index"  # of the target, which absorptions append to


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

    def __init__(self, kx_dir: Optional[str] = None) -> None:
        self.kx_dir = kx_dir  # the store the targets must lie in
        self._open: Dict[str, Tuple[int, int]] = {}  # path: (descriptor, its inode)
        self._seen: Dict[str, int] = {}  # path: inode at the last size() (0: none)
        self._inside: set = set()  # folders found inside the store

    def inode(self, path: str) -> int:
        """The inode of the file at `path` at the last size() (0: none)."""
        return self._seen.get(path, 0)

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
        folder = os.path.dirname(path)
        if self.kx_dir is not None and folder not in self._inside:
            inside_store(self.kx_dir, path)
            self._inside.add(folder)  # a folder of the store is not swapped for a link while kx writes it
        try:
            fd = _open_for_append(path)
        except OSError as e:
            if e.errno == errno.ELOOP:
                raise KxError(f"{path} is a symbolic link: refusing to append through it") from None
            raise
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
    that; others open without it, and write-only where reading is refused.
    A link in the file's place is refused: a store's files are its own."""
    flags = os.O_APPEND | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW
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


def absorb(
    stores: Sequence[str], target: str, journal: Journal, targets: _Targets, files: Dict[str, int],
    generations: Optional[Callable[[str, List[str]], List[int]]] = None,
) -> None:
    """Appends complete task stores (folders of the journal's run) to the
    target as one journalled absorption, through the run's open `targets`.
    `files` are the stores' data files with the generations of their locks,
    which the client holds.  Each target file gets the runs of all `stores`
    in one append where their sizes allow: appends of a few runs cost the
    file system several times the CPU per byte of a larger one, and the
    client that absorbs shares its host with the workers.  An absorption
    that fails here (a full disk, an interrupt) is undone at once, by the
    rules a kill's is."""
    sources: Dict[str, List[Tuple[str, Runs]]] = {}  # target file: (task store file, runs) in order
    moves: List[Tuple[str, str]] = []
    for store in stores:
        if os.path.dirname(store) != journal.run or not _STORE_NAME.fullmatch(os.path.basename(store)):
            raise KxError(f"task store {store} lies outside the run's folder")
        if not os.path.exists(os.path.join(store, _COMPLETE)):
            raise KxError(f"task store {store} is not complete")
        for (path, runs), destination in _appends(store, target):
            sources.setdefault(destination, []).append((path, runs))
        moves += _moves(store, target)
    name = lambda path: _LAYER + "/" + os.path.basename(path)  # as _appends names the target's shards
    plan = []
    for destination, parts in sources.items():
        size = targets.size(destination)
        plan.append((name(destination), targets.inode(destination), size, sum(n for _, r in parts for _, n in r)))
    journal.begin(
        [os.path.basename(store) for store in stores], files, plan,
        {name(d): [(os.path.basename(os.path.dirname(p)), r) for p, r in parts] for d, parts in sources.items()},
        [os.path.basename(destination) for _, destination in moves],
    )
    try:
        mapped = {path: _mapped(path) for path in {path for parts in sources.values() for path, _ in parts}}
        for destination, parts in sources.items():
            runs = [_run(mapped[path], path, start, size) for path, part_runs in parts for start, size in part_runs]
            fd = targets.fd(destination)
            _append_runs(fd, runs)
            info = os.fstat(fd)
            journal.appended(name(destination), info.st_ino, info.st_size)
        for source, destination in moves:
            os.rename(source, inside_store(target, destination))
    except BaseException:
        journal.roll_back_open(generations)
        raise
    journal.done([os.path.basename(store) for store in stores])


_STORE_NAME = re.compile(r"[0-9a-f]{32}")


def _run(records: memoryview, path: str, start: int, size: int) -> memoryview:
    if start + size > len(records):
        raise KxError(f"task store file {path} ends before its runs do")
    return records[start : start + size]


def _lock_functions() -> Tuple[Any, Any, Any]:
    """The core's per-data-file lock (take, release, generations), or Nones
    where the core has none."""
    from kx import _core as core

    return (getattr(core, "lock_data_file", None), getattr(core, "unlock_data_file", None),
            getattr(core, "data_file_generations", None))


class DataFileLocks:
    """The locks of the run's data files, which `kx track` of one file holds
    from its check of the store's records to its last write: the client
    holds each from before its task checks the target until its store is
    absorbed (or the run ends), so that a plain track of the file waits
    rather than records its lines a second time, and so that a tracker that
    takes the lock after a client was killed shows in the lock's generation
    (see cluster_runs).  Taken in name order: two runs sharing files never
    wait on each other in a circle."""

    def __init__(self, kx_dir: str, names: Sequence[str]):
        self.kx_dir = kx_dir
        take, self._release, self.generations = _lock_functions()
        self._held: Dict[str, Any] = {}
        if take is None:
            return
        _allow_descriptors(len(set(names)) + 256)
        try:
            for recorded_as in sorted(set(names)):
                self._held[recorded_as] = take(kx_dir, recorded_as)
        except BaseException:
            self.close()
            raise

    def generations_of(self, names: Sequence[str]) -> Dict[str, int]:
        if self.generations is None:
            return {}
        return dict(zip(names, self.generations(self.kx_dir, list(names))))

    def release(self, recorded_as: str) -> None:
        handle = self._held.pop(recorded_as, None)
        if handle is not None:
            self._release(handle)

    def close(self) -> None:
        for recorded_as in list(self._held):
            self.release(recorded_as)


def _allow_descriptors(count: int) -> None:
    """Raises this process's limit of open files to `count` where the hard
    limit allows: a run holds one lock per data file."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and soft < count:
        resource.setrlimit(resource.RLIMIT_NOFILE, (count if hard == resource.RLIM_INFINITY else min(count, hard), hard))


class Absorber:
    """Takes task results as they arrive: the first complete store of each
    data file is absorbed, later ones of the same file are ignored.  Either
    way the store is then removed: the records of a long run wait on the
    shared storage only until they are absorbed, not until the run ends.
    Once a file's store is absorbed its lock (`locks`) is released."""

    def __init__(self, kx_dir: str, run: str, locks: Optional[DataFileLocks] = None):
        self.kx_dir = kx_dir
        self.journal = Journal(kx_dir, run)
        self.targets = _Targets(kx_dir)
        self.locks = locks
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
            files = self.locks.generations_of(list(first)) if self.locks else {}
            generations = self.locks.generations if self.locks else None
            absorb(list(first.values()), self.kx_dir, self.journal, self.targets, files, generations)
        taken = []
        for recorded_as, store, counts in results:
            taken.append(first.get(recorded_as) == store)
            if taken[-1]:
                self.counts[recorded_as] = counts
                if self.locks:
                    self.locks.release(recorded_as)
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

    The run first removes the folders of runs whose client is gone (rolling
    back their open absorptions), then holds the lock of each of its data
    files until its store is absorbed, and works in a folder of its own,
    removed when it ends.  Dask cannot stop a task already running when the
    run fails: such an attempt may leave its store under the run's folder
    after the client removed it; the next run removes that too."""
    from kx.commands.track import unrecorded_files

    distributed = _dask()
    kx_dir = os.path.abspath(kx_dir)
    sweep(kx_dir)
    with contextlib.ExitStack() as stack:
        locks = DataFileLocks(kx_dir, [recorded_as for _, recorded_as in files])
        stack.callback(locks.close)
        # Once, here: a check per task would read the whole target once per file.
        unrecorded = unrecorded_files(kx_dir, [recorded_as for _, recorded_as in files], args)
        run = stack.enter_context(_run_folder(kx_dir, "run"))
        absorber = Absorber(kx_dir, run.path, locks)
        stack.callback(absorber.close)
        futures = {
            client.submit(
                track_task, kx_dir, os.path.abspath(path), recorded_as, args, run.path, recorded_as not in unrecorded,
                key=f"kx-track-{os.path.basename(run.path)}-{i}", retries=retries, pure=False,
            ): i
            for i, (path, recorded_as) in enumerate(files)
        }
        stack.callback(client.cancel, list(futures))
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
    sweep(kx_dir)
    with _run_folder(kx_dir, "purge") as run:
        results, failures = _purge_on(client, distributed, kx_dir, run.path, data_files, author, dry_run, level,
                                      on_done, retries)
    if failures:
        others = f" ({len(failures) - 1} more files failed)" if len(failures) > 1 else ""
        raise KxError(f"{failures[0]}{others}; the {len(results)} other files are done")
    return [results[i] for i in range(len(data_files))]


def _purge_on(
    client: Any, distributed: Any, kx_dir: str, run: str, data_files: Sequence[str], author: Optional[str],
    dry_run: bool, level: Optional[int], on_done: Optional[Callable[[int, Dict[str, Any]], None]], retries: int,
) -> Tuple[Dict[int, Dict[str, Any]], List[str]]:
    """The tasks of a purge run in the run folder `run`: the counts of the
    files done, and the failures."""
    futures = {
        client.submit(
            purge_task, kx_dir, os.path.abspath(path), run, author, dry_run, level,
            key=f"kx-purge-{os.path.basename(run)}-{i}", retries=retries, pure=False,
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
        append_logs(kx_dir, run)
    return results, failures


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
    sweep(kx_dir)
    with _run_folder(kx_dir, "blame") as run:
        _blame_on(client, kx_dir, run.path, data_files, write, on_done, retries)


def _blame_on(
    client: Any, kx_dir: str, run: str, data_files: Sequence[str], write: Callable[[int, List[Any], List[Any]], None],
    on_done: Optional[Callable[[int, Any], None]], retries: int,
) -> None:
    futures = [
        client.submit(
            blame_task, kx_dir, os.path.abspath(path), run,
            key=f"kx-blame-{os.path.basename(run)}-{i}", retries=retries, pure=False,
        )
        for i, path in enumerate(data_files)
    ]
    try:
        for i, future in enumerate(futures):
            try:
                results = future.result()
            except Exception as e:
                raise KxError(_failure("blaming", data_files[i], e)) from None
            if os.path.dirname(results) != run:
                raise KxError(f"blaming {data_files[i]} handed back {results}, outside the run's folder")
            with open(results, encoding="utf-8") as f:
                for line in f:
                    provenances, lines = json.loads(line)
                    write(i, provenances, lines)
            os.unlink(results)
            if on_done:
                on_done(i, None)
    finally:
        client.cancel(futures)
