"""Figures for tracking many data files on Dask workers.

Writes `--files` JSON Lines files of ~1 KB records, `--mb` MB in all
(default 2048 MB over 32 files of 64 MB), and tracks them with one source
and whitespace token counts into fresh stores, each way in a `kx` process
of its own:

- plain `kx track` of all the files (its worker pool on every CPU);
- `kx track --workers N` for N = 1 and 2: a local cluster of N worker
  processes with one thread each, started by the command (its start is
  included in the time);
- `kx track --cluster ADDRESS` against a local cluster of N such workers
  started by the benchmark before the run (the time of a cluster already
  running; no other cluster runs meanwhile).

Each task holds its worker's native pool to the worker's one thread, so
that two workers on two cores do not contend.  Prints wall times, MB/s, the
speed-up of two workers over one and the cluster path's overhead against
plain `kx track`, in wall time and in CPU time (of the command and the worker
processes: the work done, which the machine's other load hardly changes),
and the load average of the machine before each run (its other work makes
single wall times noisy: use `--repeat` and report ranges).  Last, how far
the work alone scales on the machine: `kx track` on one thread (a worker's
share, without Dask) of half the files alone, against both halves at once.

Run: python bench/bench_cluster.py [--mb 2048] [--files 32] [--repeat 2] [--json OUT]
"""

import argparse
import contextlib
import importlib
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import _kx_native as native
from kx.cluster import local_cluster

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from data import cache_path, write_figures, write_jsonl  # noqa: E402

MB = 1 << 20
WORKERS = (1, 2)


def new_project(path):
    native.init(path)
    author = native.author_add("Ada", "ada@example.org", path)
    return native.register_section("corpus/web.txt", [author], [], "CC-BY-4.0", "2024", path)


def cpu_seconds(who=resource.RUSAGE_SELF):
    usage = resource.getrusage(who)
    return usage.ru_utime + usage.ru_stime


def timed_track(root, names, section, extra, client=None):
    """(wall seconds, CPU seconds) of one `kx track`: the CPU time of the
    command and the worker processes it started, or with `client` of the
    command and that cluster's workers."""
    workers = client.run(cpu_seconds) if client else {}
    cpu = cpu_seconds(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(
        [sys.executable, "-m", "kx", "-C", root, "track", *names, "--source", section,
         "--tokenizer", "whitespace", *extra],
        check=True, stdout=subprocess.DEVNULL, env=dict(os.environ, KX_PROGRESS="0"),
    )
    wall = time.perf_counter() - start
    cpu = cpu_seconds(resource.RUSAGE_CHILDREN) - cpu
    if client:
        cpu += sum(after - workers[w] for w, after in client.run(cpu_seconds).items())
    return wall, cpu


@contextlib.contextmanager
def running_cluster(workers):
    """A client of a local cluster of `workers` worker processes, one thread
    each, as `--workers` starts them, started and warmed up (kx imported in
    every worker) before the run it serves: the time of a cluster already
    running.  Only the cluster being measured runs, so that the idle workers
    of another take no CPU from it."""
    import distributed

    with local_cluster(workers) as cluster, distributed.Client(cluster) as client:
        for module in ("kx.cluster", "kx.commands.track", "kx.store"):  # what a task imports
            client.run(importlib.import_module, module)
        yield client


ONE_THREAD_TRACK = (
    "import sys; from kx import _core; from kx.cli import main; _core.set_threads(1); sys.exit(main(sys.argv[1:]))"
)


def one_thread_tracks(work, data, groups):
    """Wall seconds of `kx track` on one thread (as in a worker, without
    Dask) of each group of files into a store of its own, all at once."""
    runs = []
    for i, names in enumerate(groups):
        root = os.path.join(work, f"half{i}")
        section = new_project(root)
        for name in names:
            os.link(os.path.join(data, name), os.path.join(root, name))
        command = [sys.executable, "-c", ONE_THREAD_TRACK, "-C", root, "track", *names, "--source", section,
                   "--tokenizer", "whitespace"]
        runs.append((root, command))
    start = time.perf_counter()
    processes = [subprocess.Popen(c, stdout=subprocess.DEVNULL, env=dict(os.environ, KX_PROGRESS="0")) for _, c in runs]
    if any(p.wait() != 0 for p in processes):
        raise RuntimeError("a one-thread kx track failed")
    wall = time.perf_counter() - start
    for root, _ in runs:
        shutil.rmtree(root)
    return wall


def work_ceiling(work, data, names, repeat):
    """How much two cores give the tasks' work alone here: half the files
    tracked on one thread alone, against both halves at once (best of
    `repeat`).  Two workers cannot beat this ratio over one."""
    half = len(names) // 2
    alone = min(one_thread_tracks(work, data, [names[:half]]) for _ in range(repeat))
    together = min(one_thread_tracks(work, data, [names[:half], names[half:]]) for _ in range(repeat))
    return alone, together


def ratios(numerators, denominators):
    return [a / b for a, b in zip(numerators, denominators)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=int, default=2048)
    parser.add_argument("--files", type=int, default=32)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--json")
    args = parser.parse_args()
    data = cache_path(f"cluster-{args.mb}mb-{args.files}")  # kept for later runs
    os.makedirs(data, exist_ok=True)
    names = [f"part{i:04}.jsonl" for i in range(args.files)]
    for i, name in enumerate(names):
        path = os.path.join(data, name)
        if not os.path.exists(path):
            write_jsonl(path + ".part", args.mb * MB // args.files, seed=i)
            os.rename(path + ".part", path)
    work = tempfile.mkdtemp(prefix="kx-bench-cluster-", dir=os.path.dirname(data))  # links need one file system
    try:
        total = sum(os.path.getsize(os.path.join(data, n)) for n in names) / MB
        ways = {"plain": ([], None)}  # way: (kx track options, workers of a running cluster)
        for n in WORKERS:
            ways[f"workers={n}"] = (["--workers", str(n)], None)
            ways[f"cluster={n}"] = (None, n)
        times = {way: [] for way in ways}
        cpus = {way: [] for way in ways}
        loads = {way: [] for way in ways}
        for _ in range(args.repeat):
            for way, (extra, cluster_workers) in ways.items():
                root = os.path.join(work, "proj")
                section = new_project(root)
                for name in names:
                    os.link(os.path.join(data, name), os.path.join(root, name))
                with running_cluster(cluster_workers) if cluster_workers else contextlib.nullcontext() as client:
                    if client:
                        extra = ["--cluster", client.scheduler.address]
                    loads[way].append(round(os.getloadavg()[0], 1))
                    wall, cpu = timed_track(root, names, section, extra, client)
                times[way].append(wall)
                cpus[way].append(cpu)
                shutil.rmtree(root)
        figures = {"mb": round(total), "files": args.files, "seconds": times, "cpu_seconds": cpus, "load_before": loads}
        for way, runs in times.items():
            load = ", ".join(f"{x:.1f}" for x in loads[way])
            cpu = ", ".join(f"{x:.1f}" for x in cpus[way])
            print(f"{way:10} {min(runs):6.1f}-{max(runs):6.1f} s  {total / min(runs):5.0f} MB/s (best)  CPU {cpu} s  load {load}")
        for kind in ("workers", "cluster"):
            speedup = ratios(times[f"{kind}=1"], times[f"{kind}=2"])
            figures[f"speedup_{kind}_2_over_1"] = speedup
            print(f"{kind}: two workers over one:", ", ".join(f"{s:.2f}x" for s in speedup))
            for n in WORKERS:
                way = f"{kind}={n}"
                overhead = [r - 1 for r in ratios(times[way], times["plain"])]
                cpu_overhead = [r - 1 for r in ratios(cpus[way], cpus["plain"])]
                figures[f"overhead_{way}_vs_plain"] = overhead
                figures[f"cpu_overhead_{way}_vs_plain"] = cpu_overhead
                print(f"{way} against plain kx track:", ", ".join(f"{o:+.0%}" for o in overhead),
                      " CPU:", ", ".join(f"{o:+.0%}" for o in cpu_overhead))
        alone, together = work_ceiling(work, data, names, args.repeat)
        figures["half_alone_s"], figures["halves_together_s"] = alone, together
        print(f"without Dask, one thread over half the files: {alone:.2f} s alone, {together:.2f} s beside "
              f"the other half: the work alone scales {2 * alone / together:.2f}x on two cores here")
        write_figures(args.json, figures)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
