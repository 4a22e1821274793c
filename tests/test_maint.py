"""Maintenance: clean (log rotation, docidx folding, token merges, archives,
split/) and merge_absorb (identity keys, token entries counted per key,
numbering)."""

import json
import os
from collections import Counter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _kx_native as kx
from conftest import fingerprint, kx_path, read_bytes, write_bytes

ROTATE_AT = 10 * 1024 * 1024
H1 = "1a" + "0" * 62
H2 = "2b" + "0" * 62
H3 = "3c" + "0" * 62


def line(record):
    return (json.dumps(record, separators=(",", ":"), sort_keys=True) + "\n").encode()


def append_record(kx_dir, layer, key, record):
    path = kx_path(kx_dir, layer, record[key][:2])
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "ab") as f:
        f.write(line(record))


def tree(root):
    """Every file under root with its bytes, for checking nothing changed."""
    out = {}
    for dirpath, _, files in os.walk(root):
        for name in files:
            p = os.path.join(dirpath, name)
            out[os.path.relpath(p, root)] = read_bytes(p)
    return out


def log_lines(kx_dir):
    return read_bytes(kx_path(kx_dir, "log")).decode().splitlines()


def token_entry(count, sources, tokenizer="t", revoked=False):
    return {"token_count": count, "sources": sources, "tokenizer": tokenizer, "revoked": revoked}


def write_merged(kx_dir, tokenizer, name, entries):
    write_bytes(kx_path(kx_dir, "token-index." + tokenizer, name), b"".join(line(e) for e in entries))


ZERO_CLEAN = {
    "document_merged": 0,
    "pid_files_deleted": 0,
    "archived_records": 0,
    "log_rotated": 0,
    "token_index_merged": 0,
    "token_index_pid_deleted": 0,
}


# ---------------------------------------------------------------- clean


def test_clean_without_store_returns_zeros_and_creates_nothing(tmp_path):
    d = str(tmp_path / "none")
    os.mkdir(d)
    assert kx.clean(d, True) == ZERO_CLEAN
    assert os.listdir(d) == []


def test_clean_of_empty_store_logs_and_creates_archive(store):
    result = kx.clean(store, False)
    assert list(result) == list(ZERO_CLEAN)
    assert result == ZERO_CLEAN
    assert log_lines(store)[-1].split(" ", 1)[1] == "clean split=false"
    assert os.path.isdir(kx_path(store, "archive"))


@pytest.mark.parametrize(
    "size, rotated", [(0, 0), (ROTATE_AT - 1, 0), (ROTATE_AT, 0), (ROTATE_AT + 1, 1), (ROTATE_AT + 4096, 1)]
)
def test_log_rotates_only_beyond_ten_mebibytes(store, size, rotated):
    log = kx_path(store, "log")
    with open(log, "wb") as f:
        f.truncate(size)
    write_bytes(kx_path(store, "log.1"), b"older generation\n")
    assert kx.clean(store, True)["log_rotated"] == rotated
    lines = log_lines(store)
    if rotated:
        assert os.path.getsize(kx_path(store, "log.1")) == size
        assert len(lines) == 1 and lines[0].endswith(" clean split=true")
    else:
        assert read_bytes(kx_path(store, "log.1")) == b"older generation\n"
        assert os.path.getsize(log) > size
        assert lines[-1].endswith(" clean split=true")


def test_missing_log_is_not_rotated_but_gets_the_clean_line(store):
    os.remove(kx_path(store, "log"))
    assert kx.clean(store, False)["log_rotated"] == 0
    assert not os.path.exists(kx_path(store, "log.1"))
    assert len(log_lines(store)) == 1


@pytest.mark.parametrize(
    "name, folded",
    [
        ("docidx.1234", True),
        ("docidx.ab", False),
        ("docidx.AF", False),
        ("docidx.09", False),
        ("docidx.g1", True),  # not two hex digits
        ("docidx.a", True),  # 8 bytes
        ("docidx.abc", True),  # 10 bytes
        ("docidx.", True),
        ("docidx.\u00e9", True),  # two bytes, but not hex digits
        ("xdocidx.1234", False),
    ],
)
def test_docidx_name_rules(store, name, folded):
    path = kx_path(store, name)
    write_bytes(path, line({"line_hash": H1, "file": "f", "sources": []}))
    result = kx.clean(store, False)
    assert (result["document_merged"], result["pid_files_deleted"]) == ((1, 1) if folded else (0, 0))
    assert os.path.exists(path) != folded
    assert kx.lookup_document(store, H1) == ([{"line_hash": H1, "file": "f", "sources": []}] if folded else [])


def test_docidx_records_without_usable_line_hash_are_dropped(store):
    records = [
        {"line_hash": H1, "file": "a", "sources": ["s"]},
        {"line_hash": H2, "file": "b", "sources": []},
        {"file": "no hash"},
        {"line_hash": "", "file": "empty"},
        {"line_hash": "/tmp/escape", "file": "absolute"},
        {"line_hash": "../up", "file": "parent"},
    ]
    write_bytes(kx_path(store, "docidx.1234"), b"".join(line(r) for r in records) + b"not json\n")
    os.mkdir(kx_path(store, "docidx.dir"))
    result = kx.clean(store, False)
    assert (result["document_merged"], result["pid_files_deleted"]) == (2, 1)
    assert os.path.isdir(kx_path(store, "docidx.dir"))
    docs = kx.read_all_documents(store)
    assert sorted(r["file"] for r in docs) == ["a", "b"]
    assert not os.path.exists("/tmp/escape")


def test_clean_merges_token_pid_files_and_builds_binary_indexes(store):
    for tok in ("a", "b"):
        kx.token_index_write_pid(store, tok, 3, [H1])
        kx.token_index_write_pid(store, tok, 4, [H2])
    write_bytes(kx_path(store, "token-index.c.bin"), b"not an index")  # nothing to build
    result = kx.clean(store, False)
    assert (result["token_index_merged"], result["token_index_pid_deleted"]) == (4, 2)
    for tok in ("a", "b"):
        assert os.listdir(kx_path(store, "token-index." + tok)) == ["001"]
        assert os.path.exists(kx_path(store, "token-index.%s.bin" % tok))
    assert kx.clean(store, False)["token_index_merged"] == 0


def test_archives_grow_by_every_archivable_record_per_call(store):
    author = kx.author_add("Ann", "ann@x", store)
    kx.register_section("q", [author], [], "MIT", "2024", store)
    section = kx.register_section("p", [author], [], "MIT", "2024", store)
    assert kx.revoke_section(store, section) == 1
    orphan_id = "7f" + "0" * 62
    append_record(store, "authors", "id", {"id": orphan_id, "name": "o", "email": "", "orphan": True})
    append_record(store, "authors", "id", {"id": "7e" + "0" * 62, "orphan": "true"})  # not boolean
    append_record(store, "document-index", "line_hash", {"line_hash": H3, "file": "f", "revoked": True})

    for call in (1, 2, 3):
        assert kx.clean(store, False)["archived_records"] == 3
        archived = [json.loads(x) for x in read_bytes(kx_path(store, "archive", "sections." + section[:2])).splitlines()]
        assert [r["section_hash"] for r in archived] == [section] * call
        assert len(read_bytes(kx_path(store, "archive", "authors.7f")).splitlines()) == call
        assert len(read_bytes(kx_path(store, "archive", "document-index.3c")).splitlines()) == call
    assert any(r["section_hash"] == section for r in kx.shard_iterate_all(store, "sections"))
    assert sorted(os.listdir(kx_path(store, "archive"))) == sorted(
        ["sections." + section[:2], "authors.7f", "document-index.3c"]
    )


@pytest.mark.parametrize("bad_id", ["/abs", "../x", "..", "a", "\u4e2dx", "a\u0000b", "/"])
def test_archive_skips_keys_that_cannot_name_an_archive_file(store, bad_id):
    append_record(store, "authors", "id", {"id": "ab" + "0" * 62, "revoked": True})
    raw = line({"id": bad_id, "revoked": True})
    write_bytes(kx_path(store, "authors", "cd"), raw)
    assert kx.clean(store, False)["archived_records"] == 1
    assert os.listdir(kx_path(store, "archive")) == ["authors.ab"]
    assert not os.path.exists("/abs")


def test_two_byte_character_key_is_archived_under_it(store):
    write_bytes(kx_path(store, "sections", "cd"), line({"section_hash": "\u00e9tude", "revoked": True}))
    assert kx.clean(store, False)["archived_records"] == 1
    assert os.listdir(kx_path(store, "archive")) == ["sections.\u00e9"]


@pytest.mark.parametrize("split, exists", [(True, True), (True, False), (False, True)])
def test_split_directory_handling(store, split, exists):
    split_dir = kx_path(store, "split")
    if exists:
        write_bytes(os.path.join(split_dir, "sub", "part"), b"x")
        write_bytes(os.path.join(split_dir, "top"), b"y")
    kx.clean(store, split)
    if not exists:
        assert not os.path.exists(split_dir)
    elif split:
        assert os.path.isdir(split_dir) and os.listdir(split_dir) == []
    else:
        assert sorted(os.listdir(split_dir)) == ["sub", "top"]


# ---------------------------------------------------------------- merge_absorb


@pytest.fixture
def pair(tmp_path):
    source, target = str(tmp_path / "src"), str(tmp_path / "dst")
    kx.init(source)
    kx.init(target)
    return source, target


def populate(kx_dir, names, tokens=()):
    ids = [kx.author_add(n, n + "@x", kx_dir) for n in names]
    sections = [kx.register_section("p/" + n, [i], [], "MIT", "2024", kx_dir) for n, i in zip(names, ids)]
    for n, s in zip(names, sections):
        kx.track({"text": n}, "data.jsonl", [s], kx_dir, 5, "tok")
    for count in tokens:
        kx.token_index_write_pid(kx_dir, "tok", count, [sections[0]])
    kx.token_index_merge_pid_files(kx_dir, "tok")


ZERO_MERGE = {"authors_added": 0, "sections_added": 0, "document_added": 0, "token_index_added": 0}


def test_missing_source_fails_and_writes_nothing(pair, tmp_path):
    _, target = pair
    before = tree(target)
    missing = str(tmp_path / "nowhere")
    with pytest.raises(RuntimeError) as err:
        kx.merge_absorb(missing, target)
    assert str(err.value) == "Source has no .kx/ directory: " + missing
    assert tree(target) == before


def test_absorbing_twice_adds_nothing_the_second_time(pair):
    source, target = pair
    populate(source, ["ann", "bob"], tokens=[7, 8])
    for _ in range(2):  # equal entries, not merged yet
        kx.token_index_write_pid(source, "tok", 7, [H1])
    populate(target, ["bob", "cy"])
    first = kx.merge_absorb(source, target)
    assert list(first) == ["authors_added", "sections_added", "document_added", "token_index_added", "skipped"]
    assert first == {"authors_added": 1, "sections_added": 1, "document_added": 1, "token_index_added": 5, "skipped": 4}
    files_after_first = sorted(os.listdir(kx_path(target, "token-index.tok")))
    second = kx.merge_absorb(source, target)
    assert second == dict(ZERO_MERGE, skipped=12)
    assert sorted(os.listdir(kx_path(target, "token-index.tok"))) == files_after_first
    assert log_lines(target)[-1].split(" ", 1)[1] == (
        "merge source=%s authors=0 sections=0 document=0 token_index=0 skipped=12" % source
    )
    kx.token_index_merge_pid_files(source, "tok")  # the same entries, now merged
    assert kx.merge_absorb(source, target) == dict(ZERO_MERGE, skipped=12)
    assert len(kx.author_query(target, None, None)) == 3


def test_absorbing_a_store_into_itself_adds_nothing(store):
    populate(store, ["ann", "bob"], tokens=[1])
    for count in (1, 1, 2):  # tracked but not merged yet
        kx.token_index_write_pid(store, "tok", count, [H1])
    before = {k: v for k, v in tree(store).items() if k != os.path.join(".kx", "log")}
    assert kx.merge_absorb(store, store) == dict(ZERO_MERGE, skipped=12)
    after = {k: v for k, v in tree(store).items() if k != os.path.join(".kx", "log")}
    assert after == before


def test_records_without_string_keys_are_skipped_and_shared_hash_other_file_added(pair):
    source, target = pair
    append_record(target, "document-index", "line_hash", {"line_hash": H1, "file": "a", "sources": []})
    raw = [
        {"name": "no id"},
        {"id": 12},
    ]
    write_bytes(kx_path(source, "authors", "zz"), b"".join(line(r) for r in raw))
    for rec in (
        {"line_hash": H1, "file": "a", "sources": ["other"]},  # same key, other payload: duplicate
        {"line_hash": H1, "file": "b", "sources": []},
        {"line_hash": H1, "file": "b", "sources": ["again"]},  # duplicate within the merge
        {"line_hash": H2, "file": 3},
    ):
        append_record(source, "document-index", "line_hash", rec)
    # Any file of a source layer is read; this key names no shard of the target.
    write_bytes(kx_path(source, "document-index", "zz"), line({"line_hash": "/escape", "file": "x"}))
    result = kx.merge_absorb(source, target)
    assert result == dict(ZERO_MERGE, document_added=1, skipped=6)
    assert sorted(r["file"] for r in kx.lookup_document(target, H1)) == ["a", "b"]
    assert not os.path.exists("/escape")


def test_token_duplicates_are_found_by_sorted_sources(pair):
    source, target = pair
    write_merged(target, "t", "001", [token_entry(4, ["a", "b"])])
    write_merged(
        source,
        "t",
        "001",
        [
            token_entry(4, ["b", "a"], revoked=True),  # the target's entry: order and revoked aside
            token_entry(5, ["b", "a"], revoked=True),
            token_entry(4, ["a", "b"], tokenizer="u"),
            token_entry(5, ["a", "b"]),  # a second entry equal to the second: it counts
        ],
    )
    assert kx.merge_absorb(source, target) == dict(ZERO_MERGE, token_index_added=3, skipped=1)
    written = read_bytes(kx_path(target, "token-index.t", "002"))
    assert written == (
        b'{"token_count":5,"sources":["b","a"],"tokenizer":"t","revoked":true}\n'
        b'{"token_count":4,"sources":["a","b"],"tokenizer":"u","revoked":false}\n'
        b'{"token_count":5,"sources":["a","b"],"tokenizer":"t","revoked":false}\n'
    )


@pytest.mark.parametrize("pending", [False, True], ids=["merged", "pending"])
def test_equal_token_entries_all_arrive_and_author_totals_add_up(pair, pending):
    source, target = pair

    def ann_section(d):
        return kx.register_section("p/ann", [kx.author_add("ann", "ann@x", d)], [], "MIT", "2024", d)

    section = ann_section(source)
    assert ann_section(target) == section
    for n in range(3):  # distinct lines of one section with equal token counts
        kx.track({"text": "s%d" % n}, "data.jsonl", [section], source, 5, "tok")
    for n in range(2):
        kx.track({"text": "t%d" % n}, "data.jsonl", [section], target, 4, "tok")
    kx.token_index_merge_pid_files(target, "tok")
    if not pending:
        kx.token_index_merge_pid_files(source, "tok")
    before = tree(source)
    result = kx.merge_absorb(source, target)
    assert result == dict(ZERO_MERGE, document_added=3, token_index_added=3, skipped=2)
    assert tree(source) == before
    assert kx.show_by_author_token(target, "ann", "tok")["total_tokens"] == 3 * 5 + 2 * 4


@pytest.mark.parametrize(
    "existing, expected",
    [([], "001"), (["001"], "002"), (["001", "007"], "008"), (["001", "notes", "+0099"], "100"), (["999"], "1000")],
)
def test_new_merged_file_is_numbered_after_the_highest(pair, existing, expected):
    source, target = pair
    write_merged(source, "t", "001", [token_entry(1, [H1])])
    for name in existing:
        write_merged(target, "t", name, [token_entry(2, [H2])])
    kx.merge_absorb(source, target)
    assert sorted(os.listdir(kx_path(target, "token-index.t"))) == sorted(existing + [expected])
    assert not [n for n in os.listdir(kx_path(target)) if n.startswith(".kxtmp")]


def test_all_duplicate_tokens_create_the_directory_but_no_file(pair):
    source, target = pair
    write_merged(source, "t", "001", [token_entry(1, [H1])])
    write_merged(source, "t", "002", [token_entry(1, [H1])])
    assert kx.merge_absorb(source, target)["token_index_added"] == 2
    assert kx.merge_absorb(source, target)["skipped"] == 2
    assert os.listdir(kx_path(target, "token-index.t")) == ["001"]
    write_bytes(kx_path(source, "token-index.v.4242"), b"")  # unmerged pid file only
    kx.merge_absorb(source, target)
    assert os.listdir(kx_path(target, "token-index.v")) == []


def test_token_only_merge_leaves_index_bin_untouched(pair):
    source, target = pair
    populate(target, ["ann"])
    index_bin = kx_path(target, "index.bin")
    write_bytes(index_bin, b"stand-in for a built index")
    before = (read_bytes(index_bin), os.stat(index_bin).st_mtime_ns)
    write_merged(source, "tok", "001", [token_entry(9, [H1], tokenizer="tok")])
    assert kx.merge_absorb(source, target) == dict(ZERO_MERGE, token_index_added=1, skipped=0)
    assert (read_bytes(index_bin), os.stat(index_bin).st_mtime_ns) == before


def test_record_merge_rebuilds_the_target_indexes(pair):
    source, target = pair
    populate(source, ["ann"])
    assert not os.path.exists(kx_path(target, "index.bin"))
    kx.merge_absorb(source, target)
    assert os.path.exists(kx_path(target, "index.bin"))
    author = json.loads(kx.author_query(source, "ann", None)[0])["id"]
    groups = read_bytes(kx_path(target, "index", author[:2])).decode().splitlines()
    assert any(json.loads(g)["id"] == author for g in groups)


def test_missing_target_layer_fails_the_merge(pair):
    source, target = pair
    populate(source, ["ann"])
    os.rmdir(kx_path(target, "authors"))
    with pytest.raises(RuntimeError, match="os error"):
        kx.merge_absorb(source, target)


records = st.lists(
    st.tuples(st.sampled_from([H1, H2, H3, H1.upper(), "ab"]), st.sampled_from(["f", "g"]), st.integers(0, 3)),
    max_size=12,
)
# (token count, sources, whether the entry is still in a pid file)
token_entries = st.lists(
    st.tuples(st.integers(1, 2), st.sampled_from([["a"], ["a", "b"], ["b", "a"]]), st.booleans()),
    max_size=10,
)


def held_tokens(kx_dir):
    """The token entries of merged and pid files, counted by identity key."""
    held = Counter()
    for (tokenizer, count, sources), n in fingerprint(kx_dir)[1].items():
        held[tokenizer, count, tuple(sorted(sources))] += n
    return held


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(src=records, dst=records, src_tokens=token_entries, dst_tokens=token_entries)
def test_merge_yields_the_union_of_identity_keys(tmp_path_factory, src, dst, src_tokens, dst_tokens):
    base = tmp_path_factory.mktemp("m")
    source, target = str(base / "s"), str(base / "t")
    kx.init(source)
    kx.init(target)
    for d, recs, entries in ((source, src, src_tokens), (target, dst, dst_tokens)):
        for h, f, n in recs:
            append_record(d, "document-index", "line_hash", {"line_hash": h, "file": f, "n": n})
        write_merged(d, "t", "001", [token_entry(c, s) for c, s, pending in entries if not pending])
        pid_lines = [line(token_entry(c, s)) for c, s, pending in entries if pending]
        write_bytes(kx_path(d, "token-index.t.77"), b"".join(pid_lines))
    expected_tokens = held_tokens(source) | held_tokens(target)  # per key, the larger count
    source_files = tree(source)
    result = kx.merge_absorb(source, target)
    keys = lambda d: [(r["line_hash"], r["file"]) for r in kx.shard_iterate_all(d, "document-index")]
    assert set(keys(target)) == {(h, f) for h, f, _ in src} | {(h, f) for h, f, _ in dst}
    assert len(keys(target)) == len(dst) + result["document_added"]
    assert held_tokens(target) == expected_tokens
    assert result["document_added"] + result["token_index_added"] + result["skipped"] == len(src) + len(src_tokens)
    assert tree(source) == source_files
    for again in (source, target):
        assert kx.merge_absorb(again, target)["token_index_added"] == 0
