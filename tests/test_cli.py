"""The `kx` command line, driven as a user drives it: `python -m kx` in
subprocesses on a copy of the example project, checking what the commands
print and what they leave in the data files."""

import hashlib
import json
import os
import shutil
import subprocess
import sys

import pytest

import _kx_native as kx

from conftest import CliProject, frozen

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(REPO, "examples", "data", "train.jsonl")
ADA = "corpus/ada/notes-on-the-engine.txt"
MEMOS = "corpus/grace/compiler-memos.txt"
FORUM = "corpus/forum/garden-threads.txt"
AUTHORS = {
    "Ada Lindqvist": "ada@lindqvist.example",
    "Grace Okafor": "grace@okafor.example",
    "Tomás Reyes": "tomas@reyes.example",
}
SECTIONS = {
    ADA: (["Ada Lindqvist"], "CC-BY-4.0", "2021"),
    MEMOS: (["Grace Okafor"], "MIT", "2019"),
    FORUM: (["Grace Okafor", "Tomás Reyes"], "CC0-1.0", "2023"),
}


def example_records():
    with open(DATA, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def words(record):
    return len(record["text"].split())


def hashes_of(records):
    return {kx.compute_hash(r) for r in records}


class Project(CliProject):
    """A project directory and the `kx` command run in it, with its files."""

    def path(self, name):
        return os.path.join(self.root, name)

    def records(self, name="train.jsonl"):
        with open(self.path(name), encoding="utf-8") as f:
            return [json.loads(line) for line in f if line.strip()]

    def checksum(self, name):
        with open(self.path(name), "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()


@pytest.fixture(scope="module")
def tracked(tmp_path_factory, kx_cli):
    """The example project after registration, tracking and index build."""
    project = Project(tmp_path_factory.mktemp("tracked"), kx_cli)
    shutil.copy(DATA, project.path("train.jsonl"))
    project.ok("init")
    for name, email in AUTHORS.items():
        project.ok("author", "add", name, email)
    for path, (authors, license, year) in SECTIONS.items():
        args = ["section", "add", path, "--license", license, "--year", year]
        for name in authors:
            args += ["--author", name]
        project.ok(*args)
    project.ok("track", "train.jsonl", "--source-field", "source", "--tokenizer", "whitespace")
    project.ok("index", "build")
    return project


@pytest.fixture
def project(tracked, tmp_path, kx_cli):
    """A private copy of the tracked project (times kept, so indexes stay fresh)."""
    root = tmp_path / "project"
    shutil.copytree(tracked.root, root)
    return Project(root, kx_cli)


def section_hash(path):
    authors, license, year = SECTIONS[path]
    ids = [kx.compute_hash({"name": n, "email": AUTHORS[n]}) for n in authors]
    return kx.compute_hash({"path": path, "authors": ids, "contributors": [], "license": license, "year": year})


# Registration and tracking


def test_creation_commands_print_the_id_or_hash(tmp_path, kx_cli):
    project = Project(tmp_path, kx_cli)
    project.ok("init")
    expected_id = kx.compute_hash({"name": "Ada Lindqvist", "email": "ada@lindqvist.example"})
    assert project.ok("author", "add", "Ada Lindqvist", "ada@lindqvist.example") == expected_id + "\n"
    # Adding again prints the same id and stores no duplicate.
    assert project.ok("author", "add", "Ada Lindqvist", "ada@lindqvist.example") == expected_id + "\n"
    assert [a["id"] for a in project.json("author", "list")] == [expected_id]

    hash_ = project.ok("section", "add", ADA, "--author", "Ada Lindqvist", "--license", "CC-BY-4.0", "--year", "2021")
    assert hash_.strip() == section_hash(ADA)
    by_id = project.json("section", "add", ADA, "--author", expected_id[:8], "--license", "CC-BY-4.0", "--year", "2021")
    assert by_id["section_hash"] == section_hash(ADA) and by_id["created"] is False

    with open(project.path("one.jsonl"), "w") as f:
        f.write('{"text": "a single line"}\n')
    line_hash = project.ok("track", "one.jsonl", "--source", ADA)
    assert line_hash.strip() == kx.compute_hash({"text": "a single line"})


def test_track_records_every_line_with_its_sources_and_counts(project):
    records = example_records()
    status = project.json("tokens", "status", "--tokenizer", "whitespace")
    assert status["total_entries"] == len(records) == 300
    assert status["total_tokens"] == sum(words(r) for r in records)
    assert status["pending_entries"] == 0 and status["binary_index"] == "fresh"

    with open(project.path("more.jsonl"), "w") as f:
        f.write('{"text": "ab cd", "n": 7}\n{"text": "é", "n": 2}\n')
    byte_counts = project.json("track", "more.jsonl", "--source", MEMOS, "--tokenizer", "bytes")
    assert byte_counts["tokens"] == 5 + 2 and byte_counts["lines"] == 2
    field_counts = project.json(
        "track", "more.jsonl", "--source", MEMOS, "--tokenizer", "gpt", "--count-field", "n", "--tokens-only"
    )
    assert field_counts["tokens"] == 9
    assert "2 pending" not in project.ok("tokens", "status")  # counts shown per tokenizer
    gpt = project.json("tokens", "status", "--tokenizer", "gpt")
    assert (gpt["pending_entries"], gpt["binary_index"]) == (2, "missing")


def test_tracking_again_adds_only_new_lines(project):
    records = example_records()
    status = project.json("tokens", "status", "--tokenizer", "whitespace")
    again = project.json("track", "train.jsonl", "--source-field", "source", "--tokenizer", "whitespace")
    assert (again["recorded"], again["skipped"], again["tokens"]) == (0, 300, 0)
    assert project.json("tokens", "status", "--tokenizer", "whitespace") == status
    assert len(project.json("blame", "train.jsonl", "1")["records"]) == 1
    # The same line twice more: one more occurrence than recorded, so one record.
    with open(project.path("train.jsonl"), "a") as f:
        f.write(json.dumps(records[0]) + "\n")
    text = project.ok("track", "train.jsonl", "--source-field", "source", "--tokenizer", "whitespace")
    assert text.startswith("tracked 1 line of train.jsonl") and "300 lines already tracked, skipped" in text
    assert len(project.json("blame", "train.jsonl", "1")["records"]) == 2
    # A run of several files finds which have records in one pass: those
    # that have are still checked line by line.
    with open(project.path("new.jsonl"), "w") as f:
        f.write(json.dumps(records[1]) + "\n")
    both = project.json("track", "train.jsonl", "new.jsonl", "--source-field", "source")
    assert [(f["recorded"], f["skipped"]) for f in both["files"]] == [(0, 301), (1, 0)]
    redone = project.json("track", "train.jsonl", "--source-field", "source", "--retrack")
    assert (redone["recorded"], redone["skipped"]) == (301, 0)


def test_tracking_refuses_lines_of_revoked_material(project):
    project.ok("revoke", "--author", "Tomás Reyes")
    with open(project.path("new.jsonl"), "w") as f:
        f.write('{"text": "late thread"}\n')
    done = project.kx("track", "new.jsonl", "--source", FORUM)
    assert done.returncode == 1 and "Tomás Reyes" in done.stderr and "revoked" in done.stderr
    assert project.ok("track", "new.jsonl", "--source", ADA)


UNTRACKABLE = [
    ("not json", "the line is not JSON"),
    ('{"x": NaN}', "the line is not JSON"),
    ('{"x": 1e400}', "out of range"),
    ('{"x": "\\ud800"}', "cannot hold"),
    ("[" * 130 + "]" * 130, "cannot hold"),
    ('{"x": 1}'.encode("latin-1") + b"\xff", "not valid UTF-8"),
]


@pytest.mark.parametrize("line, message", UNTRACKABLE, ids=[str(m) for _, m in UNTRACKABLE])
def test_track_refuses_a_file_with_a_line_the_store_cannot_hold_and_tracks_nothing(project, line, message):
    # A purge finds lines by their JSON value: a line tracked in any other form
    # could never be purged, so the whole file is refused before anything is written.
    with open(project.path("mixed.jsonl"), "wb") as f:
        f.write(b'{"text": "fine"}\n')
        f.write(line if isinstance(line, bytes) else line.encode())
        f.write(b"\n")
    done = project.kx("track", "mixed.jsonl", "--source", ADA)
    assert done.returncode == 1 and done.stderr.startswith("kx: error: mixed.jsonl:2: ")
    assert message in done.stderr
    assert project.ok("blame", "mixed.jsonl", "1").endswith("not tracked\n")


def test_track_takes_sources_from_a_field_and_blame_ignores_key_order(project):
    with open(project.path("two.jsonl"), "w") as f:
        f.write(json.dumps({"b": 1, "a": 2, "src": [ADA, section_hash(MEMOS)[:10]]}) + "\n")
        f.write(json.dumps({"c": 3, "src": "corpus/unknown.txt"}) + "\n")
    done = project.kx("track", "two.jsonl", "--source-field", "src")
    assert done.returncode == 1 and "two.jsonl:2: unknown section 'corpus/unknown.txt'" in done.stderr
    with open(project.path("two.jsonl"), "w") as f:
        f.write(json.dumps({"b": 1, "a": 2, "src": [ADA, section_hash(MEMOS)[:10]]}) + "\n")
    project.ok("track", "two.jsonl", "--source-field", "src")
    with open(project.path("reordered.jsonl"), "w") as f:
        f.write('{"src": ["%s", "%s"],   "a": 2, "b": 1}\n' % (ADA, section_hash(MEMOS)[:10]))
    (record,) = project.json("blame", "reordered.jsonl", "1")["records"]
    assert [s["path"] for s in record["sources"]] == [ADA, MEMOS]


def test_show_by_author_warns_when_the_index_is_older_than_the_lines(project):
    with open(project.path("late.jsonl"), "w") as f:
        f.write('{"text": "tracked after the build"}\n')
    project.ok("track", "late.jsonl", "--source", ADA)
    done = project.kx("show", "--author", "Ada Lindqvist")
    assert done.returncode == 0 and "run `kx index build`" in done.stderr
    project.ok("index", "build")
    done = project.kx("show", "--author", "Ada Lindqvist", "--json")
    assert done.stderr == "" and len(json.loads(done.stdout)) == 121


# Queries


def test_blame_names_the_section_authors_and_license_of_each_line(project):
    records = example_records()
    blamed = project.json("blame", "train.jsonl")
    assert [b["line"] for b in blamed] == list(range(1, 301))
    for record, line in zip(records, blamed):
        (tracked_in,) = line["records"]
        (section,) = tracked_in["sources"]
        assert section["path"] == record["source"]
        assert [a["name"] for a in section["authors"]] == SECTIONS[record["source"]][0]
        assert line["line_hash"] == kx.compute_hash(record)

    one = project.json("blame", "train.jsonl", "3")
    assert one == blamed[2]
    text = project.ok("blame", "train.jsonl", "3")
    assert records[2]["source"] in text and SECTIONS[records[2]["source"]][1] in text


def blamed_as_one_call_per_line(project, name):
    """(line number, records) of each line of a data file, from one
    `_kx_native.blame` call per line, sources as section hashes."""
    with open(project.path(name), "rb") as f:
        raw = f.read().split(b"\n")
    found = []
    for number, line in enumerate(raw, 1):
        text = line[:-1] if line.endswith(b"\r") else line
        if text:
            found.append((number, kx.blame(project.root, name, text.decode())))
    return found


def as_blamed(results):
    return [
        (r["line"], [{**t, "sources": [s["section_hash"] for s in t["sources"]]} for t in r["records"]])
        for r in results
    ]


def test_blame_of_whole_files_gives_what_blame_gives_each_line(project):
    records = example_records()
    text_line = "a plain text line, tracked as text"
    kx.track(text_line, "notes.txt", [section_hash(ADA)], project.root)
    kx.track("123", "notes.txt", [section_hash(ADA)], project.root)  # the string, not the number
    with open(project.path("other.jsonl"), "w") as f:
        f.write(json.dumps(records[1]) + "\n")
    project.ok("track", "other.jsonl", "--source", MEMOS)  # records[1] is tracked from two files now
    reordered = json.dumps(dict(reversed(list(records[0].items()))), indent=1).replace("\n", " ")
    lines = [reordered + "\r", "\r", "", text_line, "123", json.dumps(records[1]),
             '{"text": "never tracked"}', "  spaced, untracked  ", json.dumps(records[2])]
    with open(project.path("mixed.jsonl"), "w", newline="") as f:
        f.write("\n".join(lines))  # the last line without a line feed
    os.makedirs(project.path("sub"))
    for name, chosen in (("a.jsonl", records[3:5]), ("b.jsonl", records[5:6])):
        with open(project.path(os.path.join("sub", name)), "w") as f:
            f.writelines(json.dumps(r) + "\n" for r in chosen)
            f.write('{"text": "untracked too"}\n')

    mixed = project.json("blame", "mixed.jsonl")
    assert as_blamed(mixed) == blamed_as_one_call_per_line(project, "mixed.jsonl")
    assert [r["line"] for r in mixed] == [1, 4, 5, 6, 7, 8, 9]
    assert [len(r["records"]) for r in mixed] == [1, 1, 0, 2, 0, 0, 1]
    assert {r["file"] for r in mixed} == {"mixed.jsonl"}

    names = ["mixed.jsonl", os.path.join("sub", "a.jsonl"), os.path.join("sub", "b.jsonl")]
    several = project.json("blame", "mixed.jsonl", os.path.join("sub", "*.jsonl"))
    assert [r["file"] for r in several] == [name for name in names for _ in blamed_as_one_call_per_line(project, name)]
    assert as_blamed(several) == [b for name in names for b in blamed_as_one_call_per_line(project, name)]
    assert project.json("blame", "sub") == several[len(mixed):]

    rows = project.ok("blame", "mixed.jsonl", os.path.join("sub", "*.jsonl")).splitlines()
    assert len(rows) == len(several)
    assert rows[2].split()[:2] == ["mixed.jsonl", "5"] and rows[2].endswith("not tracked")
    assert rows[-2].split()[:2] == [names[2], "1"] and records[5]["source"] in rows[-2]
    assert len({row.index(row.split()[2]) for row in rows}) == 1  # fixed columns


def test_blame_since_carries_blame_over_an_edit(project):
    shutil.copy(project.path("train.jsonl"), project.path("old.jsonl"))
    records = example_records()
    edited = [dict(r) for r in records]
    edited[1]["text"] += " (reworded)"
    del edited[3]
    edited.append({"text": "brand new line"})
    with open(project.path("train.jsonl"), "w") as f:
        f.writelines(json.dumps(r) + "\n" for r in edited)

    result = project.json("blame", "train.jsonl", "--since", "old.jsonl")
    lines = result["lines"]
    assert [(l["status"], l["old_line"]) for l in lines[:4]] == [("kept", 1), ("edited", 2), ("kept", 3), ("kept", 5)]
    reworded = lines[1]
    assert reworded["carried"] is True  # not tracked itself: the old line's provenance
    assert reworded["records"][0]["sources"][0]["path"] == records[1]["source"]
    assert lines[-1]["status"] == "added" and lines[-1]["records"] == []
    assert result["removed"] == 1


def test_show_lists_the_lines_of_an_author_a_section_and_a_license(project):
    records = example_records()
    grace = [r for r in records if r["source"] in (MEMOS, FORUM)]
    shown = project.json("show", "--author", "Grace Okafor")
    assert {r["line_hash"] for r in shown} == hashes_of(grace) and len(shown) == len(grace)
    assert {r["line_hash"] for r in project.json("show", "--section", ADA)} == hashes_of(
        [r for r in records if r["source"] == ADA]
    )
    assert {r["line_hash"] for r in project.json("show", "--license", "CC0-1.0")} == hashes_of(
        [r for r in records if r["source"] == FORUM]
    )
    tokens = project.json("show", "--author", "Grace Okafor", "--tokenizer", "whitespace")
    assert tokens["total_tokens"] == sum(words(r) for r in grace)
    assert tokens["document_count"] == len(grace)
    assert project.ok("show", "--license", "CC0-1.0").splitlines()[-1] == f"{80} lines under CC0-1.0 in 1 file"


def test_show_gives_token_totals_of_a_section_and_a_license_and_status_splits_revoked_tokens(project):
    records = example_records()

    def tokens(source):
        return sum(words(r) for r in records if r["source"] == source)

    def totals(*args):
        result = project.json("show", *args, "--tokenizer", "whitespace")
        return result["total_tokens"], result["document_count"]

    assert totals("--section", ADA) == (tokens(ADA), 120)
    assert totals("--license", "CC0-1.0") == (tokens(FORUM), 80)
    assert totals("--license", "Unlicense") == (0, 0)
    assert project.ok("show", "--section", MEMOS, "--tokenizer", "whitespace") == (
        f"section {section_hash(MEMOS)[:12]}: {tokens(MEMOS)} tokens in 100 entries under whitespace\n"
    )

    project.ok("revoke", "--section", FORUM, "--tokenizer", "whitespace")
    status = project.json("tokens", "status", "--tokenizer", "whitespace")
    assert (status["active_tokens"], status["revoked_tokens"]) == (tokens(ADA) + tokens(MEMOS), tokens(FORUM))
    assert status["total_tokens"] == status["active_tokens"] + status["revoked_tokens"]
    assert "ACTIVE TOKENS  REVOKED TOKENS" in project.ok("tokens", "status")
    # Revoked entries are left out, through the binary index and by a scan without it.
    for through_index in (True, False):
        if not through_index:
            os.remove(project.path(".kx/token-index.whitespace.bin"))
        assert totals("--license", "CC0-1.0") == (0, 0)
        assert totals("--author", "Grace Okafor") == (tokens(MEMOS), 100)
        assert totals("--section", ADA) == (tokens(ADA), 120)


# Consent withdrawal


def test_revoke_sets_a_state_and_reverse_restores_it(project):
    def grace_revoked():
        (grace,) = project.json("author", "list", "--name", "Grace Okafor")
        return grace["revoked"]

    assert project.ok("revoke", "--author", "Grace Okafor").startswith("revoked author 'Grace Okafor'")
    assert grace_revoked()
    assert "already revoked" in project.ok("revoke", "--author", "Grace Okafor")
    assert grace_revoked()
    project.ok("revoke", "--author", "Grace Okafor", "--reverse")
    assert not grace_revoked()
    assert "already active" in project.ok("revoke", "--author", "Grace Okafor", "--reverse")
    assert not grace_revoked()
    operations = [e["operation"] for e in project.json("log")]
    assert operations == ["revoke_author", "revoke_reverse_author"]


def test_purge_by_author_removes_exactly_their_lines_and_undo_restores_them(project):
    records = example_records()
    grace = [r for r in records if r["source"] in (MEMOS, FORUM)]
    others = [r for r in records if r not in grace]
    project.ok("revoke", "--author", "Grace Okafor")

    dry = project.json("purge", "train.jsonl", "--author", "Grace Okafor", "--dry-run")
    assert (dry["purged"], dry["kept"]) == (len(grace), len(others))
    assert project.records() == records

    purged = project.json("purge", "train.jsonl", "--author", "Grace Okafor")
    assert (purged["purged"], purged["kept"], purged["archived"]) == (len(grace), len(others), len(grace))
    assert project.records() == others

    undone = project.json("purge", "--undo", "--force", "train.jsonl")
    assert (undone["restored"], undone["outcome"]) == (len(grace), "exact")
    assert project.records() == records
    assert [e["operation"] for e in project.json("log")][-3:] == ["purge_archive", "purge", "purge_reverse"]


def test_a_plain_purge_removes_the_lines_of_revoked_authors_with_those_of_revoked_sections(project):
    records = example_records()
    before = project.checksum("train.jsonl")
    project.ok("revoke", "--author", "Tomás Reyes")  # of the forum, with Grace
    project.ok("revoke", "--section", ADA)
    gone = [r for r in records if r["source"] in (FORUM, ADA)]

    dry = project.json("purge", "train.jsonl", "--dry-run")
    assert (dry["purged"], dry["kept"]) == (len(gone), len(records) - len(gone))
    assert project.checksum("train.jsonl") == before
    done = project.json("purge", "train.jsonl")
    assert (done["purged"], done["kept"], done["archived"]) == (dry["purged"], dry["kept"], len(gone))
    assert project.records() == [r for r in records if r not in gone]
    # One rewrite with one archive, undone by one undo.
    assert [e["operation"] for e in project.json("log")][-2:] == ["purge_archive", "purge"]
    assert project.json("purge", "--undo", "--force", "train.jsonl")["restored"] == len(gone)
    assert project.checksum("train.jsonl") == before
    assert "no purge archive to undo" in project.kx("purge", "--undo", "train.jsonl").stderr


def test_undo_puts_back_the_newest_purge_of_each_file_byte_for_byte(project):
    records = example_records()
    # Lines as people write them: keys in another order and spaced out, CRLF
    # ends, blank lines, lines that are not JSON, and a last line of the
    # revoked section without a line feed.
    raw = []
    for i, r in enumerate(records[:90]):
        text = json.dumps(dict(reversed(list(r.items()))), separators=(" , ", " : ")) if i % 2 else json.dumps(r)
        raw.append(text.encode() + (b"\r\n" if i % 3 == 0 else b"\n"))
        raw += [b"\n", b"\r\n", b"# not json\n"][i % 4 : i % 4 + 1] if i % 5 == 0 else []
    last = next(r for r in records if r["source"] == FORUM)
    raw.append(json.dumps(last).encode())
    with open(project.path("mixed.jsonl"), "wb") as f:
        f.write(b"".join(raw))
    original = {name: project.checksum(name) for name in ("train.jsonl", "mixed.jsonl")}

    project.ok("revoke", "--section", FORUM)
    project.ok("purge", "train.jsonl")
    assert project.json("purge", "mixed.jsonl")["archived"] > 1
    with open(project.path("mixed.jsonl"), "rb") as f:
        kept = [line for line in raw if b"garden-threads" not in line]
        assert f.read() == b"".join(kept)  # every other byte as it was

    # The older purge, of another file, first.
    for name in ("train.jsonl", "mixed.jsonl"):
        assert project.json("purge", "--undo", "--force", name)["outcome"] == "exact"
        assert project.checksum(name) == original[name]

    project.ok("purge", "mixed.jsonl")
    with open(project.path("mixed.jsonl"), "ab") as f:
        f.write(b'{"added": "later"}\n')
    done = project.kx("purge", "--undo", "--force", "mixed.jsonl")
    assert done.returncode == 1 and done.stderr.count("\n") == 1
    assert "mixed.jsonl changed since its purge" in done.stderr and "--by-position" in done.stderr
    undone = project.json("purge", "--undo", "--force", "mixed.jsonl", "--by-position")
    assert undone["outcome"] == "by_position"
    with open(project.path("mixed.jsonl"), "rb") as f:
        assert f.read() == b"".join(raw) + b'\n{"added": "later"}\n'


def test_section_revocation_purges_its_lines_and_fills_the_forget_set(project):
    records = example_records()
    project.ok("revoke", "--section", FORUM, "--tokenizer", "whitespace")
    assert project.json("purge", "train.jsonl")["purged"] == 80
    assert project.records() == [r for r in records if r["source"] != FORUM]

    def forget_bits():
        project.ok("forget-set", "--tokenizer", "whitespace", "-o", "forget.bin")
        with open(project.path("forget.bin"), "rb") as f:
            mask = f.read()
        return [i for i in range(len(records)) if mask[i // 8] >> (i % 8) & 1]

    # Entries are numbered in tracking order, which is the file's line order.
    assert forget_bits() == [i for i, r in enumerate(records) if r["source"] == FORUM]
    # Grace's entries are partly revoked already (the forum's): only her memos flip.
    out = project.ok("revoke", "--author", "Grace Okafor", "--tokenizer", "whitespace")
    assert "revoked 100 token entries" in out
    assert forget_bits() == [i for i, r in enumerate(records) if r["source"] in (MEMOS, FORUM)]
    status = project.json("tokens", "status", "--tokenizer", "whitespace")
    assert (status["active_entries"], status["revoked_entries"]) == (120, 180)
    assert project.json("show", "--author", "Grace Okafor", "--tokenizer", "whitespace")["total_tokens"] == 0

    project.ok("revoke", "--author", "Grace Okafor", "--tokenizer", "whitespace", "--reverse")
    assert forget_bits() == [i for i, r in enumerate(records) if r["source"] == FORUM]


def test_status_counts_lines_and_tokens_under_withdrawn_consent(project):
    records = example_records()
    tokens = {path: sum(words(r) for r in records if r["source"] == path) for path in SECTIONS}
    before = project.json("status")
    assert before["data_files"] == [{"file": "train.jsonl", "records": 300, "exists": True}]
    assert (before["files"], before["line_index"], before["withdrawn_sections"]) == ([], "fresh", [])
    (whitespace,) = before["tokenizers"]
    assert whitespace["entries"] == {"total": 300, "active": 300, "revoked": 0, "active_withdrawn": 0, "pending": 0}
    assert whitespace["tokens"] == {"active": sum(tokens.values()), "revoked": 0, "active_withdrawn": 0}

    project.ok("revoke", "--author", "Tomás Reyes")  # the forum, its tokens still active
    project.ok("revoke", "--section", MEMOS, "--tokenizer", "whitespace")
    with open(project.path("extra.jsonl"), "w") as f:
        f.write(json.dumps(records[0]) + '\n\n{"text": "new"}\nplain text\n')
    after = project.json("status", "train.jsonl", "extra.jsonl")
    assert after["data_files"] is None and after["sections"] == {"total": 3, "revoked": 1, "withdrawn": 2}
    assert {w["path"] for w in after["withdrawn_sections"]} == {MEMOS, FORUM}
    (whitespace,) = after["tokenizers"]
    assert whitespace["tokens"] == {
        "active": tokens[ADA] + tokens[FORUM], "revoked": tokens[MEMOS], "active_withdrawn": tokens[FORUM]}
    train, extra = after["files"]
    assert (train["lines"], train["tracked"], train["untracked"], train["withdrawn"]) == (300, 300, 0, 180)
    by_section = {s["path"]: (s["lines"], s["revoked"], s["withdrawn"]) for s in train["sections"]}
    assert by_section == {ADA: (120, False, False), MEMOS: (100, True, True), FORUM: (80, False, True)}
    by_author = {a["name"]: (a["lines"], a["revoked"]) for a in train["authors"]}
    assert by_author == {"Ada Lindqvist": (120, False), "Grace Okafor": (180, False), "Tomás Reyes": (80, True)}
    withdrawn = int(records[0]["source"] != ADA)
    assert (extra["lines"], extra["tracked"], extra["untracked"], extra["withdrawn"]) == (3, 1, 2, withdrawn)
    text = project.ok("status", "train.jsonl")
    assert "train.jsonl: 300 lines, 300 tracked, 0 untracked, 180 under withdrawn consent" in text


def test_a_line_shared_by_two_files_is_judged_in_each_by_its_own_records(project):
    shared = '{"text": "a boilerplate line both files hold"}\n'
    files = {"a.jsonl": shared + '{"text": "only in a"}\n', "b.jsonl": shared + '{"text": "only in b"}\n',
             "derived.jsonl": shared}
    for name, content in files.items():
        with open(project.path(name), "w") as f:
            f.write(content)
    project.ok("track", "a.jsonl", "--source", MEMOS)  # Grace's
    project.ok("track", "b.jsonl", "--source", ADA)    # Ada's; derived.jsonl is never tracked
    project.ok("index", "build")
    project.ok("revoke", "--author", "Grace Okafor")

    # Blame and status of b.jsonl stand by b's own record: Ada's, in use.
    (line,) = [r for r in project.json("blame", "b.jsonl") if r["line"] == 1]
    assert [r["file"] for r in line["records"]] == ["b.jsonl", "a.jsonl"] and line["withdrawn"] is False
    one = project.json("blame", "b.jsonl", "1")
    assert one["records"][0]["file"] == "b.jsonl" and one["withdrawn"] is False
    status = {f["file"]: f["withdrawn"] for f in project.json("status", *files)["files"]}
    assert status == {"a.jsonl": 2, "b.jsonl": 0, "derived.jsonl": 1}

    # Grace's revocation withdraws a's lines, by author only, in every blame row.
    rows = project.json("blame", "a.jsonl")
    assert [r["withdrawn"] for r in rows] == [True, True]
    assert all(s["withdrawn"] and not s["revoked"] for r in rows for s in r["records"][0]["sources"])
    text = project.ok("blame", "a.jsonl", "b.jsonl").splitlines()
    assert [row.split()[3] for row in text] == ["withdrawn", "withdrawn", "usable", "usable"]

    assert project.json("purge", "b.jsonl", "--author", "Grace Okafor", "--dry-run")["purged"] == 0
    assert project.json("purge", "b.jsonl", "--author", "Grace Okafor")["purged"] == 0
    assert project.json("purge", "b.jsonl", "--dry-run")["purged"] == 0
    assert project.json("purge", "b.jsonl")["purged"] == 0
    # A file with no record of the line falls back on its content.
    assert project.json("purge", "derived.jsonl")["purged"] == 1
    assert project.json("purge", "a.jsonl")["purged"] == 2
    with open(project.path("b.jsonl")) as f:
        assert f.read() == files["b.jsonl"]


def test_undo_refuses_an_archive_of_another_file(project):
    project.ok("revoke", "--section", ADA)
    project.ok("purge", "train.jsonl")
    with open(project.path("other.jsonl"), "w") as f:
        f.write('{"text": "x"}\n')
    done = project.kx("purge", "--undo", "other.jsonl")
    assert done.returncode == 1 and "`kx purge --undo train.jsonl`" in done.stderr
    assert "--force" not in done.stderr  # it would append train.jsonl's lines to other.jsonl
    assert project.json("purge", "--undo", "other.jsonl", "--force")["restored"] == 120

    # The log quotes the data file's name; the undo reads it back.
    odd = 'notes "v2"\\draft.jsonl'
    shutil.copy(project.path("other.jsonl"), project.path(odd))
    project.ok("purge", odd)
    assert project.json("purge", "--undo", "--force", odd)["restored"] == 120


def test_undo_refuses_lines_whose_consent_is_still_withdrawn(project):
    before = project.checksum("train.jsonl")
    project.ok("revoke", "--author", "Grace Okafor")
    purged = project.json("purge", "train.jsonl")["purged"]
    after = project.checksum("train.jsonl")
    done = project.kx("purge", "--undo", "train.jsonl")
    assert done.returncode == 1
    assert f"{purged} lines of .kx/archive/purge." in done.stderr
    assert f"(author Grace Okafor: {purged} lines)" in done.stderr and "--force" in done.stderr
    assert project.checksum("train.jsonl") == after
    # Consent restored, the undo goes through.
    project.ok("revoke", "--author", "Grace Okafor", "--reverse")
    assert project.json("purge", "--undo", "train.jsonl")["restored"] == purged
    assert project.checksum("train.jsonl") == before

    project.ok("revoke", "--section", FORUM)
    purged = project.json("purge", "train.jsonl")["purged"]
    done = project.kx("purge", "--undo", "train.jsonl")
    assert done.returncode == 1 and f"(section {FORUM}: {purged} lines)" in done.stderr
    assert project.json("purge", "--undo", "train.jsonl", "--force")["restored"] == purged
    assert project.checksum("train.jsonl") == before


INTERRUPTED = r"""
import os, signal, sys
from kx import progress
sent = []


def callback(self, i):
    def hook(done):
        if not sent:  # Ctrl-C while the first file is purged
            sent.append(True)
            os.kill(os.getpid(), signal.SIGINT)
    return hook


progress.FilesProgress.callback = callback
from kx.cli import main
sys.exit(main(sys.argv[1:]))
"""


def test_a_purge_interrupted_by_ctrl_c_finishes_its_file_says_what_it_did_and_stops(project, kx_cli_env):
    shutil.copy(project.path("train.jsonl"), project.path("copy.jsonl"))
    untouched = project.checksum("copy.jsonl")
    project.ok("revoke", "--author", "Grace Okafor")
    done = subprocess.run([sys.executable, "-c", INTERRUPTED, "purge", "train.jsonl", "copy.jsonl"],
                          cwd=project.root, env=kx_cli_env, capture_output=True, text=True)
    assert done.returncode == 130
    lines = done.stdout.splitlines()
    assert lines[0].startswith("purged ") and "from train.jsonl" in lines[0]
    assert "undo with `kx purge --undo train.jsonl`" in lines[1]
    assert lines[-1] == "interrupted: copy.jsonl not purged, left as it was"
    assert project.checksum("copy.jsonl") == untouched
    assert project.json("status", "train.jsonl")["files"][0]["withdrawn"] == 0


def test_merge_absorbs_another_store(project, tmp_path, kx_cli):
    colleague = Project(tmp_path / "colleague", kx_cli)
    os.mkdir(colleague.root)
    colleague.ok("init")
    colleague.ok("author", "add", "Ada Lindqvist", "ada@lindqvist.example")
    colleague.ok("section", "add", ADA, "--author", "Ada Lindqvist", "--license", "CC-BY-4.0", "--year", "2021")
    # Distinct lines of one section with equal token counts: five entries
    # that must not be taken for duplicates of one another.
    with open(colleague.path("extra.jsonl"), "w") as f:
        f.writelines(json.dumps({"text": f"extra {i}"}) + "\n" for i in range(5))
    colleague.ok("track", "extra.jsonl", "--source", ADA, "--tokenizer", "whitespace")
    before = project.json("tokens", "status", "--tokenizer", "whitespace")

    merged = project.json("merge", colleague.root)
    assert (merged["authors_added"], merged["sections_added"], merged["document_added"]) == (0, 0, 5)
    assert merged["token_index_added"] == 5
    after = project.json("tokens", "status", "--tokenizer", "whitespace")
    assert after["total_entries"] == before["total_entries"] + 5
    assert after["total_tokens"] == before["total_tokens"] + 5 * 2
    assert len(project.json("show", "--section", ADA)) == 125
    again = project.json("merge", colleague.root)
    assert (again["document_added"], again["token_index_added"]) == (0, 0)


def test_clean_and_log(project):
    project.ok("revoke", "--section", FORUM)
    assert project.json("clean")["archived_records"] == 1
    entries = project.json("log")
    assert [e["operation"] for e in entries] == ["revoke_section", "clean"]
    assert entries[0]["detail"].startswith(section_hash(FORUM))
    assert entries[0]["time"].endswith("Z")
    assert len(project.json("log", "-n", "1")) == 1

    # The previous generation comes first; a detail holding a line feed stays one entry.
    with open(project.path(".kx/log.1"), "w") as f:
        f.write("0-00:00:00 note first line\nsecond line\n19675-22:13:20 purge purged 1 lines from \"x\"\n")
    entries = project.json("log")
    assert [e["operation"] for e in entries] == ["note", "purge", "revoke_section", "clean"]
    assert entries[0]["detail"] == "first line\nsecond line" and entries[0]["time"] == "1970-01-01T00:00:00Z"
    assert entries[1]["time"] == "2023-11-14T22:13:20Z"


# Failures: one line on standard error, a non-zero status, nothing on standard output.

FAILURES = [
    (["show", "--author", "Nobody"], "no author named 'Nobody'"),
    (["show", "--license", "MIT", "--tokenizer", "nope"], "unknown tokenizer 'nope'"),
    (["show"], "one of the arguments"),
    (["author", "add", "Only Name"], "the following arguments are required"),
    (["section", "add", "p", "--author", "Nobody", "--license", "MIT", "--year", "1"], "unknown author 'Nobody'"),
    (["track", "missing.jsonl", "--source", ADA], "data file not found: missing.jsonl"),
    (["track", "train.jsonl", "--source", "f" * 64], "unknown section"),
    (["track", "train.jsonl"], "--source or --source-field"),
    (["track", "train.jsonl", "--source", ADA, "--tokenizer", "gpt2"], "no built-in counter"),
    (["track", "train.jsonl", "--source", ADA, "--tokenizer", "a/b", "--count", "bytes"], "invalid tokenizer name 'a/b'"),
    (["track", "train.jsonl", "--source", ADA, "--tokenizer", "t", "--count-field", "n"], "train.jsonl:1: field 'n'"),
    (["track", "bad.jsonl", "--source", ADA], "bad.jsonl:2: the line is not JSON"),
    (["blame", "train.jsonl", "301"], "has no line 301"),
    (["blame", "latin.jsonl"], "latin.jsonl:2: the line is not valid UTF-8"),
    (["blame", "train.jsonl", "bad.jsonl", "2"], "LINE_NO goes with a single data file"),
    (["blame", "*.csv"], "no data files match *.csv"),
    (["status", "missing.jsonl"], "data file not found: missing.jsonl"),
    (["revoke", "--author", "Nobody"], "no author named 'Nobody'"),
    (["revoke", "--section", "0" * 64], "unknown section"),
    (["revoke", "--author", "Grace Okafor", "--tokenizer", "nope"], "unknown tokenizer 'nope'"),
    (["purge", "train.jsonl", "--author", "Grace Okafor"], "author 'Grace Okafor' is not revoked. Revoke first with `kx revoke --author 'Grace Okafor'`"),
    (["purge", "missing.jsonl"], "data file not found: missing.jsonl"),
    (["purge", "--undo", "train.jsonl"], "no purge archive to undo"),
    (["purge", "--undo", "train.jsonl", "--dry-run"], "--undo takes neither"),
    (["forget-set", "--tokenizer", "whitespace", "-o", "no/such/dir/f.bin"], "no/such/dir/f.bin: No such file or directory"),
    (["merge", "elsewhere"], "elsewhere is not a directory"),
    (["merge", "corpus"], "Source has no .kx/ directory: corpus"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
]


@pytest.mark.parametrize("args, message", FAILURES, ids=[" ".join(a) for a, _ in FAILURES])
def test_expected_failures_print_one_line_and_exit_non_zero(project, args, message):
    with open(project.path("bad.jsonl"), "w") as f:
        f.write('{"text": "fine"}\nnot json\n')
    with open(project.path("latin.jsonl"), "wb") as f:
        f.write('{"text": "fine"}\n{"text": "caf\u00e9"}\n'.encode("latin-1"))
    os.mkdir(project.path("corpus"))
    done = project.kx(*args)
    assert done.returncode != 0
    assert done.stdout == ""
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("kx")
    assert message in done.stderr
    assert "Traceback" not in done.stderr


def test_failures_outside_a_project_and_of_the_index(tmp_path, kx_cli, project):
    done = kx_cli("-C", str(tmp_path), "author", "list")
    assert done.returncode == 1 and f"no .kx directory in {tmp_path} or any directory above it" in done.stderr
    done = kx_cli("-C", str(tmp_path / "absent"), "init")
    assert done.returncode == 1 and done.stderr.startswith("kx: error: cannot change to")

    os.remove(project.path(".kx/index.bin"))
    project.ok("revoke", "--author", "Grace Okafor")
    done = project.kx("purge", "train.jsonl", "--author", "Grace Okafor")
    assert done.returncode == 1 and done.stderr == "kx: error: binary index not found, run `kx index build` first\n"
    project.ok("index", "build")
    with open(project.path("late.jsonl"), "w") as f:
        f.write('{"text": "tracked after the build"}\n')
    project.ok("track", "late.jsonl", "--source", ADA)
    done = project.kx("purge", "train.jsonl", "--author", "Grace Okafor")
    assert done.returncode == 1 and "run `kx index build` first" in done.stderr
    assert project.records() == example_records()


def test_kx_runs_in_the_nearest_project_above_and_names_files_from_the_project(project, tmp_path, kx_cli):
    shards = project.path("shards")
    deep = os.path.join(shards, "part1")
    os.makedirs(deep)
    with open(os.path.join(shards, "a.jsonl"), "w") as f:
        f.write('{"text": "from a subdirectory"}\n{"text": "and another"}\n')

    def run_in(where, *args):
        done = kx_cli(*args, "--json", cwd=where)
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)

    # Relative to the current directory, recorded relative to the project.
    assert run_in(deep, "track", "../a.jsonl", "--source", ADA)["file"] == "shards/a.jsonl"
    (record,) = project.json("blame", "shards/a.jsonl", "1")["records"]
    assert record["file"] == "shards/a.jsonl"
    assert run_in(deep, "blame", "../a.jsonl", "2")["records"][0]["file"] == "shards/a.jsonl"
    project.ok("revoke", "--section", ADA)
    purged = run_in(shards, "purge", "a.jsonl")
    assert (purged["purged"], purged["file"]) == (2, "shards/a.jsonl")
    assert project.records("train.jsonl") == example_records()  # only the named file is rewritten
    assert project.json("log")[-1]["detail"] == 'purged 2 lines from "shards/a.jsonl"'
    assert project.json("purge", "--undo", "--force", "shards/a.jsonl")["restored"] == 2

    # -C names where to start looking: another project, even from inside this one.
    other = tmp_path / "other"
    other.mkdir()
    kx_cli("-C", str(other), "init")
    assert run_in(deep, "-C", str(other), "author", "list") == []
    assert len(run_in(deep, "author", "list")) == 3


def test_errors_name_the_file_they_concern(project):
    os.mkdir(project.path("ro"))
    shutil.copy(DATA, project.path("ro/train.jsonl"))
    project.ok("revoke", "--section", FORUM)
    with frozen(project.path("ro")):
        done = project.kx("purge", "ro/train.jsonl")
    assert done.returncode == 1 and done.stderr.startswith("kx: error: ro/train.jsonl: ")
    assert "(os error" in done.stderr and done.stderr.count("\n") == 1
    assert project.records("ro/train.jsonl") == example_records()

    # A store file the command writes: the shard that takes a new line's
    # record, named after the data file and the operation.
    with open(project.path("new.jsonl"), "w") as f:
        f.write('{"text": "new"}\n')
    shard = f".kx/document-index/{kx.compute_hash({'text': 'new'})[:2]}"
    open(project.path(shard), "a").close()
    with frozen(project.path(shard)):
        done = project.kx("track", "new.jsonl", "--source", ADA)
    assert done.returncode == 1 and done.stderr.startswith(f"kx: error: tracking new.jsonl: {shard}: ")


def test_check_reports_damage_and_repair_moves_damaged_lines_aside(project):
    assert project.ok("check").endswith(": no problems\n")
    shard = sorted(os.listdir(project.path(".kx/document-index")))[0]
    with open(project.path(f".kx/document-index/{shard}"), "rb") as f:
        torn_at = f.read().count(b"\n") + 1
    with open(project.path(f".kx/document-index/{shard}"), "ab") as f:
        f.write(b'{"file":"train.jsonl","line_ha')  # an append torn off
    merged = project.path(".kx/token-index.whitespace/001")
    before = os.stat(merged)
    with open(merged, "r+b") as f:
        flipped = b"[" + f.readline()[1:-1]
        f.seek(0)
        f.write(b"[")  # a byte flipped on disk, the file's time kept: the index looks fresh
    os.utime(merged, ns=(before.st_atime_ns, before.st_mtime_ns))
    ada = kx.compute_hash({"name": "Ada Lindqvist", "email": AUTHORS["Ada Lindqvist"]})
    authors = project.path(f".kx/authors/{ada[:2]}")
    with open(authors, "rb") as f:
        incomplete_at = f.read().count(b"\n") + 1
    with open(authors, "a") as f:
        f.write('{"id":"%s","name":"No Mail"}\n' % ada)
    open(project.path(".kx/.kxtmp.999999999.0.ab"), "w").close()

    done = project.kx("check")
    assert done.returncode == 1
    report = done.stdout.splitlines()
    for expected in [
        f".kx/authors/{ada[:2]}:{incomplete_at}: record lacks its fields",
        f".kx/document-index/{shard}:{torn_at}: damaged line",
        ".kx/token-index.whitespace/001:1: damaged line",
        ".kx/.kxtmp.999999999.0.ab: stray temporary file",
        "note: .kx/index.bin: stale index",
        ".kx/token-index.whitespace.bin: index disagrees with its merged files: entry 0",
    ]:
        assert any(line.startswith(expected) for line in report), expected
    # The damaged entry leaves its line's record without an entry.
    assert "train.jsonl: records lack their token entries: 1 of its 300 records" in done.stdout
    assert report[-1].endswith(": 6 problems, 1 note")
    entries = project.json("tokens", "status", "--tokenizer", "whitespace")["total_entries"]
    assert entries == 299  # every reader skips the damaged line

    done = project.kx("check", "--repair", "--json")
    assert done.returncode == 1  # the record without its fields waits for a person
    repaired = json.loads(done.stdout)
    assert (repaired["moved_lines"], repaired["rewritten_files"], repaired["removed_temps"]) == (2, 2, 1)
    assert set(repaired["rebuilt_indexes"]) == {".kx/index.bin", ".kx/token-index.whitespace.bin"}
    assert [(p["problem"], p["line"]) for p in repaired["problems"]] == [
        ("incomplete_record", incomplete_at), ("missing_token_entries", None)]
    with open(project.path(".kx/damaged/token-index.whitespace-001"), "rb") as f:
        assert f.read() == b'".kx/token-index.whitespace/001":1: ' + flipped + b"\n"
    with open(project.path(f".kx/damaged/document-index-{shard}"), "rb") as f:
        assert f.read().endswith(b':%d: {"file":"train.jsonl","line_ha\n' % torn_at)
    assert project.json("tokens", "status", "--tokenizer", "whitespace")["total_entries"] == entries
    assert project.json("show", "--section", ADA, "--tokenizer", "whitespace")["document_count"] == 120

    with open(authors, "rb") as f:
        kept = f.read().splitlines(keepends=True)[:-1]
    with open(authors, "wb") as f:
        f.writelines(kept)
    project.ok("track", "train.jsonl", "--source-field", "source", "--tokenizer", "whitespace")
    assert project.ok("check").endswith(": no problems\n")


def store_shards(project):
    layer = project.path(".kx/document-index")
    return {name: open(os.path.join(layer, name), "rb").read() for name in os.listdir(layer)}


def test_check_finds_lines_recorded_more_often_than_the_file_holds_and_repair_removes_them(project):
    from kx import _core as core

    with open(project.path("train.jsonl")) as f:
        texts = f.read().splitlines()[:10]
    with open(project.path("plain.jsonl"), "w") as f:
        f.write("".join(text + "\n" for text in texts))
    with open(project.path("twice.jsonl"), "w") as f:
        f.write(texts[0] + "\n" + texts[0] + "\n")
    project.ok("track", "plain.jsonl", "--source", ADA)
    project.ok("track", "twice.jsonl", "--source", ADA)
    # One more line recorded under other sources is no excess.
    kx.track(json.loads(texts[1]), "plain.jsonl", [section_hash(MEMOS)], project.root)
    before = store_shards(project)
    # What two trackers of plain.jsonl at once once left: a second record of
    # some of its lines, under the same sources.
    for text in texts[2:7]:
        kx.track(json.loads(text), "plain.jsonl", [section_hash(ADA)], project.root)
    done = project.kx("check", "plain.jsonl", "twice.jsonl")
    assert done.returncode == 1
    assert "plain.jsonl: lines recorded more often than the file holds them: 5 lines, 5 excess records" in done.stdout
    assert "twice.jsonl" not in done.stdout.replace("and 2 data files", "")

    repaired = project.json("check", "--repair", "plain.jsonl", "twice.jsonl")
    assert [(r["file"], r["lines"], r["records"]) for r in repaired["removed_excess_records"]] == [
        ("plain.jsonl", 5, 5), ("twice.jsonl", 0, 0)]
    assert store_shards(project) == before  # the later copies went, nothing else
    assert project.ok("check", "plain.jsonl").endswith("no problems, 1 note\n")
    assert core.excess_records(project.root, project.path("plain.jsonl")) == {"lines": 0, "records": 0}
    assert "removed 5 excess records of 5 lines of \"plain.jsonl\"" in project.ok("log")
    kept = b"".join(open(os.path.join(project.path(".kx/damaged"), n), "rb").read()
                    for n in os.listdir(project.path(".kx/damaged")))
    assert kept.count(b"\n") == 5


def test_exit_codes_a_pipeline_can_use(project):
    # A revocation and new tracking leave indexes stale: a note, not damage.
    project.ok("revoke", "--author", "Grace Okafor", "--tokenizer", "whitespace")
    with open(project.path("new.jsonl"), "w") as f:
        f.write('{"text": "new"}\n')
    project.ok("track", "new.jsonl", "--source", ADA)
    done = project.kx("check")
    assert done.returncode == 0 and "note: .kx/index.bin: stale index" in done.stdout

    # The gate: files that still hold withdrawn lines fail it, with their counts.
    withdrawn = project.json("status", "train.jsonl")["files"][0]["withdrawn"]
    assert withdrawn > 0
    done = project.kx("status", "train.jsonl", "new.jsonl", "--fail-on-withdrawn")
    assert done.returncode == 1
    assert f"train.jsonl still holds {withdrawn} lines under withdrawn consent" in done.stdout
    assert "new.jsonl still holds" not in done.stdout
    project.ok("purge", "train.jsonl")
    assert project.kx("status", "train.jsonl", "new.jsonl", "--fail-on-withdrawn").returncode == 0


# Help, progress and the example road

COMMANDS = [
    [], ["init"], ["author"], ["author", "add"], ["author", "list"], ["section"], ["section", "add"],
    ["section", "list"], ["track"], ["blame"], ["show"], ["tokens"], ["tokens", "status"], ["revoke"],
    ["purge"], ["forget-set"], ["index"], ["index", "build"], ["clean"], ["check"], ["merge"], ["log"],
    ["status"],
]


@pytest.mark.parametrize("command", COMMANDS, ids=[" ".join(c) or "kx" for c in COMMANDS])
def test_every_command_has_help(kx_cli, tmp_path, command):
    done = kx_cli(*command, "--help", cwd=str(tmp_path))
    assert done.returncode == 0
    assert done.stdout.startswith(f"usage: {' '.join(['kx', *command])}")
    leaf = command and command not in (["author"], ["section"], ["tokens"], ["index"])
    assert ("--json" in done.stdout) == bool(leaf)


def test_version_names_the_codec_libraries_and_every_optional_part(kx_cli, tmp_path):
    done = kx_cli("--version", cwd=str(tmp_path))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("kx ")
    by_part = dict(line.split(": ", 1) for line in lines[1:])
    assert by_part["gzip"].startswith("read with ") and ", written with " in by_part["gzip"]
    assert by_part["zstd"].startswith("libzstd 1.")
    for part, module in (("Parquet", "pyarrow"), ("charts", "matplotlib"), ("cluster", "dask")):
        assert by_part[part].startswith(f"{module} ") or by_part[part].startswith("not installed (pip install")


def test_progress_bar_is_drawn_on_a_terminal_only(tmp_path, kx_cli, kx_cli_env):
    pty = pytest.importorskip("pty")
    project = Project(tmp_path, kx_cli)
    project.ok("init")
    project.ok("author", "add", "A", "a@example.org")
    project.ok("section", "add", "p", "--author", "A", "--license", "MIT", "--year", "2020")
    with open(project.path("big.jsonl"), "w") as f:
        f.writelines(json.dumps({"text": f"line {i}"}) + "\n" for i in range(20000))

    plain = project.kx("track", "big.jsonl", "--source", "p")
    assert plain.returncode == 0 and plain.stderr == ""

    # Blame is over before a bar would show: have it drawn from the start.
    leader, follower = pty.openpty()
    done = subprocess.run(
        [sys.executable, "-m", "kx", "-C", project.root, "blame", "big.jsonl"],
        env=dict(kx_cli_env, KX_PROGRESS="1"), stdout=subprocess.PIPE, stderr=follower, stdin=subprocess.DEVNULL,
    )
    os.close(follower)
    drawn = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:
            break
        if not chunk:
            break
        drawn += chunk
    os.close(leader)
    assert done.returncode == 0
    assert b"blaming big.jsonl [" in drawn and b"%" in drawn
    assert b"\r" in drawn and b"blaming" not in done.stdout


def test_example_road_runs_end_to_end(kx_cli_env):
    done = subprocess.run(
        [sys.executable, os.path.join(REPO, "examples", "road.py")],
        env=kx_cli_env, capture_output=True, text=True,
    )
    assert done.returncode == 0, done.stdout[-2000:] + done.stderr
    assert done.stdout.rstrip().endswith("The road is complete.")
    assert "purged 100 lines of author 'Grace Okafor' from train.jsonl, kept 120" in done.stdout


# Messages and bounds


def run_kx(project, env, *args, preload=None, arm=None):
    """`kx ARGS` in the project with extra environment; with `arm`
    (call number, errno) the fault shim at `preload` makes that call and
    every later one that changes a file fail."""
    code = "import sys\nfrom kx.cli import main\n"
    if arm is not None:
        code = ("import ctypes, sys\nshim = ctypes.CDLL(%r)\nfrom kx.cli import main\n"
                "shim.kx_fault_arm(%d, 2, %d)\n" % (preload, arm[0], arm[1]))
    code += "sys.exit(main(sys.argv[1:]))\n"
    full = dict(env, LD_PRELOAD=preload) if preload else env
    return subprocess.run([sys.executable, "-c", code, "-C", project.root, *args], env=full,
                          capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=300)


def test_a_full_disk_while_tracking_names_the_data_file_and_the_operation_first(project, shim, kx_cli_env):
    with open(project.path("train.jsonl"), "rb") as f, open(project.path("new.jsonl"), "wb") as g:
        g.write(f.read().replace(b'"text": "', b'"text": "new '))
    done = run_kx(project, kx_cli_env, "track", "new.jsonl", "--source-field", "source",
                  preload=shim, arm=(1, 28))
    assert done.returncode == 1
    assert done.stderr.startswith("kx: error: tracking new.jsonl: .kx/"), done.stderr
    assert "No space left on device" in done.stderr


def test_a_purge_whose_log_entry_fails_says_the_file_was_purged(project):
    project.ok("revoke", "--author", "Grace Okafor")
    os.replace(project.path(".kx/log"), project.path("old-log"))
    os.mkdir(project.path(".kx/log"))  # no entry can be appended to it
    before = project.records()
    done = project.kx("purge", "train.jsonl")
    assert done.returncode == 1
    assert 'data file "train.jsonl" was purged (' in done.stderr and "the operation log" in done.stderr
    after = project.records()
    assert len(after) < len(before) and all(r["source"] != MEMOS for r in after)


@pytest.mark.parametrize("compressed", [False, True])
def test_a_line_beyond_the_longest_kx_reads_fails_clearly(project, kx_cli_env, compressed):
    import gzip

    line = json.dumps({"text": "x" * (3 << 20), "source": ADA}).encode() + b"\n"
    name = "long.jsonl.gz" if compressed else "long.jsonl"
    with open(project.path(name), "wb") as f:
        f.write(gzip.compress(line, 1) if compressed else line)
    done = run_kx(project, dict(kx_cli_env, KX_MAX_LINE_BYTES="1M"), "track", name, "--source-field", "source")
    assert done.returncode == 1
    assert "the line at byte 0 of its content is longer than 1048576 bytes" in done.stderr, done.stderr
    assert "KX_MAX_LINE_BYTES" in done.stderr
    done = run_kx(project, dict(kx_cli_env, KX_MAX_LINE_BYTES="lots"), "track", name, "--source-field", "source")
    assert "KX_MAX_LINE_BYTES=lots is not a size" in done.stderr
    assert run_kx(project, kx_cli_env, "track", name, "--source-field", "source").returncode == 0


@pytest.mark.parametrize("command", [["track", "{f}", "--source-field", "source"], ["purge", "{f}"],
                                     ["purge", "{f}", "--dry-run"], ["blame", "{f}"], ["status", "{f}"]])
@pytest.mark.parametrize("kind", ["FIFO", "character device"])
def test_a_fifo_or_device_given_as_a_data_file_is_refused(project, kx_cli_env, command, kind):
    name = "/dev/zero"
    if kind == "FIFO":
        name = "pipe.jsonl"
        os.mkfifo(project.path(name))
    done = run_kx(project, kx_cli_env, *[a.format(f=name) for a in command])
    assert done.returncode == 1
    assert done.stderr == f"kx: error: {name} is a {kind}, not a regular file: kx reads only regular files\n"
