"""`kx blame FILE` of every line of a tracked file, against the per-line way.

A file of about 100 MB of 1 KB JSON training records (100,000 lines by
default) is tracked into a store (kept under KX_BENCH_DIR and reused).
The command runs as a user runs it, `python -m kx blame FILE` with its
output to a file, interpreter start-up included; its wall time, CPU time
(all threads) and peak memory are measured.  The reference is the way the
command worked before the bulk pass, in a process of its own: one
`_kx_native.blame` call per line (each reading the line's whole shard),
sections described per line, the rows padded as one table at the end.
Both outputs are checked to hold the same rows.  Memory must not grow with
the file: the command is also run on the file repeated 4 and 8 times (every
line tracked all the same), and its peak memory compared; the lines of one
look-up window (sized against the document index) fit in the 4-fold file.

Usage: PYTHONPATH=build/dev:python python bench/bench_blame_cli.py [--lines N] [--json OUT]
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

import _kx_native as kx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import data  # noqa: E402
from data import write_figures  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The command as it was: a blame call per line, the table built at the end.
PER_LINE = """
import sys
from kx import datafile
from kx.commands.blame import Blamer, _line_result, _row
from kx.output import table
from kx.store import Store

path = sys.argv[1]
blamer = Blamer(Store("."), path)
results = [_line_result(number, blamer(text)) for number, text in datafile.lines(path)]
sys.stdout.write("\\n".join(table(_row(r) for r in results)) + "\\n")
"""


def environment():
    native_dir = os.path.dirname(os.path.abspath(kx.__file__))
    installed = os.path.isfile(os.path.join(native_dir, "kx", "__init__.py"))
    package_dir = native_dir if installed else os.path.join(REPO, "python")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([native_dir, package_dir]))
    env.pop("KX_PROGRESS", None)
    return env


def tracked_store(lines):
    """A store with a data file of `lines` records, all tracked (cached)."""
    root = data.cache_path(f"blame-cli-{lines}")
    path = os.path.join(root, "train.jsonl")
    if os.path.exists(os.path.join(root, "done")):
        return root, path
    shutil.rmtree(root, ignore_errors=True)
    kx.init(root)
    author = kx.author_add("Bench Author", "bench@example.org", root)
    section = kx.register_section("corpus/bench.txt", [author], [], "MIT", "2024", root)
    rng = random.Random(11)
    with open(path, "w") as f:
        for i in range(lines):
            record = data.record(rng, i)
            kx.track(record, "train.jsonl", [section], root)
            f.write(json.dumps(record) + "\n")
    open(os.path.join(root, "done"), "w").close()
    return root, path


def run(argv, root, out_path, env):
    """Runs a process in `root` with its output to `out_path`: wall, CPU
    (user + system, all threads) and peak RSS in MiB."""
    with open(out_path, "w") as out:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, cwd=root, env=env, stdout=out, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
    err = proc.stderr.read().decode(errors="replace")
    proc.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(argv)} failed: {err}")
    return {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime, "rss_mib": usage.ru_maxrss / 1024}


def run_grown(kx_blame, root, path, times, work, env):
    """The command on the data file repeated `times` times."""
    grown = os.path.join(root, "grown.jsonl")
    with open(grown, "wb") as out, open(path, "rb") as one:
        for _ in range(times):
            one.seek(0)
            shutil.copyfileobj(one, out, 1 << 24)
    try:
        return run(kx_blame + ["grown.jsonl"], root, os.path.join(work, "grown.txt"), env)
    finally:
        os.remove(grown)


def best(runs):
    return {k: min(r[k] for r in runs) for k in runs[0]}


def rows(path):
    """The rows of a blame output, with runs of spaces made one."""
    with open(path) as f:
        return [" ".join(line.split()) for line in f]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3, help="runs of the command; the best counts")
    parser.add_argument("--grow", default="4,8", help="times the file is repeated for the memory check")
    parser.add_argument("--json", help="also write the figures to this file as JSON")
    args = parser.parse_args()
    env = environment()
    root, path = tracked_store(args.lines)
    size = os.path.getsize(path)
    print(f"{args.lines} lines, {size / 1e6:.1f} MB, tracked in {root}")
    work = tempfile.mkdtemp(prefix="kx-bench-blame-")
    try:
        kx_blame = [sys.executable, "-m", "kx", "blame"]
        ours = best([run(kx_blame + ["train.jsonl"], root, os.path.join(work, "ours.txt"), env)
                     for _ in range(args.repeat)])
        ours_json = best([run(kx_blame + ["train.jsonl", "--json"], root, os.path.join(work, "ours.json"), env)
                          for _ in range(args.repeat)])
        reference = run([sys.executable, "-c", PER_LINE, "train.jsonl"], root, os.path.join(work, "ref.txt"), env)
        same = rows(os.path.join(work, "ours.txt")) == rows(os.path.join(work, "ref.txt"))

        grown = {}
        for times in map(int, args.grow.split(",")):
            grown[times] = best([run_grown(kx_blame, root, path, times, work, env)
                                 for _ in range(max(1, args.repeat - 1))])

        write_figures(args.json, {"lines": args.lines, "bytes": size, "same_rows": same,
                                  "command": ours, "command_json": ours_json, "per_line": reference,
                                  "grown": [{"times": k, **t} for k, t in grown.items()]})
        named = [("kx blame (bulk)", ours), ("kx blame --json (bulk)", ours_json),
                 ("per-line blame (before)", reference)]
        named += [(f"kx blame, file x{k}", t) for k, t in grown.items()]
        for name, t in named:
            print(f"{name:26} {t['wall']:7.2f} s wall {t['cpu']:7.2f} s CPU {t['rss_mib']:7.0f} MiB peak")
        print(f"speed: {reference['wall'] / ours['wall']:.1f}x wall, {reference['cpu'] / ours['cpu']:.1f}x CPU "
              f"(target: at least 20x); same rows: {same}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
