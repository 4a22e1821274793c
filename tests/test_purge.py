import bz2
import gzip
import json
import lzma
import math
import os
import re
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _kx_native as kx
from kx import _core as core
from conftest import frozen, kx_path, log_entries, read_bytes, run_with_shim, write_bytes

STAMP = re.compile(r"\d{8}T\d{6}")


def revoked_store(store, revoked_values, other_values=()):
    """Tracks `revoked_values` under a section that is then revoked and
    `other_values` under one that is not; returns the revoked section."""
    ann = kx.author_add("Ann", "a@x", store)
    bob = kx.author_add("Bob", "b@x", store)
    gone = kx.register_section("gone.txt", [ann], [], "MIT", "2024", store)
    kept = kx.register_section("kept.txt", [bob], [], "MIT", "2024", store)
    for v in revoked_values:
        kx.track(v, "data.jsonl", [gone], store)
    for v in other_values:
        kx.track(v, "data.jsonl", [kept], store)
    kx.revoke_section(store, gone)
    return gone


def data_path(store, name="data.jsonl"):
    return os.path.join(store, name)


def archive_names(store):
    d = kx_path(store, "archive")
    return sorted(os.listdir(d)) if os.path.isdir(d) else None


def archive_records(store, name):
    return [json.loads(l) for l in read_bytes(kx_path(store, "archive", name)).splitlines()]


def start_of_a_second():
    """Waits until a second has just begun, so that a few quick calls share it.
    Not its very first milliseconds: time(2) reads a coarse clock, which may
    still show the second before."""
    while not 0.02 < time.time() % 1 < 0.2:
        time.sleep(0.01)


# --- purge_revoked --------------------------------------------------------


def test_purge_removes_revoked_lines_by_parsed_value_and_archives_them(store):
    revoked_store(store, [{"a": 2, "b": 1}, "text"], [{"keep": 1}])
    path = data_path(store)
    write_bytes(path, b'{"keep": 1}\n{"b": 1, "a": 2}\n"text"\nplain\n')
    assert kx.purge_revoked(store, path, False) == {"purged": 2, "kept": 2, "archived": 2}
    assert read_bytes(path) == b'{"keep": 1}\nplain\n'
    [name] = archive_names(store)
    stamp = name[len("purge.") :]
    assert STAMP.fullmatch(stamp)
    assert read_bytes(kx_path(store, "archive", name)) == (
        f'{{"archived_at":"{stamp}","line":{{"a":2,"b":1}}}}\n'
        f'{{"archived_at":"{stamp}","line":"text"}}\n'.encode()
    )
    archive = kx_path(store, "archive", name)
    assert log_entries(store)[-2:] == [
        ("purge_archive", f'archived 2 lines to "{archive}"'),
        ("purge", f'purged 2 lines from "{path}"'),
    ]


def test_package_purge_reports_the_bytes_read_and_purges_as_the_native_one(store):
    """kx._core runs the purge with the interpreter lock released; the bytes
    read reach the callback in order and in full, and an exception of the
    callback surfaces once the purge has finished."""
    revoked_store(store, [{"n": i} for i in range(0, 4000, 2)], [{"n": i} for i in range(1, 4000, 2)])
    path = data_path(store)
    lines = [json.dumps({"n": i}).encode() + b"\n" for i in range(4000)]
    write_bytes(path, b"".join(lines))
    seen = []
    assert core.purge_revoked(store, path, False, seen.append) == {"purged": 2000, "kept": 2000, "archived": 2000}
    assert seen[-1] == len(b"".join(lines)) and seen == sorted(seen)
    assert read_bytes(path) == b"".join(lines[1::2])

    write_bytes(path, b"".join(lines))
    with pytest.raises(ZeroDivisionError):
        core.purge_revoked(store, path, False, lambda done: 1 / 0)
    assert read_bytes(path) == b"".join(lines[1::2])
    assert len(archive_names(store)) == 2


def test_purge_normalises_the_data_file(store):
    path = data_path(store)
    write_bytes(path, b'{"a":1}\r\n\r\n\n  \nnot json\r\n{"b":2}')
    assert kx.purge_revoked(store, path, False) == {"purged": 0, "kept": 4, "archived": 0}
    assert read_bytes(path) == b'{"a":1}\n  \nnot json\n{"b":2}\n'
    assert archive_names(store) is None
    assert log_entries(store) == [("purge", f'purged 0 lines from "{path}"')]


def test_relative_data_path_is_used_as_given(store, monkeypatch):
    revoked_store(store, [{"n": 1}])
    monkeypatch.chdir(store)
    write_bytes(os.path.join(".", "d.jsonl"), b'{"n":1}\n{"n":2}\n')
    assert kx.purge_revoked(store, "d.jsonl", False)["purged"] == 1
    assert read_bytes("d.jsonl") == b'{"n":2}\n'
    assert sorted(os.listdir(store)) == [".kx", "d.jsonl"]
    assert log_entries(store)[-1] == ("purge", 'purged 1 lines from "d.jsonl"')


def test_non_json_line_is_kept_even_if_its_text_was_tracked(store):
    revoked_store(store, ["bare"])
    path = data_path(store)
    write_bytes(path, b"bare\n")
    assert kx.purge_revoked(store, path, False)["kept"] == 1
    assert read_bytes(path) == b"bare\n"


def test_revoked_documents_file_marks_lines(store):
    h = kx.compute_hash({"x": 1})
    # Line hashes are lowercase: the mark in capitals names no line.
    other = kx.compute_hash({"x": 2}).upper()
    marks = [json.dumps({"line_hash": x, "file": "f", "sources": []}).encode() for x in (h, other)]
    write_bytes(kx_path(store, "document-index", "revoked", "all"), b"\n".join(marks) + b"\n\nnot json\n")
    path = data_path(store)
    write_bytes(path, b'{"x": 1}\n{"x": 2}\n')
    assert kx.purge_revoked(store, path, False) == {"purged": 1, "kept": 1, "archived": 1}


def test_a_single_revoked_mark_among_duplicates_revokes_the_section(store):
    s = kx.register_section("a.txt", [], [], "MIT", "2024", store)
    kx.track({"v": 1}, "d", [s], store)
    shard = kx_path(store, "sections", s[:2])
    write_bytes(shard, read_bytes(shard) + f'{{"revoked":true,"section_hash":"{s}"}}\n'.encode())
    path = data_path(store)
    write_bytes(path, b'{"v":1}\n')
    assert kx.purge_revoked(store, path, False)["purged"] == 1


def test_escaped_source_in_a_document_record_still_counts(store):
    s = kx.register_section("a.txt", [], [], "MIT", "2024", store)
    kx.revoke_section(store, s)
    h = kx.compute_hash({"v": 1})
    escaped = "\\u%04x" % ord(s[0]) + s[1:]
    write_bytes(
        kx_path(store, "document-index", h[:2]),
        ('{"file":"d","line_hash":"%s","sources":["%s"]}\n' % (h, escaped)).encode(),
    )
    path = data_path(store)
    write_bytes(path, b'{"v":1}\n')
    assert kx.purge_revoked(store, path, False)["purged"] == 1


def test_dry_run_previews_the_purge_and_writes_nothing(store):
    revoked_store(store, [{"n": 1}, {"n": 2}])
    path = data_path(store)
    content = b'{"n":1}\n{"n":2}\n\n{"n":3}\nxx\n'
    write_bytes(path, content)
    log_before = read_bytes(kx_path(store, "log"))
    preview = kx.purge_revoked(store, path, True)
    assert preview == {"purged": 2, "kept": 2, "archived": 0}
    assert read_bytes(path) == content
    assert archive_names(store) is None
    assert read_bytes(kx_path(store, "log")) == log_before
    real = kx.purge_revoked(store, path, False)
    assert (real["purged"], real["kept"]) == (preview["purged"], preview["kept"])


@pytest.mark.parametrize("dry_run", [False, True])
@pytest.mark.parametrize("content", [None, b""])
def test_missing_or_empty_data_file_is_not_found(store, dry_run, content):
    path = data_path(store)
    if content is not None:
        write_bytes(path, content)
    with pytest.raises(RuntimeError, match=re.escape("data file not found: " + path)):
        kx.purge_revoked(store, path, dry_run)
    assert log_entries(store) == []


NOT_LINE_TEXT = {
    "gzip": gzip.compress(b'{"l":1}\n' * 3000),
    "zstd": b"\x28\xb5\x2f\xfd\x04\x58" + bytes(30),
    "bzip2": bz2.compress(b'{"l":1}\n'),
    "xz": lzma.compress(b'{"l":1}\n'),
    "Parquet": b"PAR1" + bytes(30) + b"PAR1",
    "NUL byte": b'{"l":1}\n' * 50000 + b'{"l":\x002}\n{"l":5}\n',
}


@pytest.mark.parametrize("kind", sorted(NOT_LINE_TEXT))
def test_purges_refuse_a_data_file_that_is_not_line_text(author_store, kind):
    store, _ = author_store
    path = data_path(store, "data.bin")
    write_bytes(path, NOT_LINE_TEXT[kind])
    kx.build_index(store)
    kx.revoke_by_author(store, "Ann")
    logged = log_entries(store)
    for purge in [lambda dry: kx.purge_revoked(store, path, dry),
                  lambda dry: kx.purge_by_author_indexd(store, "Ann", path, dry)]:
        for dry_run in [True, False]:
            with pytest.raises(RuntimeError, match=re.escape('"%s"' % path) + ".*not line text"):
                purge(dry_run)
    assert read_bytes(path) == NOT_LINE_TEXT[kind]
    assert archive_names(store) in (None, [])
    assert log_entries(store) == logged
    assert [n for n in os.listdir(store) if n.startswith(".kxtmp.")] == []


def test_purge_across_block_boundaries_and_with_a_line_longer_than_a_block(store):
    revoked = [{"i": i, "pad": "r" * 900} for i in range(0, 45000, 10)]
    revoked_store(store, revoked)
    lines = [json.dumps({"i": i, "pad": ("r" if i % 10 == 0 else "k") * 900}) for i in range(45000)]
    lines.insert(20000, json.dumps({"huge": "h" * (40 << 20)}))
    path = data_path(store)
    write_bytes(path, "\r\n".join(lines).encode())
    stats = kx.purge_revoked(store, path, False)
    expected = [l for l in lines if '"r' not in l]
    assert stats == {"purged": 4500, "kept": len(expected), "archived": 4500}
    assert read_bytes(path) == ("\n".join(expected) + "\n").encode()
    [name] = archive_names(store)
    assert [r["line"]["i"] for r in archive_records(store, name)] == list(range(0, 45000, 10))


# Files larger than a block are written with direct I/O where the file
# system has it.  Where it refuses, at open or only once writing, buffered
# writes must give the same file.
@pytest.mark.parametrize("refuse", [0, 1, 2])
def test_large_purge_with_direct_io_allowed_or_refused(store, shim, refuse):
    revoked_store(store, [{"i": i, "pad": "r" * 1000} for i in range(0, 20000, 10)])
    lines = [json.dumps({"i": i, "pad": ("r" if i % 10 == 0 else "k") * 1000}) for i in range(20000)]
    path = data_path(store)
    write_bytes(path, "\n".join(lines).encode())  # the size is no multiple of any block
    out = run_with_shim(shim, ("kx_refuse_direct", refuse),
                        "print(kx.purge_revoked(sys.argv[1], sys.argv[2], False))", store, path)
    assert out.strip() == str({"purged": 2000, "kept": 18000, "archived": 2000})
    expected = [l for l in lines if '"r' not in l]
    assert read_bytes(path) == ("\n".join(expected) + "\n").encode()


# Long strings, with escapes and without, are hashed in pieces.
json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.text(max_size=8)
    | st.text(min_size=250, max_size=300) | st.text(alphabet="ab ", min_size=250, max_size=300),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3),
    max_leaves=6,
)
data_lines = st.lists(
    st.tuples(
        st.one_of(
            json_values.map(lambda v: json.dumps(v, sort_keys=False, indent=None)),
            st.sampled_from(["", "  ", "not json", "{", "\r"]),
        ),
        st.booleans(),  # tracked under the revoked section
        st.sampled_from(["\n", "\r\n"]),
    ),
    max_size=12,
)


# Generating long texts can be slow on a busy machine; that is no failure.
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data_lines)
def test_purge_matches_a_model(tmp_path_factory, lines):
    store = str(tmp_path_factory.mktemp("s") / "p")
    kx.init(store)
    s = kx.register_section("a.txt", [], [], "MIT", "2024", store)
    revoked = set()
    for text, tracked, _ in lines:
        try:
            value = json.loads(text)
        except ValueError:
            continue
        if tracked:
            revoked.add(kx.track(value, "d", [s], store))
    kx.revoke_section(store, s)
    path = os.path.join(store, "d.jsonl")
    write_bytes(path, "".join(t + end for t, _, end in lines).encode() or b"x")
    kept, purged = [], []
    for text, _, end in (lines or [("x", False, "")]):
        line = text + end[:-1]  # the bytes before the line feed
        line = line[:-1] if line.endswith("\r") else line
        if not line:
            continue
        try:
            value = json.loads(line)
        except ValueError:
            value = None
            kept.append(line)
            continue
        (purged if kx.compute_hash(value) in revoked else kept).append(line)
    assert kx.purge_revoked(store, path, True) == {"purged": len(purged), "kept": len(kept), "archived": 0}
    stats = kx.purge_revoked(store, path, False)
    assert stats == {"purged": len(purged), "kept": len(kept), "archived": len(purged)}
    assert read_bytes(path).decode() == "".join(l + "\n" for l in kept)
    if purged:
        [name] = archive_names(store)
        assert [r["line"] for r in archive_records(store, name)] == [json.loads(l) for l in purged]


def held_exactly(text):
    """False for a number whose hash other numbers share: an integer beyond
    64 bits or a non-zero number that a double holds as zero."""
    if re.fullmatch(r"-?[0-9]+", text):
        return -(2**63) <= int(text) < 2**64
    return float(text) != 0 or not re.search(r"[1-9]", text.split("e")[0].split("E")[0])


number_texts = st.from_regex(
    r"-?(0|[1-9][0-9]{0,24})(\.[0-9]{1,18})?([eE][+-]?[0-9]{1,3})?", fullmatch=True
).filter(lambda t: math.isfinite(float(t)) and held_exactly(t))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(number_texts, min_size=1, max_size=20))
def test_floats_in_any_spelling_hash_as_their_value(tmp_path_factory, texts):
    store = str(tmp_path_factory.mktemp("s") / "p")
    kx.init(store)
    s = kx.register_section("a.txt", [], [], "MIT", "2024", store)
    lines = [f'{{"n": {t}, "k": [{t}]}}' for t in texts]
    for line in lines:
        kx.track(json.loads(line), "d", [s], store)
    kx.revoke_section(store, s)
    path = os.path.join(store, "d.jsonl")
    write_bytes(path, "".join(l + "\n" for l in lines + ['{"n": 1.25}']).encode())
    assert kx.purge_revoked(store, path, True) == {"purged": len(lines), "kept": 1, "archived": 0}


# --- lines whose hash other lines share ----------------------------------


AMBIGUOUS = [
    ('{"n": 18446744073709551616}', {"n": 18446744073709551617}),
    ('{"n": 123456789012345678901234567890}', {"n": 123456789012345678901234567891}),
    ('{"n": 1e-400}', {"n": 0.0}),
    ('{"a": 1, "a": 2}', {"a": 2}),
]


@pytest.mark.parametrize("purge", ["revoked", "withdrawn", "author"])
def test_a_hash_other_lines_share_never_purges_a_line(store, purge):
    # Ada's file holds lines whose hash equals that of Bob's lines in
    # another file; only Bob's section is revoked.  Ada's lines stay, while
    # a line that is Bob's by its own hash goes.
    ada = kx.author_add("Ada", "ada@x", store)
    bob = kx.author_add("Bob", "bob@x", store)
    ada_section = kx.register_section("ada.txt", [ada], [], "MIT", "2024", store)
    bob_section = kx.register_section("bob.txt", [bob], [], "MIT", "2024", store)
    for text, colliding in AMBIGUOUS:
        kx.track(json.loads(text, parse_float=float), "kept.jsonl", [ada_section], store)
        kx.track(colliding, "other.jsonl", [bob_section], store)
    kx.track({"bob": 1}, "other.jsonl", [bob_section], store)
    kx.revoke_section(store, bob_section)
    kx.revoke_by_author(store, "Bob")
    kx.build_index(store)
    path = data_path(store, "kept.jsonl")
    lines = [text for text, _ in AMBIGUOUS]
    write_bytes(path, "".join(l + "\n" for l in lines + ['{"bob": 1}']).encode())
    if purge == "revoked":
        stats = kx.purge_revoked(store, path, False)
    elif purge == "withdrawn":
        stats = core.purge_withdrawn(store, path, False)
    else:
        stats = core.purge_by_author(store, "Bob", path, False)
    assert stats["purged"] == 1
    assert read_bytes(path) == "".join(l + "\n" for l in lines).encode()


# --- purges beside a producer or a replacement ------------------------------

# The child purges with the shim counting its calls; kx_fault_act plays the
# other writer just before the call numbered by the test.
LIVE_CHILD = """
import ctypes, json, os, sys
import _kx_native as kx
from kx import _core as core
shim = ctypes.CDLL(sys.argv[1])
shim.kx_fault_trace.restype = ctypes.c_char_p
store, path, purge, at, kind, a, b = sys.argv[2:9]
shim.kx_fault_act(int(at), int(kind), a.encode(), b.encode())
shim.kx_fault_arm(1 << 40, 0, 0)
stats = (kx.purge_revoked(store, path, False) if purge == "revoked"
         else core.purge_withdrawn(store, path, False))
calls = shim.kx_fault_disarm()
print(json.dumps({"stats": stats, "trace": [shim.kx_fault_trace(i).decode(errors="replace")
                                            for i in range(min(calls, 8192))]}))
"""
APPEND, RENAME = 1, 2
LIVE_LINES = [b'{"ada": %d}\n' % i for i in range(40)] + [b'{"bob": %d}\n' % i for i in range(10)]


def live_store(tmp_path, name):
    """A project whose data file holds Ada's lines and Bob's revoked ones."""
    store = str(tmp_path / name)
    kx.init(store)
    ada = kx.register_section("ada.txt", [], [], "MIT", "2024", store)
    bob = kx.register_section("bob.txt", [], [], "MIT", "2024", store)
    for line in LIVE_LINES:
        value = json.loads(line)
        kx.track(value, "data.jsonl", [bob if "bob" in value else ada], store)
        kx.track({"new_bob": value.get("bob", -1)}, "data.jsonl", [bob], store)
    kx.revoke_section(store, bob)
    path = os.path.realpath(data_path(store))
    write_bytes(path, b"".join(LIVE_LINES))
    return store, path


def purge_beside(shim, tmp_path, name, purge, at, kind=0, a="", b=""):
    import subprocess
    import sys

    store, path = live_store(tmp_path, name)
    env = dict(os.environ, LD_PRELOAD=shim)
    done = subprocess.run([sys.executable, "-c", LIVE_CHILD, shim, store, path, purge, str(at), str(kind),
                           a.replace("{path}", path), b.replace("{path}", path)],
                          env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return store, path, json.loads(done.stdout)


def call_number(trace, path, what):
    """The number of the last call `what` on the data file: "rename" is the
    swap that puts the new file in place, "fsync" that of its temporary
    file, just before the swap."""
    name = os.path.basename(path)
    for i in reversed(range(len(trace))):
        call, _, target = trace[i].partition(" ")
        if call != what:
            continue
        if what == "rename" and target == path:
            return i + 1
        if what == "fsync" and os.path.basename(target).startswith(".kxtmp.") and target.endswith("." + name):
            return i + 1
    raise AssertionError(f"no {what} of {path} in {trace}")


def archived_lines(store):
    names = [n for n in (archive_names(store) or []) if n.startswith("purge.")]
    return [json.dumps(r["line"]) for n in names for r in archive_records(store, n)]


@pytest.mark.parametrize("purge", ["revoked", "withdrawn"])
@pytest.mark.parametrize("moment", ["fsync", "rename"])
def test_lines_a_producer_appends_during_a_purge_are_kept(shim, tmp_path, purge, moment):
    # The appended lines land while the new file is made durable (the purge
    # must see the change and read the file again) or just before the new
    # file takes the old one's place (it must carry them over).
    _, _, plain = purge_beside(shim, tmp_path, "plain", purge, 0)
    at = call_number(plain["trace"], os.path.realpath(data_path(str(tmp_path / "plain"))), moment)
    appended = '{"late": 1}\n{"new_bob": 3}\n'
    store, path, run = purge_beside(shim, tmp_path, "live", purge, at, APPEND, "{path}", appended)
    ada = [l for l in LIVE_LINES if b"ada" in l]
    content = read_bytes(path)
    assert content.startswith(b"".join(ada))
    assert sorted(content[len(b"".join(ada)):].splitlines(keepends=True)) in (
        [b'{"late": 1}\n'], [b'{"late": 1}\n', b'{"new_bob": 3}\n'])
    # Each revoked line is in the file or the archive, once.
    archived = archived_lines(store)
    assert sorted(archived) == sorted(set(archived))
    assert len(archived) == run["stats"]["purged"] >= 10
    assert (b"new_bob" in content) == ('{"new_bob": 3}' not in archived)


@pytest.mark.parametrize("purge", ["revoked", "withdrawn"])
@pytest.mark.parametrize("moment", ["fsync", "rename"])
def test_a_version_renamed_into_place_during_a_purge_is_purged_not_lost(shim, tmp_path, purge, moment):
    _, _, plain = purge_beside(shim, tmp_path, "plain", purge, 0)
    at = call_number(plain["trace"], os.path.realpath(data_path(str(tmp_path / "plain"))), moment)
    newer = str(tmp_path / "newer.jsonl")
    write_bytes(newer, b'{"ada": 100}\n{"bob": 1}\n{"fresh": 1}\n')
    store, path, run = purge_beside(shim, tmp_path, "live", purge, at, RENAME, newer, "{path}")
    # The new version was purged in its turn; the old one's lines are gone
    # with it, as its writer meant.
    assert read_bytes(path) == b'{"ada": 100}\n{"fresh": 1}\n'
    assert run["stats"]["purged"] == 1 and archived_lines(store) == ['{"bob": 1}']
    assert [n for n in os.listdir(os.path.dirname(path)) if n.startswith(".kxtmp")] == []


# --- failures -------------------------------------------------------------


def test_unwritable_data_directory_changes_nothing(store, tmp_path):
    revoked_store(store, [{"n": 1}])
    data_dir = tmp_path / "data"
    data_dir.mkdir()
    path = str(data_dir / "d.jsonl")
    write_bytes(path, b'{"n":1}\n{"n":2}\n')
    with frozen(data_dir):
        with pytest.raises(RuntimeError):
            kx.purge_revoked(store, path, False)
    assert read_bytes(path) == b'{"n":1}\n{"n":2}\n'
    assert os.listdir(data_dir) == ["d.jsonl"]
    assert archive_names(store) is None
    assert [op for op, _ in log_entries(store)] == ["revoke_section"]


def test_failed_rename_removes_the_archive_again(store):
    revoked_store(store, [{"n": 1}])
    os.makedirs(kx_path(store, "archive"))
    write_bytes(kx_path(store, "archive", "purge.20200101T000000"), b'{"line":1}\n')
    path = data_path(store)
    write_bytes(path, b'{"n":1}\n{"n":2}\n')
    with frozen(path):
        with pytest.raises(RuntimeError):
            kx.purge_revoked(store, path, False)
    assert read_bytes(path) == b'{"n":1}\n{"n":2}\n'
    assert archive_names(store) == ["purge.20200101T000000"]
    assert [n for n in os.listdir(store) if n.startswith(".kxtmp")] == []


def test_archive_that_cannot_be_created_stops_the_purge(store):
    revoked_store(store, [{"n": 1}])
    write_bytes(kx_path(store, "archive"), b"a file where the directory should be")
    path = data_path(store)
    write_bytes(path, b'{"n":1}\n')
    with pytest.raises(RuntimeError):
        kx.purge_revoked(store, path, False)
    assert read_bytes(path) == b'{"n":1}\n'
    assert sorted(os.listdir(store)) == [".kx", "data.jsonl"]


# --- archives and their reversal ------------------------------------------


def test_reverse_without_archive_says_so(store, capfd):
    path = data_path(store)
    assert kx.purge_reverse(store, path) == 0
    os.makedirs(kx_path(store, "archive"))
    write_bytes(kx_path(store, "archive", "other"), b"")
    assert kx.purge_reverse(store, path) == 0
    assert capfd.readouterr().out == "No purge archive found\n" * 2
    assert not os.path.exists(path)
    assert log_entries(store) == []


def test_reverse_restores_newest_archive_first(store):
    arch = kx_path(store, "archive")
    write_bytes(os.path.join(arch, "purge.20260101T000000"), b'{"archived_at":"x","line":{"b":1,"a":2}}\n')
    write_bytes(os.path.join(arch, "purge.20260102T000000"), b'{"line":null}\n{"no_line":1}\n{"line":"s"}\n')
    path = data_path(store)
    write_bytes(path, b"kept\n")
    assert kx.purge_reverse(store, path) == 2
    assert read_bytes(path) == b'kept\nnull\n"s"\n'
    assert kx.purge_reverse(store, path) == 1
    assert read_bytes(path) == b'kept\nnull\n"s"\n{"a":2,"b":1}\n'
    assert archive_names(store) == []
    assert log_entries(store) == [
        ("purge_reverse", f'restored 2 lines from "{arch}/purge.20260102T000000"'),
        ("purge_reverse", f'restored 1 lines from "{arch}/purge.20260101T000000"'),
    ]


def test_failed_restore_keeps_the_archive(store):
    write_bytes(kx_path(store, "archive", "purge.20260101T000000"), b'{"line":1}\n')
    with pytest.raises(RuntimeError, match="No such file or directory"):
        kx.purge_reverse(store, os.path.join(store, "missing", "d.jsonl"))
    assert archive_names(store) == ["purge.20260101T000000"]
    assert log_entries(store) == []


def test_archive_without_lines_is_consumed(store):
    write_bytes(kx_path(store, "archive", "purge."), b'{"archived_at":"x"}\n')
    assert kx.purge_reverse(store, data_path(store)) == 0
    assert archive_names(store) == []
    assert log_entries(store)[0][1].startswith("restored 0 lines from")


def test_same_second_purges_keep_their_own_archives(tmp_path):
    # A stall of the machine can push the second purge into the next second;
    # such a round is repeated in a fresh store.
    for attempt in range(5):
        store = str(tmp_path / str(attempt))
        kx.init(store)
        revoked_store(store, [{"f": "a1"}, {"f": "a2"}, {"f": "b1"}])
        a, b = data_path(store, "a.jsonl"), data_path(store, "b.jsonl")
        write_bytes(a, b'{"f":"a1"}\n{"f":"a2"}\n{"f":"a3"}\n')
        write_bytes(b, b'{"f":"b1"}\n{"f":"b2"}\n')
        start_of_a_second()
        second_began = int(time.time())
        kx.purge_revoked(store, a, False)
        kx.purge_revoked(store, b, False)
        if int(time.time()) == second_began:
            break
    first, second = archive_names(store)
    assert second == first + ".a1"
    assert {r["archived_at"] for r in archive_records(store, second)} == {first[len("purge.") :]}
    assert kx.purge_reverse(store, b) == 1
    assert kx.purge_reverse(store, a) == 2
    assert read_bytes(a) == b'{"f":"a3"}\n{"f":"a1"}\n{"f":"a2"}\n'
    assert read_bytes(b) == b'{"f":"b2"}\n{"f":"b1"}\n'


def test_newest_archive_of_a_second_sorts_last_at_any_count(tmp_path):
    for attempt in range(5):  # repeated when a stall ends the second early
        store = str(tmp_path / str(attempt))
        kx.init(store)
        revoked_store(store, [{"n": 1}])
        path = data_path(store)
        write_bytes(path, b'{"n":1}\n')
        start_of_a_second()
        stamp = time.strftime("%Y%m%dT%H%M%S", time.gmtime())
        for name in ["purge." + stamp, "purge." + stamp + ".a9"]:
            write_bytes(kx_path(store, "archive", name), b'{"line":"old"}\n')
        kx.purge_revoked(store, path, False)
        if time.strftime("%Y%m%dT%H%M%S", time.gmtime()) == stamp:
            break
    assert archive_names(store)[-1] == "purge." + stamp + ".b10"
    assert kx.purge_reverse(store, path) == 1
    assert read_bytes(path) == b'{"n":1}\n'


# --- indexed purge by author ----------------------------------------------


@pytest.fixture
def author_store(store):
    ann1 = kx.author_add("Ann", "1@x", store)
    ann2 = kx.author_add("Ann", "2@x", store)
    bob = kx.author_add("Bob", "b@x", store)
    s1 = kx.register_section("one.txt", [ann1], [], "MIT", "2024", store)
    s2 = kx.register_section("two.txt", [ann2], [], "MIT", "2024", store)
    sb = kx.register_section("bob.txt", [bob], [ann1], "MIT", "2024", store)
    kx.track({"l": 1}, "d", [s1], store)
    kx.track({"l": 1}, "d", [s1], store)
    kx.track({"l": 2}, "d", [s2], store)
    kx.track({"l": 3}, "d", [sb, s2], store)
    kx.track({"l": 4}, "d", [sb], store)
    path = data_path(store)
    write_bytes(path, b'{"l":1}\n{"l":2}\n{"l":3}\n{"l":4}\n{"l":5}\n')
    return store, path


def test_indexed_purge_refuses_an_author_not_revoked(author_store):
    store, path = author_store
    for name in ["Ann", "Nobody"]:
        message = (
            f"author '{name}' is not revoked. Revoke first with "
            f"`kx revoke --author '{name}'` before purging."
        )
        with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
            kx.purge_by_author_indexd(store, name, path, True)


def test_indexed_purge_needs_the_index(author_store):
    store, path = author_store
    kx.revoke_by_author(store, "Ann")
    for dry_run in [True, False]:
        with pytest.raises(RuntimeError, match="^binary index not found, run `kx index build` first$"):
            kx.purge_by_author_indexd(store, "Ann", path, dry_run)


def test_indexed_purge_removes_lines_of_every_id_of_the_name(author_store):
    store, path = author_store
    kx.build_index(store)
    kx.revoke_by_author(store, "Ann")
    # Only one of the two ids stays revoked; both lose their lines.
    ann2 = kx.author_add("Ann", "2@x", store)
    shard = kx_path(store, "authors", ann2[:2])
    revoked_line = f'{{"email":"2@x","id":"{ann2}","name":"Ann","revoked":true}}\n'.encode()
    write_bytes(shard, read_bytes(shard).replace(revoked_line, b""))
    assert kx.purge_by_author_indexd(store, "Ann", path, True) == {"purged": 3, "kept": 0, "archived": 0}
    assert kx.purge_by_author_indexd(store, "Ann", path, False) == {"purged": 3, "kept": 2, "archived": 3}
    assert read_bytes(path) == b'{"l":4}\n{"l":5}\n'
    assert log_entries(store)[-1] == ("purge", f'purged 3 lines from "{path}" (indexed, author=Ann)')


def test_indexed_purge_with_nothing_found_still_rewrites_and_logs(author_store):
    store, path = author_store
    kx.author_add("Cy Example", "c@x", store)
    kx.build_index(store)
    kx.revoke_by_author(store, "Cy Example")
    assert kx.purge_by_author_indexd(store, "Cy Example", path, False)["purged"] == 0
    assert log_entries(store)[-1] == (
        "purge",
        f'purged 0 lines from "{path}" (indexed, author=Cy Example)',
    )
