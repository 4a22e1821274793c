"""Authors, sections, the document index, track and blame."""

import hashlib
import json
import os

import pytest
from hypothesis import given, settings, strategies as st

import _kx_native as kx
from conftest import json_line, json_line_forms, kx_path, read_bytes, record_strings, write_bytes


def sha(text):
    return hashlib.sha256(text.encode()).hexdigest()


def lines_of(path):
    return read_bytes(path).decode().splitlines()


# ---------------------------------------------------------------- authors


def test_author_id_is_hash_of_email_and_name_and_line_keeps_field_order(store):
    aid = kx.author_add("A", "B", store)
    assert aid == sha('{"email":"B","name":"A"}')
    line = '{"id":"%s","name":"A","email":"B","revoked":false}' % aid
    assert read_bytes(kx_path(store, "authors", aid[:2])) == (line + "\n").encode()
    assert kx.author_query(store, "A", "B") == [line]


def test_adding_twice_appends_two_lines_and_both_are_found(store):
    assert kx.author_add("A", "B", store) == kx.author_add("A", "B", store)
    for name, email in [("A", "B"), ("A", None), (None, "B")]:
        assert len(kx.author_query(store, name, email)) == 2


def test_author_names_are_matched_byte_for_byte(store):
    names = ["Ann", "ann", " Ann", "Ann ", ""]
    ids = {kx.author_add(n, "e", store) for n in names}
    assert len(ids) == len(names)
    for n in names:
        found = [json.loads(t) for t in kx.author_query(store, n, None)]
        assert [a["name"] for a in found] == [n]
    assert kx.author_query(store, "Ann", "E") == []


def test_query_without_fields_lists_every_record_of_every_file(store):
    added = {kx.author_add("n%d" % i, "e%d" % i, store) for i in range(40)}
    write_bytes(kx_path(store, "authors", "notes"),
                b'{"id":"x","name":"n0","email":"z","revoked":true}\n')
    found = [json.loads(t) for t in kx.author_query(store, None, None)]
    assert {a["id"] for a in found} == added | {"x"}
    by_name = kx.author_query(store, "n0", None)
    assert sorted(json.loads(t)["email"] for t in by_name) == ["e0", "z"]


def test_query_results_keep_line_order_within_a_file(store):
    path = kx_path(store, "authors", "zz")
    recs = [{"id": str(i), "name": "N", "email": "e%d" % i, "revoked": i % 2 == 0}
            for i in range(5)]
    write_bytes(path, "".join(json.dumps(r) + "\n" for r in recs).encode())
    assert [json.loads(t) for t in kx.author_query(store, "N", None)] == recs


@pytest.mark.parametrize("path_kind", ["both", "name_only", "email_only"])
def test_query_reads_rewritten_and_escaped_lines_and_skips_bad_ones(store, path_kind):
    aid = sha('{"email":"B","name":"A"}')
    shard = kx_path(store, "authors", aid[:2])
    good_sorted = '{"email":"B","id":"%s","name":"A","revoked":true}' % aid
    escaped = '{"id":"%s","name":"\\u0041","email":"\\u0042","revoked":false}' % aid
    write_bytes(shard, (
        good_sorted + "\r\n"
        + "not json\n"
        + '{"id":"%s","name":"A","email":"B"}\n' % aid  # lacks revoked
        + '{"id":"%s","name":"A","email":"B","revoked":"no"}\n' % aid
        + "\n"
        + escaped + "\n"
    ).encode())
    name, email = {"both": ("A", "B"), "name_only": ("A", None),
                   "email_only": (None, "B")}[path_kind]
    found = kx.author_query(store, name, email)
    assert found == [
        '{"id":"%s","name":"A","email":"B","revoked":true}' % aid,
        '{"id":"%s","name":"A","email":"B","revoked":false}' % aid,
    ]


def test_names_needing_escapes_round_trip(store):
    name = 'q"b\\s\tn\u00e9\U0001f600'
    kx.author_add(name, "e", store)
    assert [json.loads(t)["name"] for t in kx.author_query(store, name, None)] == [name]
    assert [json.loads(t)["name"] for t in kx.author_query(store, name, "e")] == [name]


def test_store_without_authors_layer(tmp_path):
    d = str(tmp_path)
    assert kx.author_query(d, None, None) == []
    assert kx.author_query(d, "A", "B") == []
    aid = sha('{"email":"B","name":"A"}')
    with pytest.raises(RuntimeError) as err:
        kx.author_add("A", "B", d)
    assert str(err.value) == 'opening shard "%s"' % os.path.join(d, ".kx", "authors", aid[:2])


# ---------------------------------------------------------------- sections


def test_section_hash_and_line_bytes(store):
    h = kx.register_section("data/a.txt", ["a1", "a2"], [], "MIT", "2020", store)
    assert h == sha('{"authors":["a1","a2"],"contributors":[],"license":"MIT",'
                    '"path":"data/a.txt","year":"2020"}')
    line = ('{"section_hash":"%s","path":"data/a.txt","authors":["a1","a2"],'
            '"contributors":[],"license":"MIT","year":"2020"}\n' % h)
    assert read_bytes(kx_path(store, "sections", h[:2])) == line.encode()
    assert kx.register_section("data/a.txt", ("a1", "a2"), (), "MIT", "2020", store) == h
    assert read_bytes(kx_path(store, "sections", h[:2])) == 2 * line.encode()


def test_section_hash_depends_on_author_order(store):
    h1 = kx.register_section("p", ["x", "y"], ["c"], "L", "1999", store)
    h2 = kx.register_section("p", ["y", "x"], ["c"], "L", "1999", store)
    assert h1 != h2


def test_register_section_without_layer_reports_the_system_error(tmp_path):
    with pytest.raises(RuntimeError, match=r"^No such file or directory \(os error 2\)$"):
        kx.register_section("p", [], [], "L", "2000", str(tmp_path))


# ---------------------------------------------------------------- documents

H = "ab" + "0" * 62


def test_index_document_writes_sorted_keys_and_lookup_returns_every_record(store):
    kx.index_document(store, H, "train.jsonl", ["s1", "s2"])
    kx.index_document(store, H, "train.jsonl", ["s1", "s2"])
    kx.index_document(store, "ab" + "1" * 62, "other", [])
    line = '{"file":"train.jsonl","line_hash":"%s","revoked":false,"sources":["s1","s2"]}\n' % H
    assert read_bytes(kx_path(store, "document-index", "ab")).startswith(2 * line.encode())
    rec = {"file": "train.jsonl", "line_hash": H, "sources": ["s1", "s2"]}
    assert kx.lookup_document(store, H) == [rec, rec]
    assert kx.lookup_document(store, H.upper()) == []
    assert kx.lookup_document(store, "cd" + "0" * 62) == []


def test_readers_accept_array_form_and_skip_invalid_lines(store):
    write_bytes(kx_path(store, "document-index", "ab"), (
        '["%s","f1",["s"]]\n' % H
        + '{"file":"f2","line_hash":"%s"}\n' % H  # no sources
        + '{"file":"f3","line_hash":"%s","sources":[1]}\n' % H
        + '["%s","f4"]\n' % H
        + '{"line_hash":"%s","sources":[],"file":"f5","revoked":true,"x":1}\r\n' % H
    ).encode())
    write_bytes(kx_path(store, "document-index", "abc"),
                ('{"file":"f6","line_hash":"%s","sources":[]}\n' % H).encode())
    assert [r["file"] for r in kx.lookup_document(store, H)] == ["f1", "f5"]
    assert kx.read_all_documents(store) == [
        [H, "f1", ["s"]],
        {"file": "f5", "line_hash": H, "revoked": True, "sources": [], "x": 1},
    ]


def document_of(line, section):
    """What a reader must make of one document line listing `section`, or None."""
    try:
        value = json.loads(line)
    except ValueError:
        return None
    if isinstance(value, list) and len(value) == 3:
        value = dict(zip(["line_hash", "file", "sources"], value))
    if not isinstance(value, dict):
        return None
    record = {k: value.get(k) for k in ("file", "line_hash", "sources")}
    if (not isinstance(record["file"], str) or not isinstance(record["line_hash"], str)
            or not isinstance(record["sources"], list)
            or not all(isinstance(s, str) for s in record["sources"]) or section not in record["sources"]):
        return None
    return record


document_records = st.fixed_dictionaries(
    {"file": record_strings | st.none(), "line_hash": record_strings,
     "sources": st.lists(record_strings, max_size=2).map(lambda s: s + [H])},
    optional={"revoked": st.booleans(), "x": st.integers() | record_strings})


@settings(max_examples=150, deadline=None)
@given(lines=st.lists(st.tuples(document_records, json_line_forms, st.integers(0, 3)), max_size=6))
def test_document_lines_read_exactly_as_the_json_parser_reads_them(tmp_path_factory, lines):
    # Both the fast scanner and the parser meet every line: compact ones with
    # DEL or escapes, other key orders, spaces, wrong types, cut-off ends.
    store = str(tmp_path_factory.mktemp("p"))
    kx.init(store)
    raw = [json_line(value, form)[:-cut or None] for value, form, cut in lines]
    write_bytes(kx_path(store, "document-index", "0f"), b"".join(line + b"\n" for line in raw))
    expected = [r for r in (document_of(line, H) for line in raw) if r is not None]
    assert kx.show_by_section(store, H) == expected


def test_read_all_documents_keeps_revoked_member(store):
    kx.index_document(store, H, "f", ["s"])
    assert kx.read_all_documents(store) == [
        {"file": "f", "line_hash": H, "revoked": False, "sources": ["s"]}]
    assert "revoked" not in kx.lookup_document(store, H)[0]


@pytest.mark.parametrize("bad", ["", "a", "/x" + "0" * 62, "..", "../etc", "a/b", "a\0b"])
def test_index_document_refuses_hashes_naming_no_shard_and_writes_nothing(store, bad):
    before = sorted(os.listdir(kx_path(store)))
    with pytest.raises(RuntimeError):
        kx.index_document(store, bad, "f", [])
    assert sorted(os.listdir(kx_path(store))) == before
    assert os.listdir(kx_path(store, "document-index")) == []


@pytest.mark.parametrize("bad", ["..", "../x", "a/", "a\0"])
def test_lookup_with_a_hash_naming_no_shard_finds_nothing(store, bad):
    assert kx.lookup_document(store, bad) == []


def test_document_writes_without_layer_fail(tmp_path):
    with pytest.raises(RuntimeError, match=r"os error 2"):
        kx.index_document(str(tmp_path), H, "f", [])
    assert kx.lookup_document(str(tmp_path), H) == []
    assert kx.read_all_documents(str(tmp_path)) == []


# ---------------------------------------------------------------- track and blame


def test_track_writes_document_line_and_pid_line(store):
    data = {"text": "hello", "n": 1}
    h = kx.track(data, "train.jsonl", ["s1"], store, token_count=12, tokenizer="t")
    assert h == kx.compute_hash(data) == sha('{"n":1,"text":"hello"}')
    doc = '{"file":"train.jsonl","line_hash":"%s","revoked":false,"sources":["s1"]}\n' % h
    assert read_bytes(kx_path(store, "document-index", h[:2])) == doc.encode()
    pid = '{"token_count":12,"sources":["s1"],"tokenizer":"t","revoked":false}\n'
    assert read_bytes(kx_path(store, "token-index.t.%d" % os.getpid())) == pid.encode()


@pytest.mark.parametrize("kwargs", [{"token_count": 3}, {"tokenizer": "t"},
                                    {"token_count": None, "tokenizer": "t"}])
def test_track_without_both_token_arguments_writes_only_the_document(store, kwargs):
    h = kx.track("x", "f", [], store, **kwargs)
    assert len(lines_of(kx_path(store, "document-index", h[:2]))) == 1
    assert not [n for n in os.listdir(kx_path(store)) if n.startswith("token-index")]


@pytest.mark.parametrize("bad", ["", "a/b", "a\0b", "/abs"])
def test_track_refuses_bad_tokenizer_before_writing(store, bad):
    with pytest.raises(RuntimeError):
        kx.track("x", "f", [], store, token_count=1, tokenizer=bad)
    assert os.listdir(kx_path(store, "document-index")) == []
    assert not [n for n in os.listdir(kx_path(store)) if n.startswith("token-index")]


def test_track_fails_without_store_and_writes_no_tokens(tmp_path):
    d = str(tmp_path)
    with pytest.raises(RuntimeError):
        kx.track("x", "f", [], d, token_count=1, tokenizer="t")
    assert os.listdir(d) == []


def test_blame_meets_track_on_the_same_line_hash(store):
    kx.track({"a": 2, "b": 1}, "f1", ["s"], store)
    kx.track({"a": 2, "b": 1}, "f2", ["s"], store)
    kx.track("plain text", "f1", [], store)
    kx.track("123", "f1", [], store)
    files = lambda recs: [r["file"] for r in recs]
    assert files(kx.blame(store, "any", '{"b":1, "a":2}')) == ["f1", "f2"]
    assert files(kx.blame(store, "f1", ' {"a":2,"b":1}\n')) == ["f1", "f2"]
    assert files(kx.blame(store, "zzz", "plain text")) == ["f1"]
    assert kx.blame(store, "f1", "plain text\n") == []
    assert kx.blame(store, "f1", "123") == []
    rec = kx.blame(store, "f1", "plain text")[0]
    assert rec == {"file": "f1", "line_hash": kx.compute_hash("plain text"), "sources": []}


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(), inner, max_size=4),
    max_leaves=12)


@settings(max_examples=60, deadline=None)
@given(value=json_values)
def test_a_tracked_value_is_blamed_by_its_json_text(tmp_path_factory, value):
    d = str(tmp_path_factory.mktemp("p"))
    kx.init(d)
    h = kx.track(value, "f", ["s"], d)
    assert [r["line_hash"] for r in kx.blame(d, "f", json.dumps(value))] == [h]


def test_blame_lines_gives_each_line_its_records_across_batches_and_windows(store):
    # 70,000 lines cross the first look-up window (65,536 lines against a
    # small index) and four batches; values repeat, so hashes recur across
    # both, and the records' files and sources vary with the value.
    from kx import _core as core

    values = [i % 60_000 for i in range(70_000)]
    tracked = {}
    for v in range(0, 60_000, 5):
        h = kx.compute_hash({"n": v})
        records = [(f"f{v % 3}", [f"s{v % 7}"])] + ([("g", [])] if v % 1000 == 0 else [])
        for file, sources in records:
            kx.index_document(store, h, file, sources)
        tracked[v] = records
    path = os.path.join(store, "data.jsonl")
    with open(path, "w") as f:
        f.writelines(json.dumps({"n": v}) + "\n" for v in values)

    got = []
    core.blame_lines(store, path, lambda provenances, lines: got.extend(
        (number, h, [(file, list(sources)) for file, sources in provenances[p]]) for number, h, p in lines))
    assert [(n, h) for n, h, _ in got] == [(i + 1, kx.compute_hash({"n": v})) for i, v in enumerate(values)]
    assert [records for _, _, records in got] == [tracked.get(v, []) for v in values]
