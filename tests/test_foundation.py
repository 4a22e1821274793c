"""Module frame, JSON conversion, canonical text, hashing, storage and the log."""
import ast
import contextlib
import hashlib
import inspect
import json
import math
import os
import pathlib
import re
import stat

import numpy as np
import pytest
from hypothesis import example, given, settings, strategies as st

import _kx_native as kx
from kx import _core as core
from conftest import kx_path, read_bytes, write_bytes

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

FUNCTIONS = [
    "init", "author_add", "author_query", "register_section", "track", "index_document",
    "lookup_document", "read_all_documents", "token_index_write_pid",
    "token_index_merge_pid_files", "token_index_list_tokenizers", "token_index_token_status",
    "token_index_revoke_by_sources", "token_index_build_binary_index", "blame", "blame_diff",
    "show_by_author", "show_by_author_token", "show_by_section", "show_by_license",
    "revoke_by_author", "revoke_section", "revoke_by_author_token", "purge_revoked",
    "purge_by_author_indexd", "purge_reverse", "clean", "merge_absorb", "build_index",
    "generate_forget_set", "write_forget_set", "jsonl_read", "jsonl_append", "shard_path_str",
    "shard_read", "shard_iterate_all", "oplog_append", "compute_hash",
]


# ------------------------------------------------------------ module frame --

def test_module_holds_exactly_the_functions_in_table_order():
    public = [n for n in vars(kx) if not n.startswith("__")]
    assert public == FUNCTIONS
    assert kx.__doc__ in ("", None)


def stub_parameters(path):
    """{function: [(parameter, default or None)]} as a stub file declares."""
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    declared = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            defaults = [None] * (len(node.args.args) - len(node.args.defaults)) + [
                ast.literal_eval(d) for d in node.args.defaults
            ]
            declared[node.name] = [(a.arg, d) for a, d in zip(node.args.args, defaults)]
    return declared


@pytest.mark.parametrize("module, stubs", [
    (kx, os.path.join(REPO, "python", "_kx_native.pyi")),
    (core, os.path.join(REPO, "python", "kx", "_core.pyi")),
], ids=["_kx_native", "kx._core"])
def test_every_function_has_the_text_signature_its_stub_declares(module, stubs):
    functions = {name: f for name, f in vars(module).items() if callable(f) and not name.startswith("_")}
    if module is kx:
        assert list(functions) == FUNCTIONS
    declared = stub_parameters(stubs)
    assert set(declared) == set(functions)
    for name, fn in functions.items():
        assert fn.__text_signature__.startswith("("), name
        parameters = [
            (p.name, None if p.default is inspect.Parameter.empty else p.default)
            for p in inspect.signature(fn).parameters.values()
        ]
        assert declared[name] == parameters, name
    sig = inspect.signature(kx.track)
    assert str(sig) == "(data, file, sources, kx_dir, token_count=None, tokenizer=None)"
    assert str(inspect.signature(kx.revoke_section)) == "(kx_dir, section_hash, reverse=False)"
    assert kx.blame_diff.__doc__ == (
        "Compute line-level diff opcodes for blame attribution.\n\n"
        "Returns (tag, i1, i2, j1, j2) tuples compatible with\n"
        "difflib.SequenceMatcher.get_opcodes().")


@pytest.mark.parametrize("call, fragment", [
    (lambda: kx.init("a", "b"), "positional arguments but"),
    (lambda: kx.init(kx_dir="a", bogus=1), "got an unexpected keyword argument 'bogus'"),
    (lambda: kx.init("a", kx_dir="a"), "got multiple values for argument 'kx_dir'"),
    (lambda: kx.purge_revoked("d", "f"), "dry_run"),
    (lambda: kx.init(), "kx_dir"),
])
def test_binding_errors_are_type_errors_naming_the_function(call, fragment):
    with pytest.raises(TypeError) as e:
        call()
    assert fragment in str(e.value)


@pytest.mark.parametrize("call, message", [
    (lambda d: kx.track({}, "f", "abc", d), "argument 'sources': Can't extract `str` to `Vec`"),
    (lambda d: kx.track({}, "f", {"a"}, d), "argument 'sources'"),
    (lambda d: kx.track({}, "f", ["a", 1], d), "argument 'sources'"),
    (lambda d: kx.token_index_revoke_by_sources(d, "t", ["a"]), "argument 'target_sources'"),
    (lambda d: kx.revoke_section(d, "h", reverse=1), "argument 'reverse'"),
    (lambda d: kx.init(pathlib.Path(d)), "argument 'kx_dir'"),
    (lambda d: kx.init(b"x"), "argument 'kx_dir'"),
    (lambda d: kx.init(None), "argument 'kx_dir'"),
    (lambda d: kx.track({}, "f", [], d, token_count=1.5), "argument 'token_count'"),
    (lambda d: kx.write_forget_set(os.path.join(d, "fs"), "abc"), "Can't extract `str` to `Vec`"),
])
def test_conversion_type_errors_name_the_argument(store, call, message):
    with pytest.raises(TypeError) as e:
        call(store)
    assert message in str(e.value)


def test_counts_out_of_range_raise_overflow(store):
    with pytest.raises(OverflowError):
        kx.track({}, "f", [], store, token_count=-1)
    with pytest.raises(OverflowError):
        kx.token_index_write_pid(store, "t", 2**64, [])


def test_lone_surrogate_text_raises_unicode_encode_error(store):
    with pytest.raises(UnicodeEncodeError):
        kx.init("\ud800")


@pytest.mark.parametrize("flag", [True, False, np.bool_(True), np.bool_(False)])
def test_flag_accepts_bools_and_numpy_booleans(store, flag):
    try:
        kx.revoke_section(store, "ab" * 32, flag)
    except RuntimeError:
        pass  # the operation ran; only the conversion is checked here


def test_text_list_accepts_any_sequence_of_str():
    kx.blame_diff(("a",), ["a"])
    for bad in (range(3), (s for s in ["a"]), {"a"}, {"a": 1}, None):
        with pytest.raises(TypeError):
            kx.blame_diff(["a"], bad)


def test_byte_string_accepts_bytes_bytearray_and_int_sequences(store):
    p = os.path.join(store, "mask")
    for value in (b"\x01\x02", bytearray(b"\x01\x02"), [1, 2]):
        try:
            kx.write_forget_set(p, value)
        except RuntimeError as e:
            pytest.skip(str(e))
        assert read_bytes(p) == b"\x01\x02"


def test_operation_failure_is_runtime_error_with_outermost_message(tmp_path):
    with pytest.raises(RuntimeError) as e:
        kx.oplog_append(str(tmp_path / "nostore"), "x", "y")
    assert str(e.value) == "No such file or directory (os error 2)"
    assert not (tmp_path / "nostore").exists()


# --------------------------------------------------------- JSON conversion --

@pytest.mark.parametrize("value, expected", [
    ({"b": 1, "a": [1, 2.5, None, True]}, {"a": [1, 2.5, None, True], "b": 1}),
    (2**63, 9.223372036854776e18),
    (2**64, 1.8446744073709552e19),
    (-2**63, -2**63),
    (2**63 - 1, 2**63 - 1),
    ({1: "x"}, {"1": "x"}),
    ({None: 1, True: 2}, {"null": 1, "true": 2}),
    ((1, 2), [1, 2]),
    ("é\t\"\\", "é\t\"\\"),
    ("\U0001f600", "\U0001f600"),
])
def test_values_round_trip_through_a_jsonl_file(tmp_path, value, expected):
    p = str(tmp_path / "f.jsonl")
    kx.jsonl_append(p, value)
    got = kx.jsonl_read(p)
    assert got == [expected]
    assert type(got[0]) is type(expected)


def test_objects_come_back_with_sorted_keys(tmp_path):
    p = str(tmp_path / "f.jsonl")
    kx.jsonl_append(p, {"b": 1, "a": 2, "é": 3, "Z": 4})
    assert list(kx.jsonl_read(p)[0]) == ["Z", "a", "b", "é"]


@pytest.mark.parametrize("value, exc, message", [
    ({(1, 2): "x"}, TypeError, None),
    ({1, 2}, TypeError, None),
    (b"x", TypeError, None),
    (float("nan"), RuntimeError, "expected value at line 1 column 1"),
    ({"a": float("-inf")}, RuntimeError, None),
    (float("inf"), RuntimeError, None),
    ("\ud800", RuntimeError, "lone leading surrogate in hex escape"),
    ([[[[[[[[[[]]]]]]]]]] * 1, None, None),
])
def test_json_data_refusals(value, exc, message):
    if exc is None:
        kx.compute_hash(value)
        return
    with pytest.raises(exc) as e:
        kx.compute_hash(value)
    if message:
        assert str(e.value).startswith(message)


def test_nesting_limit_is_128():
    kx.compute_hash(json.loads("[" * 128 + "]" * 128))
    with pytest.raises(RuntimeError, match="recursion limit exceeded"):
        kx.compute_hash(json.loads("[" * 129 + "]" * 129))


def test_circular_structure_raises_value_error():
    a = []
    a.append(a)
    with pytest.raises(ValueError):
        kx.compute_hash(a)


class OddDict(dict):
    """json.dumps takes the members of a dict subclass from its items()."""

    def items(self):
        return [("odd", 1)]


class OddList(list):
    """json.dumps takes the items of a list subclass by iterating it."""

    def __iter__(self):
        return iter([7])


class Text(str):
    pass


class Count(int):
    pass


class Real(float):
    pass


def nested(depth, leaf, kinds):
    for i in range(depth):
        kind = kinds[i % len(kinds)]
        leaf = {"k": leaf} if kind == "d" else [leaf] if kind == "l" else (leaf,)
    return leaf


# Data the module converts directly, and data whose meaning it leaves to
# json.dumps and the parser (one such piece anywhere sends the whole value
# that way).
plain_text = (
    st.text(max_size=8) | st.text(st.sampled_from('ab "\\\x01\x1f\x7fé\U0001f600'), max_size=40)
    | st.sampled_from(["\U0001f600", "\uffff", "\U00010000", "\ue000", "\x00\x1f\x7f\"\\/", "1",
                       "true", "null"]))
plain_leaves = (
    st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | plain_text
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.sampled_from([2**63 - 1, 2**63, 2**64 - 1, -2**63, -0.0, 1e16, 1e15, 5e-324, 1e-5, 1e-6,
                       1.7976931348623157e308]))
doubtful_leaves = (
    st.sampled_from([math.nan, math.inf, -math.inf, 2**64, -2**63 - 1, 10**400, b"x", "a\ud800",
                     "\udc00", "\ud83d\ude00"])
    | st.text(st.characters(categories=["Cs"]), min_size=1, max_size=2)
    | st.builds(Text, plain_text) | st.builds(Count, st.integers()) | st.builds(Real, st.floats()))
doubtful_keys = (plain_text | st.integers(-3, 3) | st.booleans() | st.none() | st.floats()
                 | st.just((1, 2)))


def json_containers(children):
    return (st.lists(children, max_size=4) | st.lists(children, max_size=4).map(tuple)
            | st.dictionaries(plain_text, children, max_size=4)
            | st.dictionaries(plain_text, st.integers(), min_size=33, max_size=40))


python_json_data = (
    st.recursive(plain_leaves, json_containers, max_leaves=24)
    | st.recursive(plain_leaves | doubtful_leaves, lambda children: (
        json_containers(children) | st.dictionaries(doubtful_keys, children, max_size=3)
        | st.dictionaries(plain_text, children, max_size=2).map(OddDict)
        | st.lists(children, max_size=2).map(OddList)), max_leaves=12)
    | st.builds(nested, st.integers(124, 132), plain_leaves,
                st.sampled_from(["l", "d", "t", "ldt"])))


@contextlib.contextmanager
def json_dumps_replaced():
    """json.dumps replaced by a function that only delegates to it: the
    module must notice, call it, and so take the json.dumps way."""
    original = json.dumps
    calls = []

    def delegate(obj):
        calls.append(obj)
        return original(obj)

    json.dumps = delegate
    try:
        yield calls
    finally:
        json.dumps = original


@pytest.fixture(scope="module")
def jsonl_file(tmp_path_factory):
    return str(tmp_path_factory.mktemp("jsonl") / "f.jsonl")


def conversion_outcomes(value, path):
    """compute_hash's result and the bytes jsonl_append writes, or each one's
    error as (type, message)."""
    def append(v):
        if os.path.exists(path):
            os.unlink(path)
        kx.jsonl_append(path, v)
        return read_bytes(path)

    out = []
    for fn in (kx.compute_hash, append):
        try:
            out.append(fn(value))
        except Exception as e:
            out.append((type(e), str(e)))
    return out


@settings(max_examples=600, deadline=None)
@given(python_json_data)
@example({"\ud83d\ude00": 1, "\U0001f600": 2})  # keys that are one after json.dumps
@example({1: "a", "1": "b"})
def test_direct_conversion_matches_the_json_dumps_way(jsonl_file, value):
    direct = conversion_outcomes(value, jsonl_file)
    with json_dumps_replaced() as calls:
        general = conversion_outcomes(value, jsonl_file)
    assert len(calls) == 2
    assert direct == general


# ----------------------------------------------------------- canonical text --

def canonical_float(f):
    """Independent formatter of the canonical float forms, from repr()."""
    if f == 0:
        return "-0.0" if math.copysign(1, f) < 0 else "0.0"
    sign = "-" if f < 0 else ""
    mantissa, _, exp = ("%r" % abs(f)).partition("e")
    exp = int(exp or 0)
    whole, _, frac = mantissa.partition(".")
    digits = (whole + frac).lstrip("0")
    exp += len(whole.lstrip("0")) - 1 if whole.strip("0") else -(len(frac) - len(frac.lstrip("0")) + 1)
    digits = digits.rstrip("0") or "0"
    n = len(digits)
    if -5 <= exp <= 15:
        if exp < 0:
            body = "0." + "0" * (-exp - 1) + digits
        elif exp < n - 1:
            body = digits[:exp + 1] + "." + digits[exp + 1:]
        else:
            body = digits + "0" * (exp + 1 - n) + ".0"
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "") + "e" + ("-" if exp < 0 else "+") + str(abs(exp))
    return sign + body


def canonical(v):
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, int):
        return str(v) if -2**63 <= v < 2**64 else canonical(float(v))
    if isinstance(v, float):
        return canonical_float(v)
    if isinstance(v, str):
        return json.dumps(v, ensure_ascii=False)
    if isinstance(v, list):
        return "[" + ",".join(canonical(x) for x in v) + "]"
    items = sorted(v.items(), key=lambda kv: kv[0].encode())
    return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + canonical(x) for k, x in items) + "}"


@pytest.mark.parametrize("value, text", [
    ("abc", '"abc"'),
    ({"b": 1, "a": 2}, '{"a":2,"b":1}'),
    ([1, 2.5, None, True], "[1,2.5,null,true]"),
    (1e-5, "0.00001"), (1e16, "1e+16"), (1e-6, "1e-6"), (0.05, "0.05"), (12.34, "12.34"),
    (1.0, "1.0"), (120.0, "120.0"), (1e15, "1000000000000000.0"), (1.5e-7, "1.5e-7"),
    (2.5e300, "2.5e+300"), (-0.0, "-0.0"), (5e-324, "5e-324"), (-1, "-1"),
    ("\t\u00e9\u001f\u007f/", '"\\t\u00e9\\u001f\u007f/"'),
    ("\b\f\n\r\"\\", '"\\b\\f\\n\\r\\"\\\\"'),
])
def test_canonical_forms(tmp_path, value, text):
    p = str(tmp_path / "f.jsonl")
    kx.jsonl_append(p, value)
    assert read_bytes(p) == text.encode() + b"\n"
    assert kx.compute_hash(value) == hashlib.sha256(text.encode()).hexdigest()


def test_known_hashes():
    assert kx.compute_hash("abc") == "6cc43f858fbb763301637b5af970e2a46b46f461f27e5a0f41e009c59b827b25"
    assert kx.compute_hash({"b": 1, "a": 2}) == kx.compute_hash({"a": 2, "b": 1}) == \
        "d3626ac30a87e6f7a6428233b3c68299976865fa5508e4267c5415c76af7a772"
    assert kx.compute_hash(1) != kx.compute_hash(1.0)
    assert kx.compute_hash((1, 2)) == kx.compute_hash([1, 2])


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(min_value=-2**70, max_value=2**70)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(), children, max_size=4),
    max_leaves=20,
)


@settings(max_examples=400, deadline=None)
@given(json_values)
def test_hash_is_sha256_of_independent_canonical_text(value):
    assert kx.compute_hash(value) == hashlib.sha256(canonical(value).encode()).hexdigest()


@settings(max_examples=2000, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_float_forms_match_independent_formatter(f):
    assert kx.compute_hash(f) == hashlib.sha256(canonical_float(f).encode()).hexdigest()


# ------------------------------------------------------------------ storage --

def test_init_creates_the_layout_and_is_idempotent(tmp_path):
    d = str(tmp_path / "new" / "proj")
    kx.init(d)
    for name in ("authors", "sections", "document-index", "index"):
        assert os.path.isdir(kx_path(d, name))
    assert read_bytes(kx_path(d, "log")) == b""
    write_bytes(kx_path(d, "authors", "ab"), b"keep\n")
    kx.oplog_append(d, "x", "y")
    log = read_bytes(kx_path(d, "log"))
    kx.init(d)
    assert read_bytes(kx_path(d, "authors", "ab")) == b"keep\n"
    assert read_bytes(kx_path(d, "log")) == log


def test_init_in_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    kx.init("")
    assert os.path.isdir(tmp_path / ".kx" / "authors")


def test_init_over_a_regular_file_fails(tmp_path):
    d = tmp_path / "p"
    d.mkdir()
    (d / ".kx").write_text("x")
    with pytest.raises(RuntimeError, match=r"(Not a directory|File exists) \(os error"):
        kx.init(str(d))


@pytest.mark.parametrize("args, expected", [
    (("/p", "authors", "ab12"), "/p/.kx/authors/ab"),
    (("/p/", "authors", "AB"), "/p/.kx/authors/AB"),
    (("/p", "/x", "ab"), "/x/ab"),
    (("/p", "authors/", "cd"), "/p/.kx/authors/cd"),
    (("/p", "", "cd"), "/p/.kx/cd"),
    (("/p", "authors", "/e"), "/e"),
    (("/p", "authors", "éa"), "/p/.kx/authors/é"),
])
def test_shard_paths(args, expected):
    assert kx.shard_path_str(*args) == expected


@pytest.mark.parametrize("hash_hex", ["a", "", "aé"])
def test_shard_path_refuses_hashes_that_name_no_shard(store, hash_hex):
    with pytest.raises(RuntimeError):
        kx.shard_path_str(store, "authors", hash_hex)
    with pytest.raises(RuntimeError):
        kx.shard_read(store, "authors", hash_hex)


def test_readers_skip_blank_crlf_and_malformed_lines(tmp_path):
    p = tmp_path / "f.jsonl"
    p.write_bytes(b'{"a":1}\r\n\r\n  \nnot json\n[1,\n{"a":1,"a":3}\n"\xff"\n{"b":2}')
    assert kx.jsonl_read(str(p)) == [{"a": 1}, {"a": 3}, {"b": 2}]


def test_missing_empty_and_bom_files(tmp_path):
    assert kx.jsonl_read(str(tmp_path / "missing")) == []
    (tmp_path / "empty").write_bytes(b"")
    assert kx.jsonl_read(str(tmp_path / "empty")) == []
    (tmp_path / "bom").write_bytes(b'\xef\xbb\xbf{"a":1}\n{"b":2}\n')
    assert kx.jsonl_read(str(tmp_path / "bom")) == [{"b": 2}]
    with pytest.raises(RuntimeError):
        kx.jsonl_read(str(tmp_path))


def test_unreadable_file_is_an_error(tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root reads everything")
    p = tmp_path / "f"
    p.write_text('{"a":1}\n')
    p.chmod(0)
    with pytest.raises(RuntimeError, match="Permission denied"):
        kx.jsonl_read(str(p))


def test_append_needs_the_directory(tmp_path):
    with pytest.raises(RuntimeError, match="No such file or directory"):
        kx.jsonl_append(str(tmp_path / "missing" / "f"), 1)
    assert not (tmp_path / "missing").exists()


def test_shard_iterate_all_reads_only_two_hex_digit_files(store):
    layer = kx_path(store, "sections")
    write_bytes(os.path.join(layer, "0a"), b'{"n":1}\n{"n":2}\n')
    write_bytes(os.path.join(layer, "Ff"), b'{"n":3}\n')
    write_bytes(os.path.join(layer, "abc"), b'{"n":4}\n')
    write_bytes(os.path.join(layer, "zz"), b'{"n":5}\n')
    os.makedirs(os.path.join(layer, "cd"))
    got = kx.shard_iterate_all(store, "sections")
    assert sorted(r["n"] for r in got) == [1, 2, 3]
    assert [r["n"] for r in got if r["n"] < 3] == [1, 2]
    assert kx.shard_iterate_all(store, "nolayer") == []
    assert kx.shard_read(store, "sections", "0a99") == [{"n": 1}, {"n": 2}]


def test_reading_a_file_truncated_meanwhile_is_safe(tmp_path):
    # Reads never map files, so a concurrent truncation cannot fault the
    # process; here we only check that a shrinking file reads consistently.
    p = tmp_path / "f.jsonl"
    p.write_bytes(b'{"a":1}\n' * 1000)
    with open(p, "r+b") as f:
        f.truncate(8 * 10)
        assert len(kx.jsonl_read(str(p))) == 10


# ---------------------------------------------------------------------- log --

def test_oplog_line_format(store):
    kx.oplog_append(store, "x", "y z")
    kx.oplog_append(store, "op", "two\nlines")
    lines = read_bytes(kx_path(store, "log")).decode().split("\n")
    assert re.fullmatch(r"\d+-\d\d:\d\d:\d\d x y z", lines[0])
    assert lines[1].endswith(" op two") and lines[2] == "lines" and lines[3] == ""


def test_oplog_timestamp_matches_the_clock(store):
    import time
    before = int(time.time())
    kx.oplog_append(store, "x", "y")
    after = int(time.time())
    stamp = read_bytes(kx_path(store, "log")).decode().split(" ")[0]
    days, hms = stamp.split("-")
    h, m, s = map(int, hms.split(":"))
    assert before <= int(days) * 86400 + h * 3600 + m * 60 + s <= after
