"""Many processes on one store at once: trackers appending in parallel, then
`clean`; concurrent appends to the operation log and to one shard; readers
running beside writers.  Real processes, started together.

The sizes are modest so that CI stays fast; KX_PROOF_PROCS and
KX_PROOF_LINES raise them (scripts/proof_long.sh runs the full size:
8 processes of 20,000 lines each)."""

import json
import os
import time
from collections import Counter

import _kx_native as kx
from conftest import kx_path, read_bytes, spawn_python

PROCS = int(os.environ.get("KX_PROOF_PROCS", "8"))
LINES = int(os.environ.get("KX_PROOF_LINES", "2500"))
TOKENIZER = "tok"

TRACKER = r"""
import sys
import _kx_native as kx
kx_dir, worker, lines, section = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
sys.stdin.read(1)  # every process starts when all are ready
for n in range(lines):
    kx.track({"worker": worker, "n": n, "text": "line %d of worker %d" % (n, worker)},
             "data%d.jsonl" % worker, [section], kx_dir,
             token_count=token_count(worker, n), tokenizer="tok")
"""

TOKEN_COUNT = "def token_count(worker, n):\n    return (worker * 7919 + n * 31) % 1000 + 1\n"


def token_count(worker, n):
    return (worker * 7919 + n * 31) % 1000 + 1


def start_together(procs):
    for p in procs:
        p.stdin.write(b"g")
        p.stdin.close()
        p.stdin = None  # communicate() must not touch it again


def wait_all(procs, timeout=900):
    for p in procs:
        out, err = p.communicate(timeout=timeout)
        assert p.returncode == 0, err.decode()


def lines_of(path):
    """The non-empty lines of a file; fails when the file does not end in a
    line feed (a torn last line).  Empty lines are what readers skip: an
    append that finds another one still under way may start with a line
    feed."""
    data = read_bytes(path)
    assert data == b"" or data.endswith(b"\n"), path
    return [line for line in data.split(b"\n") if line]


def layer_lines(kx_dir, layer):
    out = []
    for name in sorted(os.listdir(kx_path(kx_dir, layer))):
        path = kx_path(kx_dir, layer, name)
        if os.path.isfile(path):
            out.extend(lines_of(path))
    return out


def test_parallel_trackers_then_clean_keep_every_record_exactly_once(store):
    authors = [kx.author_add("Writer %d" % w, "w%d@example.org" % w, store) for w in range(PROCS)]
    sections = [
        kx.register_section("src/%d.txt" % w, [authors[w]], [], "MIT", "2024", store)
        for w in range(PROCS)
    ]
    procs = [
        spawn_python(TOKEN_COUNT + TRACKER, store, w, LINES, sections[w]) for w in range(PROCS)
    ]
    started = time.monotonic()
    start_together(procs)
    wait_all(procs)
    elapsed = time.monotonic() - started
    total = PROCS * LINES
    print("\n%d processes tracked %d lines each (%d in all) in %.2f s"
          % (PROCS, LINES, total, elapsed))

    # One intact pid file per process, every line a whole entry.
    pid_files = [n for n in os.listdir(kx_path(store)) if n.startswith("token-index.tok.")]
    assert len(pid_files) == PROCS
    for name in pid_files:
        lines = lines_of(kx_path(store, name))
        assert len(lines) == LINES
        assert all(json.loads(line)["tokenizer"] == TOKENIZER for line in lines)

    result = kx.clean(store, False)
    assert result["token_index_merged"] == total
    assert result["token_index_pid_deleted"] == PROCS
    assert [n for n in os.listdir(kx_path(store)) if n.startswith("token-index.tok.")] == [
        "token-index.tok.bin"
    ]

    # Every document record once, every shard line whole.
    raw = [json.loads(line) for line in layer_lines(store, "document-index")]
    assert len(raw) == total
    expected = Counter()
    for w in range(PROCS):
        for n in range(LINES):
            value = {"worker": w, "n": n, "text": "line %d of worker %d" % (n, w)}
            expected[(kx.compute_hash(value), "data%d.jsonl" % w, sections[w])] += 1
    found = Counter((r["line_hash"], r["file"], r["sources"][0]) for r in raw)
    assert found == expected
    assert len(kx.read_all_documents(store)) == total

    # Every token entry once, the totals add up.
    merged = layer_lines(store, "token-index.tok")
    entries = Counter(
        (e["sources"][0], e["token_count"]) for e in (json.loads(line) for line in merged)
    )
    want = Counter(
        (sections[w], token_count(w, n)) for w in range(PROCS) for n in range(LINES)
    )
    assert entries == want
    status = kx.token_index_token_status(store, TOKENIZER)
    assert status == {
        "total_entries": total,
        "active_entries": total,
        "revoked_entries": 0,
        "total_tokens": sum(token_count(w, n) for w in range(PROCS) for n in range(LINES)),
    }

    # The indexes built from the store agree per author.
    kx.build_index(store)
    for w in (0, PROCS - 1):
        assert len(kx.show_by_author(store, "Writer %d" % w)) == LINES
        shown = kx.show_by_author_token(store, "Writer %d" % w, TOKENIZER)
        assert shown["total_tokens"] == sum(token_count(w, n) for n in range(LINES))


APPENDER = r"""
import sys
import _kx_native as kx
kx_dir, shard, worker, count = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
sys.stdin.read(1)
for n in range(count):
    # Sizes up to 3 pages, so lines straddle page boundaries.
    pad = "x" * ((worker * 131 + n * 977) % 12000)
    kx.oplog_append(kx_dir, "stress", "w=%d n=%d %s" % (worker, n, pad))
    kx.jsonl_append(shard, {"worker": worker, "n": n, "pad": pad})
"""


def test_parallel_appends_to_log_and_one_shard_never_interleave(store):
    procs_n, count = 6, max(200, LINES // 5)
    shard = kx_path(store, "document-index", "ab")
    procs = [spawn_python(APPENDER, store, shard, w, count) for w in range(procs_n)]
    start_together(procs)
    wait_all(procs)

    records = [json.loads(line) for line in lines_of(shard)]
    assert Counter((r["worker"], r["n"]) for r in records) == Counter(
        (w, n) for w in range(procs_n) for n in range(count)
    )
    for r in records:
        assert len(r["pad"]) == (r["worker"] * 131 + r["n"] * 977) % 12000

    logged = Counter()
    for line in lines_of(kx_path(store, "log")):
        stamp, op, w, n, pad = line.decode().split(" ")
        assert op == "stress"
        worker, number = int(w[2:]), int(n[2:])
        assert len(pad) == (worker * 131 + number * 977) % 12000
        logged[(worker, number)] += 1
    assert logged == Counter((w, n) for w in range(procs_n) for n in range(count))


READER = r"""
import sys, time
import _kx_native as kx
kx_dir, seconds = sys.argv[1], float(sys.argv[2])
sys.stdin.read(1)
end = time.monotonic() + seconds
rounds = 0
while time.monotonic() < end:
    kx.read_all_documents(kx_dir)
    kx.token_index_token_status(kx_dir, "tok")
    kx.author_query(kx_dir, None, None)
    kx.show_by_author(kx_dir, "Writer 0")
    kx.show_by_author_token(kx_dir, "Writer 0", "tok")
    kx.generate_forget_set(kx_dir, "tok")
    rounds += 1
print(rounds)
"""


def test_readers_beside_trackers_and_parallel_init_see_no_error(store):
    author = kx.author_add("Writer 0", "w0@example.org", store)
    section = kx.register_section("src/0.txt", [author], [], "MIT", "2024", store)
    kx.build_index(store)
    lines = max(500, LINES // 4)
    writers = [spawn_python(TOKEN_COUNT + TRACKER, store, w, lines, section) for w in range(3)]
    readers = [spawn_python(READER, store, 2.0) for _ in range(2)]
    inits = [spawn_python("import sys, _kx_native as kx\nsys.stdin.read(1)\nkx.init(sys.argv[1])",
                          store) for _ in range(3)]
    start_together(writers + readers + inits)
    wait_all(writers + readers + inits)
    assert len(kx.read_all_documents(store)) == 3 * lines


REWRITER = r"""
import sys, time
import _kx_native as kx
kx_dir, seconds, section = sys.argv[1], float(sys.argv[2]), sys.argv[3]
sys.stdin.read(1)
end = time.monotonic() + seconds
rounds = 0
while time.monotonic() < end:
    kx.revoke_section(kx_dir, section)
    kx.revoke_by_author(kx_dir, "Writer 0")
    kx.revoke_by_author_token(kx_dir, "Writer 0", "tok")
    kx.token_index_revoke_by_sources(kx_dir, "tok", {section})
    kx.build_index(kx_dir)
    kx.token_index_build_binary_index(kx_dir, "tok")
    rounds += 1
print(rounds)
"""

COUNTING_READER = r"""
import json, sys, time
import _kx_native as kx
kx_dir, seconds, want = sys.argv[1], float(sys.argv[2]), json.loads(sys.argv[3])
sys.stdin.read(1)
end = time.monotonic() + seconds
while time.monotonic() < end:
    got = {
        "documents": len(kx.read_all_documents(kx_dir)),
        "authors": len(kx.author_query(kx_dir, None, None)),
        "sections": len(kx.shard_iterate_all(kx_dir, "sections")),
        "entries": kx.token_index_token_status(kx_dir, "tok")["total_entries"],
        "forget_set": len(kx.generate_forget_set(kx_dir, "tok")),
        "shown": len(kx.show_by_author(kx_dir, "Writer 1")),
    }
    kx.show_by_author_token(kx_dir, "Writer 0", "tok")
    assert got == want, (got, want)
"""


def test_readers_beside_rewriting_operations_see_whole_files(store):
    authors = [kx.author_add("Writer %d" % w, "w%d@example.org" % w, store) for w in range(2)]
    sections = [kx.register_section("src/%d.txt" % w, [authors[w]], [], "MIT", "2024", store)
                for w in range(2)]
    lines = max(500, LINES // 5)
    for n in range(lines):
        kx.track({"n": n}, "d.jsonl", [sections[n % 2]], store, token_count=n + 1, tokenizer="tok")
    kx.clean(store, False)
    kx.build_index(store)
    want = {"documents": lines, "authors": 2, "sections": 2, "entries": lines,
            "forget_set": (lines + 7) // 8, "shown": lines // 2}
    seconds = 3.0
    rewriter = spawn_python(REWRITER, store, seconds, sections[0])
    readers = [spawn_python(COUNTING_READER, store, seconds, json.dumps(want)) for _ in range(2)]
    start_together([rewriter] + readers)
    wait_all([rewriter] + readers)
