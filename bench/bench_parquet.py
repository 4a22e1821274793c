"""Tracking and purging a Parquet table against pyarrow's own speed and
against the table's JSON Lines twin.

A JSON Lines file of records (0.5-2 KB each, with a nested struct and a list;
10% drawn from a section whose author is then revoked) is written, and the
same rows as a Parquet table (pyarrow, snappy, row groups of --group rows).
Each file is tracked in a fresh store with `kx track --source-field source`,
then purged with `kx purge` after the author's revocation (a pristine copy
each time).  The references are pyarrow reading the whole table
(pq.read_table) and writing it (pq.write_table, same codec and row groups).
Rates are MB/s of the JSON text (the twin's size) and rows/s; times are the
best of --rounds.

Usage: python bench/bench_parquet.py [--size 300] [--group 65536] [--rounds 2]
       [--dir /tmp/kx-bench-parquet] [--json OUT]
(--size in MB of JSON text; the `kx` command must be on PATH or beside this
interpreter).
"""

import argparse
import os
import shutil
import sys
import time

import pyarrow.json as pj
import pyarrow.parquet as pq

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_compressed import measure, template_store, write_plain  # noqa: E402
from data import write_figures  # noqa: E402


def timed_pyarrow(fn, rounds):
    seconds = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        seconds = min(seconds, time.perf_counter() - start)
    return seconds


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=int, default=300, help="MB of JSON text")
    ap.add_argument("--group", type=int, default=65536, help="rows per row group")
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--dir", default="/tmp/kx-bench-parquet")
    ap.add_argument("--json")
    args = ap.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    plain = os.path.join(args.dir, f"data-{args.size}mb.jsonl")
    table_path = os.path.join(args.dir, f"data-{args.size}mb.parquet")
    if not os.path.exists(plain):
        write_plain(plain, args.size << 20)
    table = pj.read_json(plain, read_options=pj.ReadOptions(block_size=64 << 20))
    if not os.path.exists(table_path):
        pq.write_table(table, table_path, row_group_size=args.group)
    rows = table.num_rows
    json_mb = os.path.getsize(plain) / 1e6
    scratch = os.path.join(args.dir, "written.parquet")
    read_s = timed_pyarrow(lambda: pq.read_table(table_path), args.rounds)
    write_s = timed_pyarrow(lambda: pq.write_table(table, scratch, row_group_size=args.group), args.rounds)
    os.remove(scratch)
    del table

    template = os.path.join(args.dir, "template")
    shutil.rmtree(template, ignore_errors=True)
    template_store(template)
    figures = {"rows": rows, "json_mb": json_mb, "parquet_mb": os.path.getsize(table_path) / 1e6,
               "row_group_rows": args.group, "pyarrow_read_s": read_s, "pyarrow_write_s": write_s}
    for name, path in (("jsonl", plain), ("parquet", table_path)):
        track, purge = measure(args.dir, template, path, args.rounds)
        figures[name] = {"track_s": track[0], "track_cpu_s": track[1], "purge_s": purge[0], "purge_cpu_s": purge[1]}

    print(f"{rows:,} rows, {json_mb:.0f} MB as JSON Lines, {figures['parquet_mb']:.0f} MB as Parquet "
          f"(snappy, row groups of {args.group:,} rows)")
    print(f"{'':28} {'s':>7} {'cpu s':>7} {'MB/s':>6} {'rows/s':>10}")
    lines = [("pyarrow read_table", read_s, None), ("pyarrow write_table", write_s, None)]
    for name in ("jsonl", "parquet"):
        f = figures[name]
        lines += [(f"kx track {name}", f["track_s"], f["track_cpu_s"]),
                  (f"kx purge {name}", f["purge_s"], f["purge_cpu_s"])]
    for label, seconds, cpu in lines:
        cpu_text = f"{cpu:7.2f}" if cpu is not None else f"{'':7}"
        print(f"{label:28} {seconds:7.2f} {cpu_text} {json_mb / seconds:6.0f} {rows / seconds:10,.0f}")
    table, twin = figures["parquet"], figures["jsonl"]
    print(f"Parquet track: {read_s / table['track_s']:.2f} x pyarrow's read, "
          f"{twin['track_s'] / table['track_s']:.2f} x the twin's track; "
          f"purge: {(read_s + write_s) / table['purge_s']:.2f} x pyarrow's read + write, "
          f"{twin['purge_s'] / table['purge_s']:.2f} x the twin's purge")
    write_figures(args.json, {"parquet": figures})


if __name__ == "__main__":
    main()
