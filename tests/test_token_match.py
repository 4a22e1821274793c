import json
import os

import pytest
from hypothesis import given, settings, strategies as st

import _kx_native as kx
from conftest import (json_line, json_line_forms, kx_path, read_bytes, record_strings, token_line,
                      write_bytes, write_merged)

S1 = "11" * 32
S2 = "22" * 32
OTHER = "33" * 32


def merged(store, name, tokenizer="t"):
    return kx_path(store, "token-index." + tokenizer, name)


def age(path, seconds=100):
    """Moves a file's modification time into the past; returns the new stat."""
    st = os.stat(path)
    t = st.st_mtime_ns - seconds * 10**9
    os.utime(path, ns=(t, t))
    return os.stat(path)


def entries_of(path):
    out = []
    for raw in read_bytes(path).split(b"\n"):
        try:
            out.append(json.loads(raw))
        except ValueError:
            pass
    return out


class TestFullScanRevocation:
    def test_flips_and_a_second_call_restores(self, store):
        write_merged(store, "t", "001", [token_line(1, [S1]), token_line(2, [OTHER]),
                                         token_line(3, [S1, S2])])
        assert kx.token_index_revoke_by_sources(store, "t", {S1, S2}) == 2
        assert [e["revoked"] for e in entries_of(merged(store, "001"))] == [True, False, True]
        assert kx.token_index_token_status(store, "t")["revoked_entries"] == 2
        assert kx.token_index_revoke_by_sources(store, "t", frozenset({S1})) == 2
        assert kx.token_index_token_status(store, "t")["revoked_entries"] == 0

    def test_rewritten_file_is_canonical_and_drops_non_entries(self, store):
        pid_form = token_line(4, [OTHER], sorted_keys=False)
        extra = b'{"extra":1,"revoked":false,"sources":["%s"],"token_count":5,"tokenizer":"t"}' % S1.encode()
        write_merged(store, "t", "001", [extra, b"", b"garbage", pid_form, b"[1,2]"])
        assert kx.token_index_revoke_by_sources(store, "t", {S1}) == 1
        assert read_bytes(merged(store, "001")) == (
            token_line(5, [S1], revoked=True) + b"\n" + token_line(4, [OTHER]) + b"\n" + b"[1,2]\n")

    def test_one_character_and_escaped_targets_are_found(self, store):
        write_merged(store, "t", "001", [token_line(1, ["x"]), token_line(2, ['a"b\\c'])])
        assert kx.token_index_revoke_by_sources(store, "t", {"x", 'a"b\\c'}) == 2

    def test_target_only_in_the_tokenizer_name_matches_nothing(self, store):
        write_merged(store, "t" * 64, "001", [token_line(1, [OTHER], tokenizer="t" * 64)])
        assert kx.token_index_revoke_by_sources(store, "t" * 64, {"t" * 64}) == 0

    def test_untouched_files_keep_bytes_and_time(self, store):
        write_merged(store, "t", "001", [token_line(1, [OTHER]), b"junk"])
        write_merged(store, "t", "002", [token_line(1, [S1])])
        before = age(merged(store, "001"))
        content = read_bytes(merged(store, "001"))
        assert kx.token_index_revoke_by_sources(store, "t", {S1}) == 1
        after = os.stat(merged(store, "001"))
        assert after.st_mtime_ns == before.st_mtime_ns and after.st_ino == before.st_ino
        assert read_bytes(merged(store, "001")) == content
        assert sorted(os.listdir(kx_path(store, "token-index.t"))) == ["001", "002"]

    def test_nothing_to_scan(self, store):
        assert kx.token_index_revoke_by_sources(store, "t", {S1}) == 0
        assert kx.token_index_revoke_by_sources(store, "../x", {S1}) == 0


def implemented(fn, *args):
    try:
        fn(*args)
    except RuntimeError as e:
        return "not implemented" not in str(e)
    return True


@pytest.fixture
def author_with_sections(store):
    """An author whose sections have the hashes S1-like targets named per test."""
    if not implemented(kx.revoke_by_author_token, store, "nobody", "t"):
        pytest.skip("revoke_by_author_token is not available yet")
    aid = kx.author_add("Ann", "ann@example.org", store)

    def add_sections(*hashes):
        # Raw section records, so that a section hash may be any string.
        for h in hashes:
            record = {"section_hash": h, "authors": [aid]}
            with open(kx_path(store, "sections", "zz"), "a") as f:
                f.write(json.dumps(record, separators=(",", ":")) + "\n")
    return store, add_sections


class TestFastScanRevocation:
    """Revocation by author without a binary index goes through the fast scan."""

    def test_rewrite_keeps_other_lines_byte_for_byte(self, author_with_sections):
        store, add_sections = author_with_sections
        add_sections(S1)
        hit = b'{"revoked":false,"sources":["%s"],"token_count":7,"tokenizer":"t","x":1}' % S1.encode()
        others = [token_line(1, [OTHER]) + b"\r", b"garbage", token_line(2, [OTHER], sorted_keys=False)]
        write_bytes(merged(store, "001"), others[0] + b"\n\n" + hit + b"\n" + others[1] + b"\n"
                    + others[2])
        assert kx.revoke_by_author_token(store, "Ann", "t") == 1
        assert read_bytes(merged(store, "001")) == b"\n".join([
            others[0], token_line(7, [S1], revoked=True, sorted_keys=False), others[1], others[2]]
        ) + b"\n"
        assert kx.revoke_by_author_token(store, "Ann", "t") == 1
        assert entries_of(merged(store, "001"))[1]["revoked"] is False

    def test_untouched_files_keep_bytes_and_time(self, author_with_sections):
        store, add_sections = author_with_sections
        add_sections(S1)
        write_merged(store, "t", "001", [token_line(1, [OTHER]), b"", b"junk"])
        write_merged(store, "t", "002", [token_line(1, [S1])])
        before = age(merged(store, "001"))
        content = read_bytes(merged(store, "001"))
        assert kx.revoke_by_author_token(store, "Ann", "t") == 1
        assert os.stat(merged(store, "001")).st_mtime_ns == before.st_mtime_ns
        assert read_bytes(merged(store, "001")) == content
        assert sorted(os.listdir(kx_path(store, "token-index.t"))) == ["001", "002"]

    @pytest.mark.parametrize("target", ["x", 'a"b', "a\\b", "tab\there"])
    def test_fast_scan_cannot_find_short_or_escaped_targets(self, author_with_sections, target):
        store, add_sections = author_with_sections
        add_sections(target)
        write_merged(store, "t", "001", [token_line(1, [target])])
        assert kx.revoke_by_author_token(store, "Ann", "t") == 0
        assert kx.token_index_revoke_by_sources(store, "t", {target}) == 1

    def test_two_byte_target_found_and_tokenizer_name_hit_rejected(self, author_with_sections):
        store, add_sections = author_with_sections
        add_sections("ab", "tok")
        write_merged(store, "t", "001", [token_line(1, ["ab"], tokenizer="tok"),
                                         token_line(2, [OTHER], tokenizer="tok")])
        assert kx.revoke_by_author_token(store, "Ann", "t") == 1
        assert [e["revoked"] for e in entries_of(merged(store, "001"))] == [True, False]


class TestForgetSet:
    def ten_entries(self, store, revoked=(0, 9)):
        lines = [token_line(i, [S1], revoked=i in revoked) for i in range(10)]
        write_merged(store, "t", "001", lines[:4])
        write_merged(store, "t", "002", lines[4:])

    def test_bits_from_the_merged_files_and_from_the_index_agree(self, store):
        self.ten_entries(store)
        assert kx.generate_forget_set(store, "t") == b"\x01\x02"
        kx.token_index_build_binary_index(store, "t")
        assert kx.generate_forget_set(store, "t") == b"\x01\x02"

    def test_a_damaged_line_takes_no_bit_either_way(self, store):
        lines = [token_line(0, [S1]), b'{"revoked":true,"sources":[]}', b"broken {\"revoked\":true",
                 token_line(1, [S1], revoked=True), b'{"revoked": true, "sources": [], '
                 b'"token_count": 2, "tokenizer": "t"}']
        write_merged(store, "t", "001", lines)
        from_files = kx.generate_forget_set(store, "t")
        kx.token_index_build_binary_index(store, "t")
        assert kx.generate_forget_set(store, "t") == from_files == b"\x06"
        assert kx.token_index_token_status(store, "t")["total_entries"] == 3

    def test_empty_when_nothing_exists(self, store):
        assert kx.generate_forget_set(store, "t") == b""
        write_merged(store, "t", "001", [])
        assert kx.generate_forget_set(store, "t") == b""

    def test_a_revocation_makes_the_index_stale(self, store):
        self.ten_entries(store, revoked=())
        kx.token_index_build_binary_index(store, "t")
        t = os.stat(kx_path(store, "token-index.t.bin")).st_mtime_ns
        for name in ("001", "002"):
            os.utime(merged(store, name), ns=(t - 10**9, t - 10**9))
        assert kx.generate_forget_set(store, "t") == b"\x00\x00"
        assert kx.token_index_revoke_by_sources(store, "t", {S1}) == 10
        assert kx.generate_forget_set(store, "t") == b"\xff\x03"


class TestWriteForgetSet:
    @pytest.mark.parametrize("bitmask, expected", [
        (b"\x01\x02", b"\x01\x02"), (bytearray(b"\xff"), b"\xff"), ([0, 255, 7], b"\x00\xff\x07"),
        (b"", b""),
    ])
    def test_writes_exact_bytes_replacing_the_file(self, tmp_path, bitmask, expected):
        path = tmp_path / "forget.bin"
        path.write_bytes(b"previous content")
        assert kx.write_forget_set(str(path), bitmask) is None
        assert path.read_bytes() == expected

    def test_refuses_text_and_missing_directories(self, tmp_path):
        with pytest.raises(TypeError):
            kx.write_forget_set(str(tmp_path / "f"), "01")
        with pytest.raises(RuntimeError, match=r"^No such file or directory \(os error 2\)$"):
            kx.write_forget_set(str(tmp_path / "missing" / "f"), b"\x01")


def entry_of(line):
    """What a reader must make of one merged line: the entry, or None."""
    try:
        value = json.loads(line)
    except ValueError:
        return None
    if isinstance(value, list) and len(value) == 4:
        value = dict(zip(["token_count", "sources", "tokenizer", "revoked"], value))
    if not isinstance(value, dict):
        return None
    count, sources = value.get("token_count"), value.get("sources")
    if (type(count) is not int or not 0 <= count < 2**64 or not isinstance(value.get("tokenizer"), str)
            or type(value.get("revoked")) is not bool or not isinstance(sources, list)
            or not all(isinstance(s, str) for s in sources)):
        return None
    return value


token_records = st.fixed_dictionaries(
    {"token_count": st.integers(0, 2**64 - 1) | st.integers(2**64, 2**65) | st.sampled_from([-1, True, None]),
     "sources": st.lists(record_strings, max_size=3),
     "tokenizer": record_strings,
     "revoked": st.booleans() | st.sampled_from([0, None])},
    optional={"x": st.integers() | record_strings | st.none()})


@settings(max_examples=150, deadline=None)
@given(lines=st.lists(st.tuples(token_records | st.lists(st.integers(0, 9), max_size=4),
                                json_line_forms, st.integers(0, 3)), max_size=6))
def test_entry_lines_read_exactly_as_the_json_parser_reads_them(tmp_path_factory, lines):
    # Both the fast scanner and the parser meet every line: compact ones with
    # DEL or escapes, other key orders, spaces, wrong types, cut-off ends.
    store = str(tmp_path_factory.mktemp("p"))
    kx.init(store)
    section = kx.register_section("p", [kx.author_add("Ann", "a", store)], [], "MIT", "2020", store)
    for value, _, _ in lines:
        if isinstance(value, dict):
            value["sources"] = value["sources"] + [section]
    raw = [json_line(value, form)[:-cut or None] for value, form, cut in lines]
    write_merged(store, "t", "001", raw)
    entries = [e for e in map(entry_of, raw) if e is not None]
    status = kx.token_index_token_status(store, "t")
    assert (status["total_entries"], status["revoked_entries"], status["total_tokens"]) == (
        len(entries), sum(e["revoked"] for e in entries), sum(e["token_count"] for e in entries) % 2**64)
    bits = kx.generate_forget_set(store, "t")
    assert [bool(bits[i // 8] >> (i % 8) & 1) for i in range(len(entries))] == [e["revoked"] for e in entries]
    # Counts beyond the signed 64-bit range come back as floats.
    listed = [{"revoked": e["revoked"], "sources": e["sources"], "tokenizer": e["tokenizer"],
               "token_count": float(e["token_count"]) if e["token_count"] >= 2**63 else e["token_count"]}
              for e in entries if not e["revoked"] and section in e["sources"]]
    assert kx.show_by_author_token(store, "Ann", "t")["entries"] == listed
