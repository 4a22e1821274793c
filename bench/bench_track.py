"""Figures for tracking and the author query.

track: time per call of `track` on a realistic ~1 KB dict with a tokenizer,
against a plain-Python function writing the same two lines (canonical
document record and pid line, hashlib for the hash) with open/append/close;
then the rate of a burst of 100,000 `track` calls (best of 3).

compute_hash: time per call on the same dicts, converted directly and, with
json.dumps replaced by a function that only delegates to it, through
json.dumps and the parser (the way every other Python object takes); and
json.dumps alone.

author_query: CPU time over wall time of `author_query(kx_dir, name, None)`
over 100,000 author records (a ratio near 2 means both cores are used).

scale: with --bursts N,M,..., a burst of N `track` calls into a fresh store
for each size, next to the same burst of the plain-Python function (how the
cost grows as the store fills).

Run: PYTHONPATH=build/dev python bench/bench_track.py [--calls 20000]
     [--burst 100000] [--authors 100000] [--bursts 10000,100000] [--json OUT]
"""

import argparse
import hashlib
import json
import os
import resource
import shutil
import sys
import tempfile
import time

import _kx_native as kx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from data import write_figures  # noqa: E402

FIG = {}


def realistic_record(i):
    return {
        "id": "doc-%08d" % i,
        "text": ("The quick brown fox jumps over the lazy dog. " * 19)[: 850] + str(i),
        "meta": {"source": "crawl-2023-14", "lang": "en", "score": 0.8731, "tokens": 212},
        "tags": ["web", "english", "filtered"],
    }


def python_track(data, file, sources, kx_dir, token_count, tokenizer):
    text = json.dumps(data, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    line_hash = hashlib.sha256(text.encode()).hexdigest()
    doc = json.dumps({"file": file, "line_hash": line_hash, "revoked": False,
                      "sources": sources}, separators=(",", ":"), ensure_ascii=False)
    with open(os.path.join(kx_dir, ".kx", "document-index", line_hash[:2]), "a") as f:
        f.write(doc + "\n")
    pid = json.dumps({"token_count": token_count, "sources": sources, "tokenizer": tokenizer,
                      "revoked": False}, separators=(",", ":"), ensure_ascii=False)
    with open(os.path.join(kx_dir, ".kx", "token-index.%s.%d" % (tokenizer, os.getpid())),
              "a") as f:
        f.write(pid + "\n")
    return line_hash


def time_calls(fn, records, kx_dir, sources):
    # Process CPU time: the figure an idle machine shows, steady under load.
    start = time.process_time()
    for i, rec in enumerate(records):
        fn(rec, "train.jsonl", sources, kx_dir, 212, "gpt2")
    return time.process_time() - start


def time_hashes(records):
    """Best CPU time per call (µs) of compute_hash over `records`, of 3 runs."""
    best = None
    for _ in range(3):
        start = time.process_time()
        for rec in records:
            kx.compute_hash(rec)
        t = time.process_time() - start
        best = t if best is None else min(best, t)
    return best / len(records) * 1e6


def bench_compute_hash(calls):
    records = [realistic_record(i) for i in range(calls)]
    direct = time_hashes(records)
    dumps = json.dumps
    json.dumps = lambda obj: dumps(obj)  # a replaced json.dumps takes the general way
    try:
        general = time_hashes(records)
    finally:
        json.dumps = dumps
    start = time.process_time()
    for rec in records:
        dumps(rec)
    alone = (time.process_time() - start) / len(records) * 1e6
    FIG["compute_hash_us_cpu"] = {"direct": direct, "json_dumps_way": general,
                                  "json_dumps_alone": alone, "record_bytes": len(dumps(records[0])),
                                  "calls": calls}
    print("compute_hash, %d-byte dict: %.2f us/call; through json.dumps: %.2f us/call (%.2fx); "
          "json.dumps alone: %.2f us/call (CPU)" % (len(dumps(records[0])), direct, general,
                                                     general / direct, alone))


def bench_track(base, calls, burst):
    sources = [hashlib.sha256(b"section-%d" % i).hexdigest() for i in range(2)]
    records = [realistic_record(i) for i in range(calls)]
    size = len(json.dumps(records[0]))
    results = {}
    for name, fn in [("python", python_track),
                     ("track", lambda d, f, s, k, c, t: kx.track(d, f, s, k, c, t))]:
        best = None
        for rep in range(3):
            d = os.path.join(base, "%s-%d" % (name, rep))
            kx.init(d)
            t = time_calls(fn, records, d, sources)
            best = t if best is None else min(best, t)
        results[name] = best / len(records) * 1e6
    FIG["per_call_us_cpu"] = dict(results, record_bytes=size, calls=len(records))
    print("track, %d-byte dict with tokenizer: %.2f us/call; plain Python: %.2f us/call (CPU) "
          "(ratio %.2fx)" % (size, results["track"], results["python"],
                              results["python"] / results["track"]))

    # The floor: the same two appends with precomputed lines, from Python.
    d = os.path.join(base, "floor")
    kx.init(d)
    doc = b"x" * 133 + b"\n"
    pid = b"y" * 70 + b"\n"
    shard_dir = os.path.join(d, ".kx", "document-index")
    pid_path = os.path.join(d, ".kx", "token-index.gpt2.%d" % os.getpid())
    flags = os.O_WRONLY | os.O_APPEND | os.O_CREAT
    n = calls
    start = time.process_time()
    for i in range(n):
        fd = os.open(os.path.join(shard_dir, "%02x" % (i & 255)), flags, 0o666)
        os.write(fd, doc)
        os.close(fd)
        fd = os.open(pid_path, flags, 0o666)
        os.write(fd, pid)
        os.close(fd)
    floor = (time.process_time() - start) / n * 1e6
    FIG["per_call_us_cpu"]["floor"] = floor
    print("floor, the two appends alone (os.open/write/close from Python): %.2f us/call (CPU)"
          % floor)

    # Best of 3 bursts, each into a fresh store.
    n = burst
    elapsed = cpu = None
    for rep in range(3):
        d = os.path.join(base, "burst-%d" % rep)
        kx.init(d)
        start, cpu_start = time.perf_counter(), time.process_time()
        for i in range(n):
            kx.track(records[i % len(records)], "train.jsonl", sources, d, 212, "gpt2")
        wall_s, cpu_s = time.perf_counter() - start, time.process_time() - cpu_start
        if elapsed is None or wall_s < elapsed:
            elapsed, cpu = wall_s, cpu_s
    FIG["burst"] = {"calls": n, "wall": elapsed, "cpu": cpu}
    print("track burst of %d calls: %.0f lines/s wall (%.2f s); %.0f lines/s of process CPU "
          "time (the rate on an idle core)" % (n, n / elapsed, elapsed, n / cpu))


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def bench_scale(base, sizes):
    """A burst of n calls into a fresh store, native and plain Python, per size."""
    sources = [hashlib.sha256(b"section-%d" % i).hexdigest() for i in range(2)]
    records = [realistic_record(i) for i in range(20000)]
    FIG["scale"] = []
    for n in sizes:
        row = {"calls": n}
        for name, fn in [("track", lambda d, f, s, k, c, t: kx.track(d, f, s, k, c, t)),
                         ("python", python_track)]:
            d = os.path.join(base, "scale-%s-%d" % (name, n))
            kx.init(d)
            wall0, cpu0 = time.perf_counter(), time.process_time()
            for i in range(n):
                fn(records[i % len(records)], "train.jsonl", sources, d, 212, "gpt2")
            row[name] = {"wall": time.perf_counter() - wall0, "cpu": time.process_time() - cpu0}
            shutil.rmtree(d)
        FIG["scale"].append(row)
        print("track burst of %d into a fresh store: %.0f lines/s wall, %.0f lines/s CPU; plain "
              "Python %.0f lines/s wall, %.0f lines/s CPU" % (
                  n, n / row["track"]["wall"], n / row["track"]["cpu"], n / row["python"]["wall"],
                  n / row["python"]["cpu"]), flush=True)


def bench_author_query(base, n):
    d = os.path.join(base, "authors")
    kx.init(d)
    for i in range(n):
        kx.author_add("Author %d" % (i % 5000), "a%d@example.org" % i, d)
    kx.author_query(d, "Author 7", None)  # warm the page cache and the pool
    reps = 5
    cpu0, wall0 = cpu_seconds(), time.perf_counter()
    for _ in range(reps):
        found = kx.author_query(d, "Author 7", None)
    wall = time.perf_counter() - wall0
    cpu = cpu_seconds() - cpu0
    assert len(found) == len(range(7, n, 5000))
    cpu0, wall0 = cpu_seconds(), time.perf_counter()
    everything = kx.author_query(d, None, None)
    wall_all = time.perf_counter() - wall0
    cpu_all = cpu_seconds() - cpu0
    assert len(everything) == n
    FIG["author_query"] = {"records": n, "name_wall": wall / reps, "name_cpu": cpu / reps,
                           "all_wall": wall_all, "all_cpu": cpu_all}
    print("author_query(name, None) over %d records: %.1f ms/call, cpu/wall %.2f "
          "(%d cores available)" % (n, wall / reps * 1e3, cpu / wall, os.cpu_count()))
    print("author_query(None, None) over %d records: %.1f ms, cpu/wall %.2f"
          % (n, wall_all * 1e3, cpu_all / wall_all))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=20000, help="calls of the per-call comparison")
    ap.add_argument("--burst", type=int, default=100_000)
    ap.add_argument("--authors", type=int, default=100_000)
    ap.add_argument("--bursts", default="", help="comma-separated burst sizes for the scale figures")
    ap.add_argument("--authors-only", action="store_true")
    ap.add_argument("--json", help="also write the figures to this file as JSON")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as base:
        if not args.authors_only:
            bench_compute_hash(args.calls)
            bench_track(base, args.calls, args.burst)
        bench_author_query(base, args.authors)
        if args.bursts:
            bench_scale(base, [int(n) for n in args.bursts.split(",")])
    write_figures(args.json, FIG)


if __name__ == "__main__":
    main()
