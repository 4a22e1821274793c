"""Figures for token entries that name their line and data file.

- Merge: two stores of --lines lines each (default 1,000,000), tracked from
  the same sections with whitespace token counts, the second holding half of
  the first's lines (the same file) and as many new ones.  The second is
  merged into a copy of the first by `kx merge` of this tree, with entries
  that name their line and with the same entries stripped of it (as older
  stores hold them), and by the merge of the reference tree (`merge_absorb`
  of --old, today's merge) on the stripped stores.  Records/s counts the
  source's document records and token entries over the wall time; peak
  memory is the child's maximum resident set.
- Bytes per entry of a pid line with and without the identity.
- `kx track` of a --mb MB file (default 1024) by both trees, against
  `openssl dgst -sha256` of the same file in the same run (the figure to
  keep is >= 0.5x), and `kx index build` of the tracked store by both.

The reference tree is given by --old: a checkout of the commit before
entries named their line (a8fe679) whose build/dev holds its built modules
and whose python/ its package.  Every measurement runs in a child process
of its own.

Run: python bench/bench_token_identity.py --old TREE [--lines 1000000] [--mb 1024]
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(HERE, "bench"))
from data import write_jsonl  # noqa: E402

MB = 1 << 20


def tree_path(tree):
    return os.pathsep.join([os.path.join(tree, "build", "dev"), os.path.join(tree, "python")])


def timed(argv, tree):
    """(wall seconds, peak resident MB) of a child run with `tree`'s modules."""
    env = dict(os.environ, PYTHONPATH=tree_path(tree), KX_PROGRESS="0")
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{argv} failed: {proc.stderr.read().decode()}")
    return wall, usage.ru_maxrss / 1024


def kx(tree, project, *args):
    return timed([sys.executable, "-m", "kx", "-C", project, *args], tree)


def python(tree, code, *args):
    return timed([sys.executable, "-c", code, *args], tree)


def new_project(tree, path):
    os.makedirs(path)
    kx(tree, path, "init")
    kx(tree, path, "author", "add", "Ada", "ada@example.org")
    kx(tree, path, "section", "add", "corpus/web.txt", "--author", "Ada", "--license", "MIT", "--year", "2024")


def write_lines(path, start, count):
    with open(path, "w") as f:
        for i in range(start, start + count):
            f.write(json.dumps({"text": f"line {i} of the corpus with a few words"}) + "\n")


IDENTITY = re.compile(rb',"line_hash":"[0-9a-f]{64}","file":"[^"]*"')


def strip_identity(project):
    """Rewrites every token file of a store without the entries' identity."""
    store = os.path.join(project, ".kx")
    for root, _, files in os.walk(store):
        for name in files:
            if name.startswith("token-index.") or os.path.basename(root).startswith("token-index."):
                path = os.path.join(root, name)
                with open(path, "rb") as f:
                    data = f.read()
                with open(path, "wb") as f:
                    f.write(IDENTITY.sub(b"", data))


def entry_bytes(project):
    store = os.path.join(project, ".kx")
    sizes = lines = 0
    for name in os.listdir(store):
        if name.startswith("token-index.whitespace."):
            with open(os.path.join(store, name), "rb") as f:
                data = f.read()
            sizes += len(data)
            lines += data.count(b"\n")
    return sizes / max(lines, 1)


def merge_figures(args, work):
    new, old = HERE, args.old
    a, b = os.path.join(work, "a"), os.path.join(work, "b")
    for project, start in ((a, 0), (b, args.lines // 2)):
        new_project(new, project)
        write_lines(os.path.join(project, "data.jsonl"), start, args.lines)
        kx(new, project, "track", "data.jsonl", "--source", "corpus/web.txt", "--tokenizer", "whitespace")
    with_id = entry_bytes(b)
    plain_a, plain_b = a + "-plain", b + "-plain"
    shutil.copytree(a, plain_a)
    shutil.copytree(b, plain_b)
    strip_identity(plain_a)
    strip_identity(plain_b)
    without_id = entry_bytes(plain_b)
    moved = 2 * args.lines  # the source's records and entries
    rows = []
    for label, tree, target, source, code in (
        ("kx merge, entries with identity", new, a, b, "from kx import _core as c; import sys; c.merge_stores(sys.argv[1], sys.argv[2])"),
        ("kx merge, entries without identity", new, plain_a, plain_b, "from kx import _core as c; import sys; c.merge_stores(sys.argv[1], sys.argv[2])"),
        ("today's merge (reference), without identity", old, plain_a, plain_b, "import _kx_native as k, sys; k.merge_absorb(sys.argv[1], sys.argv[2])"),
    ):
        copy = target + "-merged"
        shutil.rmtree(copy, ignore_errors=True)
        shutil.copytree(target, copy)
        wall, peak = python(tree, code, source, copy)
        rows.append((label, wall, moved / wall, peak))
        shutil.rmtree(copy)
    return rows, with_id, without_id


def track_figures(args, work):
    data = os.path.join(work, "track.jsonl")
    write_jsonl(data, args.mb * MB)
    openssl = min(timed(["openssl", "dgst", "-sha256", data], HERE)[0] for _ in range(2))
    rows = []
    for label, tree in (("this tree", HERE), ("reference", args.old)):
        best = build = None
        for attempt in range(2):
            project = os.path.join(work, f"track-{attempt}-{label.replace(' ', '-')}")
            new_project(tree, project)
            os.symlink(data, os.path.join(project, "track.jsonl"))
            wall, _ = kx(tree, project, "track", "track.jsonl", "--source", "corpus/web.txt", "--tokenizer", "whitespace")
            built, _ = kx(tree, project, "index", "build")
            best = wall if best is None else min(best, wall)
            build = built if build is None else min(build, built)
            shutil.rmtree(project)
        rows.append((label, best, args.mb / best, openssl / best, build))
    os.unlink(data)
    return rows, openssl


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lines", type=int, default=1_000_000)
    parser.add_argument("--mb", type=int, default=1024)
    parser.add_argument("--old", required=True, help="the reference tree (see above)")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="kx-identity-")
    try:
        merges, with_id, without_id = merge_figures(args, work)
        print(f"merge of two stores of {args.lines:,} lines (half of the source's lines already in the target)")
        print(f"{'':48} {'wall s':>8} {'records/s':>12} {'peak MB':>9}")
        for label, wall, rate, peak in merges:
            print(f"{label:48} {wall:8.2f} {rate:12,.0f} {peak:9.0f}")
        print(f"bytes per pid-file entry: {with_id:.1f} with identity, {without_id:.1f} without")
        tracks, openssl = track_figures(args, work)
        print(f"kx track of {args.mb} MB; openssl dgst -sha256 {openssl:.2f} s ({args.mb / openssl:.0f} MB/s)")
        print(f"{'':12} {'track s':>8} {'MB/s':>8} {'x openssl':>10} {'index build s':>14}")
        for label, wall, rate, ratio, build in tracks:
            print(f"{label:12} {wall:8.2f} {rate:8.0f} {ratio:10.2f} {build:14.2f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
