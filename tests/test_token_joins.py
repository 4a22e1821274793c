"""Token entries where two things meet: two stores merged, entries tracked
but not merged yet, a file tracked again under another tokenizer or after a
run that stopped part-way.  Each entry names the line and data file it was
counted from; these tests check that nothing is lost or counted twice."""

import collections
import json
import os
import shutil

import pytest

import _kx_native as kx
from kx import _core as core
from conftest import CliProject, held_token_entries, spawn_python, token_line, write_merged

SECTION = "corpus/doc.txt"


def write_data(path, lines, tag):
    """`lines` JSON lines of three words each, distinct per tag."""
    with open(path, "w") as f:
        for i in range(lines):
            f.write(json.dumps({"text": f"{tag}{i} two three"}) + "\n")


def new_project(root, kx_cli, lines, tag, tokenizer="whitespace"):
    """A project whose data.jsonl (three tokens a line) is tracked from one
    section by Alice; the section is the same in every such project."""
    os.makedirs(root, exist_ok=True)
    project = CliProject(root, kx_cli)
    project.ok("init")
    project.ok("author", "add", "Alice", "alice@example.org")
    project.ok("section", "add", SECTION, "--author", "Alice", "--license", "MIT", "--year", "2020")
    if not lines:
        return project
    write_data(project.path("data.jsonl"), lines, tag)
    args = ["track", "data.jsonl", "--source", SECTION]
    if tokenizer:
        args += ["--tokenizer", tokenizer]
    project.ok(*args)
    return project


def status(project, tokenizer="whitespace"):
    return project.json("tokens", "status", "--tokenizer", tokenizer)


def per_line(project, tokenizer="whitespace"):
    """Token entries per (line hash, file)."""
    entries = held_token_entries(project.root, tokenizer)
    return collections.Counter((e.get("line_hash"), e.get("file")) for e in entries)


# Merges


@pytest.fixture
def pair(tmp_path, kx_cli):
    a = new_project(tmp_path / "a", kx_cli, 300, "a")
    b = new_project(tmp_path / "b", kx_cli, 300, "b")
    return a, b


def test_merge_brings_the_entries_of_lines_the_target_lacks(pair):
    a, b = pair
    merged = a.json("merge", b.root)
    assert merged["document_added"] == 300 and merged["token_index_added"] == 300
    assert merged["matched_without_identity"] == 0
    row = status(a)
    assert row["total_entries"] == 600 and row["active_tokens"] == 1800


def test_merging_again_or_a_fork_adds_exactly_what_is_new(pair, tmp_path, kx_cli):
    a, b = pair
    a.ok("merge", b.root)
    assert a.json("merge", b.root)["token_index_added"] == 0
    # A fork of the merged store goes on: 40 lines more, one of them a line
    # of the file already there (a second occurrence needs its own entry).
    fork = CliProject(tmp_path / "fork", kx_cli)
    shutil.copytree(a.root, fork.root)
    with open(fork.path("data.jsonl"), "a") as f:
        for i in range(39):
            f.write(json.dumps({"text": f"new{i} two three"}) + "\n")
        f.write(json.dumps({"text": "a0 two three"}) + "\n")
    fork.ok("track", "data.jsonl", "--source", SECTION, "--tokenizer", "whitespace")
    merged = a.json("merge", fork.root)
    assert merged["document_added"] == 40 and merged["token_index_added"] == 40
    assert a.json("merge", fork.root)["token_index_added"] == 0
    assert status(a)["total_entries"] == 640
    # The native absorption of a store into itself adds nothing either.
    assert kx.merge_absorb(a.root, a.root)["token_index_added"] == 0
    assert per_line(a) == per_line(fork)


def test_entries_without_identity_match_as_before_and_are_counted(tmp_path, kx_cli):
    a = new_project(tmp_path / "a", kx_cli, 1, "a", tokenizer=None)
    b = new_project(tmp_path / "b", kx_cli, 1, "b", tokenizer=None)
    source = core.sections(a.root)[0]["section_hash"]
    old = [token_line(3, [source], "t") for _ in range(5)]
    write_merged(a.root, "t", "001", old[:3])
    write_merged(b.root, "t", "001", old)
    done = a.kx("merge", b.root, "--json")
    merged = json.loads(done.stdout)
    assert merged["token_index_added"] == 2 and merged["matched_without_identity"] == 3
    assert "3 token entries of the source name no line" in done.stderr


@pytest.mark.parametrize("withdrawn_in", ["source", "target"])
@pytest.mark.parametrize("what", ["author", "section", "tokens"])
def test_a_merged_store_holds_every_withdrawal_of_either_part(tmp_path, kx_cli, withdrawn_in, what):
    a = new_project(tmp_path / "a", kx_cli, 50, "a")
    b = new_project(tmp_path / "b", kx_cli, 50, "b")
    a.ok("merge", b.root)  # both hold every line
    revoking = b if withdrawn_in == "source" else a
    if what == "author":
        revoking.ok("revoke", "--author", "Alice")
    elif what == "section":
        revoking.ok("revoke", "--section", SECTION)
    else:
        revoking.ok("revoke", "--author", "Alice", "--tokenizer", "whitespace")
        revoking.ok("revoke", "--author", "Alice", "--reverse")  # the entries stay revoked
    a.ok("merge", b.root)
    if what == "author":
        assert [x["revoked"] for x in core.authors(a.root)] == [True]
    elif what == "section":
        assert core.withdrawals(a.root) and core.withdrawals(a.root)[0]["section_revoked"]
    else:
        row = status(a)
        revoked = 100 if withdrawn_in == "target" else 50
        assert row["revoked_entries"] == revoked and row["total_entries"] == 100
        if withdrawn_in == "source":  # revoked where the source revoked them: b's own lines
            b_lines = {e["line_hash"] for e in held_token_entries(b.root, "whitespace")}
            for e in held_token_entries(a.root, "whitespace"):
                assert e["revoked"] == (e["line_hash"] in b_lines)
    assert a.json("merge", b.root)["token_entries_revoked"] == 0


def test_revoked_documents_of_the_source_reach_the_target(pair):
    a, b = pair
    line_hash = kx.compute_hash({"text": "b7 two three"})
    revoked = os.path.join(b.root, ".kx", "document-index", "revoked")
    os.makedirs(revoked)
    with open(os.path.join(revoked, "all"), "w") as f:
        f.write(json.dumps({"line_hash": line_hash, "file": "data.jsonl", "sources": []}) + "\n")
    assert a.json("merge", b.root)["documents_revoked"] == 1
    assert a.json("merge", b.root)["documents_revoked"] == 0
    with open(os.path.join(a.root, ".kx", "document-index", "revoked", "all")) as f:
        assert [json.loads(line)["line_hash"] for line in f] == [line_hash]


# Entries not merged yet, and tokens tracked later or twice


def test_revocation_and_forget_sets_reach_pending_entries(tmp_path, kx_cli):
    p = new_project(tmp_path / "p", kx_cli, 20, "p")  # never indexed: every entry pending
    out = p.ok("revoke", "--author", "Alice", "--tokenizer", "whitespace")
    assert "revoked 20 token entries" in out
    row = status(p)
    assert row["active_entries"] == 0 and row["revoked_entries"] == 20 and row["pending_entries"] == 0
    write_data(p.path("more.jsonl"), 4, "m")
    p.ok("revoke", "--author", "Alice", "--reverse")
    p.ok("track", "more.jsonl", "--source", SECTION, "--tokenizer", "whitespace")
    written = p.json("forget-set", "--tokenizer", "whitespace", "-o", "forget.bin")
    assert written["entries"] == 24 and written["revoked"] == 20
    with open(p.path("forget.bin"), "rb") as f:
        assert f.read() == b"\xff\xff\x0f"


def test_a_forget_set_that_cannot_hold_the_pending_entries_fails(tmp_path, kx_cli):
    p = new_project(tmp_path / "p", kx_cli, 20, "p")
    # Where the merged files would go stands a file: the pending entries
    # cannot be merged, so the set could not hold them.
    with open(p.path(".kx", "token-index.whitespace"), "w"):
        pass
    done = p.kx("forget-set", "--tokenizer", "whitespace", "-o", "forget.bin")
    assert done.returncode != 0 and done.stderr
    assert not os.path.exists(p.path("forget.bin"))


def test_tokens_only_twice_counts_once(tmp_path, kx_cli):
    p = new_project(tmp_path / "p", kx_cli, 30, "p", tokenizer=None)
    first = p.json("track", "data.jsonl", "--source", SECTION, "--tokenizer", "bytes", "--tokens-only")
    again = p.json("track", "data.jsonl", "--source", SECTION, "--tokenizer", "bytes", "--tokens-only")
    assert (first["recorded"], again["recorded"], again["skipped"]) == (30, 0, 30)
    assert len(held_token_entries(p.root, "bytes")) == 30


def test_tracking_again_under_a_new_tokenizer_counts_it_and_says_so(tmp_path, kx_cli):
    p = new_project(tmp_path / "p", kx_cli, 30, "p", tokenizer=None)
    out = p.ok("track", "data.jsonl", "--source", SECTION, "--tokenizer", "whitespace")
    assert "90 tokens under whitespace" in out and "30 of them had no token entry under whitespace" in out
    again = p.json("track", "data.jsonl", "--source", SECTION, "--tokenizer", "whitespace")
    assert again["completed"] == 0 and again["tokens"] == 0
    assert set(per_line(p).values()) == {1} and len(per_line(p)) == 30


def test_old_entries_of_a_retracked_file_are_not_counted_twice(tmp_path, kx_cli):
    # Entries written before they named their line: a rerun under the same
    # tokenizer must not take the lines for uncounted.
    p = new_project(tmp_path / "p", kx_cli, 10, "p", tokenizer=None)
    source = core.sections(p.root)[0]["section_hash"]
    write_merged(p.root, "whitespace", "001", [token_line(3, [source], "whitespace")] * 10)
    again = p.json("track", "data.jsonl", "--source", SECTION, "--tokenizer", "whitespace")
    assert again["tokens"] == 0 and again["without_identity"] == 10
    assert len(held_token_entries(p.root, "whitespace")) == 10


# Runs that stop part-way


CHILD = """
import ctypes, json, sys
from kx import _core as core
job = json.loads(sys.argv[1])
shim = ctypes.CDLL(job["shim"])
shim.kx_fault_arm(job["n"], job["mode"], job["errno"])
try:
    core.track_file(job["root"], job["root"] + "/data.jsonl", "data.jsonl", [job["source"]], None,
                    "whitespace", "whitespace", "text")
except RuntimeError as e:
    pass
print(shim.kx_fault_disarm())
"""

KILL, FAIL = 1, 2


def run_track(shim, root, source, mode=0, n=0, err=0):
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join(p for p in (env.get("LD_PRELOAD"), shim) if p)
    job = {"shim": shim, "root": root, "source": source, "mode": mode, "n": n, "errno": err}
    child = spawn_python(CHILD, json.dumps(job), env=env)
    out, err_out = child.communicate(timeout=300)
    return child.returncode, out.decode()


def test_a_rerun_completes_what_a_stopped_track_left(tmp_path, kx_cli, shim):
    template = new_project(tmp_path / "template", kx_cli, 0, "x", tokenizer=None)
    write_data(template.path("data.jsonl"), 400, "d")
    with open(template.path("data.jsonl"), "a") as f:  # a line twice
        f.write(json.dumps({"text": "d3 two three"}) + "\n")
    source = core.sections(template.root)[0]["section_hash"]
    counting = str(tmp_path / "counting")
    shutil.copytree(template.root, counting)
    code, out = run_track(shim, counting, source)
    calls = int(out.split()[-1])
    assert code == 0 and calls > 10
    # The last write points are those of the token entries, after every
    # record; the others are spread over the record writes
    # (KX_CRASH_KILLS=all tries every one).
    points = sorted(set(range(max(1, calls - 6), calls + 1)) | set(range(1, calls, max(1, calls // 8))))
    if os.environ.get("KX_CRASH_KILLS") == "all":
        points = range(1, calls + 1)
    expected_lines = collections.Counter()
    with open(template.path("data.jsonl")) as f:
        for line in f:
            expected_lines[kx.compute_hash(json.loads(line))] += 1
    for mode, err in ((KILL, 0), (FAIL, 28)):
        for n in points:
            root = str(tmp_path / f"trial-{mode}-{n}")
            shutil.copytree(template.root, root)
            run_track(shim, root, source, mode, n, err)
            again = CliProject(root, kx_cli)
            again.ok("track", "data.jsonl", "--source", SECTION, "--tokenizer", "whitespace")
            records = collections.Counter(
                r["line_hash"] for r in kx.read_all_documents(root) if r["file"] == "data.jsonl")
            entries = collections.Counter(
                e["line_hash"] for e in held_token_entries(root, "whitespace"))
            assert records == expected_lines, (mode, n)
            assert entries == expected_lines, (mode, n)
            shutil.rmtree(root)


def test_check_names_records_without_their_entries_until_a_rerun(tmp_path, kx_cli):
    p = new_project(tmp_path / "p", kx_cli, 40, "p")
    (pid_file,) = [n for n in os.listdir(p.path(".kx")) if n.startswith("token-index.whitespace.")]
    with open(p.path(".kx", pid_file), "rb") as f:
        lines = f.read().splitlines(keepends=True)
    with open(p.path(".kx", pid_file), "wb") as f:  # as a run stopped after 25 entries leaves it
        f.write(b"".join(lines[:25]))
    done = p.kx("check")
    assert done.returncode == 1
    assert "data.jsonl: records lack their token entries: 15 of its 40 records" in done.stdout
    repaired = p.kx("check", "--repair")
    assert repaired.returncode == 1 and "run `kx track data.jsonl --tokenizer whitespace`" in repaired.stdout
    p.ok("track", "data.jsonl", "--source", SECTION, "--tokenizer", "whitespace")
    assert p.kx("check").returncode == 0


# Forget-set maps


def test_a_forget_map_is_the_same_for_a_plain_and_a_cluster_run(tmp_path, kx_cli):
    pytest.importorskip("distributed")
    maps = []
    for name, extra in (("plain", []), ("cluster", ["--workers", "2"])):
        p = new_project(tmp_path / name, kx_cli, 0, "x", tokenizer=None)
        p.ok("section", "add", "corpus/other.txt", "--author", "Alice", "--license", "MIT", "--year", "2020")
        for i in range(4):
            write_data(p.path(f"part{i}.jsonl"), 150, f"part{i}-")
            with open(p.path(f"part{i}.jsonl"), "a") as f:  # a line twice, once per file
                f.write(json.dumps({"text": "shared two three"}) + "\n" * 2)
        p.ok("track", *(f"part{i}.jsonl" for i in (0, 1)), "--source", SECTION, "--tokenizer", "whitespace", *extra)
        p.ok("track", *(f"part{i}.jsonl" for i in (2, 3)), "--source", "corpus/other.txt",
             "--tokenizer", "whitespace", *extra)
        p.ok("revoke", "--section", SECTION, "--tokenizer", "whitespace")
        done = p.json("forget-set", "--tokenizer", "whitespace", "-o", "forget.bin", "--map", "map.jsonl")
        assert done["revoked"] == 302 and done["map"]["rows"] == 302
        with open(p.path("map.jsonl")) as f:
            maps.append(f.read())
        # Every row names the lines of its file that hold the line.
        for row in map(json.loads, maps[-1].splitlines()):
            with open(p.path(row["file"])) as f:
                numbers = [n for n, line in enumerate(f, 1)
                           if line.strip() and kx.compute_hash(json.loads(line)) == row["line_hash"]]
            assert row["lines"] == numbers and row["file"] in ("part0.jsonl", "part1.jsonl")
    assert maps[0] == maps[1]
    pq = pytest.importorskip("pyarrow.parquet")
    p.ok("forget-set", "--tokenizer", "whitespace", "-o", "forget.bin", "--map", "map.parquet")
    assert pq.read_table(p.path("map.parquet")).to_pylist() == [json.loads(r) for r in maps[1].splitlines()]
    shared = [json.loads(r) for r in maps[0].splitlines() if '"lines":[151]' in r]
    assert [(r["file"], r["entries"]) for r in shared] == [("part0.jsonl", 1), ("part1.jsonl", 1)]


def test_a_map_that_cannot_name_every_line_fails(tmp_path, kx_cli):
    p = new_project(tmp_path / "p", kx_cli, 10, "p")
    source = core.sections(p.root)[0]["section_hash"]
    p.ok("index", "build")
    write_merged(p.root, "whitespace", "002", [token_line(3, [source], "whitespace")])
    p.ok("revoke", "--section", SECTION, "--tokenizer", "whitespace")
    done = p.kx("forget-set", "--tokenizer", "whitespace", "-o", "forget.bin", "--map", "map.jsonl")
    assert done.returncode == 1 and "1 revoked entry that name no line" in done.stderr
    with open(p.path("map.jsonl")) as f:
        assert len(f.readlines()) == 10
