"""Figures for the maintenance operations.

merge_absorb: a source store of 1,000,000 document records and 1,000,000
token entries (plus 10,000 authors and sections) absorbed into a target of
the same size, half of every kind shared.  Reports seconds, records per
second and the peak RSS of the process doing the merge, and separately the
index build that the merge ends with.

clean: a store with 3 tokenizers of 100 pid files each (1,000 entries per
file) and a document layer of 200,000 records of which 1% are revoked.

Usage: PYTHONPATH=build/dev python bench/bench_maint.py [--scale 0.1]
       [--dir /tmp/kx-bench-maint] [--json OUT]
The merge stores are kept under --dir and reused by later runs of the same
scale; every merge works on a fresh copy of the target.
"""

import argparse
import hashlib
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import _kx_native as kx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from data import write_figures  # noqa: E402

FIG = {}


def h(tag, i):
    return hashlib.sha256(b"%s:%d" % (tag, i)).hexdigest()


def dump(record):
    return json.dumps(record, separators=(",", ":"), sort_keys=True)


def write_sharded(kx_dir, layer, key, records):
    shards = {}
    for r in records:
        shards.setdefault(r[key][:2], []).append(dump(r))
    for name, lines in shards.items():
        with open(os.path.join(kx_dir, ".kx", layer, name), "a") as f:
            f.write("\n".join(lines) + "\n")


def build_merge_store(kx_dir, lo, hi, people_lo, people_hi, files=10):
    kx.init(kx_dir)
    sections = [h(b"s", i) for i in range(people_lo, people_hi)]
    write_sharded(
        kx_dir,
        "authors",
        "id",
        ({"id": h(b"a", i), "name": "n%d" % i, "email": "e%d" % i, "revoked": False} for i in range(people_lo, people_hi)),
    )
    write_sharded(
        kx_dir,
        "sections",
        "section_hash",
        ({"section_hash": s, "path": "p", "authors": [], "contributors": [], "license": "MIT", "year": "2024", "revoked": False} for s in sections),
    )
    write_sharded(
        kx_dir,
        "document-index",
        "line_hash",
        ({"line_hash": h(b"l", i), "file": "data.jsonl", "sources": [h(b"s", i % 10_000)]} for i in range(lo, hi)),
    )
    merged = os.path.join(kx_dir, ".kx", "token-index.tok")
    os.makedirs(merged, exist_ok=True)
    per_file = (hi - lo) // files
    for n in range(files):
        start = lo + n * per_file
        with open(os.path.join(merged, "%03d" % (n + 1)), "w") as f:
            for i in range(start, start + per_file):
                f.write(dump({"token_count": i, "sources": [h(b"s", i % 10_000)], "tokenizer": "tok", "revoked": False}) + "\n")


def peak_rss_kib():
    # VmHWM belongs to the process image: unlike ru_maxrss it does not carry
    # the high-water mark of the parent that forked this process.
    with open("/proc/self/status") as f:
        for row in f:
            if row.startswith("VmHWM:"):
                return int(row.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def child_merge(source, target):
    t0, c0 = time.perf_counter(), time.process_time()
    result = kx.merge_absorb(source, target)
    seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
    rss_kib = peak_rss_kib()
    print(json.dumps({"seconds": seconds, "cpu": cpu, "rss_kib": rss_kib, "result": result}))


def child_build(target):
    t0 = time.perf_counter()
    try:
        kx.build_index(target)
        ok = True
    except RuntimeError:
        ok = False
    print(json.dumps({"seconds": time.perf_counter() - t0, "ok": ok}))


def run_child(*args):
    out = subprocess.run([sys.executable, __file__, *args], check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def cached_merge_stores(cache, scale, n, people):
    """The pristine source and target stores of this scale, built on first use."""
    base = os.path.join(cache, "merge-%g" % scale)
    source, target = os.path.join(base, "src"), os.path.join(base, "dst")
    if not os.path.exists(os.path.join(base, "built")):
        shutil.rmtree(base, ignore_errors=True)
        t0 = time.perf_counter()
        build_merge_store(source, 0, n, 0, people)
        build_merge_store(target, n // 2, n + n // 2, people // 2, people + people // 2)
        open(os.path.join(base, "built"), "w").close()
        print("stores built in %.1f s" % (time.perf_counter() - t0))
    return source, target


def bench_merge(root, scale, cache):
    n = int(1_000_000 * scale)
    people = int(10_000 * scale) or 1
    source, pristine = cached_merge_stores(cache, scale, n, people)
    target, spare = os.path.join(root, "dst"), os.path.join(root, "dst-copy")
    shutil.copytree(pristine, target)
    shutil.copytree(pristine, spare)
    baseline = run_child("--child-noop")

    m = run_child("--child-merge", source, target)
    records = 2 * n + 2 * people
    r = m["result"]
    print("merge_absorb: %.2f s wall, %.2f s CPU, %.0f source records/s, peak RSS %.0f MiB (interpreter alone %.0f MiB)"
          % (m["seconds"], m["cpu"], records / m["seconds"], m["rss_kib"] / 1024, baseline["rss_kib"] / 1024))
    print("  result:", r)
    FIG["merge"] = {"records": records, "wall": m["seconds"], "cpu": m["cpu"],
                    "rss_mib": m["rss_kib"] / 1024, "interpreter_rss_mib": baseline["rss_kib"] / 1024}
    b = run_child("--child-build", spare)
    FIG["merge_target_build"] = {"wall": b["seconds"], "ok": b["ok"]}
    print("  of which, roughly, the target index build: %.2f s (ok=%s, measured on the pre-merge target)"
          % (b["seconds"], b["ok"]))
    again = run_child("--child-merge", source, target)
    FIG["merge_again"] = {"wall": again["seconds"], "cpu": again["cpu"], "rss_mib": again["rss_kib"] / 1024}
    print("merge_absorb again (all duplicates): %.2f s wall, %.2f s CPU, peak RSS %.0f MiB"
          % (again["seconds"], again["cpu"], again["rss_kib"] / 1024))


def bench_clean(root, scale):
    d = os.path.join(root, "clean")
    kx.init(d)
    per_file = max(1, int(1000 * scale))
    for tok in ("t1", "t2", "t3"):
        for pid in range(1, 101):
            with open(os.path.join(d, ".kx", "token-index.%s.%d" % (tok, pid)), "w") as f:
                for i in range(per_file):
                    f.write(dump({"token_count": i, "sources": [h(b"s", i)], "tokenizer": tok, "revoked": False}) + "\n")
    docs = int(200_000 * scale)
    write_sharded(
        d,
        "document-index",
        "line_hash",
        ({"line_hash": h(b"l", i), "file": "f", "sources": [], **({"revoked": True} if i % 100 == 0 else {})} for i in range(docs)),
    )
    t0, c0 = time.perf_counter(), time.process_time()
    result = kx.clean(d, False)
    FIG["clean"] = {"wall": time.perf_counter() - t0, "cpu": time.process_time() - c0,
                    "pid_files": 300, "entries_per_file": per_file, "documents": docs}
    print("clean (3 tokenizers x 100 pid files x %d entries, %d documents): %.2f s wall, %.2f s CPU"
          % (per_file, docs, time.perf_counter() - t0, time.process_time() - c0))
    print("  result:", result)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child-merge":
        return child_merge(sys.argv[2], sys.argv[3])
    if len(sys.argv) > 1 and sys.argv[1] == "--child-build":
        return child_build(sys.argv[2])
    if len(sys.argv) > 1 and sys.argv[1] == "--child-noop":
        return print(json.dumps({"rss_kib": peak_rss_kib()}))
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--only", choices=["merge", "clean"])
    parser.add_argument("--dir", default="/tmp/kx-bench-maint", help="where the merge stores are kept")
    parser.add_argument("--json", help="also write the figures to this file as JSON")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as root:
        if args.only != "clean":
            bench_merge(root, args.scale, args.dir)
        if args.only != "merge":
            bench_clean(root, args.scale)
    write_figures(args.json, FIG)


if __name__ == "__main__":
    main()
