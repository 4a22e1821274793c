"""Figures for the per-data-file lock that keeps trackers of one file apart.

A burst of 1,000 small JSON Lines files (20 lines each) is tracked by 4
processes started together, each tracking its own quarter of the files
(no two processes want one lock), and then again with every process
tracking all 1,000 files (each lock is wanted by all four; three of them
find every line recorded).  Each process calls `kx._core.track_file` per
file.  The reference is the lock alone: the same 4 processes taking and
releasing the same locks (`lock_data_file`, `unlock_data_file`) with no
tracking, which is the cost the lock adds to a tracking; its share of the
burst is printed.  Best of --repeat runs, each in a fresh store.

Run: python bench/bench_track_lock.py [--files 1000] [--procs 4] [--repeat 3]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import _kx_native as native

CHILD = r"""
import sys, time
from kx import _core as core
mode, kx_dir, section, first, step, count = sys.argv[1], sys.argv[2], sys.argv[3], *map(int, sys.argv[4:7])
names = ["files/f%05d.jsonl" % i for i in range(first, count, step)]
sys.stdin.read(1)  # every process starts when all are ready
for name in names:
    if mode == "track":
        core.track_file(kx_dir, kx_dir + "/" + name, name, [section], None)
    else:
        core.unlock_data_file(core.lock_data_file(kx_dir, name))
"""


def new_store(root, files):
    native.init(root)
    author = native.author_add("Ada", "ada@example.org", root)
    section = native.register_section("corpus/web.txt", [author], [], "CC-BY-4.0", "2024", root)
    os.mkdir(os.path.join(root, "files"))
    for i in range(files):
        with open(os.path.join(root, "files", "f%05d.jsonl" % i), "w") as f:
            f.writelines('{"file": %d, "n": %d, "text": "line %d of file %d"}\n' % (i, n, n, i) for n in range(20))
    return section


def burst(mode, root, section, files, procs, shared):
    """Wall seconds of `procs` processes, each on its share of the files (or
    on all of them when `shared`), from the moment all are ready."""
    children = []
    for p in range(procs):
        first, step = (0, 1) if shared else (p, procs)
        children.append(subprocess.Popen(
            [sys.executable, "-c", CHILD, mode, root, section, str(first), str(step), str(files)],
            stdin=subprocess.PIPE, stderr=subprocess.PIPE))
    time.sleep(0.5)  # imports done
    start = time.perf_counter()
    for c in children:
        c.stdin.write(b"g")
        c.stdin.close()
    for c in children:
        c.wait()
        if c.returncode != 0:
            raise SystemExit(c.stderr.read().decode())
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--procs", type=int, default=4)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print(f"{args.files} files of 20 lines, {args.procs} processes; best of {args.repeat}")
    for shared in (False, True):
        best = {"track": float("inf"), "lock": float("inf")}
        for _ in range(args.repeat):
            for mode in best:
                root = tempfile.mkdtemp(prefix="kx-lock-")
                try:
                    section = new_store(root, args.files)
                    best[mode] = min(best[mode], burst(mode, root, section, args.files, args.procs, shared))
                finally:
                    shutil.rmtree(root)
        how = "every process all files" if shared else "each process its own files"
        tracked = args.files * (args.procs if shared else 1)
        print(f"{how}: tracking {best['track']:.3f} s ({tracked / best['track']:.0f} file trackings/s); "
              f"the locks alone {best['lock']:.3f} s, {100 * best['lock'] / best['track']:.1f}% of the tracking")


if __name__ == "__main__":
    main()
