import json
import os
import struct

import pytest

import _kx_native as kx
from conftest import (frozen, kx_path, log_entries, read_bytes, run_with_shim, token_line, write_bytes,
                      write_merged)

H = "ab" + "1" * 62  # a section hash of shard "ab"


def section_shard(store, section_hash):
    return kx_path(store, "sections", section_hash[:2])


def author_shard(store, author_id):
    return kx_path(store, "authors", author_id[:2])


def shard_records(path):
    return [json.loads(line) for line in read_bytes(path).decode().splitlines()]


# --- sections -------------------------------------------------------------


def test_revoke_section_flips_and_rewrites_with_sorted_keys(store):
    s = kx.register_section("a.txt", [], [], "MIT", "2024", store)
    assert kx.revoke_section(store, s) == 1
    line = read_bytes(section_shard(store, s)).decode()
    assert line == (
        '{"authors":[],"contributors":[],"license":"MIT","path":"a.txt",'
        f'"revoked":true,"section_hash":"{s}","year":"2024"}}\n'
    )
    assert kx.revoke_section(store, s) == 1
    assert shard_records(section_shard(store, s))[0]["revoked"] is False
    assert kx.revoke_section(store, s, reverse=True) == 1
    assert shard_records(section_shard(store, s))[0]["revoked"] is True
    assert log_entries(store) == [
        ("revoke_section", f"{s} (1 sections toggled)"),
        ("revoke_section", f"{s} (1 sections toggled)"),
        ("revoke_reverse_section", f"{s} (1 sections toggled)"),
    ]


@pytest.mark.parametrize(
    "mark, flipped",
    [("", True), (',"revoked":null', True), (',"revoked":"yes"', True), (',"revoked":true', False)],
)
def test_flip_rule_treats_non_booleans_as_not_revoked(store, mark, flipped):
    write_bytes(section_shard(store, H), f'{{"section_hash":"{H}"{mark}}}\n'.encode())
    assert kx.revoke_section(store, H) == 1
    assert shard_records(section_shard(store, H)) == [{"revoked": flipped, "section_hash": H}]


def test_duplicate_section_lines_are_each_flipped(store):
    s = kx.register_section("a.txt", [], [], "MIT", "2024", store)
    kx.register_section("a.txt", [], [], "MIT", "2024", store)
    assert kx.revoke_section(store, s) == 2
    assert [r["revoked"] for r in shard_records(section_shard(store, s))] == [True, True]


def test_rewrite_keeps_other_records_and_drops_unparsable_lines(store):
    other = "ab" + "2" * 62
    write_bytes(
        section_shard(store, H),
        f'{{"section_hash":"{other}","z":1,"a":2}}\n\nnot json\r\n{{"section_hash":"{H}"}}\n'.encode(),
    )
    assert kx.revoke_section(store, H) == 1
    assert read_bytes(section_shard(store, H)) == (
        f'{{"a":2,"section_hash":"{other}","z":1}}\n{{"revoked":true,"section_hash":"{H}"}}\n'.encode()
    )


def test_unmatched_section_leaves_shard_but_logs(store):
    content = f'{{"section_hash":"{"ab" + "2" * 62}", "x": 1}}\n'.encode()
    write_bytes(section_shard(store, H), content)
    assert kx.revoke_section(store, H) == 0
    assert read_bytes(section_shard(store, H)) == content
    assert log_entries(store) == [("revoke_section", f"{H} (0 sections toggled)")]


def test_missing_shard_returns_zero_and_logs_nothing(store):
    assert kx.revoke_section(store, H) == 0
    assert not os.path.exists(section_shard(store, H))
    assert log_entries(store) == []


@pytest.mark.parametrize("bad", ["", "a", "a/", ".."])
def test_hash_that_names_no_shard_is_refused(store, bad):
    with pytest.raises(RuntimeError):
        kx.revoke_section(store, bad)
    assert log_entries(store) == []


def test_failed_shard_rewrite_leaves_the_shard_whole(store):
    s = kx.register_section("a.txt", [], [], "MIT", "2024", store)
    before = read_bytes(section_shard(store, s))
    with frozen(kx_path(store)):
        with pytest.raises(RuntimeError):
            kx.revoke_section(store, s)
    assert read_bytes(section_shard(store, s)) == before
    assert [n for n in os.listdir(kx_path(store)) if n.startswith(".kxtmp")] == []


# --- authors --------------------------------------------------------------


def test_revoke_by_author_flips_every_author_of_that_name(store):
    a1 = kx.author_add("Ann", "one@x", store)
    a2 = kx.author_add("Ann", "two@x", store)
    kx.author_add("Bob", "b@x", store)
    assert kx.revoke_by_author(store, "Ann") == 2
    revoked = {json.loads(t)["id"]: json.loads(t)["revoked"] for t in kx.author_query(store, None, None)}
    assert revoked[a1] and revoked[a2]
    assert sum(revoked.values()) == 2
    lines = read_bytes(author_shard(store, a1)).decode().splitlines()
    assert f'{{"email":"one@x","id":"{a1}","name":"Ann","revoked":true}}' in lines
    assert kx.revoke_by_author(store, "Ann", reverse=True) == 2
    assert log_entries(store) == [
        ("revoke_author", "Ann (2 authors toggled)"),
        ("revoke_reverse_author", "Ann (2 authors toggled)"),
    ]


def test_author_registered_twice_is_revoked(store):
    a = kx.author_add("Ann", "a@x", store)
    kx.author_add("Ann", "a@x", store)
    assert kx.revoke_by_author(store, "Ann") == 2
    assert [r["revoked"] for r in shard_records(author_shard(store, a))] == [True, True]
    assert kx.revoke_by_author(store, "Ann") == 2
    assert [r["revoked"] for r in shard_records(author_shard(store, a))] == [False, False]


def test_revoke_unknown_author_returns_zero_and_logs_nothing(store):
    kx.author_add("Ann", "a@x", store)
    before = read_bytes(author_shard(store, kx.author_add("Bob", "b@x", store)))
    assert kx.revoke_by_author(store, "Nobody") == 0
    assert log_entries(store) == []
    assert read_bytes(author_shard(store, kx.author_add("Bob", "b@x", store)))[: len(before)] == before


def test_author_shard_is_reserialised_even_for_other_ids(store):
    a = kx.author_add("Ann", "a@x", store)
    other = a[:2] + "0" * 62
    path = author_shard(store, a)
    with open(path, "ab") as f:
        f.write(f'{{"name":"Zed","id":"{other}"}}\n'.encode())
    assert kx.revoke_by_author(store, "Ann") == 1
    assert read_bytes(path).decode().splitlines()[1] == f'{{"id":"{other}","name":"Zed"}}'


# --- token entries by author ----------------------------------------------


@pytest.fixture
def token_store(store):
    """Ann's section S1 and Bob's section S2; entries 0, 2, 4 list S1."""
    ann = kx.author_add("Ann", "a@x", store)
    bob = kx.author_add("Bob", "b@x", store)
    s1 = kx.register_section("a.txt", [ann], [], "MIT", "2024", store)
    s2 = kx.register_section("b.txt", [bob], [ann], "MIT", "2024", store)
    lines = [token_line(10 + i, [s1 if i % 2 == 0 else s2], "t") for i in range(6)]
    write_merged(store, "t", "001", lines[:3])
    write_merged(store, "t", "002", lines[3:])
    return store, s1, s2


def merged_bytes(store):
    d = kx_path(store, "token-index.t")
    return {n: read_bytes(os.path.join(d, n)) for n in sorted(os.listdir(d))}


def bin_records(store):
    """(file_id, offset, length, revoked) of every entry of the binary index."""
    data = read_bytes(kx_path(store, "token-index.t.bin"))
    count = struct.unpack_from("<I", data, 13)[0]
    return [struct.unpack_from("<HIIB", data, 64 + 16 * i) for i in range(count)]


def check_index_describes_merged_files(store):
    files = merged_bytes(store)
    for file_id, offset, length, revoked in bin_records(store):
        content = files["%03d" % file_id]
        line = content[offset : offset + length]
        assert content[offset + length : offset + length + 1] == b"\n"
        assert json.loads(line)["revoked"] is bool(revoked)
    bin_mtime = os.stat(kx_path(store, "token-index.t.bin")).st_mtime_ns
    d = kx_path(store, "token-index.t")
    assert all(os.stat(os.path.join(d, n)).st_mtime_ns <= bin_mtime for n in os.listdir(d))


def assert_views_agree(store, revoked, forget_set, ann_active_counts):
    """Status, forget set and the author's token query (which lists only
    entries not revoked) all see the same flags."""
    assert kx.token_index_token_status(store, "t")["revoked_entries"] == revoked
    assert kx.generate_forget_set(store, "t") == forget_set
    shown = kx.show_by_author_token(store, "Ann", "t")
    assert sorted(e["token_count"] for e in shown["entries"]) == ann_active_counts


def test_token_revocation_through_fresh_index_reaches_merged_files(token_store):
    store, s1, s2 = token_store
    kx.token_index_build_binary_index(store, "t")
    assert kx.revoke_by_author_token(store, "Ann", "t") == 3
    check_index_describes_merged_files(store)
    assert_views_agree(store, 3, bytes([0b010101]), [])
    assert [json.loads(l)["revoked"] for f in merged_bytes(store).values() for l in f.splitlines()] == [
        True, False, True, False, True, False
    ]
    kx.token_index_build_binary_index(store, "t")
    assert_views_agree(store, 3, bytes([0b010101]), [])
    assert kx.revoke_by_author_token(store, "Ann", "t", reverse=True) == 3
    check_index_describes_merged_files(store)
    assert_views_agree(store, 0, bytes([0]), [10, 12, 14])
    assert log_entries(store) == [
        ("revoke_token", "Ann tokenizer=t count=3"),
        ("revoke_reverse_token", "Ann tokenizer=t count=3"),
    ]


# The rewrite copies unchanged bytes inside the kernel, or through a buffer
# where the file system cannot.
@pytest.mark.parametrize("kernel_copy", [True, False])
def test_flag_that_cannot_grow_in_place_rewrites_files_and_index(token_store, shim, kernel_copy):
    store, s1, s2 = token_store
    path = kx_path(store, "token-index.t", "001")
    lines = read_bytes(path).splitlines()
    # Entry 0 was revoked by a writer that leaves no room for "false".
    lines[0] = lines[0].replace(b'"revoked":false', b'"revoked":true')
    write_bytes(path, b"\n".join(lines) + b"\n")
    kx.token_index_build_binary_index(store, "t")
    revoke = "print(kx.revoke_by_author_token(sys.argv[1], 'Ann', 't'))"
    assert run_with_shim(shim, ("kx_refuse_copy_file_range", not kernel_copy), revoke, store) == "3\n"
    check_index_describes_merged_files(store)
    assert_views_agree(store, 2, bytes([0b010100]), [10])
    rewritten = read_bytes(path).splitlines()
    assert rewritten[0].endswith(b'"revoked":false}') and rewritten[2].endswith(b'"revoked":true}')


def test_token_revocation_without_index_uses_the_scan(token_store):
    store, s1, s2 = token_store
    untouched = merged_bytes(store)
    assert kx.revoke_by_author_token(store, "Ann", "t") == 3
    after = merged_bytes(store)
    assert after != untouched
    flipped = [l for f in after.values() for l in f.splitlines() if json.loads(l)["revoked"]]
    assert len(flipped) == 3 and all(l.startswith(b'{"token_count":') for l in flipped)
    assert_views_agree(store, 3, bytes([0b010101]), [])


def test_stale_index_is_left_for_the_scan(token_store):
    store, s1, s2 = token_store
    kx.token_index_build_binary_index(store, "t")
    bin_before = read_bytes(kx_path(store, "token-index.t.bin"))
    os.utime(kx_path(store, "token-index.t.bin"), ns=(0, 0))
    assert kx.revoke_by_author_token(store, "Ann", "t") == 3
    assert read_bytes(kx_path(store, "token-index.t.bin")) == bin_before
    assert_views_agree(store, 3, bytes([0b010101]), [])


def test_index_that_does_not_match_merged_files_falls_back_to_the_scan(token_store):
    store, s1, s2 = token_store
    kx.token_index_build_binary_index(store, "t")
    bin_mtime = os.stat(kx_path(store, "token-index.t.bin")).st_mtime_ns
    # Replace 001 by other bytes of the same shape but keep the index fresh.
    path = kx_path(store, "token-index.t", "001")
    write_bytes(path, b"\n" + read_bytes(path))
    os.utime(path, ns=(bin_mtime, bin_mtime))
    assert kx.revoke_by_author_token(store, "Ann", "t") == 3
    assert os.stat(kx_path(store, "token-index.t.bin")).st_mtime_ns == 0  # marked stale
    assert kx.token_index_token_status(store, "t")["revoked_entries"] == 3
    assert kx.generate_forget_set(store, "t") == bytes([0b010101])


def test_token_revocation_needs_an_authors_section(token_store):
    store, s1, s2 = token_store
    kx.author_add("Cy", "c@x", store)
    before = merged_bytes(store)
    assert kx.revoke_by_author_token(store, "Nobody", "t") == 0
    assert kx.revoke_by_author_token(store, "Cy", "t") == 0  # no section lists Cy
    assert merged_bytes(store) == before
    assert log_entries(store) == []


def test_contributor_sections_are_not_revoked(token_store):
    store, s1, s2 = token_store
    kx.revoke_by_author_token(store, "Ann", "t")
    entries = [json.loads(l) for f in merged_bytes(store).values() for l in f.splitlines()]
    assert all(not e["revoked"] for e in entries if e["sources"] == [s2])


def test_escaped_author_id_in_a_section_still_counts(token_store):
    store, s1, s2 = token_store
    ann = kx.author_add("Ann", "a@x", store)
    escaped = "\\u%04x" % ord(ann[0]) + ann[1:]
    s3 = "cd" + "3" * 62
    with open(kx_path(store, "sections", "cd"), "ab") as f:
        f.write(('{"authors":["%s"],"section_hash":"%s"}\n' % (escaped, s3)).encode())
    write_merged(store, "t", "003", [token_line(99, [s3], "t")])
    assert kx.revoke_by_author_token(store, "Ann", "t") == 4

