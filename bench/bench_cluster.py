"""Figures for tracking many data files on Dask workers.

Writes `--files` JSON Lines files of ~1 KB records, `--mb` MB in all
(default 2048 MB over 64 files), and tracks them with one source and
whitespace token counts into fresh stores:

- plain `kx track` of all the files, in a process of its own;
- `kx track --workers 1` and `--workers 2` (a local cluster of worker
  processes with one thread each, started by the command; its start is
  included in the time).

Prints wall times, MB/s, the speed-up of two workers over one and the
cluster path's overhead against plain `kx track`.  The machine's other load
makes single runs noisy: use `--repeat` and report ranges.

Run: python bench/bench_cluster.py [--mb 2048] [--files 64] [--repeat 2] [--json OUT]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import _kx_native as native

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from data import write_figures, write_jsonl  # noqa: E402

MB = 1 << 20


def new_project(path):
    native.init(path)
    author = native.author_add("Ada", "ada@example.org", path)
    return native.register_section("corpus/web.txt", [author], [], "CC-BY-4.0", "2024", path)


def timed_track(root, names, section, extra):
    start = time.perf_counter()
    subprocess.run(
        [sys.executable, "-m", "kx", "-C", root, "track", *names, "--source", section,
         "--tokenizer", "whitespace", *extra],
        check=True, stdout=subprocess.DEVNULL, env=dict(os.environ, KX_PROGRESS="0"),
    )
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=int, default=2048)
    parser.add_argument("--files", type=int, default=64)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--json")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="kx-bench-cluster-")
    try:
        data = os.path.join(work, "data")
        os.makedirs(data)
        names = [f"part{i:04}.jsonl" for i in range(args.files)]
        for i, name in enumerate(names):
            write_jsonl(os.path.join(data, name), args.mb * MB // args.files, seed=i)
        total = sum(os.path.getsize(os.path.join(data, n)) for n in names) / MB
        ways = {"plain": [], "workers=1": ["--workers", "1"], "workers=2": ["--workers", "2"]}
        times = {way: [] for way in ways}
        for _ in range(args.repeat):
            for way, extra in ways.items():
                root = os.path.join(work, "proj")
                section = new_project(root)
                for name in names:
                    os.link(os.path.join(data, name), os.path.join(root, name))
                times[way].append(timed_track(root, names, section, extra))
                shutil.rmtree(root)
        figures = {"mb": round(total), "files": args.files, "seconds": times}
        for way, runs in times.items():
            print(f"{way:10} {min(runs):7.1f}-{max(runs):7.1f} s  {total / min(runs):6.0f} MB/s (best)")
        speedup = [one / two for one, two in zip(times["workers=1"], times["workers=2"])]
        print("two workers over one:", ", ".join(f"{s:.2f}x" for s in speedup))
        figures["speedup_2_over_1"] = speedup
        for way in ("workers=1", "workers=2"):
            overhead = [cluster / plain - 1 for cluster, plain in zip(times[way], times["plain"])]
            figures[f"overhead_{way}_vs_plain"] = overhead
            print(f"{way} against plain kx track:", ", ".join(f"{o:+.0%}" for o in overhead))
        write_figures(args.json, figures)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
