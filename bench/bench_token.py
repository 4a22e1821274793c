"""Figures of the token index: source matching, revocation, the binary index.

Run from the repository root after building the module:
    PYTHONPATH=build/dev python bench/bench_token.py [entries] [--json OUT]

The store holds 10,000 sections and `entries` (default 1,000,000) merged
token-index entries, each naming one section; the author "Ann" owns 100 of
the sections, so 1% of the entries match her.  Revocation by author and the
author-and-tokenizer query run without a binary index, so they take the fast
scan (only lines holding a target in quotes are parsed); the full scan is
token_index_revoke_by_sources, which parses every line.
"""
import json
import os
import random
import sys
import tempfile
import time

import _kx_native as kx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from data import write_figures  # noqa: E402

SECTIONS = 10_000
ANN_SECTIONS = 100
FILES = 10


CPU = []  # process CPU seconds of the last best_of / toggle_twice, for loaded machines


def timed(fn):
    t, c = time.perf_counter(), time.process_time()
    result = fn()
    CPU.append(time.process_time() - c)
    return time.perf_counter() - t, result


def best_of(fn, rounds=3):
    del CPU[:]
    best = min(timed(fn)[0] for _ in range(rounds))
    CPU[:] = [min(CPU)]
    return best


def make_store(root, entries):
    d = os.path.join(root, "proj")
    kx.init(d)
    ann = kx.author_add("Ann", "ann@example.org", d)
    other = kx.author_add("Bob", "bob@example.org", d)
    sections = [kx.register_section(f"src/{i}.txt", [ann if i < ANN_SECTIONS else other], [],
                                    "MIT", "2024", d) for i in range(SECTIONS)]
    rng = random.Random(7)
    merged = os.path.join(d, ".kx", "token-index.bench")
    os.makedirs(merged)
    per_file = entries // FILES
    for f in range(FILES):
        lines = []
        for _ in range(per_file):
            entry = {"revoked": False, "sources": [rng.choice(sections)],
                     "token_count": rng.randint(50, 500), "tokenizer": "bench"}
            lines.append(json.dumps(entry, separators=(",", ":")))
        with open(os.path.join(merged, f"{f + 1:03d}"), "w") as out:
            out.write("\n".join(lines) + "\n")
    return d, set(sections[:ANN_SECTIONS])


def python_full_scan(d, targets):
    """Plain-Python reference: json.loads of every line, count the matches."""
    merged = os.path.join(d, ".kx", "token-index.bench")
    n = 0
    for name in sorted(os.listdir(merged)):
        with open(os.path.join(merged, name), "rb") as f:
            for line in f:
                if any(s in targets for s in json.loads(line)["sources"]):
                    n += 1
    return n


def toggle_twice(fn):
    """Times a flipping call and the call that flips back; returns the better."""
    del CPU[:]
    first, n = timed(fn)
    second, m = timed(fn)
    assert n == m, (n, m)
    CPU[:] = [min(CPU)]
    return min(first, second), n


def main():
    args = [a for a in sys.argv[1:]]
    out = None
    if "--json" in args:
        at = args.index("--json")
        out = args[at + 1]
        del args[at:at + 2]
    entries = int(args[0]) if args else 1_000_000
    fig = {"entries": entries}

    def keep(name, seconds, **extra):
        fig[name] = {"wall": seconds, "cpu": CPU[-1], **extra}

    with tempfile.TemporaryDirectory() as root:
        t, (d, targets) = timed(lambda: make_store(root, entries))
        size = sum(os.path.getsize(os.path.join(d, ".kx", "token-index.bench", n))
                   for n in os.listdir(os.path.join(d, ".kx", "token-index.bench")))
        fig["merged_bytes"] = size
        print(f"store: {entries} entries, {size / 1e6:.1f} MB of merged files "
              f"(made in {t:.1f} s)")

        def rate(seconds):
            return (f"{seconds * 1000:9.1f} ms  {entries / seconds / 1e6:7.2f} M lines/s"
                    f"  (cpu {CPU[-1] * 1000:7.1f} ms)")

        py = best_of(lambda: python_full_scan(d, targets), 1)
        keep("python_scan", py)
        print(f"plain Python scan (json.loads)     {rate(py)}")
        full, n = toggle_twice(lambda: kx.token_index_revoke_by_sources(d, "bench", targets))
        keep("revoke_full_scan", full, flipped=n)
        print(f"revoke_by_sources (full scan)      {rate(full)}  flipped {n}")
        fast, n = toggle_twice(lambda: kx.revoke_by_author_token(d, "Ann", "bench"))
        keep("revoke_fast", fast, flipped=n)
        print(f"revoke_by_sources_fast (by author) {rate(fast)}  flipped {n}"
              f"  {full / fast:5.1f}x full scan")
        find = best_of(lambda: kx.show_by_author_token(d, "Ann", "bench"))
        keep("find_fast", find)
        found = kx.show_by_author_token(d, "Ann", "bench")["document_count"]
        print(f"find_entries_by_sources_fast       {rate(find)}  found {found}"
              f"  {full / find:5.1f}x full scan")
        forget = best_of(lambda: kx.generate_forget_set(d, "bench"))
        keep("forget_set_scan", forget)
        print(f"generate_forget_set (merged files) {rate(forget)}")

        build = best_of(lambda: kx.token_index_build_binary_index(d, "bench"))
        keep("binary_build", build)
        print(f"token binary index build           {rate(build)}  "
              f"({os.path.getsize(os.path.join(d, '.kx', 'token-index.bench.bin')) / 1e6:.1f} MB)")
        forget_idx = best_of(lambda: kx.generate_forget_set(d, "bench"))
        keep("forget_set_index", forget_idx)
        print(f"generate_forget_set (fresh index)  {forget_idx * 1000:9.1f} ms")
        find_idx = best_of(lambda: kx.show_by_author_token(d, "Ann", "bench"))
        keep("find_index", find_idx)
        print(f"show_by_author_token (fresh index) {find_idx * 1000:9.1f} ms")
        overhead = best_of(lambda: kx.show_by_author_token(d, "Ann", "none"))
        keep("resolution_only", overhead)
        print(f"  (author and section resolution alone: {overhead * 1000:.1f} ms)")
    write_figures(out, fig)


if __name__ == "__main__":
    main()
