"""Figures for `kx report`: wall time and peak memory of the whole command
(JSON and HTML with charts) on a store of N document records, against a
process that only reads the same document-index files once.

    python bench/bench_report.py [--docs N] [--dir D] [--json OUT]

The store is the one bench_show.py writes (records of 1 to 3 sections over
16 data files that are not present, and a token index); each figure is
measured in a fresh process, peak memory as its maximum resident set.
"""

import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_show import build_store, layer_size  # noqa: E402
from data import write_figures  # noqa: E402

READ_ONCE = """
import os, sys
d = os.path.join(sys.argv[1], ".kx", "document-index")
total = 0
for name in os.listdir(d):
    with open(os.path.join(d, name), "rb") as f:
        while chunk := f.read(1 << 20):
            total += len(chunk)
"""


def measured(argv):
    """Wall and CPU seconds (all threads) and peak resident MiB of a child
    process."""
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    if status != 0:
        raise SystemExit(f"{argv} failed with status {status}")
    cpu = usage.ru_utime + usage.ru_stime
    return {"wall": round(wall, 3), "cpu": round(cpu, 3), "peak_mib": round(usage.ru_maxrss / 1024, 1)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--docs", type=int, action="append", help="record counts (default: 1000000)")
    ap.add_argument("--sections", type=int, default=10_000)
    ap.add_argument("--authors", type=int, default=2_000)
    ap.add_argument("--dir", default="/tmp/kx_bench_report")
    ap.add_argument("--json", help="also write the figures to this file as JSON")
    ap.add_argument("--build-only", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.build_only:
        build_store(args.dir, args.docs[0], args.sections, args.authors, tokens=True)
        return
    figures = {}
    for docs in args.docs or [1_000_000]:
        root = f"{args.dir}-{docs}"
        if not os.path.isdir(os.path.join(root, ".kx", "document-index")):
            # In a process of its own: a child's peak memory counts from the
            # size of the process it was started from.
            subprocess.run([sys.executable, __file__, "--build-only", "--docs", str(docs), "--dir", root,
                            "--sections", str(args.sections), "--authors", str(args.authors)], check=True)
        kx = [sys.executable, "-m", "kx", "-C", root, "report"]
        row = {
            "layer_mib": round(layer_size(root, "document-index") / 2**20, 1),
            "read_once": measured([sys.executable, "-c", READ_ONCE, root]),
            "report_json": measured(kx + ["--json"]),
            "report_html": measured(kx + ["-o", os.path.join(root, "report.html")]),
        }
        figures[docs] = row
        print(docs, row, flush=True)
    write_figures(args.json, figures)


if __name__ == "__main__":
    main()
