"""Figures for `kx report`: wall time, CPU time and peak memory of the whole
command (JSON, and HTML with charts) and of its native pass alone, on
stores of N document records, against reading the same document-index
files once (`cat` to /dev/null, and a Python read loop) and the document
index with the token-index files the pass reads too.

    python bench/bench_report.py [--docs N]... [--dir D] [--keep] [--json OUT]

Each store (data.write_store: records of 1 to 3 of 10,000 sections over 16
data files that are not present, one token entry per record) is generated
by streaming into the shard files, so the generator's memory stays bounded,
into D-N; it is reused when it is already there with the same sizes, and
removed after its figures unless --keep.  Every figure is measured in a
fresh process, peak memory as its maximum resident set (os.wait4), each
command after one run that warms the page cache.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from data import write_figures, write_store  # noqa: E402

READ_LOOP = """
import os, sys
for d in sys.argv[1:]:
    for name in os.listdir(d):
        with open(os.path.join(d, name), "rb") as f:
            while f.read(1 << 20):
                pass
"""

NATIVE_PASS = "import sys; from kx import _core; _core.report_aggregates(sys.argv[1])"


def measured(argv):
    """Wall and CPU seconds (all threads) and peak resident MiB of a child
    process, the best wall of two runs after a warm-up."""
    subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
    best = None
    for _ in range(2):
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        if status != 0:
            raise SystemExit(f"{argv} failed with status {status}")
        run = {"wall": round(wall, 3), "cpu": round(usage.ru_utime + usage.ru_stime, 3),
               "peak_mib": round(usage.ru_maxrss / 1024, 1), "load": round(os.getloadavg()[0], 2)}
        if best is None or run["wall"] < best["wall"]:
            best = run
    return best


def layer_files(root, *layers):
    return [os.path.join(root, ".kx", layer, name) for layer in layers
            for name in sorted(os.listdir(os.path.join(root, ".kx", layer)))]


def store(root, docs, sections, authors):
    """Generates the store unless it is there with these sizes; in a process
    of its own, so that the generator's memory is its own."""
    stamp = os.path.join(root, "bench-sizes")
    sizes = f"{docs} {sections} {authors} v3"
    if os.path.exists(stamp) and open(stamp).read() == sizes:
        return
    t0 = time.perf_counter()
    subprocess.run([sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]); import data; "
                    "data.write_store(sys.argv[2], *map(int, sys.argv[3:]))",
                    os.path.dirname(os.path.abspath(__file__)), root, str(docs), str(sections), str(authors)],
                   check=True)
    with open(stamp, "w") as f:
        f.write(sizes)
    print(f"store of {docs:,} records written in {time.perf_counter() - t0:.0f} s", flush=True)


def figures_for(root):
    index = layer_files(root, "document-index")
    tokens = layer_files(root, "token-index.bpe")
    kx = [sys.executable, "-m", "kx", "-C", root, "report"]
    return {
        "index_mib": round(sum(map(os.path.getsize, index)) / 2**20, 1),
        "token_mib": round(sum(map(os.path.getsize, tokens)) / 2**20, 1),
        "cat_index": measured(["cat", *index]),
        "read_index": measured([sys.executable, "-c", READ_LOOP, os.path.dirname(index[0])]),
        "cat_index_tokens": measured(["cat", *index, *tokens]),
        "native_pass": measured([sys.executable, "-c", NATIVE_PASS, root]),
        "report_json": measured(kx + ["--json"]),
        "report_html": measured(kx + ["-o", os.path.join(root, "report.html")]),
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--docs", type=int, action="append", help="record counts (default: 1000000 and 10000000)")
    ap.add_argument("--sections", type=int, default=10_000)
    ap.add_argument("--authors", type=int, default=2_000)
    ap.add_argument("--dir", default="/tmp/kx_bench_report")
    ap.add_argument("--keep", action="store_true", help="keep the generated stores for a later run")
    ap.add_argument("--json", help="also write the figures to this file as JSON")
    args = ap.parse_args()
    figures = {"cpus": os.cpu_count()}
    for docs in args.docs or [1_000_000, 10_000_000]:
        root = f"{args.dir}-{docs}"
        store(root, docs, args.sections, args.authors)
        row = {"load_start": round(os.getloadavg()[0], 2), **figures_for(root)}
        figures[str(docs)] = row
        print(docs, row, flush=True)
        if not args.keep:
            shutil.rmtree(root)
    write_figures(args.json, figures)


if __name__ == "__main__":
    main()
