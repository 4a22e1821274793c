"""Figures of the foundation: the line-hash pipeline and jsonl_read.

Run from the repository root after `pip install .`:
    python bench/bench_foundation.py
The C++ pipeline figure needs the micro-benchmark, built with
    cmake -S . -B build/bench -DKX_BUILD_BENCH=ON && cmake --build build/bench --target line_hash_bench
"""
import hashlib
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
from data import cache_path, write_jsonl  # noqa: E402

import _kx_native as kx  # noqa: E402


def best_of(fn, rounds=3):
    best = float("inf")
    for _ in range(rounds):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def canonical_python(line):
    return json.dumps(json.loads(line), sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def main():
    path = cache_path("lines-100MB.jsonl")
    if not os.path.exists(path):
        write_jsonl(path, 100 * 1000 * 1000)
    size_mb = os.path.getsize(path) / 1e6
    with open(path, "rb") as f:
        lines = f.read().splitlines()

    py = best_of(lambda: [hashlib.sha256(canonical_python(l).encode()).hexdigest() for l in lines], 1)
    print(f"plain Python parse+canonical+sha256   {size_mb / py:8.1f} MB/s")

    exe = os.path.join("build", "bench", "line_hash_bench")
    if os.path.exists(exe):
        out = subprocess.run([exe, path], capture_output=True, text=True, check=True).stdout
        print(out, end="")
        native = float(out.split("parse+canonical+sha256")[1].split("MB/s")[0])
        print(f"native / plain Python                  {native / (size_mb / py):8.1f}x")
    else:
        print(f"(build {exe} for the native pipeline figure)")

    small = cache_path("lines-50MB.jsonl")
    if not os.path.exists(small):
        write_jsonl(small, 50 * 1000 * 1000, seed=2)

    def python_read():
        with open(small) as f:
            return [json.loads(l) for l in f]

    t_py = best_of(python_read)
    t_kx = best_of(lambda: kx.jsonl_read(small))
    print(f"jsonl_read 50 MB                       {t_kx:8.3f} s")
    print(f"[json.loads(l) for l in open(p)]       {t_py:8.3f} s  (jsonl_read is {t_py / t_kx:.2f}x)")


if __name__ == "__main__":
    main()
