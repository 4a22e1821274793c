"""Queries: the lines of an author, a section and a license, and an author's
token total under a tokenizer."""

import collections
import json
import os
import random

import shutil
import tempfile

import pytest
from hypothesis import given, settings, strategies as st

import _kx_native as kx
from conftest import kx_path, read_bytes, write_bytes


# ---------------------------------------------------------------- helpers


def doc_key(record):
    return (record["line_hash"], record["file"], tuple(record["sources"]))


def multiset(records):
    return collections.Counter(doc_key(r) for r in records)


def append_raw(kx_dir, layer, shard, text):
    path = kx_path(kx_dir, layer, shard)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "ab") as f:
        f.write(text.encode() if isinstance(text, str) else text)


def line_hash_in_shard(shard, start=0):
    """A line hash (and its seed) whose shard is `shard`."""
    i = start
    while True:
        h = kx.compute_hash(f"line {i}")
        if h[:2] == shard:
            return h, i
        i += 1


def section_in_shard(kx_dir, shard, authors, license="MIT"):
    """Registers a section whose hash lies in `shard`."""
    i = 0
    while True:
        path = f"src/{shard}/{i}"
        h = kx.compute_hash(
            {"authors": authors, "contributors": [], "license": license, "path": path, "year": "2020"}
        )
        if h[:2] == shard:
            assert kx.register_section(path, authors, [], license, "2020", kx_dir) == h
            return h
        i += 1


def reference_documents(kx_dir, sections):
    """Plain-Python scan of the document layer: records listing one of `sections`."""
    layer = kx_path(kx_dir, "document-index")
    out = []
    if not os.path.isdir(layer):
        return out
    for name in os.listdir(layer):
        path = os.path.join(layer, name)
        if not os.path.isfile(path):
            continue
        for raw in read_bytes(path).split(b"\n"):
            raw = raw[:-1] if raw.endswith(b"\r") else raw
            try:
                value = json.loads(raw)
            except ValueError:
                continue
            if isinstance(value, list) and len(value) == 3:
                value = dict(zip(("line_hash", "file", "sources"), value))
            if not isinstance(value, dict):
                continue
            if not all(isinstance(value.get(k), str) for k in ("line_hash", "file")):
                continue
            srcs = value.get("sources")
            if not isinstance(srcs, list) or not all(isinstance(s, str) for s in srcs):
                continue
            if any(s in sections for s in srcs):
                out.append({"file": value["file"], "line_hash": value["line_hash"], "sources": srcs})
    return out


def reference_author_sections(kx_dir, ids):
    layer = kx_path(kx_dir, "sections")
    found = set()
    for name in os.listdir(layer):
        for raw in read_bytes(os.path.join(layer, name)).splitlines():
            try:
                value = json.loads(raw)
            except ValueError:
                continue
            if any(a in ids for a in value.get("authors", [])):
                found.add(value["section_hash"])
    return found


def remove_index(kx_dir):
    path = kx_path(kx_dir, "index.bin")
    if os.path.exists(path):
        os.remove(path)


def random_store(kx_dir, seed, authors=6, sections=40, documents=400):
    rnd = random.Random(seed)
    names = [f"author {i % 4}" for i in range(authors)]  # some names shared
    ids = [kx.author_add(n, f"a{i}@x", kx_dir) for i, n in enumerate(names)]
    section_hashes = []
    for i in range(sections):
        chosen = rnd.sample(ids, rnd.randint(0, 2))
        helpers = rnd.sample(ids, rnd.randint(0, 2))
        section_hashes.append(
            kx.register_section(f"p{i}", chosen, helpers, rnd.choice(["MIT", "GPL", "mit"]), "2020", kx_dir)
        )
    for i in range(documents):
        srcs = rnd.sample(section_hashes, rnd.randint(0, 3))
        line = kx.compute_hash(f"doc {seed} {i % (documents // 2)}")  # repeated line hashes
        kx.index_document(kx_dir, line, f"f{i % 3}.jsonl", srcs)
    return sorted(set(names))


# ------------------------------------------------------ show_by_author


class TestShowByAuthorScan:
    def test_lists_the_lines_of_the_authors_sections(self, store):
        alice = kx.author_add("Alice", "a@x", store)
        bob = kx.author_add("Bob", "b@x", store)
        s1 = kx.register_section("one", [alice], [], "MIT", "2020", store)
        s2 = kx.register_section("two", [bob], [alice], "MIT", "2020", store)
        h1, h2 = kx.compute_hash("l1"), kx.compute_hash("l2")
        kx.index_document(store, h1, "train.jsonl", [s1])
        kx.index_document(store, h2, "train.jsonl", [s2])
        got = kx.show_by_author(store, "Alice")
        assert got == [{"file": "train.jsonl", "line_hash": h1, "sources": [s1]}]
        assert list(got[0]) == ["file", "line_hash", "sources"]
        # Alice is only a contributor of s2: its line is Bob's alone.
        assert [r["line_hash"] for r in kx.show_by_author(store, "Bob")] == [h2]

    def test_unknown_author_and_missing_layers_give_nothing(self, store, tmp_path):
        assert kx.show_by_author(store, "Nobody") == []
        bare = str(tmp_path / "bare")
        os.makedirs(bare)
        assert kx.show_by_author(bare, "Alice") == []

    def test_same_name_with_two_emails_contributes_both_ids(self, store):
        a1 = kx.author_add("Ann", "one@x", store)
        a2 = kx.author_add("Ann", "two@x", store)
        s1 = kx.register_section("p1", [a1], [], "MIT", "2020", store)
        s2 = kx.register_section("p2", [a2], [], "MIT", "2020", store)
        kx.index_document(store, kx.compute_hash(1), "f", [s1])
        kx.index_document(store, kx.compute_hash(2), "f", [s2])
        assert len(kx.show_by_author(store, "Ann")) == 2
        assert kx.show_by_author(store, "ann") == []

    def test_a_line_listing_two_matched_sections_is_listed_once(self, store):
        a = kx.author_add("A", "a", store)
        s1 = kx.register_section("p1", [a], [], "MIT", "2020", store)
        s2 = kx.register_section("p2", [a], [], "MIT", "2020", store)
        kx.index_document(store, kx.compute_hash("x"), "f", [s1, s2])
        kx.index_document(store, kx.compute_hash("x"), "f", [s2])
        assert len(kx.show_by_author(store, "A")) == 2  # two lines, same hash: both kept

    def test_revoked_authors_sections_and_lines_are_listed(self, store):
        a = kx.author_add("A", "a", store)
        s = kx.register_section("p", [a], [], "MIT", "2020", store)
        h = kx.compute_hash("x")
        # Rewrite every record in the revoked form that revocation writes.
        author_line = json.dumps({"email": "a", "id": a, "name": "A", "revoked": True}, separators=(",", ":"))
        write_bytes(kx_path(store, "authors", a[:2]), (author_line + "\n").encode())
        sec = {"authors": [a], "contributors": [], "license": "MIT", "path": "p",
               "revoked": True, "section_hash": s, "year": "2020"}
        write_bytes(kx_path(store, "sections", s[:2]), (json.dumps(sec, separators=(",", ":")) + "\n").encode())
        doc = {"file": "f", "line_hash": h, "revoked": True, "sources": [s]}
        append_raw(store, "document-index", h[:2], json.dumps(doc, separators=(",", ":")) + "\n")
        assert kx.show_by_author(store, "A") == [{"file": "f", "line_hash": h, "sources": [s]}]

    def test_escaped_and_odd_lines(self, store):
        a = kx.author_add("A", "a", store)
        s = kx.register_section("p", [a], [], "MIT", "2020", store)
        other = kx.compute_hash("other")
        h = [kx.compute_hash(f"e{i}") for i in range(5)]
        escaped_source = "".join(f"\\u{ord(c):04x}" for c in s)
        lines = [
            # the section hash spelled with escapes: found only by parsing
            '{"file":"f","line_hash":"%s","sources":["%s"]}\n' % (h[0], escaped_source),
            # CRLF ending
            '{"file":"f","line_hash":"%s","sources":["%s"]}\r\n' % (h[1], s),
            # the hash as a substring of another source, and as the file name
            '{"file":"%s","line_hash":"%s","sources":["x%s"]}\n' % (s, h[2], s),
            # the array form
            '["%s","f",["%s","%s"]]\n' % (h[3], other, s),
            "not json %s\n" % s,
            '{"file":"f","line_hash":"%s","sources":"%s"}\n' % (h[4], s),
            # truncated last line without a line feed
            '{"file":"g","line_hash":"%s","sources":["%s"]}' % (h[0], s),
        ]
        write_bytes(kx_path(store, "document-index", "0f"), "".join(lines).encode())
        # A file whose name is no shard holds no records of the layer.
        write_bytes(kx_path(store, "document-index", "zz"), "".join(lines).encode())
        got = kx.show_by_author(store, "A")
        assert [(r["line_hash"], r["file"]) for r in got] == [
            (h[0], "f"), (h[1], "f"), (h[3], "f"), (h[0], "g")
        ]
        assert got[0]["sources"] == [s]

    def test_agrees_with_a_plain_python_scan(self, store):
        names = random_store(store, seed=7)
        for name in names + ["nobody"]:
            ids = {json.loads(t)["id"] for t in kx.author_query(store, name, None)}
            sections = reference_author_sections(store, ids) if ids else set()
            # Scan way: listing order, then line order, exactly.
            assert kx.show_by_author(store, name) == reference_documents(store, sections)


class TestShowByAuthorIndexed:
    @pytest.mark.parametrize("seed", [1, 2, 3])
    def test_both_ways_give_the_same_records_on_a_fresh_index(self, store, seed):
        names = random_store(store, seed)
        kx.build_index(store)
        indexed = {n: kx.show_by_author(store, n) for n in names}
        remove_index(store)
        for name in names:
            scanned = kx.show_by_author(store, name)
            assert multiset(indexed[name]) == multiset(scanned)
        assert any(indexed.values())

    def test_index_open_failures_fail_the_call(self, store):
        write_bytes(kx_path(store, "index.bin"), b"KXIDXF01" + bytes(3000))
        with pytest.raises(RuntimeError, match="KXIDXF01 is no longer supported"):
            kx.show_by_author(store, "A")
        write_bytes(kx_path(store, "index.bin"), b"NOTANIDX" + bytes(3000))
        with pytest.raises(RuntimeError, match="binary index magic mismatch"):
            kx.show_by_author(store, "A")

    def test_a_stale_index_finds_only_what_its_shards_hold(self, store):
        a = kx.author_add("A", "a", store)
        old = section_in_shard(store, "10", [a])
        old_line, seed = line_hash_in_shard("20")
        kx.index_document(store, old_line, "f", [old])
        kx.build_index(store)

        # A new section in a sections shard the index names for A, with one
        # line in a document shard the index names for `old` and one elsewhere.
        near = section_in_shard(store, "10", [a], license="GPL")
        named_line, seed = line_hash_in_shard("20", seed + 1)
        other_line, _ = line_hash_in_shard("30")
        kx.index_document(store, named_line, "f", [near])
        kx.index_document(store, other_line, "f", [near])
        # A new section in a shard the index does not name for A.
        far = section_in_shard(store, "40", [a])
        far_line, _ = line_hash_in_shard("20", seed + 1)
        kx.index_document(store, far_line, "f", [far])

        got = {r["line_hash"] for r in kx.show_by_author(store, "A")}
        assert got == {old_line, named_line}
        remove_index(store)
        got = {r["line_hash"] for r in kx.show_by_author(store, "A")}
        assert got == {old_line, named_line, other_line, far_line}

    def test_a_named_shard_that_cannot_be_read_fails_the_call(self, store):
        a = kx.author_add("A", "a", store)
        s = section_in_shard(store, "10", [a])
        line, _ = line_hash_in_shard("20")
        kx.index_document(store, line, "f", [s])
        kx.build_index(store)
        os.remove(kx_path(store, "document-index", "20"))
        os.makedirs(kx_path(store, "document-index", "20"))
        with pytest.raises(RuntimeError):
            kx.show_by_author(store, "A")
        # The scan way skips what is not a regular file.
        remove_index(store)
        assert kx.show_by_author(store, "A") == []


# ------------------------------------------------ section and license


class TestShowBySectionAndLicense:
    def test_show_by_section(self, store):
        a = kx.author_add("A", "a", store)
        s = kx.register_section("p", [a], [], "MIT", "2020", store)
        h = kx.compute_hash("x")
        kx.index_document(store, h, "f", ["other", s])
        assert kx.show_by_section(store, s) == [{"file": "f", "line_hash": h, "sources": ["other", s]}]
        assert kx.show_by_section(store, "other") == kx.show_by_section(store, s)
        assert kx.show_by_section(store, s.upper()) == []
        assert kx.show_by_section(store, "") == []

    def test_missing_document_layer_gives_nothing(self, store):
        os.rmdir(kx_path(store, "document-index"))
        assert kx.show_by_section(store, "ab" * 32) == []
        write_bytes(kx_path(store, "document-index"), b"not a directory")
        assert kx.show_by_section(store, "ab" * 32) == []

    @pytest.mark.parametrize(
        "query,expected",
        [("MIT", ["MIT"]), ("mit", ["mit"]), ("MIT ", ["MIT "]), ("M", []), ("", [""])],
    )
    def test_license_matching_is_exact(self, store, query, expected):
        lines = {}
        for lic in ["MIT", "mit", "MIT ", "", "GPL"]:
            s = kx.register_section(f"p{lic!r}", [], [], lic, "2020", store)
            h = kx.compute_hash(lic)
            kx.index_document(store, h, "f", [s])
            lines[h] = lic
        got = [lines[r["line_hash"]] for r in kx.show_by_license(store, query)]
        assert got == expected

    def test_license_written_with_escapes_and_revoked_sections(self, store):
        s = kx.compute_hash("escaped section")
        sec = '{"authors":[],"contributors":[],"license":"M\\u0049T","path":"p","revoked":true,"section_hash":"%s","year":"y"}\n' % s
        append_raw(store, "sections", s[:2], sec)
        h = kx.compute_hash("y")
        kx.index_document(store, h, "f", [s])
        assert [r["line_hash"] for r in kx.show_by_license(store, "MIT")] == [h]

    def test_a_section_registered_twice_lists_its_lines_once(self, store):
        s = kx.register_section("p", [], [], "MIT", "2020", store)
        kx.register_section("p", [], [], "MIT", "2020", store)
        kx.index_document(store, kx.compute_hash(1), "f", [s])
        assert len(kx.show_by_license(store, "MIT")) == 1

    def test_agrees_with_a_plain_python_scan(self, store):
        random_store(store, seed=11)
        for lic in ["MIT", "GPL", "mit", "none"]:
            sections = set()
            layer = kx_path(store, "sections")
            for name in os.listdir(layer):
                for raw in read_bytes(os.path.join(layer, name)).splitlines():
                    value = json.loads(raw)
                    if value["license"] == lic:
                        sections.add(value["section_hash"])
            assert kx.show_by_license(store, lic) == reference_documents(store, sections)


# ------------------------------------- pre-filter and fast line reading

TARGETS = ["ab" * 32, "a", "", 'q"uote', "back\\slash", "caf\u00e9", "\x01ctl", "line\nfeed"]


def spelled(text, how):
    """`text` as a JSON string: compact, ASCII-escaped, or every character escaped."""
    if how == "plain":
        return json.dumps(text, ensure_ascii=False)
    if how == "ascii":
        return json.dumps(text)
    return '"' + "".join("\\u%04x" % ord(c) if ord(c) < 0x10000 else c for c in text) + '"'


@st.composite
def document_lines(draw):
    pool = TARGETS + ["cd" * 32, "other"]
    how = st.sampled_from(["plain", "ascii", "escaped"])
    fields = {
        "file": spelled(draw(st.sampled_from(pool + ["f.jsonl"])), draw(how)),
        "line_hash": spelled(draw(st.sampled_from(pool)), draw(how)),
        "revoked": draw(st.sampled_from(["false", "true"])),
        "sources": "[" + ",".join(spelled(x, draw(how)) for x in draw(st.lists(st.sampled_from(pool), max_size=3))) + "]",
    }
    form = draw(st.sampled_from(["canonical", "spaced", "reordered", "array", "missing", "garbage", "bad_sources"]))
    keys = ["file", "line_hash", "revoked", "sources"]
    if form == "array":
        return "[%s,%s,%s]" % (fields["line_hash"], fields["file"], fields["sources"])
    if form == "reordered":
        keys = keys[::-1]
    if form == "missing":
        keys.remove(draw(st.sampled_from(["file", "line_hash", "sources"])))
    if form == "bad_sources":
        fields["sources"] = draw(st.sampled_from(['"%s"' % TARGETS[0], "[1]", "null"]))
    sep = ", " if form == "spaced" else ","
    text = "{" + sep.join('"%s":%s' % (k, fields[k]) for k in keys) + "}"
    return text + (" x" if form == "garbage" else "")


def as_document(value):
    if isinstance(value, list) and len(value) == 3:
        value = dict(zip(("line_hash", "file", "sources"), value))
    if not isinstance(value, dict):
        return None
    lh, f, srcs = value.get("line_hash"), value.get("file"), value.get("sources")
    if not (isinstance(lh, str) and isinstance(f, str) and isinstance(srcs, list)):
        return None
    if not all(isinstance(x, str) for x in srcs):
        return None
    return {"file": f, "line_hash": lh, "sources": srcs}


@settings(max_examples=150, deadline=None)
@given(lines=st.lists(document_lines(), max_size=12), target=st.sampled_from(TARGETS),
       crlf=st.booleans())
def test_pre_filter_and_fast_reading_agree_with_the_parser(lines, target, crlf):
    root = tempfile.mkdtemp()
    try:
        kx.init(root)
        shard = kx_path(root, "document-index", "ab")
        end = "\r\n" if crlf else "\n"
        write_bytes(shard, "".join(line + end for line in lines).encode())
        parsed = [as_document(v) for v in kx.jsonl_read(shard)]
        expected = [d for d in parsed if d and target in d["sources"]]
        assert kx.show_by_section(root, target) == expected
    finally:
        shutil.rmtree(root)


def as_section(value):
    keys = ("section_hash", "path", "license", "year")
    if not isinstance(value, dict) or not all(isinstance(value.get(k), str) for k in keys):
        return None
    lists = [value.get(k) for k in ("authors", "contributors")]
    if not all(isinstance(x, list) and all(isinstance(y, str) for y in x) for x in lists):
        return None
    return value


def section_line_variants():
    """Lines of the sections layer, each with a section hash of its own: a
    plain one, and one for each way a member can be missing, of the wrong
    kind, repeated or spelled otherwise than the fast scanner reads."""
    base = {"section_hash": None, "path": "p", "authors": ["a" * 64], "contributors": [],
            "license": "MIT", "year": "2020"}
    wrong = {"section_hash": 7, "path": None, "authors": "a", "contributors": "c",
             "license": ["MIT"], "year": 2020}
    variants = [dict(base)]
    for key in base:
        variants.append({k: v for k, v in base.items() if k != key})
        variants.append(dict(base, **{key: wrong[key]}))
    lines = []
    for i, fields in enumerate(variants):
        if fields.get("section_hash", "") is None:
            fields["section_hash"] = "%064x" % i
        lines.append(json.dumps(fields, separators=(",", ":")))
    others = [
        # repeated members: the parser keeps the last
        '{"section_hash":"%s","license":"GPL","path":"p","authors":[],"contributors":[],"license":"MIT","year":"y"}',
        '{"section_hash":"%s","license":"MIT","path":"p","authors":[],"contributors":[],"license":"GPL","year":"y"}',
        # escapes, white space and an unknown member
        '{"section_hash":"%s","path":"p","authors":["\\u0061"],"contributors":[],"license":"M\\u0049T","year":"y"}',
        '{ "section_hash" : "%s" , "path":"p","authors":[],"contributors":[],"license":"MIT","year":"y"}',
        '{"section_hash":"%s","path":"p","authors":[],"contributors":[],"license":"MIT","year":"y","x":{"y":[1]}}',
    ]
    return lines + [line % ("%064x" % (len(lines) + i)) for i, line in enumerate(others)]


def test_section_lines_are_read_as_the_parser_reads_them(store):
    lines = section_line_variants()
    shard = kx_path(store, "sections", "ab")
    write_bytes(shard, "".join(line + "\n" for line in lines).encode())
    for i in range(len(lines)):
        kx.index_document(store, kx.compute_hash(i), "f", ["%064x" % i])
    licensed = {v["section_hash"] for v in map(as_section, kx.jsonl_read(shard))
                if v and v["license"] == "MIT"}
    assert len(licensed) == 5
    assert {s for r in kx.show_by_license(store, "MIT") for s in r["sources"]} == licensed


# ------------------------------------------------ show_by_author_token


def entry_key(entry):
    return (entry["token_count"], tuple(entry["sources"]), entry["tokenizer"], entry["revoked"])


def token_bin(kx_dir, tokenizer):
    return kx_path(kx_dir, f"token-index.{tokenizer}.bin")


def both_paths(kx_dir, name, tokenizer):
    """(index path result, scan path result); the index must be fresh."""
    kx.token_index_build_binary_index(kx_dir, tokenizer)
    indexed = kx.show_by_author_token(kx_dir, name, tokenizer)
    os.remove(token_bin(kx_dir, tokenizer))
    scanned = kx.show_by_author_token(kx_dir, name, tokenizer)
    return indexed, scanned


class TestShowByAuthorToken:
    @pytest.fixture
    def tokens(self, store):
        a = kx.author_add("A", "a", store)
        b = kx.author_add("B", "b", store)
        s1 = kx.register_section("p1", [a], [], "MIT", "2020", store)
        s2 = kx.register_section("p2", [a], [b], "MIT", "2020", store)
        s3 = kx.register_section("p3", [b], [], "MIT", "2020", store)
        for count, sources in [(10, [s1]), (20, [s1, s2]), (40, [s3]), (80, [s2, s3]), (160, ["zz"])]:
            kx.token_index_write_pid(store, "bpe", count, sources)
        kx.token_index_merge_pid_files(store, "bpe")
        kx.token_index_write_pid(store, "bpe", 320, [s1])
        kx.token_index_merge_pid_files(store, "bpe")
        return store, (s1, s2, s3)

    def test_both_paths_agree(self, tokens):
        store, _ = tokens
        for name, total in [("A", 10 + 20 + 80 + 320), ("B", 40 + 80), ("C", 0)]:
            indexed, scanned = both_paths(store, name, "bpe")
            assert list(indexed) == ["total_tokens", "document_count", "entries"]
            assert indexed["total_tokens"] == scanned["total_tokens"] == total
            assert indexed["document_count"] == len(indexed["entries"])
            assert collections.Counter(map(entry_key, indexed["entries"])) == collections.Counter(
                map(entry_key, scanned["entries"])
            )
        # The scan path keeps merged order.
        assert [e["token_count"] for e in scanned_entries(store, "A")] == [10, 20, 80, 320]

    def test_revoked_entries_are_left_out_on_both_paths(self, tokens):
        store, _ = tokens
        kx.token_index_build_binary_index(store, "bpe")
        # Index path: the index's flag decides.  Entry 1 (20 tokens) is
        # flagged in the index only.
        index = bytearray(read_bytes(token_bin(store, "bpe")))
        index[64 + 16 * 1 + 10] = 1
        write_bytes(token_bin(store, "bpe"), bytes(index))
        assert kx.show_by_author_token(store, "A", "bpe")["total_tokens"] == 10 + 80 + 320
        # Scan path: the entry's own flag decides.  Flag the 80-token entry in
        # its merged file only.
        os.remove(token_bin(store, "bpe"))
        path = merged_files(store, "bpe")[0]
        lines = [json.loads(line) for line in read_bytes(path).splitlines()]
        for entry in lines:
            entry["revoked"] = entry["token_count"] == 80
        write_bytes(path, "".join(json.dumps(e) + "\n" for e in lines).encode())
        got = kx.show_by_author_token(store, "A", "bpe")
        assert [e["token_count"] for e in got["entries"]] == [10, 20, 320]
        # Through the consent operation, whichever path it takes.
        kx.token_index_build_binary_index(store, "bpe")
        kx.revoke_by_author_token(store, "A", "bpe")
        assert kx.show_by_author_token(store, "A", "bpe")["total_tokens"] == 80

    def test_a_stale_index_gives_way_to_the_scan(self, tokens):
        store, (s1, _, _) = tokens
        kx.token_index_build_binary_index(store, "bpe")
        kx.token_index_write_pid(store, "bpe", 640, [s1])
        kx.token_index_merge_pid_files(store, "bpe")
        newest = max(os.stat(p).st_mtime_ns for p in merged_files(store, "bpe"))
        os.utime(token_bin(store, "bpe"), ns=(newest - 10**9, newest - 10**9))
        assert kx.show_by_author_token(store, "A", "bpe")["total_tokens"] == 10 + 20 + 80 + 320 + 640

    def test_entries_are_read_at_their_recorded_ranges(self, tokens):
        store, _ = tokens
        kx.token_index_build_binary_index(store, "bpe")
        # Same length, different count: the index path reads the new bytes.
        path = merged_files(store, "bpe")[0]
        data = read_bytes(path).replace(b'"token_count":10,', b'"token_count":11,')
        write_bytes(path, data)
        os.utime(path, ns=(0, 0))  # keep the index fresh
        assert kx.show_by_author_token(store, "A", "bpe")["total_tokens"] == 11 + 20 + 80 + 320
        # A file cut short: entries past its end are skipped, not misread.
        write_bytes(path, data[:20])
        os.utime(path, ns=(0, 0))
        assert kx.show_by_author_token(store, "A", "bpe")["total_tokens"] == 320
        # A merged file that exists but cannot be read fails the call.
        os.remove(path)
        os.mkdir(path)
        os.utime(path, ns=(0, 0))
        with pytest.raises(RuntimeError):
            kx.show_by_author_token(store, "A", "bpe")

    @pytest.mark.parametrize("tokenizer", ["none", "", "../x", "a/b"])
    def test_unknown_or_unusable_tokenizers_give_zeros(self, tokens, tokenizer):
        store, _ = tokens
        assert kx.show_by_author_token(store, "A", tokenizer) == {
            "total_tokens": 0, "document_count": 0, "entries": []
        }

    def test_a_damaged_index_is_passed_over(self, tokens):
        store, _ = tokens
        write_bytes(token_bin(store, "bpe"), b"garbage" * 20)
        assert kx.show_by_author_token(store, "A", "bpe")["document_count"] == 4


def merged_files(kx_dir, tokenizer):
    d = kx_path(kx_dir, f"token-index.{tokenizer}")
    return sorted(os.path.join(d, n) for n in os.listdir(d) if n.isdigit())


def scanned_entries(kx_dir, name):
    path = token_bin(kx_dir, "bpe")
    if os.path.exists(path):
        os.remove(path)
    return kx.show_by_author_token(kx_dir, name, "bpe")["entries"]
