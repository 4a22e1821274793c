"""Tracking and purging compressed data files against their plain twin.

A data file of JSON lines (0.5-2 KB each, 10% of them drawn from a section
whose author is then revoked) is written plain, as zstd (the `zstd` command,
level 3, threaded: one frame, decompressed on one thread) and as gzip
(Python's gzip module, level 6: one member).  Each is tracked in a fresh store with `kx track
--source-field source`, then purged with `kx purge` after the author's
revocation (a pristine copy of the file each time).  Figures are the wall
seconds of the command (best of --rounds) and each compressed file's speed as
a fraction of the plain twin's.  For zstd it also times the `zstd` command
alone decompressing the file into a level-3 compression on every core: the
codec's share of a purge, the bound of the purge's figure on the machine.

Usage: python bench/bench_compressed.py [--size 1024] [--rounds 2]
       [--formats zstd,gzip] [--dir /tmp/kx-bench-compressed] [--json OUT]
(--size in MB of decompressed content; the `kx` command must be on PATH or
beside this interpreter).
"""

import argparse
import gzip
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from data import record, write_figures  # noqa: E402

KEPT, REVOKED = "corpus/kept.txt", "corpus/withdrawn.txt"


def kx_command():
    beside = os.path.join(os.path.dirname(sys.executable), "kx")
    return [beside] if os.path.exists(beside) else ["kx"]


def kx(root, *args):
    return subprocess.run([*kx_command(), "-C", root, *args], check=True, capture_output=True, text=True).stdout


def write_plain(path, target_bytes):
    rng = random.Random(7)
    size = n = 0
    with open(path, "w") as f:
        while size < target_bytes:
            r = record(rng, n)
            r["source"] = REVOKED if rng.random() < 0.1 else KEPT
            line = json.dumps(r) + "\n"
            f.write(line)
            size += len(line)
            n += 1


def write_compressed(plain, base, formats):
    """{format: path} of the compressed twins asked for, written unless a
    run before left them."""
    made = {}
    if "zstd" in formats:
        if not shutil.which("zstd"):
            print("zstd: skipped (the zstd command is not installed)")
        else:
            if not os.path.exists(base + ".zst"):
                subprocess.run(["zstd", "-q", "-f", "-3", "-T0", plain, "-o", base + ".zst"], check=True)
            made["zstd"] = base + ".zst"
    if "gzip" in formats:
        if not os.path.exists(base + ".gz"):
            with open(plain, "rb") as src, gzip.open(base + ".gz.part", "wb", compresslevel=6) as dst:
                shutil.copyfileobj(src, dst, 1 << 20)
            os.rename(base + ".gz.part", base + ".gz")
        made["gzip"] = base + ".gz"
    return made


def template_store(root):
    os.makedirs(root)
    kx(root, "init")
    kx(root, "author", "add", "Keeper", "keep@example.org")
    kx(root, "author", "add", "Leaver", "leave@example.org")
    kx(root, "section", "add", KEPT, "--author", "Keeper", "--license", "MIT", "--year", "2024")
    kx(root, "section", "add", REVOKED, "--author", "Leaver", "--license", "MIT", "--year", "2024")


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def timed(root, *args):
    """(wall, CPU) seconds of one command: on a shared machine the CPU time
    is the steadier figure."""
    start, cpu = time.perf_counter(), children_cpu()
    kx(root, *args)
    return time.perf_counter() - start, children_cpu() - cpu


def best(a, b):
    return min(a[0], b[0]), min(a[1], b[1])


def measure(work, template, source, rounds):
    """Best (wall, CPU) seconds of tracking and of purging `source`."""
    name = os.path.basename(source)
    track = purge = (float("inf"), float("inf"))
    for _ in range(rounds):
        root = os.path.join(work, "run")
        shutil.rmtree(root, ignore_errors=True)
        shutil.copytree(template, root)
        shutil.copy(source, os.path.join(root, name))
        track = best(track, timed(root, "track", name, "--source-field", "source"))
        kx(root, "revoke", "--author", "Leaver")
        purge = best(purge, timed(root, "purge", name))
    shutil.rmtree(os.path.join(work, "run"), ignore_errors=True)
    return track, purge


def zstd_round_trip(path, rounds):
    """Best wall seconds of the zstd command decompressing `path` into a
    level-3 compression on every core: the codec's share of a purge, which
    no purge of that file can undercut on this machine."""
    best_s = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        subprocess.run(f"zstd -dcq '{path}' | zstd -3 -T{os.cpu_count()} -cq > /dev/null", shell=True, check=True)
        best_s = min(best_s, time.perf_counter() - start)
    return best_s


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=int, default=1024, help="MB of decompressed content")
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--dir", default="/tmp/kx-bench-compressed")
    ap.add_argument("--formats", default="zstd,gzip", help="compressed formats to measure (comma-separated)")
    ap.add_argument("--json")
    args = ap.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    base = os.path.join(args.dir, f"data-{args.size}mb.jsonl")
    if not os.path.exists(base):
        write_plain(base, args.size << 20)
    files = {"plain": base, **write_compressed(base, base, args.formats.split(","))}
    template = os.path.join(args.dir, "template")
    shutil.rmtree(template, ignore_errors=True)
    template_store(template)

    figures = {}
    for fmt, path in files.items():
        track, purge = measure(args.dir, template, path, args.rounds)
        figures[fmt] = {"bytes": os.path.getsize(path), "track_s": track[0], "track_cpu_s": track[1],
                        "purge_s": purge[0], "purge_cpu_s": purge[1]}
    plain = figures["plain"]
    mb = args.size
    print(f"{'file':6} {'size MB':>8} {'track s':>8} {'cpu s':>6} {'MB/s':>5} {'vs plain':>8} "
          f"{'purge s':>8} {'cpu s':>6} {'MB/s':>5} {'vs plain':>8}")
    for fmt, f in figures.items():
        f["track_vs_plain"] = plain["track_s"] / f["track_s"]
        f["purge_vs_plain"] = plain["purge_s"] / f["purge_s"]
        print(f"{fmt:6} {f['bytes'] / 1e6:8.1f} {f['track_s']:8.2f} {f['track_cpu_s']:6.2f} "
              f"{mb / f['track_s']:5.0f} {f['track_vs_plain']:8.2f} {f['purge_s']:8.2f} "
              f"{f['purge_cpu_s']:6.2f} {mb / f['purge_s']:5.0f} {f['purge_vs_plain']:8.2f}")
    print("(MB/s of decompressed content, by wall time; targets for zstd: track >= 0.7x, purge >= 0.5x of plain)")
    if "zstd" in figures and shutil.which("zstd"):
        codec = figures["zstd"]["codec_round_trip_s"] = zstd_round_trip(files["zstd"], args.rounds)
        print(f"zstd command alone, decompressing into level 3 on {os.cpu_count()} threads: {codec:.2f} s, "
              f"{plain['purge_s'] / codec:.2f}x of the plain purge (the most a zstd purge can reach here)")
    write_figures(args.json, {"compressed": figures, "size_mb": mb})


if __name__ == "__main__":
    main()
