"""Token-index pid files, their merge into numbered files, status and tokenizers."""

import json
import multiprocessing
import os

import pytest
from hypothesis import given, settings, strategies as st

import _kx_native as kx
from conftest import kx_path, read_bytes, write_bytes


def pid_file(store, tokenizer, pid=None):
    return kx_path(store, "token-index.%s.%d" % (tokenizer, pid or os.getpid()))


def merged(store, tokenizer, *name):
    return kx_path(store, "token-index." + tokenizer, *name)


def status(store, tokenizer):
    return kx.token_index_token_status(store, tokenizer)


def entry_line(count, sources, tokenizer, revoked=False):
    return json.dumps({"token_count": count, "sources": sources, "tokenizer": tokenizer,
                       "revoked": revoked}, separators=(",", ":"))


def test_pid_lines_keep_declaration_order_and_merge_sorts_keys(store):
    kx.token_index_write_pid(store, "t", 12, ["h"])
    kx.token_index_write_pid(store, "t", 3, ["a", "b"])
    assert read_bytes(pid_file(store, "t")) == (
        b'{"token_count":12,"sources":["h"],"tokenizer":"t","revoked":false}\n'
        b'{"token_count":3,"sources":["a","b"],"tokenizer":"t","revoked":false}\n')
    assert kx.token_index_merge_pid_files(store, "t") == (2, 1)
    assert not os.path.exists(pid_file(store, "t"))
    assert os.listdir(merged(store, "t")) == ["001"]
    assert read_bytes(merged(store, "t", "001")) == (
        b'{"revoked":false,"sources":["h"],"token_count":12,"tokenizer":"t"}\n'
        b'{"revoked":false,"sources":["a","b"],"token_count":3,"tokenizer":"t"}\n')
    assert status(store, "t") == {"total_entries": 2, "active_entries": 2,
                                  "revoked_entries": 0, "total_tokens": 15}


def test_write_pid_creates_a_missing_store_directory(tmp_path):
    d = str(tmp_path / "new")
    kx.token_index_write_pid(d, "t", 1, [])
    assert os.path.isfile(pid_file(d, "t"))


@pytest.mark.parametrize("existing, expected", [
    ([], "001"),
    (["001", "002", "notes"], "003"),
    (["0999", "999"], "1000"),
    (["1000"], "1001"),
    (["+7", "-9", "+", "1a", "18446744073709551616"], "008"),
])
def test_merge_numbers_one_past_the_highest_number(store, existing, expected):
    for name in existing:
        write_bytes(merged(store, "t", name), b"")
    kx.token_index_write_pid(store, "t", 1, [])
    assert kx.token_index_merge_pid_files(store, "t") == (1, 1)
    assert sorted(os.listdir(merged(store, "t"))) == sorted(existing + [expected])


def test_merge_refuses_to_wrap_the_number(store):
    write_bytes(merged(store, "t", "18446744073709551615"), b"")
    kx.token_index_write_pid(store, "t", 1, [])
    with pytest.raises(RuntimeError):
        kx.token_index_merge_pid_files(store, "t")
    assert os.path.exists(pid_file(store, "t"))
    assert os.listdir(merged(store, "t")) == ["18446744073709551615"]


def test_empty_pid_files_are_consumed_without_a_number(store):
    write_bytes(pid_file(store, "t", 11), b"")
    write_bytes(pid_file(store, "t", 12), b"\n\nnot json\n")
    write_bytes(pid_file(store, "t", 13), (entry_line(5, [], "t") + "\n").encode())
    assert kx.token_index_merge_pid_files(store, "t") == (1, 3)
    assert os.listdir(merged(store, "t")) == ["001"]
    assert not [n for n in os.listdir(kx_path(store)) if n.startswith("token-index.t.")]


def test_merge_without_pid_files_creates_nothing(store):
    write_bytes(kx_path(store, "token-index.t.bin"), b"binary")
    assert kx.token_index_merge_pid_files(store, "t") == (0, 0)
    assert not os.path.exists(merged(store, "t"))
    assert os.path.exists(kx_path(store, "token-index.t.bin"))
    assert kx.token_index_merge_pid_files(str(os.path.dirname(store)) + "/none", "t") == (0, 0)


def test_any_other_suffix_is_a_pid_file(store):
    write_bytes(kx_path(store, "token-index.t.tmp"), (entry_line(1, [], "t") + "\n").encode())
    assert kx.token_index_merge_pid_files(store, "t") == (1, 1)


def test_each_pid_file_becomes_one_merged_file(store):
    for pid in (101, 102, 103):
        write_bytes(pid_file(store, "t", pid), (entry_line(pid, [], "t") + "\n").encode())
    assert kx.token_index_merge_pid_files(store, "t") == (3, 3)
    contents = sorted(read_bytes(merged(store, "t", n)) for n in ["001", "002", "003"])
    assert [json.loads(c)["token_count"] for c in contents] == [101, 102, 103]
    kx.token_index_write_pid(store, "t", 1, [])
    assert kx.token_index_merge_pid_files(store, "t") == (1, 1)
    assert "004" in os.listdir(merged(store, "t"))


def test_tokenizers_with_dots_are_kept_apart(store):
    kx.token_index_write_pid(store, "a", 1, [])
    kx.token_index_write_pid(store, "a.b", 10, [])
    kx.token_index_write_pid(store, "a.b", 10, [])
    assert kx.token_index_list_tokenizers(store) == ["a", "a.b"]
    assert kx.token_index_merge_pid_files(store, "a") == (1, 1)
    assert os.path.exists(pid_file(store, "a.b"))
    assert kx.token_index_merge_pid_files(store, "a.b") == (2, 1)
    assert status(store, "a")["total_tokens"] == 1
    assert status(store, "a.b")["total_tokens"] == 20
    assert kx.token_index_list_tokenizers(store) == ["a", "a.b"]


def test_list_tokenizers_sources_and_order(store):
    os.makedirs(merged(store, "zeta"))
    write_bytes(kx_path(store, "token-index.gpt.bin"), b"")
    write_bytes(kx_path(store, "token-index.gpt.77"), b"")
    write_bytes(kx_path(store, "token-index.Big.5"), b"")
    write_bytes(kx_path(store, "token-index.nodot"), b"")  # file without a "."
    write_bytes(kx_path(store, "token-index..5"), b"")  # empty tokenizer
    os.makedirs(kx_path(store, "token-index."))  # directory with empty name
    assert kx.token_index_list_tokenizers(store) == ["Big", "gpt", "zeta"]


def test_readers_of_a_missing_store_return_nothing(tmp_path):
    d = str(tmp_path)
    assert kx.token_index_list_tokenizers(d) == []
    assert status(d, "t") == {"total_entries": 0, "active_entries": 0,
                              "revoked_entries": 0, "total_tokens": 0}


def test_status_counts_only_lines_that_are_entries(store):
    write_bytes(merged(store, "t", "001"), (
        entry_line(5, ["s"], "t") + "\r\n"
        + '{"sources":[],"token_count":7,"tokenizer":"t"}\n'  # lacks revoked
        + '{"revoked":true,"sources":[],"token_count":-1,"tokenizer":"t"}\n'
        + '{"revoked":true,"sources":[],"token_count":1.0,"tokenizer":"t"}\n'
        + "\n   \nnot json\n"
        + '[9, ["s"], "t", true]\n'
        + '[9, ["s"], "t"]\n'
        + entry_line(2**64 - 1, [], "t", True)
    ).encode())
    write_bytes(merged(store, "t", "notes"), (entry_line(100, [], "t") + "\n").encode())
    assert status(store, "t") == {"total_entries": 3, "active_entries": 1,
                                  "revoked_entries": 2, "total_tokens": (5 + 9 + 2**64 - 1) % 2**64}


@pytest.mark.parametrize("bad", ["", "a/b", "../x", "a\0"])
def test_bad_tokenizer_names_are_refused_by_writers_and_read_as_empty(store, bad):
    before = sorted(os.listdir(kx_path(store)))
    with pytest.raises(RuntimeError):
        kx.token_index_write_pid(store, bad, 1, [])
    with pytest.raises(RuntimeError):
        kx.token_index_merge_pid_files(store, bad)
    assert sorted(os.listdir(kx_path(store))) == before
    assert status(store, bad)["total_entries"] == 0


@settings(max_examples=25, deadline=None)
@given(batches=st.lists(st.lists(st.integers(0, 2**40), max_size=5), min_size=1, max_size=4))
def test_status_after_several_merges_sums_every_written_entry(tmp_path_factory, batches):
    d = str(tmp_path_factory.mktemp("p"))
    kx.init(d)
    for batch in batches:
        for count in batch:
            kx.token_index_write_pid(d, "t", count, ["s"])
        kx.token_index_merge_pid_files(d, "t")
    flat = [c for b in batches for c in b]
    assert status(d, "t")["total_entries"] == len(flat)
    assert status(d, "t")["total_tokens"] == sum(flat)


# ---------------------------------------------------------------- many writers

LINES_PER_WORKER = 400


def _track_worker(store, worker):
    for i in range(LINES_PER_WORKER):
        kx.track({"w": worker, "i": i}, "data.jsonl", ["s%d" % worker], store,
                 token_count=i, tokenizer="tok.v1")


def test_concurrent_trackers_lose_no_line(store):
    kx.token_index_write_pid(store, "tok.v1", 0, [])  # the parent writes before forking
    ctx = multiprocessing.get_context("fork")
    workers = [ctx.Process(target=_track_worker, args=(store, w)) for w in range(4)]
    for p in workers:
        p.start()
    for p in workers:
        p.join()
    assert all(p.exitcode == 0 for p in workers)
    docs = kx.read_all_documents(store)
    assert len(docs) == 4 * LINES_PER_WORKER
    assert len({d["line_hash"] for d in docs}) == 4 * LINES_PER_WORKER
    assert kx.token_index_merge_pid_files(store, "tok.v1") == (4 * LINES_PER_WORKER + 1, 5)
    assert status(store, "tok.v1")["total_tokens"] == 4 * sum(range(LINES_PER_WORKER))


# ---------------------------------------------------------------- line reader

KEYS = ["token_count", "sources", "tokenizer", "revoked"]
names = st.text("ab.-_", max_size=4) | st.text(max_size=6)
valid_values = {
    "token_count": st.integers(0, 2**64 - 1),
    "sources": st.lists(names, max_size=3),
    "tokenizer": names,
    "revoked": st.booleans(),
}
invalid_values = {
    "token_count": st.integers(2**64, 2**65) | st.integers(-5, -1)
    | st.floats(0, 10, allow_nan=False) | st.booleans(),
    "sources": st.just([1]) | names,
    "tokenizer": st.none() | st.integers(0, 3),
    "revoked": st.none() | st.integers(0, 1),
}


def member_value(draw, key):
    valid = draw(st.integers(0, 5)) > 0
    return draw(valid_values[key] if valid else invalid_values[key])


@st.composite
def entry_lines(draw):
    keys = draw(st.permutations(KEYS))
    shape = draw(st.integers(0, 5))
    if shape == 0:  # one key missing
        keys = keys[:3]
    elif shape == 1:  # one key missing, another repeated in its place
        keys = keys[:3] + [keys[draw(st.integers(0, 2))]]
    members = [(k, member_value(draw, k)) for k in keys]
    if draw(st.booleans()):  # a repeated or unknown key
        extra = draw(st.sampled_from(keys + ["x"]))
        value = member_value(draw, extra) if extra in KEYS else None
        members.insert(draw(st.integers(0, len(members))), (extra, value))
    sep = draw(st.sampled_from([(",", ":"), (",", ":"), (", ", ": "), (",", " : ")]))
    ascii_only = draw(st.booleans())
    text = "{" + sep[0].join(json.dumps(k) + sep[1] + json.dumps(v, ensure_ascii=ascii_only)
                             for k, v in members) + "}"
    if draw(st.integers(0, 5)) == 0:
        text = json.dumps([v for _, v in members])
    return draw(st.sampled_from(["", " ", "\t"])) + text + draw(st.sampled_from(["", "\r", " "]))


def python_entry(line):
    try:
        value = json.loads(line)
    except ValueError:
        return None
    if isinstance(value, list):
        if len(value) != 4:
            return None
        value = dict(zip(KEYS, value))
    if not isinstance(value, dict) or any(k not in value for k in KEYS):
        return None
    count, sources, tokenizer, revoked = (value[k] for k in KEYS)
    if type(count) is not int or not 0 <= count < 2**64:
        return None
    if not isinstance(sources, list) or not all(isinstance(s, str) for s in sources):
        return None
    if not isinstance(tokenizer, str) or not isinstance(revoked, bool):
        return None
    return count, revoked


@settings(max_examples=200, deadline=None)
@given(lines=st.lists(entry_lines(), max_size=8))
def test_every_reader_counts_the_lines_python_reads_as_entries(tmp_path_factory, lines):
    d = str(tmp_path_factory.mktemp("p"))
    write_bytes(merged(d, "t", "001"), "".join(l + "\n" for l in lines).encode())
    expected = [e for e in map(python_entry, lines) if e is not None]
    assert status(d, "t") == {
        "total_entries": len(expected),
        "active_entries": sum(1 for _, r in expected if not r),
        "revoked_entries": sum(1 for _, r in expected if r),
        "total_tokens": sum(c for c, _ in expected) % 2**64,
    }


def test_a_pid_file_claimed_by_an_interrupted_merge_is_merged_next_time(store):
    write_bytes(pid_file(store, "t", 55) + "-merging", (entry_line(4, [], "t") + "\n").encode())
    write_bytes(pid_file(store, "t", 55), (entry_line(6, [], "t") + "\n").encode())
    assert kx.token_index_list_tokenizers(store) == ["t"]
    assert kx.token_index_merge_pid_files(store, "t") == (2, 2)
    assert not [n for n in os.listdir(kx_path(store)) if n.startswith("token-index.t.")]
    assert status(store, "t")["total_tokens"] == 10

