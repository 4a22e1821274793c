"""Tracking whole data files natively (`kx._core.track_file`, `kx track`).

The native path must write exactly what a loop of `_kx_native.track` over
the file's lines writes (compared file by file as sorted lines), check the
whole file before writing anything, skip lines already recorded for the
file, and keep every record whole when processes run at once or die."""

import itertools
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from collections import Counter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _kx_native as native
from conftest import kx_path, read_bytes, spawn_python
from kx import _core as core

SECTION = "a" * 64
OTHER = "b" * 64

# Spellings the canonical form rewrites: exponents, signs, zeros, the
# extremes of 64-bit integers and of a double.  (Integers beyond 64 bits are
# refused: see test_lines_whose_hash_others_share_are_refused.)
NUMBERS = ["1E5", "1e-7", "-0", "-0.0", "0.1e1", "2.5E+300", "5e-324", "1.7976931348623157e308",
           "18446744073709551615", "-9223372036854775808", "0.30000000000000004", "100.0",
           "1e-320", "0e-999"]
# Characters the whitespace counter must split at as str.split() does, and
# escapes that decode to them.
SPACES = " \t\n\x0b\x0c\r\x1c\x1f\x85\xa0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000\u200b\ufeff"

LINES = [
    '{"text": "plain words here", "n": 3}',
    '{"n":1,"text":"key order and\\u00a0escapes\\n\\"quoted\\" \\/ \\ud83d\\ude00"}',
    '  {"text": "surrounding white space"}  ',
    '"a JSON string line\\twith a tab"',
    '"" ',
    "[1, 2.50, -0, 1E2]",
    "null",
    '{"text": 12, "other": "text not a string"}',
    '{"nested": {"z": [{"y": 1}], "a": null}, "text": "é ü 漢字 \U0001f600"}',
    '{"text": "' + "long " * 5000 + '"}',
    json.dumps({"text": SPACES + "x" + SPACES + "y"}, ensure_ascii=False),
    '{"text": "\\u0085a\\u00a0b\\u2028c\\u001fd\\u0000e"}',
] + ['{"v": %s, "text": "number"}' % n for n in NUMBERS]


def python_count(kind, value, text, field="text"):
    """The counters as plain Python defines them."""
    if isinstance(value, dict) and isinstance(value.get(field), str):
        text = value[field]
    elif isinstance(value, str):
        text = value
    return len(text.split()) if kind == "whitespace" else len(text.encode("utf-8"))


def write_data(path, lines, crlf=False, blanks=False):
    end = b"\r\n" if crlf else b"\n"
    with open(path, "wb") as f:
        for i, line in enumerate(lines):
            if blanks and i % 3 == 0:
                f.write(end)
            f.write(line.encode("utf-8") + end)


def loop_track(kx_dir, path, sources_of, kind, tokenizer):
    """What `kx track` did line by line before: json.loads, then `track`.
    Returns the line hashes in order."""
    hashes = []
    with open(path, "rb") as f:
        for raw in f:
            text = raw.rstrip(b"\n").removesuffix(b"\r").decode("utf-8")
            if not text:
                continue
            value = json.loads(text)
            count = None
            if kind in ("whitespace", "bytes"):
                count = python_count(kind, value, text)
            elif kind == "field":
                count = value["n"]
            hashes.append(native.track(value, "data.jsonl", sources_of(value), kx_dir, count, tokenizer))
    return hashes


# The identity whole-file tracking adds to each token entry (the per-line
# track writes entries without it).
IDENTITY = re.compile(rb',"line_hash":"[0-9a-f]{64}","file":"data\.jsonl"')


def store_lines(kx_dir):
    """Every store file (relative path) with its lines sorted, token entries
    without the line and file they name; the data file locks that whole-file
    tracking takes are no records."""
    found = {}
    root = kx_path(kx_dir)
    for folder, _, names in os.walk(root):
        if os.path.relpath(folder, root) == "locks":
            continue
        for name in names:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, root)] = sorted(IDENTITY.sub(b"", read_bytes(path)).split(b"\n"))
    return found


def named_lines(kx_dir, tokenizer):
    """The line hashes the pid-file entries of a tokenizer name, in order."""
    (name,) = [n for n in os.listdir(kx_path(kx_dir)) if n.startswith("token-index.%s." % tokenizer)]
    return [json.loads(line)["line_hash"] for line in read_bytes(kx_path(kx_dir, name)).splitlines()]


def two_stores(tmp_path):
    a, b = str(tmp_path / "bulk"), str(tmp_path / "loop")
    native.init(a)
    native.init(b)
    return a, b


@pytest.mark.parametrize("kind", ["whitespace", "bytes", "none"])
@pytest.mark.parametrize("crlf", [False, True])
def test_bulk_tracking_writes_what_a_track_loop_writes(tmp_path, kind, crlf):
    bulk, loop = two_stores(tmp_path)
    path = str(tmp_path / "data.jsonl")
    write_data(path, LINES + LINES[:3], crlf=crlf, blanks=True)
    tokenizer = None if kind == "none" else "tok"
    counts = core.track_file(bulk, path, "data.jsonl", [SECTION], None, tokenizer, kind, "text", retrack=True)
    hashes = loop_track(loop, path, lambda value: [SECTION], kind, tokenizer)
    assert store_lines(bulk) == store_lines(loop)
    if tokenizer:
        assert named_lines(bulk, tokenizer) == hashes
    assert counts["lines"] == counts["recorded"] == len(LINES) + 3
    assert counts["first_hash"] == native.compute_hash(json.loads(LINES[0]))
    assert counts["last_hash"] == native.compute_hash(json.loads(LINES[2]))


def test_source_and_count_fields_match_the_loop(tmp_path):
    bulk, loop = two_stores(tmp_path)
    path = str(tmp_path / "data.jsonl")
    names = {"ref-a": SECTION, "ref-b": OTHER, "same-a": SECTION}
    records = [{"n": i, "src": src, "text": "t%d" % i}
               for i, src in enumerate(["ref-a", ["ref-b", "ref-a"], ["same-a", "ref-a"], "ref-b"] * 5)]
    write_data(path, [json.dumps(r) for r in records])
    asked = []

    def resolve(ref, line):
        asked.append((ref, line))
        return names[ref]

    core.track_file(bulk, path, "data.jsonl", [], "src", "tok", "field", "n", retrack=True, resolve=resolve)
    loop_track(loop, path, lambda v: list(dict.fromkeys(names[r] for r in ([v["src"]] if isinstance(v["src"], str) else v["src"]))),
               "field", "tok")
    assert store_lines(bulk) == store_lines(loop)
    assert asked == [("ref-a", 1), ("ref-b", 2), ("same-a", 3)]


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(st.characters(blacklist_categories=("Cs",))),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
    max_leaves=8,
)
# Texts long enough for the counter's 16-byte steps, with every kind of
# white space and the control characters that are none.
texts = st.lists(st.sampled_from(["lorem ipsum dolor sit ", "amet", " ", "\t", "\n", "\x0b", "\x1c", "\x1f",
                                   "\x01", "\x1b", "\x85", "\xa0", "\u2028", "\u3000", "\\", '"', "é"]),
                 max_size=20).map("".join)
records = st.fixed_dictionaries({"text": texts},
                                optional={"v": json_values})


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(rows=st.lists(records | json_values, min_size=1, max_size=8), ascii_only=st.booleans())
def test_generated_files_track_as_the_loop_does(tmp_path_factory, rows, ascii_only):
    tmp = tmp_path_factory.mktemp("gen")
    bulk, loop = two_stores(tmp)
    path = str(tmp / "data.jsonl")
    write_data(path, [json.dumps(r, ensure_ascii=ascii_only) for r in rows])
    core.track_file(bulk, path, "data.jsonl", [SECTION], None, "tok", "whitespace", "text", retrack=True)
    loop_track(loop, path, lambda value: [SECTION], "whitespace", "tok")
    assert store_lines(bulk) == store_lines(loop)


@pytest.mark.parametrize("line, args, message", [
    ('{"text": "no count"}', {"counter": "field", "count_field": "n"}, "field 'n' is missing or not a token count"),
    ('{"n": -1}', {"counter": "field", "count_field": "n"}, "not a token count"),
    ('{"n": 1.0}', {"counter": "field", "count_field": "n"}, "not a token count"),
    ('{"src": []}', {"source_field": "src"}, "field 'src' holds no section"),
    ('{"src": ["ok", 1]}', {"source_field": "src"}, "holds no section"),
    ('{"x": 1} {"y": 2}', {}, "the line is not JSON"),
])
def test_a_file_with_one_bad_line_leaves_the_store_untouched(tmp_path, line, args, message):
    bulk = str(tmp_path / "bulk")
    native.init(bulk)
    path = str(tmp_path / "data.jsonl")
    good = ['{"n": 1, "src": "ok", "text": "x"}'] * 70000  # more than one batch before the bad line
    write_data(path, good + [line] + good[:5])
    before = store_lines(bulk)
    tokenizer = "tok" if args.get("counter") else None
    with pytest.raises(RuntimeError) as e:
        core.track_file(bulk, path, "data.jsonl", [SECTION], args.get("source_field"), tokenizer,
                        args.get("counter", "none"), args.get("count_field", "text"),
                        resolve=lambda ref, n: SECTION)
    assert str(e.value).startswith(f"{path}:70001: ") and message in str(e.value)
    assert store_lines(bulk) == before


@pytest.mark.parametrize("line, told", [
    ('{"v": 18446744073709551616}', "the integer 18446744073709551616 does not fit in 64 bits"),
    ('{"v": 123456789012345678901234567891}', "the integer 123456789012345678901234567891 does not fit"),
    ('[1, -9223372036854775809]', "the integer -9223372036854775809 does not fit"),
    ('{"v": 1e-400}', "the number 1e-400 is too small for a double"),
    ('{"v": -2.5E-999}', "the number -2.5E-999 is too small"),
    ('{"a": 1, "b": {"k": 1, "k": 2}}', 'the key "k" appears more than once'),
    ('{"v": 1e400}', "the number 1e400 is out of range"),
])
def test_lines_whose_hash_others_share_are_refused(tmp_path, kx_cli, line, told):
    # Each line would be held as another line is (the nearest double, zero,
    # the last of the repeated keys), so its hash would be that other
    # line's too: blame and purges could not tell them apart.
    project = str(tmp_path)
    native.init(project)
    author = native.author_add("Ada", "ada@example.org", project)
    section = native.register_section("a.txt", [author], [], "MIT", "2020", project)
    write_data(str(tmp_path / "data.jsonl"), ['{"v": 1}', line])
    before = store_lines(project)
    done = kx_cli("track", "data.jsonl", "--source", section, cwd=project)
    assert done.returncode == 1
    assert done.stderr.startswith("kx: error: data.jsonl:2: ") and told in done.stderr
    assert store_lines(project) == before
    # The module's own track keeps hashing such values as it always has.
    assert native.track({"v": 10**30}, "x.jsonl", [section], project) == native.compute_hash({"v": 1e30})


def test_a_pool_held_to_one_thread_or_resized_mid_run_tracks_as_the_default(tmp_path):
    # A file of several blocks, so that each tracking runs many parallel
    # steps: with the caller alone, and while another thread resizes the
    # pool again and again, no slice may be lost or done twice.
    path = str(tmp_path / "data.jsonl")
    write_data(path, ['{"n": %d, "text": "%s"}' % (n, "word " * (n % 7 + 1)) for n in range(400000)])
    roots = {}

    def track(name):
        roots[name] = str(tmp_path / name)
        native.init(roots[name])
        core.track_file(roots[name], path, "data.jsonl", [SECTION], None, "tok", "whitespace", "text")

    stop = threading.Event()

    def resize():
        for threads in itertools.cycle([1, 3, 2, 0]):
            if stop.is_set():
                return
            core.set_threads(threads)
            time.sleep(0.0005)

    try:
        track("default")
        assert core.set_threads(1) == 1
        track("one")
        resizer = threading.Thread(target=resize)
        resizer.start()
        try:
            track("resized")
        finally:
            stop.set()
            resizer.join()
    finally:
        core.set_threads(0)
    assert store_lines(roots["one"]) == store_lines(roots["default"]) == store_lines(roots["resized"])


def test_tracking_again_records_only_lines_not_yet_recorded(tmp_path):
    kx_dir = str(tmp_path / "p")
    native.init(kx_dir)
    path = str(tmp_path / "data.jsonl")

    def track(**kw):
        return core.track_file(kx_dir, path, "data.jsonl", [SECTION], None, "tok", "whitespace", "text", **kw)

    def records():
        return Counter((r["line_hash"], tuple(r["sources"])) for r in native.read_all_documents(kx_dir)
                       if r["file"] == "data.jsonl")

    write_data(path, ['{"text": "same line"}'] * 3 + ['{"text": "other words here"}'])
    assert (track()["recorded"], track()["recorded"]) == (4, 0)
    assert sorted(records().values()) == [1, 3]
    # One more occurrence of a line recorded three times, and a new line:
    # two records and their tokens; the rest is skipped.
    write_data(path, ['{"text": "same line"}'] * 4 + ['{"text": "other words here"}', '{"text": "new"}'])
    again = track()
    assert (again["recorded"], again["skipped"], again["tokens"]) == (2, 4, 3)
    assert sorted(records().values()) == [1, 1, 4]
    # Other sources or another file name are other records; --retrack records everything.
    assert core.track_file(kx_dir, path, "data.jsonl", [OTHER], None)["recorded"] == 6
    assert core.track_file(kx_dir, path, "copy.jsonl", [SECTION], None)["recorded"] == 6
    assert track(retrack=True)["recorded"] == 6
    # The token entries follow the records: 4 + 2 + 6 lines under "tok".
    entries = sum(len(read_bytes(os.path.join(kx_path(kx_dir), f)).splitlines())
                  for f in os.listdir(kx_path(kx_dir)) if f.startswith("token-index.tok."))
    assert entries == 12
    # --tokens-only counts under another tokenizer and records nothing.
    before = records()
    assert core.track_file(kx_dir, path, "data.jsonl", [SECTION], None, "bytes", "bytes", tokens_only=True)["tokens"] == 4 * 9 + 16 + 3
    assert records() == before
    # More recorded lines than are held in memory at once are matched in
    # several passes, in any order, counting occurrences as above.
    big = str(tmp_path / "big.jsonl")
    lines = [f'{{"n": {i}}}' for i in range(600_000)]
    write_data(big, lines)
    assert core.track_file(kx_dir, big, "big.jsonl", [SECTION], None)["recorded"] == 600_000
    write_data(big, lines[::-1] + lines[:3] + ['{"n": -1}'])
    again = core.track_file(kx_dir, big, "big.jsonl", [SECTION], None)
    assert (again["recorded"], again["skipped"]) == (4, 600_000)


BULK_TRACKER = r"""
import sys
from kx import _core as core
kx_dir, path, name, section = sys.argv[1:5]
sys.stdin.read(1)
core.track_file(kx_dir, path, name, [section], None, "tok", "whitespace", "text")
"""


def parses(line):
    try:
        json.loads(line)
        return True
    except ValueError:
        return False


def whole_lines(path):
    data = read_bytes(path)
    assert data == b"" or data.endswith(b"\n"), path
    lines = [line for line in data.split(b"\n") if line]
    for line in lines:
        json.loads(line)
    return lines


def test_concurrent_bulk_trackers_lose_and_double_nothing(tmp_path):
    # Three processes track big files into one store at once (many batches
    # each, appended to the same shards and token-index directory), while a
    # fourth tracks one line at a time; then clean merges the pid files.
    kx_dir = str(tmp_path / "p")
    native.init(kx_dir)
    paths = []
    for w in range(3):
        path = str(tmp_path / f"data{w}.jsonl")
        write_data(path, ['{"w": %d, "n": %d, "text": "%s"}' % (w, n, "word " * (n % 7 + 1)) for n in range(90000)])
        paths.append(path)
    procs = [spawn_python(BULK_TRACKER, kx_dir, p, os.path.basename(p), SECTION) for p in paths]
    procs.append(spawn_python(
        "import sys, _kx_native as kx\nsys.stdin.read(1)\n"
        "for n in range(3000): kx.track({'n': n}, 'single.jsonl', [sys.argv[2]], sys.argv[1], 1, 'tok')",
        kx_dir, SECTION))
    for p in procs:
        p.stdin.write(b"g")
        p.stdin.close()
        p.stdin = None
    for p in procs:
        _, err = p.communicate(timeout=600)
        assert p.returncode == 0, err.decode()
    native.clean(kx_dir, False)
    layer = kx_path(kx_dir, "document-index")
    records = Counter()
    for name in os.listdir(layer):
        if len(name) == 2:
            for line in whole_lines(os.path.join(layer, name)):
                records[json.loads(line)["file"]] += 1
    assert records == {"data0.jsonl": 90000, "data1.jsonl": 90000, "data2.jsonl": 90000, "single.jsonl": 3000}
    status = native.token_index_token_status(kx_dir, "tok")
    assert status["total_entries"] == 273000
    assert status["total_tokens"] == 3 * sum(n % 7 + 1 for n in range(90000)) + 3000


def test_a_killed_bulk_tracking_leaves_whole_records_and_a_rerun_completes_it(tmp_path):
    kx_dir = str(tmp_path / "p")
    native.init(kx_dir)
    path = str(tmp_path / "data.jsonl")
    lines = 400000
    write_data(path, ['{"n": %d, "text": "line %d"}' % (n, n) for n in range(lines)])
    layer = kx_path(kx_dir, "document-index")

    def shard_lines():
        for name in os.listdir(layer):
            if len(name) == 2:
                yield from read_bytes(os.path.join(layer, name)).split(b"\n")

    def recorded():
        return sum(1 for line in shard_lines() if line and parses(line))

    proc = spawn_python(BULK_TRACKER, kx_dir, path, "data.jsonl", SECTION)
    proc.stdin.write(b"g")
    proc.stdin.close()
    proc.stdin = None
    deadline = time.monotonic() + 120
    while recorded() == 0 and time.monotonic() < deadline and proc.poll() is None:
        time.sleep(0.001)
    proc.send_signal(signal.SIGKILL)
    proc.communicate()
    # Every record is whole but a torn one the kill may have cut (which
    # readers skip); the rerun records exactly what is missing.
    done = core.track_file(kx_dir, path, "data.jsonl", [SECTION], None)
    assert done["recorded"] + done["skipped"] == lines
    assert recorded() == lines
    assert sum(1 for line in shard_lines() if line and not parses(line)) <= 1


# ---- Trackers of one data file at once ----


def records_per_file(kx_dir):
    """How many records name each data file (whole records only)."""
    layer = kx_path(kx_dir, "document-index")
    counts = Counter()
    for name in os.listdir(layer):
        if len(name) == 2:
            for line in read_bytes(os.path.join(layer, name)).split(b"\n"):
                if line and parses(line):
                    counts[json.loads(line)["file"]] += 1
    return counts


def start(procs):
    for p in procs:
        p.stdin.write(b"g")
        p.stdin.close()
        p.stdin = None


def finish(procs):
    for p in procs:
        _, err = p.communicate(timeout=600)
        assert p.returncode == 0, err.decode()


def test_four_trackers_of_the_same_files_record_each_line_once(tmp_path, kx_cli_env):
    # Each process tracks the same three files, one of them holding every
    # line twice: started together, all find the files untracked, and only
    # the file lock decides who records what.
    project = tmp_path / "p"
    native.init(str(project))
    section = native.register_section("s.txt", [], [], "MIT", "2024", str(project))
    files = {"a.jsonl": 30000, "b.jsonl": 20000, "twice.jsonl": 20000}
    for name, n in files.items():
        lines = ['{"f": "%s", "n": %d}' % (name, i % 10000 if name == "twice.jsonl" else i) for i in range(n)]
        write_data(str(project / name), lines)
    gate = "import sys, runpy\nsys.stdin.read(1)\nsys.argv = ['kx'] + sys.argv[1:]\nrunpy.run_module('kx', run_name='__main__')"
    procs = [spawn_python(gate, "track", *files, "--source", section, cwd=str(project), env=kx_cli_env)
             for _ in range(4)]
    start(procs)
    finish(procs)
    assert records_per_file(str(project)) == files
    # What a later run finds: nothing to record.
    done = core.track_file(str(project), str(project / "a.jsonl"), "a.jsonl", [section], None)
    assert (done["recorded"], done["skipped"]) == (0, 30000)


def test_two_reruns_after_a_killed_tracking_complete_it_once(tmp_path):
    kx_dir = str(tmp_path / "p")
    native.init(kx_dir)
    path = str(tmp_path / "data.jsonl")
    lines = 300000
    write_data(path, ['{"n": %d, "text": "line %d"}' % (n, n) for n in range(lines)])
    killed = spawn_python(BULK_TRACKER, kx_dir, path, "data.jsonl", SECTION)
    start([killed])
    deadline = time.monotonic() + 120
    while not records_per_file(kx_dir) and time.monotonic() < deadline and killed.poll() is None:
        time.sleep(0.001)
    killed.send_signal(signal.SIGKILL)
    killed.communicate()
    assert 0 < records_per_file(kx_dir)["data.jsonl"] < lines
    # The kill released the lock; the two reruns take turns with it.
    reruns = [spawn_python(BULK_TRACKER, kx_dir, path, "data.jsonl", SECTION) for _ in range(2)]
    start(reruns)
    finish(reruns)
    assert records_per_file(kx_dir) == {"data.jsonl": lines}


def test_file_locks_count_generations_and_refuse_a_planted_link(tmp_path):
    kx_dir = str(tmp_path / "p")
    native.init(kx_dir)
    assert core.data_file_generations(kx_dir, ["a.jsonl", "b.jsonl"]) == [0, 0]
    handle = core.lock_data_file(kx_dir, "a.jsonl")
    assert core.data_file_generations(kx_dir, ["a.jsonl"]) == [1]  # odd: a holder at work
    core.unlock_data_file(handle)
    with pytest.raises(ValueError):
        core.unlock_data_file(handle)
    path = tmp_path / "a.jsonl"
    write_data(str(path), ['{"n": 1}'])
    core.track_file(kx_dir, str(path), "a.jsonl", [SECTION], None)
    assert core.data_file_generations(kx_dir, ["a.jsonl", "b.jsonl"]) == [4, 0]
    # A link in place of the locks directory is never followed out of the store.
    outside = tmp_path / "outside"
    outside.mkdir()
    os.rename(kx_path(kx_dir, "locks"), str(tmp_path / "old-locks"))
    os.symlink(str(outside), kx_path(kx_dir, "locks"))
    with pytest.raises(RuntimeError):
        core.track_file(kx_dir, str(path), "a.jsonl", [SECTION], None)
    assert os.listdir(outside) == []
