"""Figures for `kx track` of whole data files.

For each size (default 1 GiB and 4 GiB) a JSON Lines file of ~1 KB records
is tracked with one source and whitespace token counts by the `kx` command in
a process of its own: wall time, throughput and peak memory (the child's
maximum resident set), against `openssl dgst -sha256` over the same file
measured in the same run.  Then the same file tracked again (every line is
skipped as recorded already).

The reference for the old way: the check pass and the loop of `track` calls
the command ran before (json.loads of every line twice, one `track` per
line), on the first `--old-mb` MB of the file, as MB/s.

Run: python bench/bench_track_file.py [--sizes 1024,4096] [--old-mb 100] [--json OUT]
"""

import argparse
import json
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
    """A store with one author and one section; returns the section hash."""
    native.init(path)
    author = native.author_add("Ada", "ada@example.org", path)
    return native.register_section("corpus/web.txt", [author], [], "CC-BY-4.0", "2024", path)


def timed_child(argv):
    """(wall seconds, peak resident MB) of a child process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{argv} failed: {proc.stderr.read().decode()}")
    return wall, usage.ru_maxrss / 1024


def openssl_seconds(path):
    return min(timed_child(["openssl", "dgst", "-sha256", path])[0] for _ in range(2))


def kx_track(project, path, section):
    return timed_child([sys.executable, "-m", "kx", "-C", project, "track", path, "--source", section,
                        "--tokenizer", "whitespace"])


def old_way_mb_per_s(path, limit):
    """The check pass and the per-line loop the command used before."""
    with tempfile.TemporaryDirectory(dir=os.path.dirname(path)) as project:
        section = new_project(project)
        with open(path, "rb") as f:
            data = f.read(limit)
        data = data[: data.rfind(b"\n") + 1]
        start = time.perf_counter()
        lines = data.decode().splitlines()
        for text in lines:  # the check pass
            json.loads(text)
        for text in lines:  # the tracking pass
            value = json.loads(text)
            native.track(value, "data.jsonl", [section], project, len(value["text"].split()), "whitespace")
        return len(data) / MB / (time.perf_counter() - start)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="1024,4096", help="file sizes in MB")
    ap.add_argument("--old-mb", type=int, default=100)
    ap.add_argument("--json")
    args = ap.parse_args()
    figures = {}
    work = tempfile.mkdtemp(prefix="kx-track-bench-")
    try:
        for size_mb in map(int, args.sizes.split(",")):
            path = os.path.join(work, f"data{size_mb}.jsonl")
            lines = write_jsonl(path, size_mb * MB)
            size = os.path.getsize(path)
            project = os.path.join(work, f"p{size_mb}")
            section = new_project(project)
            sha = openssl_seconds(path)
            wall, rss = kx_track(project, path, section)
            again, again_rss = kx_track(project, path, section)
            key = f"track_file_{size_mb}mb"
            figures[key] = {
                "lines": lines,
                "bytes": size,
                "seconds": wall,
                "mb_per_s": size / MB / wall,
                "openssl_mb_per_s": size / MB / sha,
                "vs_openssl": sha / wall,
                "peak_rss_mb": rss,
                "retrack_seconds": again,
                "retrack_peak_rss_mb": again_rss,
            }
            print(f"kx track {size / MB:,.0f} MB ({lines:,} lines): {wall:.2f} s, {size / MB / wall:,.0f} MB/s, "
                  f"{sha / wall:.2f}x openssl dgst ({size / MB / sha:,.0f} MB/s), peak {rss:,.0f} MB; "
                  f"again (all skipped): {again:.2f} s, peak {again_rss:,.0f} MB", flush=True)
            if size_mb == min(map(int, args.sizes.split(","))):
                old = old_way_mb_per_s(path, args.old_mb * MB)
                figures["track_file_old_way_mb_per_s"] = old
                figures["track_file_vs_old_way"] = size / MB / wall / old
                print(f"old way (check pass + track loop) on {args.old_mb} MB: {old:.1f} MB/s; "
                      f"kx track is {size / MB / wall / old:.1f}x faster", flush=True)
            shutil.rmtree(project)
            os.remove(path)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    write_figures(args.json, figures)


if __name__ == "__main__":
    main()
