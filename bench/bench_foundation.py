"""Figures of the foundation: the line-hash pipeline and jsonl_read.

Run from the repository root after `pip install .`:
    python bench/bench_foundation.py [--size-mb 100] [--read-mb 50] [--json OUT]
The C++ pipeline figure needs the micro-benchmark, built with
    cmake -S . -B build/bench -DKX_BUILD_BENCH=ON && cmake --build build/bench --target line_hash_bench
"""
import argparse
import hashlib
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
from data import best_timing, cache_path, write_figures, write_jsonl  # noqa: E402

import _kx_native as kx  # noqa: E402


def canonical_python(line):
    return json.dumps(json.loads(line), sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def cached_file(size_mb, seed):
    path = cache_path("lines-%dMB.jsonl" % size_mb)
    if not os.path.exists(path):
        write_jsonl(path + ".tmp", size_mb * 1000 * 1000, seed=seed)
        os.rename(path + ".tmp", path)
    return path


def read_bytes(path):
    with open(path, "rb") as f:
        return len(f.read())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size-mb", type=int, default=100, help="file of the line-hash pipeline")
    ap.add_argument("--read-mb", type=int, default=50, help="file of jsonl_read")
    ap.add_argument("--bench-bin", default=os.path.join("build", "bench"),
                    help="directory of the C++ micro-benchmarks")
    ap.add_argument("--json", help="also write the figures to this file as JSON")
    args = ap.parse_args()
    fig = {}

    path = cached_file(args.size_mb, seed=1)
    size_mb = os.path.getsize(path) / 1e6
    with open(path, "rb") as f:
        lines = f.read().splitlines()
    fig["pipeline_bytes"] = os.path.getsize(path)
    fig["pipeline_lines"] = len(lines)

    _, py = best_timing(lambda: [hashlib.sha256(canonical_python(l).encode()).hexdigest() for l in lines], 1)
    joined = b"".join(lines)
    _, py_sha = best_timing(lambda: hashlib.sha256(joined).hexdigest(), 3)
    del joined
    fig["python_pipeline"], fig["python_sha256_one_call"] = py, py_sha
    del lines
    print(f"plain Python parse+canonical+sha256   {size_mb / py['wall']:8.1f} MB/s")

    exe = os.path.join(args.bench_bin, "line_hash_bench")
    if os.path.exists(exe):
        out = subprocess.run([exe, path, "--json"], capture_output=True, text=True, check=True).stdout
        native = json.loads(out)
        fig["native"] = native
        print(f"sha256 one call (libcrypto)            {size_mb / native['sha256_one_call']['wall']:8.1f} MB/s")
        print(f"native parse+canonical+sha256          {size_mb / native['pipeline']['wall']:8.1f} MB/s")
        print(f"native / plain Python                  {py['wall'] / native['pipeline']['wall']:8.1f}x")
    else:
        print(f"(build {exe} for the native pipeline figure)")

    small = cached_file(args.read_mb, seed=2)
    fig["read_bytes"] = os.path.getsize(small)

    def python_read():
        with open(small) as f:
            return [json.loads(l) for l in f]

    read_bytes(small)  # warm the page cache
    _, fig["read_raw"] = best_timing(lambda: read_bytes(small))
    _, fig["python_read"] = best_timing(python_read)
    _, fig["jsonl_read"] = best_timing(lambda: kx.jsonl_read(small))
    t_kx, t_py = fig["jsonl_read"]["wall"], fig["python_read"]["wall"]
    print(f"jsonl_read {args.read_mb} MB                       {t_kx:8.3f} s")
    print(f"[json.loads(l) for l in open(p)]       {t_py:8.3f} s  (jsonl_read is {t_py / t_kx:.2f}x)")
    write_figures(args.json, fig)


if __name__ == "__main__":
    main()
