"""`kx track` against a plain Python loop over `_kx_native.track`.

Both record the same JSON Lines file (100,000 training records of 0.5 to 2
KB by default) with a whitespace token count per line, each into a fresh
store.  The loop reads the file, parses each line with json.loads, counts
the words of its text and calls track.  The command runs as a user runs it,
`python -m kx track FILE --source S --tokenizer whitespace`, interpreter
start-up included, with standard error on a pseudo-terminal so that its
progress bar is drawn.  Each runs --repeat times, alternating, and the
best time of each counts (the machine may be busy).  Prints both times, lines per second and the ratio
(the command should reach at least half the loop's speed).

Usage: PYTHONPATH=build/dev:python python bench/bench_cli.py [--lines N] [--json OUT]
"""

import argparse
import json
import os
import pty
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import _kx_native as kx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import data  # noqa: E402
from data import write_figures  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def fresh_store(root):
    kx.init(root)
    author = kx.author_add("Bench Author", "bench@example.org", root)
    return kx.register_section("corpus/bench.txt", [author], [], "MIT", "2024", root)


def write_lines(path, count):
    import random

    rng = random.Random(7)
    with open(path, "w") as f:
        for i in range(count):
            f.write(json.dumps(data.record(rng, i)) + "\n")


def plain_loop(root, path, section):
    start, cpu = time.perf_counter(), time.process_time()
    with open(path, "rb") as f:
        for line in f:
            value = json.loads(line)
            kx.track(value, "train.jsonl", [section], root, len(value["text"].split()), "whitespace")
    return time.perf_counter() - start, time.process_time() - cpu


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def command(root, path, section):
    native_dir = os.path.dirname(os.path.abspath(kx.__file__))
    package_dir = native_dir if os.path.isdir(os.path.join(native_dir, "kx")) else os.path.join(REPO, "python")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([native_dir, package_dir]))
    env.pop("KX_PROGRESS", None)
    leader, follower = pty.openpty()
    drawn = bytearray()

    def drain():
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:
                return
            if not chunk:
                return
            drawn.extend(chunk)

    reader = threading.Thread(target=drain)
    reader.start()
    start, cpu = time.perf_counter(), children_cpu()
    done = subprocess.run(
        [sys.executable, "-m", "kx", "-C", root, "track", path, "--source", section, "--tokenizer", "whitespace"],
        env=env, stdout=subprocess.PIPE, stderr=follower, stdin=subprocess.DEVNULL,
    )
    elapsed = time.perf_counter() - start, children_cpu() - cpu
    os.close(follower)
    reader.join()
    os.close(leader)
    if done.returncode != 0:
        sys.exit(f"kx track failed: {bytes(drawn).decode(errors='replace')}")
    return elapsed, b"[" in drawn


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=2, help="runs of each, alternating; the best counts")
    parser.add_argument("--json", help="also write the figures to this file as JSON")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="kx-bench-cli-")
    try:
        path = os.path.join(work, "train.jsonl")
        write_lines(path, args.lines)
        size = os.path.getsize(path)
        print(f"{args.lines} lines, {size / 1e6:.1f} MB")

        loops, clis = [], []
        for run in range(args.repeat):
            loop_root = os.path.join(work, f"loop{run}")
            loops.append(plain_loop(loop_root, path, fresh_store(loop_root)))
            cli_root = os.path.join(work, f"cli{run}")
            elapsed, bar_drawn = command(cli_root, path, fresh_store(cli_root))
            clis.append(elapsed)
            shutil.rmtree(loop_root)
            shutil.rmtree(cli_root)
        loop, cli = min(w for w, _ in loops), min(w for w, _ in clis)
        write_figures(args.json, {
            "lines": args.lines, "bytes": size, "bar_drawn": bar_drawn,
            "loop": {"wall": loop, "cpu": min(c for _, c in loops)},
            "command": {"wall": cli, "cpu": min(c for _, c in clis)}})

        print(f"python loop over track:  {loop:7.2f} s  {args.lines / loop:9.0f} lines/s")
        print(f"kx track (progress bar): {cli:7.2f} s  {args.lines / cli:9.0f} lines/s"
              f"  (bar drawn: {'yes' if bar_drawn else 'no'})")
        print(f"kx track speed / loop speed: {loop / cli:.2f} (target: at least 0.50)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
