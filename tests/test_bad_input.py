"""Bad input for every function: wrong types, empty and huge strings, text
that has no UTF-8 form, names that are not UTF-8 in the store, missing,
read-only and full stores, directories where files belong and the reverse,
symbolic links.  Each call either works or fails with a clear error
(TypeError, OverflowError, UnicodeEncodeError before anything is touched;
RuntimeError with a message from an operation), and nothing stored is lost."""

import contextlib
import json
import os
import pathlib
import shutil
import subprocess

import pytest

import _kx_native as kx
from conftest import fingerprint, kx_path, lost_since, read_bytes, spawn_python, write_bytes

TEXT, OPT_TEXT, LIST, SET, FLAG, COUNT, OPT_COUNT, BYTES, JSON = (
    "text", "optional text", "text list", "text set", "flag", "count", "optional count",
    "byte string", "JSON data")

# Every function with its parameters and their kinds.
SIGNATURES = {
    "init": [("kx_dir", TEXT)],
    "author_add": [("name", TEXT), ("email", TEXT), ("kx_dir", TEXT)],
    "author_query": [("kx_dir", TEXT), ("name", OPT_TEXT), ("email", OPT_TEXT)],
    "register_section": [("path", TEXT), ("authors", LIST), ("contributors", LIST),
                         ("license", TEXT), ("year", TEXT), ("kx_dir", TEXT)],
    "track": [("data", JSON), ("file", TEXT), ("sources", LIST), ("kx_dir", TEXT),
              ("token_count", OPT_COUNT), ("tokenizer", OPT_TEXT)],
    "index_document": [("kx_dir", TEXT), ("line_hash", TEXT), ("file", TEXT), ("sources", LIST)],
    "lookup_document": [("kx_dir", TEXT), ("line_hash", TEXT)],
    "read_all_documents": [("kx_dir", TEXT)],
    "token_index_write_pid": [("kx_dir", TEXT), ("tokenizer", TEXT), ("token_count", COUNT),
                              ("sources", LIST)],
    "token_index_merge_pid_files": [("kx_dir", TEXT), ("tokenizer", TEXT)],
    "token_index_list_tokenizers": [("kx_dir", TEXT)],
    "token_index_token_status": [("kx_dir", TEXT), ("tokenizer", TEXT)],
    "token_index_revoke_by_sources": [("kx_dir", TEXT), ("tokenizer", TEXT),
                                      ("target_sources", SET)],
    "token_index_build_binary_index": [("kx_dir", TEXT), ("tokenizer", TEXT)],
    "blame": [("kx_dir", TEXT), ("file", TEXT), ("line_content", TEXT)],
    "blame_diff": [("old_lines", LIST), ("new_lines", LIST)],
    "show_by_author": [("kx_dir", TEXT), ("author_name", TEXT)],
    "show_by_author_token": [("kx_dir", TEXT), ("author_name", TEXT), ("tokenizer", TEXT)],
    "show_by_section": [("kx_dir", TEXT), ("section_hash", TEXT)],
    "show_by_license": [("kx_dir", TEXT), ("license", TEXT)],
    "revoke_by_author": [("kx_dir", TEXT), ("author_name", TEXT), ("reverse", FLAG)],
    "revoke_section": [("kx_dir", TEXT), ("section_hash", TEXT), ("reverse", FLAG)],
    "revoke_by_author_token": [("kx_dir", TEXT), ("author_name", TEXT), ("tokenizer", TEXT),
                               ("reverse", FLAG)],
    "purge_revoked": [("kx_dir", TEXT), ("data_file", TEXT), ("dry_run", FLAG)],
    "purge_by_author_indexd": [("kx_dir", TEXT), ("author_name", TEXT), ("data_file", TEXT),
                               ("dry_run", FLAG)],
    "purge_reverse": [("kx_dir", TEXT), ("data_file", TEXT)],
    "clean": [("kx_dir", TEXT), ("split", FLAG)],
    "merge_absorb": [("source", TEXT), ("target", TEXT)],
    "build_index": [("kx_dir", TEXT)],
    "generate_forget_set": [("kx_dir", TEXT), ("tokenizer", TEXT)],
    "write_forget_set": [("path", TEXT), ("bitmask", BYTES)],
    "jsonl_read": [("path", TEXT)],
    "jsonl_append": [("path", TEXT), ("record", JSON)],
    "shard_path_str": [("kx_dir", TEXT), ("layer", TEXT), ("hash_hex", TEXT)],
    "shard_read": [("kx_dir", TEXT), ("layer", TEXT), ("hash_hex", TEXT)],
    "shard_iterate_all": [("kx_dir", TEXT), ("layer", TEXT)],
    "oplog_append": [("kx_dir", TEXT), ("operation", TEXT), ("detail", TEXT)],
    "compute_hash": [("data", JSON)],
}

SURROGATE = "bad\udcffname"  # what os.fsdecode makes of a name that is not UTF-8


def circular():
    items = []
    items.append(items)
    return items


def deep(n):
    value = []
    for _ in range(n):
        value = [value]
    return value


# Bad values of each kind with the exception each must raise.
BAD_VALUES = {
    TEXT: [(None, TypeError), (1, TypeError), (b"x", TypeError), (["x"], TypeError),
           (pathlib.Path("x"), TypeError), (SURROGATE, UnicodeEncodeError)],
    OPT_TEXT: [(1, TypeError), (b"x", TypeError), (SURROGATE, UnicodeEncodeError)],
    LIST: [("abc", TypeError), (None, TypeError), (1, TypeError), ({"a"}, TypeError),
           (["a", 1], TypeError), ((x for x in "ab"), TypeError), ([SURROGATE], UnicodeEncodeError)],
    SET: [(["a"], TypeError), ("a", TypeError), (None, TypeError), ({1}, TypeError),
          ({SURROGATE}, UnicodeEncodeError)],
    FLAG: [(1, TypeError), (0, TypeError), (None, TypeError), ("yes", TypeError)],
    COUNT: [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), ("1", TypeError),
            (None, TypeError)],
    OPT_COUNT: [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), ("1", TypeError)],
    BYTES: [("abc", TypeError), (None, TypeError), ([256], (OverflowError, ValueError)),
            ([-1], (OverflowError, ValueError)), (1.5, TypeError)],
    JSON: [(object(), TypeError), ({1, 2}, TypeError), ({(1, 2): 1}, TypeError),
           (circular(), ValueError), (float("nan"), RuntimeError), (deep(200), RuntimeError),
           (SURROGATE, RuntimeError), (b"x", TypeError)],
}


class Context:
    """A small store with every kind of record, a data file, a purge
    archive, an index and a second store to absorb."""

    def __init__(self, root):
        self.root = root
        self.d = os.path.join(root, "proj")
        self.other = os.path.join(root, "other")
        self.data = os.path.join(self.d, "data.jsonl")
        self.forget = os.path.join(root, "forget.bin")
        d = self.d
        kx.init(d)
        self.alice = kx.author_add("Alice", "alice@example.org", d)
        self.bob = kx.author_add("Bob", "bob@example.org", d)
        self.s1 = kx.register_section("a.txt", [self.alice], [], "MIT", "2024", d)
        self.s2 = kx.register_section("b.txt", [self.bob], ["Alice"], "CC0", "2023", d)
        lines = []
        for n in range(40):
            value = {"n": n, "text": "line %d" % n}
            source = self.s1 if n % 2 else self.s2
            kx.track(value, "data.jsonl", [source], d, token_count=n + 1, tokenizer="tok")
            lines.append(json.dumps(value) + "\n")
        with open(self.data, "w") as f:
            f.writelines(lines)
        kx.clean(d, False)
        kx.token_index_write_pid(d, "tok", 5, [self.s1])
        kx.revoke_section(d, self.s1)
        kx.revoke_by_author(d, "Alice")
        kx.build_index(d)
        kx.purge_revoked(d, self.data, False)
        kx.init(self.other)
        carol = kx.author_add("Carol", "carol@example.org", self.other)
        s3 = kx.register_section("c.txt", [carol], [], "MIT", "2022", self.other)
        kx.track("from other", "o.jsonl", [s3], self.other, token_count=3, tokenizer="tok")
        kx.clean(self.other, False)

    def fingerprint(self):
        return fingerprint(self.d, [self.data])

    def valid_args(self, name):
        """Arguments that make a call of `name` work on this store."""
        d, data = self.d, self.data
        return {
            "init": [d],
            "author_add": ["Dora", "dora@example.org", d],
            "author_query": [d, "Alice", None],
            "register_section": ["d.txt", [self.alice], [], "MIT", "2025", d],
            "track": [{"n": 99}, "data.jsonl", [self.s2], d, 4, "tok"],
            "index_document": [d, "ab" * 32, "data.jsonl", [self.s2]],
            "lookup_document": [d, "ab" * 32],
            "read_all_documents": [d],
            "token_index_write_pid": [d, "tok", 7, [self.s2]],
            "token_index_merge_pid_files": [d, "tok"],
            "token_index_list_tokenizers": [d],
            "token_index_token_status": [d, "tok"],
            "token_index_revoke_by_sources": [d, "tok", {self.s2}],
            "token_index_build_binary_index": [d, "tok"],
            "blame": [d, "data.jsonl", '{"n": 2, "text": "line 2"}'],
            "blame_diff": [["a", "b"], ["a", "c"]],
            "show_by_author": [d, "Bob"],
            "show_by_author_token": [d, "Bob", "tok"],
            "show_by_section": [d, self.s2],
            "show_by_license": [d, "MIT"],
            "revoke_by_author": [d, "Bob", False],
            "revoke_section": [d, self.s2, False],
            "revoke_by_author_token": [d, "Bob", "tok", False],
            "purge_revoked": [d, data, False],
            "purge_by_author_indexd": [d, "Alice", data, False],
            "purge_reverse": [d, data],
            "clean": [d, True],
            "merge_absorb": [self.other, d],
            "build_index": [d],
            "generate_forget_set": [d, "tok"],
            "write_forget_set": [self.forget, b"\x01\x02"],
            "jsonl_read": [kx_path(d, "authors", self.alice[:2])],
            "jsonl_append": [kx_path(d, "document-index", "zz"), {"k": 1}],
            "shard_path_str": [d, "authors", self.alice],
            "shard_read": [d, "authors", self.alice],
            "shard_iterate_all": [d, "sections"],
            "oplog_append": [d, "note", "bad input tests"],
            "compute_hash": [{"a": 1}],
        }[name]


@pytest.fixture
def ctx(tmp_path, monkeypatch):
    # Relative and empty paths resolve inside the test's directory.
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    monkeypatch.chdir(cwd)
    return Context(str(tmp_path))


def tree(root):
    out = {}
    for dirpath, dirnames, files in os.walk(root):
        for name in dirnames + files:
            path = os.path.join(dirpath, name)
            out[os.path.relpath(path, root)] = None if os.path.isdir(path) else read_bytes(path)
    return out


def call(name, args):
    """Runs one call: ("ok", result) or ("RuntimeError", message).  Any other
    exception fails the test; an internal fault (BaseException) too."""
    try:
        return "ok", getattr(kx, name)(*args)
    except RuntimeError as e:
        message = str(e)
        assert message.strip(), "%s raised RuntimeError without a message" % name
        return "RuntimeError", message


def test_the_table_names_every_function():
    functions = sorted(n for n in dir(kx) if not n.startswith("_"))
    assert sorted(SIGNATURES) == functions
    assert len(functions) == 38


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_wrong_types_are_refused_before_anything_is_touched(name, ctx):
    before = tree(ctx.root)
    failures = []
    for position, (param, kind) in enumerate(SIGNATURES[name]):
        for bad, expected in BAD_VALUES[kind]:
            args = list(ctx.valid_args(name))
            args[position] = bad
            try:
                getattr(kx, name)(*args)
                failures.append("%s=%r was accepted" % (param, bad))
            except expected as e:
                if isinstance(e, TypeError) and kind not in (JSON,) and param not in str(e):
                    failures.append("%s=%r: message does not name the parameter: %s"
                                    % (param, bad, e))
            except BaseException as e:  # noqa: BLE001 - any other outcome is wrong
                failures.append("%s=%r raised %r" % (param, bad, e))
    assert not failures, "\n".join(failures)
    assert tree(ctx.root) == before


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_empty_and_huge_strings_work_or_fail_clearly(name, ctx):
    huge = "x" * (1 << 20)
    before = ctx.fingerprint()
    for position, (param, kind) in enumerate(SIGNATURES[name]):
        for text in ("", huge, "/" * 5000, "\x00"):
            if kind in (TEXT, OPT_TEXT):
                value = text
            elif kind in (LIST, SET):
                value = {text} if kind == SET else [text, text]
            elif kind == JSON:
                value = {"text": text}
            else:
                continue
            args = list(ctx.valid_args(name))
            args[position] = value
            call(name, args)
    assert not lost_since(before, ctx.fingerprint())


def test_nul_inside_a_path_is_refused_and_touches_nothing(ctx):
    before = tree(ctx.root)
    for name in ("init", "author_add", "track", "clean", "purge_revoked", "jsonl_append",
                 "write_forget_set", "build_index", "oplog_append"):
        args = ctx.valid_args(name)
        position = [p for p, _ in SIGNATURES[name]].index(
            "path" if name in ("jsonl_append", "write_forget_set") else
            "data_file" if name == "purge_revoked" else "kx_dir")
        args[position] = ctx.d + "\x00/elsewhere"
        outcome, message = call(name, args)
        assert outcome == "RuntimeError", (name, message)
    assert tree(ctx.root) == before


def test_huge_values_are_stored_and_read_back(ctx):
    d = ctx.d
    big = "é" * (4 << 20)
    author = kx.author_add(big, "big@example.org", d)
    assert json.loads(kx.author_query(d, big, "big@example.org")[0])["id"] == author
    line_hash = kx.track({"text": big}, "big.jsonl", [ctx.s2] * 1000, d)
    assert kx.blame(d, "x", json.dumps({"text": big}))[0]["line_hash"] == line_hash
    assert kx.write_forget_set(ctx.forget, b"\xff" * (32 << 20)) is None
    assert os.path.getsize(ctx.forget) == 32 << 20


# ---------------------------------------------------------------- names


def test_store_entries_whose_names_are_not_utf8(ctx):
    d = os.fsencode(ctx.d)
    store = os.path.join(d, b".kx")
    record = json.dumps({"id": "ff" * 32, "name": "Odd", "email": "o@x", "revoked": False})
    write_bytes(os.path.join(store, b"authors", b"\xff\xfe"), record.encode() + b"\n")
    write_bytes(os.path.join(store, b"token-index.tok.\xff"),
                b'{"token_count":1,"sources":["s"],"tokenizer":"tok","revoked":false}\n')
    write_bytes(os.path.join(store, b"token-index.tok", b"\xff01"), b"not an entry\n")
    os.makedirs(os.path.join(store, b"token-index.\xfe\xff"))
    write_bytes(os.path.join(store, b"docidx.\xff"),
                json.dumps({"line_hash": "cd" * 32, "file": "f", "sources": []}).encode() + b"\n")
    write_bytes(os.path.join(store, b"archive", b"x\xff"), b"{}\n")
    write_bytes(os.path.join(d, b"\xff.jsonl"), b'{"a":1}\n')

    # The author file is read by the listing query (any name) but is no shard.
    assert any("Odd" in a for a in kx.author_query(ctx.d, None, None))
    assert all(r.get("name") != "Odd" for r in kx.shard_iterate_all(ctx.d, "authors"))
    assert any(t.startswith("\ufffd") for t in kx.token_index_list_tokenizers(ctx.d))
    result = kx.clean(ctx.d, False)
    assert result["token_index_pid_deleted"] >= 1 and result["pid_files_deleted"] == 1
    assert kx.lookup_document(ctx.d, "cd" * 32)
    kx.build_index(ctx.d)
    kx.token_index_token_status(ctx.d, "\ufffd")
    kx.generate_forget_set(ctx.d, "\ufffd")


def test_a_project_directory_reached_through_a_non_utf8_name(tmp_path):
    real = os.path.join(os.fsencode(str(tmp_path)), b"proj\xff")
    os.makedirs(real)
    link = str(tmp_path / "proj")
    os.symlink(real, link)
    kx.init(link)
    author = kx.author_add("A", "a@x", link)
    section = kx.register_section("p", [author], [], "MIT", "2024", link)
    kx.track("text", "f.jsonl", [section], link, token_count=2, tokenizer="t")
    kx.clean(link, False)
    kx.build_index(link)
    assert len(kx.show_by_author(link, "A")) == 1
    assert os.path.isdir(os.path.join(real, b".kx", b"authors"))


# ---------------------------------------------------------------- missing store


READERS_EMPTY = {
    "author_query": [], "lookup_document": [], "read_all_documents": [],
    "token_index_list_tokenizers": [], "blame": [], "show_by_author": [],
    "show_by_section": [], "show_by_license": [], "generate_forget_set": b"",
    "jsonl_read": [], "shard_read": [], "shard_iterate_all": [],
    "token_index_merge_pid_files": (0, 0),
    "token_index_token_status": {"total_entries": 0, "active_entries": 0, "revoked_entries": 0,
                                 "total_tokens": 0},
    "show_by_author_token": {"total_tokens": 0, "document_count": 0, "entries": []},
    "revoke_by_author": 0, "revoke_section": 0, "revoke_by_author_token": 0,
    "token_index_revoke_by_sources": 0,
}
# Functions that create what a call into a missing store needs.
CREATES = {"init", "token_index_write_pid", "write_forget_set", "jsonl_append", "clean"}


@pytest.mark.parametrize("missing", ["no_store", "no_project"])
def test_functions_on_a_missing_store(missing, ctx, capfd):
    gone = os.path.join(ctx.root, "gone")
    if missing == "no_store":
        os.mkdir(gone)
    problems = []
    for name in sorted(SIGNATURES):
        args = [a.replace(ctx.d, gone) if isinstance(a, str) else a
                for a in ctx.valid_args(name)]
        if name == "merge_absorb":
            args = [gone, os.path.join(ctx.root, "target")]
        before = tree(ctx.root)
        outcome, result = call(name, args)
        if name in READERS_EMPTY and (outcome, result) != ("ok", READERS_EMPTY[name]):
            problems.append("%s: %s %r" % (name, outcome, result))
        if name not in CREATES and outcome == "RuntimeError" and tree(ctx.root) != before:
            problems.append("%s failed but changed files" % name)
        shutil.rmtree(gone, ignore_errors=True)
        if missing == "no_store":
            os.mkdir(gone)
    assert not problems, "\n".join(problems)
    assert "No purge archive found" in capfd.readouterr().out


# ---------------------------------------------------------------- wrong kinds


def shard_of(ctx, layer, key):
    return kx_path(ctx.d, layer, key[:2])


def replace_with_dir(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)
    os.makedirs(os.path.join(path, "inner"))


def replace_with_file(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    write_bytes(path, b"not a directory\n")


def move_behind_link(path):
    target = path + ".real"
    os.rename(path, target)
    os.symlink(os.path.basename(target), path)


# name -> function of the context that damages the store's shape
SHAPES = {
    "store is a file": lambda c: replace_with_file(kx_path(c.d)),
    "authors layer is a file": lambda c: replace_with_file(kx_path(c.d, "authors")),
    "sections layer is a file": lambda c: replace_with_file(kx_path(c.d, "sections")),
    "document layer is a file": lambda c: replace_with_file(kx_path(c.d, "document-index")),
    "author shard is a directory": lambda c: replace_with_dir(shard_of(c, "authors", c.bob)),
    "section shard is a directory": lambda c: replace_with_dir(shard_of(c, "sections", c.s2)),
    "document shard is a directory": lambda c: replace_with_dir(
        kx_path(c.d, "document-index", kx.compute_hash({"n": 2, "text": "line 2"})[:2])),
    "log is a directory": lambda c: replace_with_dir(kx_path(c.d, "log")),
    "index directory is a file": lambda c: replace_with_file(kx_path(c.d, "index")),
    "index.bin is a directory": lambda c: replace_with_dir(kx_path(c.d, "index.bin")),
    "a group file is a directory": lambda c: replace_with_dir(kx_path(c.d, "index", c.s2[:2])),
    "token index .bin is a directory": lambda c: replace_with_dir(
        kx_path(c.d, "token-index.tok.bin")),
    "merged directory is a file": lambda c: replace_with_file(kx_path(c.d, "token-index.tok")),
    "merged file is a directory": lambda c: replace_with_dir(
        kx_path(c.d, "token-index.tok", "001")),
    "pid file is a directory": lambda c: replace_with_dir(kx_path(c.d, "token-index.tok.1")),
    "archive is a file": lambda c: replace_with_file(kx_path(c.d, "archive")),
    "purge archive is a directory": lambda c: replace_with_dir(
        kx_path(c.d, "archive", "purge.99999999T999999")),
    "revoked-documents file is a directory": lambda c: replace_with_dir(
        kx_path(c.d, "document-index", "revoked", "all")),
    "split is a file": lambda c: replace_with_file(kx_path(c.d, "split")),
    "docidx file is a directory": lambda c: replace_with_dir(kx_path(c.d, "docidx.42")),
    "data file is a directory": lambda c: replace_with_dir(c.data),
    "data file is missing": lambda c: os.remove(c.data),
    "forget-set path is a directory": lambda c: replace_with_dir(c.forget),
    "project directory is a file": lambda c: (shutil.rmtree(c.d), write_bytes(c.d, b"x")),
    "data file behind a link": lambda c: move_behind_link(c.data),
    "data file is a dangling link": lambda c: (os.remove(c.data), os.symlink("nowhere", c.data)),
    "data file is a link loop": lambda c: (os.remove(c.data), os.symlink("data.jsonl", c.data)),
    "section shard behind a link": lambda c: move_behind_link(shard_of(c, "sections", c.s2)),
    "author shard behind a link": lambda c: move_behind_link(shard_of(c, "authors", c.bob)),
    "layer directory behind a link": lambda c: move_behind_link(kx_path(c.d, "document-index")),
    "store directory behind a link": lambda c: move_behind_link(kx_path(c.d)),
    "merged file behind a link": lambda c: move_behind_link(kx_path(c.d, "token-index.tok",
                                                                    "001")),
    "log behind a dangling link": lambda c: (os.remove(kx_path(c.d, "log")),
                                             os.symlink("/nonexistent/log", kx_path(c.d, "log"))),
}


@pytest.mark.parametrize("shape", sorted(SHAPES))
def test_every_function_on_a_store_of_the_wrong_shape(shape, ctx):
    SHAPES[shape](ctx)
    links = {p: os.readlink(p) for p in (os.path.join(dirpath, n) for dirpath, dirs, files
                                         in os.walk(ctx.root) for n in dirs + files)
             if os.path.islink(p)}
    before = ctx.fingerprint()
    for name in sorted(SIGNATURES):
        call(name, ctx.valid_args(name))
    assert not lost_since(before, ctx.fingerprint())
    for path, target in links.items():
        assert os.path.islink(path) and os.readlink(path) == target, path


def test_purge_through_a_link_rewrites_the_file_behind_it(ctx):
    move_behind_link(ctx.data)
    real = ctx.data + ".real"
    kx.revoke_section(ctx.d, ctx.s2)
    result = kx.purge_revoked(ctx.d, ctx.data, False)
    assert result["purged"] > 0
    assert os.path.islink(ctx.data)
    assert read_bytes(real).count(b"\n") == result["kept"]
    assert kx.purge_reverse(ctx.d, ctx.data) == result["purged"]
    assert read_bytes(real).count(b"\n") == result["kept"] + result["purged"]


def test_revocation_through_a_linked_shard_rewrites_the_file_behind_it(ctx):
    shard = shard_of(ctx, "sections", ctx.s2)
    move_behind_link(shard)
    assert kx.revoke_section(ctx.d, ctx.s2) == 1
    assert os.path.islink(shard)
    assert b'"revoked":true' in read_bytes(shard + ".real")


LINE_2_SHARD = os.path.join("document-index", kx.compute_hash({"n": 2, "text": "line 2"})[:2])

# name -> (store entry, where a link in its place leads: a path relative to
# the outside directory, or a relative link as it is written).  The outside
# files look like the entries they replace (a shard with a torn line, which
# a repair would rewrite).
LINKS_OUT = {
    "log to a file": ("log", "notes.txt"),
    "log dangling": ("log", "new.txt"),
    "document shard": (LINE_2_SHARD, "thesis.txt"),
    "layer directory": ("document-index", "dir"),
    "archive directory": ("archive", "dir"),
    "relative link up": ("sections", "../../outside/dir"),
}


@pytest.mark.parametrize("link", sorted(LINKS_OUT))
def test_no_write_follows_a_link_out_of_the_store(link, ctx, kx_cli):
    """A store is input: a link planted in it never makes a function or a
    command write, create or remove anything outside it."""
    outside = os.path.join(ctx.root, "outside")
    os.makedirs(os.path.join(outside, "dir"))
    write_bytes(os.path.join(outside, "thesis.txt"), read_bytes(kx_path(ctx.d, LINE_2_SHARD)) + b'{"torn')
    write_bytes(os.path.join(outside, "notes.txt"), b"notes\n")
    write_bytes(os.path.join(outside, "dir", "ab"), b'{"torn\n')
    entry, target = LINKS_OUT[link]
    path = kx_path(ctx.d, entry)
    shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    os.symlink(target if target.startswith("..") else os.path.join(outside, target), path)
    before = tree(outside)
    for name in sorted(SIGNATURES):
        call(name, ctx.valid_args(name))
    for args in (["check", "--repair"], ["clean"], ["track", "data.jsonl", "--source", ctx.s2, "--retrack"],
                 ["purge", "data.jsonl"], ["revoke", "--author", "Bob"]):
        kx_cli("-C", ctx.d, *args)
    assert tree(outside) == before
    assert os.path.islink(path)


def test_purge_reverse_ends_a_last_line_without_line_feed(ctx):
    with open(ctx.data, "ab") as f:
        f.write(b'{"unterminated":true}')
    restored = kx.purge_reverse(ctx.d, ctx.data)
    assert restored > 0
    lines = read_bytes(ctx.data).split(b"\n")
    assert b'{"unterminated":true}' in lines


# ---------------------------------------------------------------- full and read-only


@contextlib.contextmanager
def small_tmpfs(path, size):
    os.makedirs(path)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs", path],
                          capture_output=True)
    if done.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + done.stderr.decode().strip())
    try:
        yield path
    finally:
        subprocess.run(["umount", "-l", path], check=False)


def fill_up(folder):
    """Takes the file system's free space (except what rounding leaves)."""
    for name, piece in (("filler", 65536), ("filler2", 1)):
        fd = os.open(os.path.join(folder, name), os.O_WRONLY | os.O_CREAT)
        try:
            while os.write(fd, b"\0" * piece):
                pass
        except OSError:
            pass
        finally:
            os.close(fd)


WRITERS = ["init", "author_add", "register_section", "track", "index_document",
           "token_index_write_pid", "token_index_merge_pid_files",
           "token_index_revoke_by_sources", "token_index_build_binary_index", "revoke_by_author",
           "revoke_section", "revoke_by_author_token", "purge_revoked", "purge_by_author_indexd",
           "purge_reverse", "clean", "merge_absorb", "build_index", "write_forget_set",
           "jsonl_append", "oplog_append"]


def test_a_full_disk_loses_nothing_and_the_store_recovers(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with small_tmpfs(str(tmp_path / "disk"), 8 << 20) as disk:
        ctx = Context(disk)
        ctx.forget = os.path.join(disk, "forget.bin")
        fill_up(disk)
        before = ctx.fingerprint()
        outcomes = {}
        for name in WRITERS:
            outcomes[name] = call(name, ctx.valid_args(name))
            assert not lost_since(before, ctx.fingerprint()), name
        failed = [n for n, (o, m) in outcomes.items() if o != "ok"]
        assert len(failed) >= 10, outcomes
        assert all("No space left on device" in outcomes[n][1] or "failed to write" in
                   outcomes[n][1] for n in failed), outcomes
        os.remove(os.path.join(disk, "filler"))
        for name in WRITERS:
            outcome = call(name, ctx.valid_args(name))
            # By then every line may have been purged: an empty data file
            # is refused like a missing one.
            assert outcome[0] == "ok" or outcome[1].startswith("data file not found"), (
                name, outcome)
        assert not lost_since(before, ctx.fingerprint())


def test_a_read_only_store_fails_every_writer_clearly(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with small_tmpfs(str(tmp_path / "disk"), 16 << 20) as disk:
        ctx = Context(disk)
        ctx.forget = os.path.join(disk, "forget.bin")
        before, files = ctx.fingerprint(), tree(disk)
        subprocess.run(["mount", "-o", "remount,ro", disk], check=True)
        for name in WRITERS:
            outcome, message = call(name, ctx.valid_args(name))
            if name == "init" and outcome == "ok":
                continue  # an existing store needs nothing written
            assert outcome == "RuntimeError", (name, message)
            # The system's text, or the context the operation puts around it.
            assert "Read-only file system" in message or message.startswith(
                ("opening ", "creating ")), (name, message)
        for name in sorted(set(SIGNATURES) - set(WRITERS)):
            assert call(name, ctx.valid_args(name))[0] == "ok", name
        assert tree(disk) == files
        subprocess.run(["mount", "-o", "remount,rw", disk], check=True)
        assert not lost_since(before, ctx.fingerprint())


FSIZE_CHILD = r"""
import json, resource, signal, sys
import _kx_native as kx
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[2]), resource.RLIM_INFINITY))
out = {}
for name, args in json.loads(sys.argv[1]):
    try:
        getattr(kx, name)(*args)
        out[name] = "ok"
    except RuntimeError as e:
        out[name] = str(e)
print(json.dumps(out))
"""


@pytest.mark.parametrize("limit", [0, 4096])
def test_writers_under_a_file_size_limit(limit, ctx):
    calls = []
    for name in WRITERS:
        args = ctx.valid_args(name)
        if name == "token_index_revoke_by_sources":
            continue  # a set does not cross JSON; the scan path is covered below
        calls.append((name, [list(a) if isinstance(a, set) else
                             list(a) if isinstance(a, bytes) else a for a in args]))
    calls.append(("revoke_by_author_token", [ctx.d, "Bob", "tok", False]))
    before = ctx.fingerprint()
    p = spawn_python(FSIZE_CHILD, json.dumps(calls), limit)
    out, err = p.communicate(timeout=300)
    assert p.returncode == 0, err.decode()
    outcomes = json.loads(out.decode().strip().splitlines()[-1])
    assert any("File too large" in m for m in outcomes.values()), outcomes
    assert not lost_since(before, ctx.fingerprint())
    for name in WRITERS:
        if name != "write_forget_set":
            call(name, ctx.valid_args(name))
    assert not lost_since(before, ctx.fingerprint())


PARTIAL_CHILD = r"""
import json, os, resource, signal, sys
import _kx_native as kx
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
limit = 4096
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
out = {}
for name, args, path in json.loads(sys.argv[1]):
    # No path: this process's pid file.
    path = path or os.path.join(args[0], ".kx", "token-index.tok.%d" % os.getpid())
    # Whole lines up to just below the limit: the next line fits only in part.
    filler = b'{"filler":"' + b"x" * (limit - 10 - 14) + b'"}\n'
    with open(path, "wb") as f:
        f.write(filler)
    try:
        getattr(kx, name)(*args)
        outcome = "ok"
    except RuntimeError as e:
        outcome = str(e)
    with open(path, "rb") as f:
        out[name] = [outcome, f.read() == filler]
print(json.dumps(out))
"""


def test_a_write_cut_short_leaves_no_partial_line(ctx):
    """A full disk or a file size limit can let only part of an appended
    line reach the file; that part must go again, or the next line appended
    (by any process, once there is room) would join it and be lost."""
    d = ctx.d
    value = {"n": "partial"}
    line_hash = kx.compute_hash(value)
    appends = [
        ("track", [value, "f.jsonl", [ctx.s2], d, None, None],
         kx_path(d, "document-index", line_hash[:2])),
        ("index_document", [d, line_hash, "f.jsonl", [ctx.s2]],
         kx_path(d, "document-index", line_hash[:2])),
        ("author_add", ["Eve", "eve@example.org", d],
         kx_path(d, "authors", kx.author_add("Eve", "eve@example.org", d)[:2])),
        ("register_section", ["e.txt", [], [], "MIT", "2025", d],
         kx_path(d, "sections", kx.register_section("e.txt", [], [], "MIT", "2025", d)[:2])),
        ("jsonl_append", [kx_path(d, "j.jsonl"), {"k": "v" * 40}], kx_path(d, "j.jsonl")),
        ("oplog_append", [d, "note", "n" * 40], kx_path(d, "log")),
        ("token_index_write_pid", [d, "tok", 1, [ctx.s2]], None),
    ]
    p = spawn_python(PARTIAL_CHILD, json.dumps(appends))
    out, err = p.communicate(timeout=120)
    assert p.returncode == 0, err.decode()
    results = json.loads(out.decode().strip().splitlines()[-1])
    for name, (outcome, unchanged) in results.items():
        assert "File too large" in outcome, (name, outcome)
        assert unchanged, name + " left part of its line behind"
