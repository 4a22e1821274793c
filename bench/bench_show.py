"""Figures for the queries: show_by_license, both ways of show_by_author and
show_by_author_token, against a plain-Python scan doing the same work
(json.loads of every line).

    PYTHONPATH=build/dev python bench/bench_show.py [--docs N] [--dir D] [--json OUT]

The store is written once into --dir (default /tmp/kx_bench_show) as raw
JSON Lines in the forms the store itself writes, and reused by later runs
with the same sizes.
"""

import argparse
import hashlib
import json
import os
import random
import resource
import shutil
import sys
import time

import _kx_native as kx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from data import best_timing, write_figures  # noqa: E402

FIG = {}


def timing(t):
    """{"wall", "cpu", "records"} of a `timed` result."""
    wall, cores, result = t
    return {"wall": wall, "cpu": wall * cores, "records": len(result)}


def read_layer_bytes(root, layer):
    """The reference for a scan: only reading the bytes of a layer's files."""
    d = os.path.join(root, ".kx", layer)
    total = 0
    for name in os.listdir(d):
        with open(os.path.join(d, name), "rb") as f:
            total += len(f.read())
    return total

LICENSES = [("MIT", 30), ("Apache-2.0", 25), ("GPL-3.0", 15), ("BSD-3-Clause", 10),
            ("LGPL-2.1", 8), ("MPL-2.0", 7), ("BSD-2-Clause", 5)]


def sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


def compact(value):
    return json.dumps(value, separators=(",", ":"), sort_keys=True)


def build_store(root, n_docs, n_sections, n_authors, tokens):
    """Raw store: authors, sections, n_docs document lines (1 to 3 sources),
    an author "Solo" with one section and exactly 100 lines, and an author
    "Duo" with one section and exactly 10 lines."""
    rnd = random.Random(42)
    if os.path.exists(root):
        shutil.rmtree(root)
    kx.init(root)
    kxd = os.path.join(root, ".kx")
    shards = {layer: {} for layer in ("authors", "sections", "document-index")}

    def put(layer, key, line):
        shards[layer].setdefault(key[:2], []).append(line)

    ids = []
    extra = ["Solo", "Duo"]
    for i in range(n_authors + len(extra)):
        name = extra[i - n_authors] if i >= n_authors else f"Author {i}"
        aid = kx.compute_hash({"email": f"{i}@example.org", "name": name})
        ids.append(aid)
        put("authors", aid, json.dumps({"id": aid, "name": name, "email": f"{i}@example.org",
                                        "revoked": False}, separators=(",", ":")))
    names, weights = zip(*LICENSES)
    sections = []
    for i in range(n_sections + len(extra)):
        own = i >= n_sections
        authors = [ids[i - n_sections + n_authors]] if own else rnd.sample(ids[:n_authors], rnd.randint(1, 2))
        lic = "Own-License" if own else rnd.choices(names, weights)[0]
        ident = {"authors": authors, "contributors": [], "license": lic,
                 "path": f"corpus/{i}.txt", "year": "2021"}
        h = kx.compute_hash(ident)
        sections.append(h)
        put("sections", h, json.dumps({"section_hash": h, "path": ident["path"], "authors": authors,
                                       "contributors": [], "license": lic, "year": "2021"},
                                      separators=(",", ":")))
    duo_section = sections.pop()
    solo_section = sections.pop()
    token_lines = []
    for i in range(n_docs + 110):
        if i < n_docs:
            srcs = rnd.sample(sections, rnd.randint(1, 3))
        else:
            srcs = [solo_section if i < n_docs + 100 else duo_section]
        lh = sha(f"line {i}")
        put("document-index", lh, compact({"file": f"data/train-{i % 16:02d}.jsonl",
                                           "line_hash": lh, "revoked": False, "sources": srcs}))
        if tokens:
            token_lines.append(compact({"revoked": False, "sources": srcs,
                                        "token_count": 50 + i % 200, "tokenizer": "bpe"}))
    for layer, by_shard in shards.items():
        for shard, lines in by_shard.items():
            with open(os.path.join(kxd, layer, shard), "w") as f:
                f.write("\n".join(lines) + "\n")
    if tokens:
        merged = os.path.join(kxd, "token-index.bpe")
        os.makedirs(merged, exist_ok=True)
        per_file = (len(token_lines) + 9) // 10
        for k in range(10):
            with open(os.path.join(merged, f"{k + 1:03d}"), "w") as f:
                f.write("".join(line + "\n" for line in token_lines[k * per_file:(k + 1) * per_file]))


def layer_size(root, layer):
    d = os.path.join(root, ".kx", layer)
    return sum(os.path.getsize(os.path.join(d, n)) for n in os.listdir(d))


def python_lines(path):
    with open(path, "rb") as f:
        for raw in f:
            raw = raw.strip(b"\r\n")
            if raw:
                try:
                    yield json.loads(raw)
                except ValueError:
                    pass


def python_layer(root, layer):
    d = os.path.join(root, ".kx", layer)
    for name in os.listdir(d):
        yield from python_lines(os.path.join(d, name))


def python_documents(root, sections):
    return [{"file": v["file"], "line_hash": v["line_hash"], "sources": v["sources"]}
            for v in python_layer(root, "document-index")
            if any(s in sections for s in v["sources"])]


def python_show_by_license(root, lic):
    sections = {v["section_hash"] for v in python_layer(root, "sections") if v["license"] == lic}
    return python_documents(root, sections) if sections else []


def python_show_by_author(root, name):
    ids = {v["id"] for v in python_layer(root, "authors") if v["name"] == name}
    sections = {v["section_hash"] for v in python_layer(root, "sections")
                if any(a in ids for a in v["authors"])}
    return python_documents(root, sections)


def timed(fn, repeat=3):
    """(best wall seconds, cpu seconds / wall seconds of that run, result)."""
    best = None
    for _ in range(repeat):
        result = None  # free the previous run's result outside the timed region
        r0 = resource.getrusage(resource.RUSAGE_SELF)
        t0 = time.perf_counter()
        result = fn()
        wall = time.perf_counter() - t0
        r1 = resource.getrusage(resource.RUSAGE_SELF)
        cpu = (r1.ru_utime - r0.ru_utime) + (r1.ru_stime - r0.ru_stime)
        if best is None or wall < best[0]:
            best = (wall, cpu / wall if wall else 0.0, result)
    return best


def thread_cpu():
    """CPU seconds of each thread of this process, by thread id."""
    ticks = os.sysconf("SC_CLK_TCK")
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            out[tid] = (int(fields[11]) + int(fields[12])) / ticks
        except OSError:
            pass
    return out


def threads_used(fn):
    """How the CPU time of one call of fn spreads over the threads."""
    before = thread_cpu()
    fn()
    after = thread_cpu()
    spent = sorted((after[t] - before.get(t, 0.0) for t in after), reverse=True)
    return ", ".join(f"{s * 1000:.0f}" for s in spent if s > 0) + " ms"


def report(label, native, python=None):
    wall, cores, result = native
    cpu = wall * cores
    line = (f"{label:<44} {wall * 1000:7.0f} ms wall {cpu * 1000:7.0f} ms cpu ({cores:4.2f} cores)"
            f" {len(result):7d} records")
    if python is not None:
        py_cpu = python[0] * python[1]
        line += (f" | python {python[0]:6.2f} s wall {py_cpu:6.2f} s cpu | speed-up"
                 f" {python[0] / wall:5.1f}x wall {py_cpu / cpu:5.1f}x cpu")
    print(line, flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--docs", type=int, default=1_000_000)
    ap.add_argument("--sections", type=int, default=10_000)
    ap.add_argument("--authors", type=int, default=2_000)
    ap.add_argument("--dir", default="/tmp/kx_bench_show")
    ap.add_argument("--no-python", action="store_true", help="skip the slow reference scans")
    ap.add_argument("--json", help="also write the figures to this file as JSON")
    args = ap.parse_args()

    root = args.dir
    stamp = os.path.join(root, "bench-sizes")
    sizes = f"{args.docs} {args.sections} {args.authors} v2"
    if not (os.path.exists(stamp) and open(stamp).read() == sizes):
        t0 = time.perf_counter()
        build_store(root, args.docs, args.sections, args.authors, tokens=True)
        with open(stamp, "w") as f:
            f.write(sizes)
        print(f"store written in {time.perf_counter() - t0:.1f} s")
    print(f"store: {args.docs + 110} document records, {layer_size(root, 'document-index') / 1e6:.0f} MB "
          f"of document shards; {args.sections + 2} sections; {args.authors + 2} authors; "
          f"{os.cpu_count()} CPUs; load average {os.getloadavg()[0]:.1f}")

    FIG.update(docs=args.docs + 110, sections=args.sections + 2, authors=args.authors + 2,
               document_bytes=layer_size(root, "document-index"),
               section_bytes=layer_size(root, "sections"))
    index_path = os.path.join(root, ".kx", "index.bin")
    t0 = time.perf_counter()
    kx.build_index(root)
    print(f"build_index: {time.perf_counter() - t0:.2f} s")
    read_layer_bytes(root, "document-index")  # warm the page cache
    _, FIG["read_document_bytes"] = best_timing(lambda: read_layer_bytes(root, "document-index"))
    os.rename(index_path, index_path + ".off")

    # Warm the page cache once.
    kx.show_by_license(root, "no such license")
    for lic in ["BSD-2-Clause", "MIT"]:
        native = timed(lambda: kx.show_by_license(root, lic))
        py = None if args.no_python else timed(lambda: python_show_by_license(root, lic), repeat=1)
        if py is not None:
            assert sorted(map(str, py[2])) == sorted(map(str, native[2]))
        report(f"show_by_license({lic!r})", native, py)
        FIG.setdefault("license", {})[lic] = {"native": timing(native),
                                              "python": timing(py) if py else None}

    author = "Author 7"
    FIG["threads_license"] = threads_used(lambda: kx.show_by_license(root, "MIT"))
    print("CPU time per thread, show_by_license('MIT'):", FIG["threads_license"])
    FIG["threads_author_scan"] = threads_used(lambda: kx.show_by_author(root, author))
    print(f"CPU time per thread, show_by_author({author!r}) scan way:", FIG["threads_author_scan"])
    native = timed(lambda: kx.show_by_author(root, author))
    py = None if args.no_python else timed(lambda: python_show_by_author(root, author), repeat=1)
    if py is not None:
        assert sorted(map(str, py[2])) == sorted(map(str, native[2]))
    report(f"show_by_author({author!r}) scan way", native, py)
    FIG["author_scan"] = {"native": timing(native), "python": timing(py) if py else None}

    scans = {who: timed(lambda: kx.show_by_author(root, who)) for who in ["Solo", "Duo", author]}
    os.rename(index_path + ".off", index_path)
    for who, lines in [("Solo", 100), ("Duo", 10), (author, None)]:
        indexed = timed(lambda: kx.show_by_author(root, who))
        assert sorted(map(str, scans[who][2])) == sorted(map(str, indexed[2]))
        label = f"show_by_author({who!r}" + (f", {lines} lines)" if lines else ")")
        report(label + " scan way", scans[who])
        report(label + " indexed", indexed)
        FIG.setdefault("author_ways", {})[who] = {"scan": timing(scans[who]), "indexed": timing(indexed)}
        print(f"  indexed / scan: {indexed[0] / scans[who][0]:.2f} wall, "
              f"{indexed[0] * indexed[1] / (scans[who][0] * scans[who][1]):.2f} cpu")

    totals = set()
    for label, prepare in [("index path", lambda: None),
                           ("scan path", lambda: os.utime(os.path.join(root, ".kx", "token-index.bpe", "001")))]:
        prepare()
        wall, cores, result = timed(lambda: kx.show_by_author_token(root, author, "bpe"))
        totals.add((result["document_count"], result["total_tokens"]))
        FIG.setdefault("author_token", {})[label] = {"wall": wall, "cpu": wall * cores,
                                                     "entries": result["document_count"]}
        print(f"show_by_author_token({author!r}, 'bpe') {label:<10} {wall * 1000:7.0f} ms wall"
              f" {wall * cores * 1000:7.0f} ms cpu  {result['document_count']} entries,"
              f" {result['total_tokens']} tokens", flush=True)
    assert len(totals) == 1
    write_figures(args.json, FIG)


if __name__ == "__main__":
    sys.exit(main())
