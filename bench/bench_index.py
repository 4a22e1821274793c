"""Times build_index on a large store against a plain-Python build of the
same group files.

The store (generated once and kept under --dir) holds --docs document
records, --sections sections, --authors authors, --tokens token-index
entries in merged files, and a data file train.jsonl with one line per
document record.  The C++ build does all of its steps (group files,
index.bin, binary token indexes, line-offset tables); the Python reference
does only the group files, so the ratio understates the difference.

    PYTHONPATH=build/dev python bench/bench_index.py [--docs N ...] [--json OUT]
"""

import argparse
import hashlib
import json
import os
import random
import shutil
import statistics
import sys
import time
from collections import defaultdict

import _kx_native as kx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from data import write_figures  # noqa: E402


def hexhash(text):
    return hashlib.sha256(text.encode()).hexdigest()


def append_grouped(layer_dir, lines_by_shard):
    for shard, lines in lines_by_shard.items():
        with open(os.path.join(layer_dir, shard), "a") as f:
            f.write("".join(lines))


def generate(d, docs, sections, authors, tokens, merged_files):
    rng = random.Random(1)
    kx.init(d)
    store = os.path.join(d, ".kx")
    author_ids, by_shard = [], defaultdict(list)
    for i in range(authors):
        name, email = "Author %d" % i, "a%d@example.org" % i
        aid = kx.compute_hash({"email": email, "name": name})
        author_ids.append(aid)
        by_shard[aid[:2]].append(json.dumps({"id": aid, "name": name, "email": email, "revoked": False},
                                            separators=(",", ":")) + "\n")
    append_grouped(os.path.join(store, "authors"), by_shard)

    section_ids, by_shard = [], defaultdict(list)
    for i in range(sections):
        listed = rng.sample(author_ids, rng.randint(1, 3))
        ident = {"path": "src/%d.txt" % i, "authors": listed, "contributors": [], "license": "MIT",
                 "year": "2024"}
        sh = kx.compute_hash(ident)
        section_ids.append(sh)
        record = {"section_hash": sh, **ident}
        by_shard[sh[:2]].append(json.dumps(record, separators=(",", ":")) + "\n")
    append_grouped(os.path.join(store, "sections"), by_shard)

    by_shard = defaultdict(list)
    with open(os.path.join(d, "train.jsonl"), "w") as data:
        for i in range(docs):
            text = '{"text":"line %d"}' % i
            data.write(text + "\n")
            lh = hexhash(text)
            sources = rng.sample(section_ids, rng.randint(1, 2))
            by_shard[lh[:2]].append('{"file":"train.jsonl","line_hash":"%s","revoked":false,"sources":%s}\n'
                                    % (lh, json.dumps(sources, separators=(",", ":"))))
            if len(by_shard) == 256 and i % 100000 == 0:
                append_grouped(os.path.join(store, "document-index"), by_shard)
                by_shard = defaultdict(list)
    append_grouped(os.path.join(store, "document-index"), by_shard)

    merged = os.path.join(store, "token-index.gpt2")
    os.makedirs(merged, exist_ok=True)
    per_file = (tokens + merged_files - 1) // merged_files
    for n in range(merged_files):
        count = min(per_file, tokens - n * per_file)
        with open(os.path.join(merged, "%03d" % (n + 1)), "w") as f:
            f.write("".join(
                '{"revoked":false,"sources":%s,"token_count":%d,"tokenizer":"gpt2"}\n'
                % (json.dumps(rng.sample(section_ids, 1)), rng.randint(5, 500))
                for _ in range(count)))


def regular_files(layer):
    if not os.path.isdir(layer):
        return []
    return [os.path.join(layer, n) for n in os.listdir(layer) if os.path.isfile(os.path.join(layer, n))]


def read_values(path):
    with open(path, "rb") as f:
        for line in f:
            line = line.rstrip(b"\n")
            if line.endswith(b"\r"):
                line = line[:-1]
            if not line:
                continue
            try:
                yield json.loads(line)
            except ValueError:
                continue


def python_group_files(d):
    """The group files of the index build, written by plain Python."""
    store = os.path.join(d, ".kx")
    source_shards = defaultdict(set)
    for path in regular_files(os.path.join(store, "document-index")):
        for v in read_values(path):
            if not isinstance(v, dict):
                continue
            lh, sources = v.get("line_hash"), v.get("sources")
            if isinstance(lh, str) and lh and isinstance(sources, list):
                for s in sources:
                    if isinstance(s, str):
                        source_shards[s].add(lh[:2])
    section_shards, author_shards = {}, defaultdict(set)
    for path in regular_files(os.path.join(store, "sections")):
        for v in read_values(path):
            if not isinstance(v, dict):
                continue
            sh = v.get("section_hash")
            if not isinstance(sh, str) or not sh:
                continue
            section_shards[sh] = sorted(source_shards.get(sh, ()))
            authors = v.get("authors")
            if isinstance(authors, list):
                for a in authors:
                    if isinstance(a, str):
                        author_shards[a].add(sh[:2])
    groups = defaultdict(list)
    for a in sorted(author_shards):
        groups[a[:2]].append(json.dumps({"id": a, "refs": sorted(author_shards[a])}, separators=(",", ":")))
    for s in sorted(section_shards):
        groups[s[:2]].append(json.dumps({"id": s, "refs": section_shards[s]}, separators=(",", ":")))
    out = os.path.join(store, "index.py")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for name, lines in groups.items():
        with open(os.path.join(out, name), "w") as f:
            f.write("\n".join(lines) + "\n")
    return out


def timed(fn, runs):
    """Result, wall times and CPU times (all threads of the process)."""
    walls, cpus = [], []
    result = None
    for _ in range(runs):
        t0, c0 = time.perf_counter(), time.process_time()
        result = fn()
        walls.append(time.perf_counter() - t0)
        cpus.append(time.process_time() - c0)
    return result, walls, cpus


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dir", default="/tmp/kx-bench-index")
    ap.add_argument("--docs", type=int, default=1_000_000)
    ap.add_argument("--sections", type=int, default=10_000)
    ap.add_argument("--authors", type=int, default=2_000)
    ap.add_argument("--tokens", type=int, default=1_000_000)
    ap.add_argument("--merged-files", type=int, default=10)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--regenerate", action="store_true")
    ap.add_argument("--json", help="also write the figures to this file as JSON")
    args = ap.parse_args()

    tag = "%d-%d-%d-%d" % (args.docs, args.sections, args.authors, args.tokens)
    d = os.path.join(args.dir, tag)
    if args.regenerate or not os.path.exists(os.path.join(d, "train.jsonl")):
        shutil.rmtree(d, ignore_errors=True)
        t0 = time.perf_counter()
        generate(d, args.docs, args.sections, args.authors, args.tokens, args.merged_files)
        print("generated store in %.1f s" % (time.perf_counter() - t0))
    kx.build_index(d)  # warm the page cache

    stats, cpp, cpp_cpu = timed(lambda: kx.build_index(d), args.runs)
    py_dir, py, py_cpu = timed(lambda: python_group_files(d), max(1, args.runs - 1))
    # The same work as the Python reference: the store without its token
    # entries and data file, so the build writes the group files and an
    # index.bin of the authors and sections only.
    stash = d + ".stash"
    os.makedirs(stash, exist_ok=True)
    moved = [(os.path.join(d, ".kx", "token-index.gpt2"), os.path.join(stash, "tok")),
             (os.path.join(d, "train.jsonl"), os.path.join(stash, "train.jsonl"))]
    for a, b in moved:
        os.rename(a, b)
    try:
        _, groups_only, groups_only_cpu = timed(lambda: kx.build_index(d), args.runs)
    finally:
        for a, b in moved:
            os.rename(b, a)
        kx.build_index(d)

    store = os.path.join(d, ".kx")
    same = all(open(os.path.join(store, "index", n), "rb").read() == open(os.path.join(py_dir, n), "rb").read()
               for n in os.listdir(py_dir)) and sorted(os.listdir(py_dir)) == sorted(os.listdir(os.path.join(store, "index")))
    records = args.docs + args.sections + args.tokens
    best_cpp, best_py = min(cpp), min(py)
    print("store: %d document records, %d sections, %d authors, %d token entries" %
          (args.docs, args.sections, args.authors, args.tokens))
    print("build_index result:", stats)
    print("machine: %d CPUs, load average %.1f (the machine may be shared: CPU times are steadier)"
          % (os.cpu_count(), os.getloadavg()[0]))
    print("build_index (all steps): best %.2f s wall, median %.2f s over %d runs; %.0f records/s; "
          "CPU %.2f s (all threads)" % (best_cpp, statistics.median(cpp), len(cpp), records / best_cpp, min(cpp_cpu)))
    print("plain Python group files only: best %.2f s wall; %.0f records/s; CPU %.2f s" %
          (best_py, (args.docs + args.sections) / best_py, min(py_cpu)))
    print("build_index without token entries and data file (the same group files): best %.2f s wall; "
          "%.0f records/s; CPU %.2f s" % (min(groups_only), (args.docs + args.sections) / min(groups_only),
                                          min(groups_only_cpu)))
    print("speed-up on the same group files: %.1fx wall, %.1fx CPU"
          % (best_py / min(groups_only), min(py_cpu) / min(groups_only_cpu)))
    print("speed-up of the full C++ build over the Python group files alone: %.1fx wall, %.1fx CPU"
          % (best_py / best_cpp, min(py_cpu) / min(cpp_cpu)))
    print("group files identical: %s" % same)
    print("index.bin: %d bytes" % os.path.getsize(os.path.join(store, "index.bin")))

    def best(walls, cpus):
        return {"wall": min(walls), "cpu": min(cpus), "median_wall": statistics.median(walls)}

    layer = os.path.join(store, "document-index")
    write_figures(args.json, {
        "docs": args.docs, "sections": args.sections, "authors": args.authors, "tokens": args.tokens,
        "records": records, "document_bytes": sum(os.path.getsize(p) for p in regular_files(layer)),
        "build_all": best(cpp, cpp_cpu), "python_groups": best(py, py_cpu),
        "build_groups_only": best(groups_only, groups_only_cpu), "same_group_files": same,
        "index_bin_bytes": os.path.getsize(os.path.join(store, "index.bin"))})


if __name__ == "__main__":
    main()
