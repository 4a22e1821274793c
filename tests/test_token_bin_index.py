import json
import os
import struct
import tempfile

import pytest
from hypothesis import given, settings, strategies as st

import _kx_native as kx
from conftest import kx_path, read_bytes, token_line, write_bytes, write_merged

H1 = "ab" * 32
H2 = "ac" * 32  # same first byte as H1, sorts after it
H3 = "01" * 32


def parse_index(data):
    """Decodes a token binary index into plain Python structures."""
    assert data[:9] == b"KXIDXTI01"
    version, e, s, eo, so, bo = struct.unpack_from("<6I", data, 9)
    assert data[33:64] == bytes(31)
    entries = []
    for i in range(e):
        fid, off, length, rev = struct.unpack_from("<HIIB", data, eo + 16 * i)
        assert data[eo + 16 * i + 11 : eo + 16 * i + 16] == bytes(5)
        entries.append((fid, off, length, rev))
    sources, pos = [], so
    for _ in range(s):
        h = data[pos : pos + 32]
        (k,) = struct.unpack_from("<H", data, pos + 32)
        ids = list(struct.unpack_from("<%dI" % k, data, pos + 34))
        sources.append((pos, h.hex(), ids))
        pos += 34 + 4 * k
    assert pos == bo
    buckets = list(struct.unpack_from("<256Q", data, bo))
    assert len(data) == bo + 2048
    return dict(version=version, E=e, S=s, entries_offset=eo, sources_offset=so,
                buckets_offset=bo, entries=entries, sources=sources, buckets=buckets)


def build(store, tokenizer="t"):
    result = kx.token_index_build_binary_index(store, tokenizer)
    return result, parse_index(read_bytes(bin_path(store, tokenizer)))


def bin_path(store, tokenizer="t"):
    return kx_path(store, "token-index.%s.bin" % tokenizer)


class TestLayout:
    def test_single_entry_matches_the_worked_sizes(self, store):
        line = token_line(12, [H1])
        write_merged(store, "t", "001", [line])
        result, idx = build(store)
        assert result == "entries=1, sources=1"
        assert (idx["version"], idx["E"], idx["S"]) == (1, 1, 1)
        assert (idx["entries_offset"], idx["sources_offset"], idx["buckets_offset"]) == (64, 80, 118)
        assert os.path.getsize(bin_path(store)) == 2166
        assert idx["entries"] == [(1, 0, len(line), 0)]
        assert idx["sources"] == [(80, H1, [0])]
        assert idx["buckets"][0xAB] == 80
        assert sum(1 for b in idx["buckets"] if b) == 1

    def test_no_parsable_lines_gives_an_empty_index(self, store):
        write_merged(store, "t", "001", [b"not json", b'{"token_count":1}'])
        result, idx = build(store)
        assert result == "entries=0, sources=0"
        assert os.path.getsize(bin_path(store)) == 2112
        assert (idx["sources_offset"], idx["buckets_offset"]) == (64, 64)
        assert idx["buckets"] == [0] * 256

    def test_only_64_digit_hex_sources_are_indexed_case_insensitively(self, store):
        write_merged(store, "t", "001", [token_line(1, ["xyz", "ab" * 31, H3.upper()])])
        write_merged(store, "t", "002", [token_line(1, [H3])])
        _, idx = build(store)
        assert [(h, ids) for _, h, ids in idx["sources"]] == [(H3, [0, 1])]

    def test_duplicate_source_and_shared_bucket(self, store):
        write_merged(store, "t", "001", [token_line(1, [H2, H1, H1]), token_line(2, [H2])])
        _, idx = build(store)
        (p1, h1, ids1), (p2, h2, ids2) = idx["sources"]
        assert (h1, ids1) == (H1, [0, 0])
        assert (h2, ids2) == (H2, [0, 1])
        assert idx["buckets"][0xAB] == p1 == idx["sources_offset"]
        assert p2 == p1 + 34 + 8

    def test_entry_records_point_at_their_lines_in_merged_order(self, store):
        good = [token_line(1, [H1]), token_line(2, [H2], revoked=True), token_line(3, [])]
        array_form = b'[4,["%s"],"t",false]' % H3.encode()
        p1 = write_merged(store, "t", "002", [good[1], b"", b"garbage", good[2] + b"\r"])
        p0 = write_merged(store, "t", "1", [good[0]])
        p2 = write_merged(store, "t", "010", [b'{"revoked":true}', array_form])
        write_merged(store, "t", "notes", [token_line(9, [H1])])
        _, idx = build(store)
        status = kx.token_index_token_status(store, "t")
        assert idx["E"] == status["total_entries"] == 4
        files = {1: read_bytes(p0), 2: read_bytes(p1), 10: read_bytes(p2)}
        counts = []
        for fid, off, length, rev in idx["entries"]:
            raw = files[fid][off : off + length]
            counts.append(raw.rstrip(b"\r"))
            assert rev == (b'"revoked":true' in raw)
        assert counts == [good[0], good[1], good[2], array_form]
        assert idx["entries"][2][2] == len(good[2]) + 1  # carriage return included

    def test_a_source_named_by_more_than_65535_entries_is_split(self, store):
        line = token_line(1, [H1]) + b"\n"
        write_bytes(kx_path(store, "token-index.t", "001"), line * 65537)
        result, idx = build(store)
        assert result == "entries=65537, sources=2"
        (_, h1, ids1), (_, h2, ids2) = idx["sources"]
        assert h1 == h2 == H1
        assert ids1 == list(range(65535)) and ids2 == [65535, 65536]


class TestBuildFailures:
    def test_missing_merged_directory(self, store):
        with pytest.raises(RuntimeError, match="^no merged token-index directory for tokenizer 't'$"):
            kx.token_index_build_binary_index(store, "t")

    def test_file_number_above_65535_is_refused_and_keeps_the_old_index(self, store):
        write_merged(store, "t", "001", [token_line(1, [H1])])
        build(store)
        before = read_bytes(bin_path(store))
        write_merged(store, "t", "65536", [token_line(1, [H1])])
        with pytest.raises(RuntimeError, match="65535"):
            kx.token_index_build_binary_index(store, "t")
        assert read_bytes(bin_path(store)) == before
        assert not [n for n in os.listdir(kx_path(store)) if "kxtmp" in n]

    @pytest.mark.parametrize("tokenizer", ["a/b", "../t"])
    def test_tokenizer_names_that_leave_the_store_are_refused(self, store, tokenizer):
        os.makedirs(kx_path(store, "token-index.a", "b"))
        with pytest.raises(RuntimeError, match="invalid tokenizer name"):
            kx.token_index_build_binary_index(store, tokenizer)
        assert kx.generate_forget_set(store, tokenizer) == b""

    def test_build_leaves_no_temporary_file(self, store):
        write_merged(store, "t", "001", [token_line(1, [H1])])
        build(store)
        assert not [n for n in os.listdir(kx_path(store)) if "kxtmp" in n]


def set_revoked_byte(store, entry_id, value, tokenizer="t"):
    """Changes one revoked byte of the index, keeping its modification time."""
    path = bin_path(store, tokenizer)
    st = os.stat(path)
    data = bytearray(read_bytes(path))
    data[64 + 16 * entry_id + 10] = value
    write_bytes(path, bytes(data))
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


class TestFreshness:
    """The forget set follows the index exactly when the index is fresh."""

    @pytest.fixture
    def indexed(self, store):
        path = write_merged(store, "t", "001", [token_line(1, [H1]), token_line(2, [H2])])
        build(store)
        t = os.stat(bin_path(store)).st_mtime_ns
        os.utime(path, ns=(t - 10**9, t - 10**9))
        set_revoked_byte(store, 1, 1)
        return store, t

    def test_fresh_index_is_used(self, indexed):
        store, _ = indexed
        assert kx.generate_forget_set(store, "t") == b"\x02"

    def test_equal_times_count_as_fresh(self, indexed):
        store, t = indexed
        os.utime(kx_path(store, "token-index.t", "001"), ns=(t, t))
        assert kx.generate_forget_set(store, "t") == b"\x02"

    @pytest.mark.parametrize("name", ["001", "notes"])
    def test_any_newer_file_in_the_merged_directory_makes_it_stale(self, indexed, name):
        store, t = indexed
        path = kx_path(store, "token-index.t", name)
        if not os.path.exists(path):
            write_bytes(path, b"")
        os.utime(path, ns=(t + 1, t + 1))
        assert kx.generate_forget_set(store, "t") == b"\x00"

    def test_newer_pid_file_does_not_make_it_stale(self, indexed):
        store, t = indexed
        kx.token_index_write_pid(store, "t", 5, [H1])
        pid_files = [n for n in os.listdir(kx_path(store)) if n.startswith("token-index.t.")
                     and n != "token-index.t.bin"]
        assert pid_files
        os.utime(kx_path(store, pid_files[0]), ns=(t + 10**9, t + 10**9))
        assert kx.generate_forget_set(store, "t") == b"\x02"

    def test_rebuild_after_a_merge_is_fresh_again(self, indexed):
        store, t = indexed
        kx.token_index_write_pid(store, "t", 5, [H1])
        kx.token_index_merge_pid_files(store, "t")
        os.utime(kx_path(store, "token-index.t", "002"), ns=(t + 1, t + 1))
        assert kx.generate_forget_set(store, "t") == b"\x00"
        assert kx.token_index_build_binary_index(store, "t") == "entries=3, sources=2"
        os.utime(bin_path(store), ns=(t + 2, t + 2))
        set_revoked_byte(store, 2, 1)
        assert kx.generate_forget_set(store, "t") == b"\x04"


def corrupt(data, offset, packed):
    return data[:offset] + packed + data[offset + len(packed):]


class TestDamagedIndex:
    """A damaged index is never read out of bounds; readers use the merged files."""

    @pytest.fixture
    def good(self, store):
        write_merged(store, "t", "001", [token_line(1, [H1], revoked=True), token_line(2, [H2])])
        build(store)
        set_revoked_byte(store, 1, 1)  # the index now says 0b11, the merged files 0b01
        return store, read_bytes(bin_path(store))

    @pytest.mark.parametrize("mutate", [
        lambda d: d,
        lambda d: d[:63],
        lambda d: d[:64],
        lambda d: d[:-1],
        lambda d: b"KXIDXTI02" + d[9:],
        lambda d: corrupt(d, 9, struct.pack("<I", 2)),
        lambda d: corrupt(d, 13, struct.pack("<I", 0xFFFFFFFF)),
        lambda d: corrupt(d, 21, struct.pack("<I", 0)),
        lambda d: corrupt(d, 25, struct.pack("<I", 0xFFFFFF00)),
        lambda d: corrupt(d, 29, struct.pack("<I", 0xFFFFFF00)),
        lambda d: corrupt(d, 29, struct.pack("<I", 40)),
        lambda d: corrupt(d, len(d) - 2048 + 8 * 0xAB, struct.pack("<Q", len(d))),
        lambda d: corrupt(d, len(d) - 2048 + 8 * 0xAB, struct.pack("<Q", 70)),
        lambda d: corrupt(d, len(d) - 2048, struct.pack("<Q", len(d) - 2048 - 30)),
    ], ids=["intact", "63-bytes", "header-only", "short-by-one", "magic", "version", "entry-count",
            "entries-offset", "sources-offset", "buckets-offset", "buckets-before-sources",
            "bucket-past-end", "bucket-in-entries", "bucket-out-of-order"])
    def test_damaged_index_falls_back_to_the_merged_files(self, good, mutate):
        store, data = good
        path = bin_path(store)
        t = os.stat(path).st_mtime_ns
        write_bytes(path, mutate(data))
        os.utime(path, ns=(t, t))
        expected = b"\x03" if mutate(data) == data else b"\x01"
        assert kx.generate_forget_set(store, "t") == expected

    def test_lookup_stops_at_a_damaged_record(self, store):
        aid = kx.author_add("Ann", "a@example.org", store)
        section = kx.register_section("p", [aid], [], "MIT", "2024", store)
        write_merged(store, "t", "001", [token_line(5, [section]), token_line(7, [section])])
        build(store)
        assert kx.show_by_author_token(store, "Ann", "t")["total_tokens"] == 12
        path = bin_path(store)
        st = os.stat(path)
        data = read_bytes(path)
        _, _, _, _, sources_offset, _ = struct.unpack_from("<6I", data, 9)
        write_bytes(path, corrupt(data, sources_offset + 32, struct.pack("<H", 0xFFFF)))
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
        assert kx.show_by_author_token(store, "Ann", "t")["total_tokens"] in (0, 12)

    def test_empty_index_file_is_ignored(self, good):
        store, _ = good
        write_bytes(bin_path(store), b"")
        assert kx.generate_forget_set(store, "t") == b"\x01"


# --- Entry ids: the build's line parser agrees with the reader of the merged files.

def expected_entry(line):
    """The entry a line holds by the reading rules, as (revoked, token_count), or None."""
    try:
        value = json.loads(line)
    except ValueError:
        return None
    keys = ("token_count", "sources", "tokenizer", "revoked")
    if isinstance(value, dict):
        if not all(k in value for k in keys):
            return None
        fields = [value[k] for k in keys]
    elif isinstance(value, list) and len(value) == 4:
        fields = value
    else:
        return None
    count, sources, tokenizer, revoked = fields
    ok = (type(count) is int and 0 <= count < 2**64 and isinstance(sources, list)
          and all(isinstance(s, str) for s in sources) and isinstance(tokenizer, str)
          and type(revoked) is bool)
    return (revoked, count) if ok else None


json_strings = st.text(alphabet='ab"\\\t/\u00e9\u20ac', max_size=4).flatmap(
    lambda s: st.sampled_from([json.dumps(s), json.dumps(s, ensure_ascii=False)]))
odd_texts = st.sampled_from(["007", "-3", "1.0", "2e3", "-0", "18446744073709551616", "null",
                             "tru", "truex", '"7"', "[]", "{}"])
scalar_texts = st.one_of(st.integers(0, 2**64 + 3).map(str), odd_texts,
                         st.sampled_from(["true", "false"]), json_strings)
list_texts = st.lists(st.one_of(json_strings, st.just("1")), max_size=3).filter(
    lambda items: items.count("1") <= len(items) // 3).map(
    lambda items: "[" + ",".join(items) + "]")
keys = st.sampled_from(["token_count", "sources", "tokenizer", "revoked", "x", "token_count "])


@st.composite
def entry_lines(draw):
    kind = draw(st.sampled_from(["object", "object", "object", "array", "cut"]))
    if kind == "array":
        parts = draw(st.lists(st.one_of(scalar_texts, list_texts), min_size=3, max_size=5))
        return "[" + ",".join(parts) + "]"
    members = [(k, draw(list_texts if k == "sources" and draw(st.booleans()) else scalar_texts))
               for k in draw(st.lists(keys, min_size=0, max_size=6))]
    if draw(st.sampled_from([True, True, False])):  # usually a complete entry, in any key order
        base = {"token_count": draw(st.integers(0, 2**64 - 1).map(str)), "sources": draw(list_texts),
                "tokenizer": draw(json_strings), "revoked": draw(st.sampled_from(["true", "false"]))}
        bad = draw(st.sampled_from(["token_count", "revoked", "sources", "tokenizer", "", "", ""]))
        if bad:  # one field with an odd value that may or may not be valid
            base[bad] = draw(odd_texts)
        order = draw(st.permutations(list(base)))
        members = [(k, base[k]) for k in order] + members[: draw(st.integers(0, 1))]
    sep = draw(st.sampled_from(["", "", "", " ", "\t"]))
    text = "{" + sep + ("," + sep).join(
        json.dumps(k) + sep + ":" + v for k, v in members) + sep + "}"
    if kind == "cut":
        text = text[: draw(st.integers(0, len(text)))]
    return text


class TestEntryIdsAgree:
    @settings(max_examples=150, deadline=None)
    @given(lines=st.lists(entry_lines(), max_size=12))
    def test_index_forget_sets_and_status_count_the_same_entries(self, lines):
        with tempfile.TemporaryDirectory() as root:
            store = os.path.join(root, "p")
            kx.init(store)
            data = [l.encode() for l in lines]
            write_merged(store, "t", "001", data)
            expected = [e for e in map(expected_entry, lines) if e is not None]
            bits = bytearray((len(expected) + 7) // 8)
            for i, (revoked, _) in enumerate(expected):
                bits[i // 8] |= revoked << (i % 8)
            status = kx.token_index_token_status(store, "t")
            assert status["total_entries"] == len(expected)
            assert status["total_tokens"] == sum(c for _, c in expected) % 2**64
            assert kx.generate_forget_set(store, "t") == bytes(bits)
            result = kx.token_index_build_binary_index(store, "t")
            assert result.startswith("entries=%d," % len(expected))
            assert kx.generate_forget_set(store, "t") == bytes(bits)
