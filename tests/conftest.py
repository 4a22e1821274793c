import json
import os

import pytest
from hypothesis import strategies as st

import _kx_native as kx


@pytest.fixture
def store(tmp_path):
    """A freshly initialised project directory (as str)."""
    d = str(tmp_path / "proj")
    kx.init(d)
    return d


def kx_path(kx_dir, *parts):
    return os.path.join(kx_dir, ".kx", *parts)


def write_bytes(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def token_line(token_count, sources, tokenizer="t", revoked=False, sorted_keys=True):
    """One token-index entry as a compact JSON line (bytes, no line feed)."""
    import json

    fields = {
        "token_count": token_count,
        "sources": list(sources),
        "tokenizer": tokenizer,
        "revoked": revoked,
    }
    return json.dumps(fields, separators=(",", ":"), sort_keys=sorted_keys).encode()


# Strings that test the line scanners' edges: the quote and backslash (escaped),
# a control character (escaped), DEL 0x7f (raw in JSON), non-ASCII.
record_strings = st.text(st.sampled_from('a0 "\\\x01\x7f\u00e9'), max_size=6) | st.text(
    st.characters(blacklist_categories=("Cs",)), max_size=3)

# The ways a record line may be written: compact with sorted keys (as the
# store writes), compact in another key order, with spaces, ASCII escapes.
json_line_forms = st.sampled_from([
    dict(separators=(",", ":"), sort_keys=True, ensure_ascii=False),
    dict(separators=(",", ":"), ensure_ascii=False),
    dict(separators=(", ", ": "), ensure_ascii=False),
    dict(separators=(",", ":"), ensure_ascii=True),
])


def json_line(value, form):
    """`value` as one JSON line (UTF-8 bytes, no line feed) in a form of json_line_forms."""
    return json.dumps(value, **form).encode()


def write_merged(kx_dir, tokenizer, name, lines):
    """Writes a merged token-index file; `lines` are bytes, joined with \\n."""
    path = kx_path(kx_dir, "token-index." + tokenizer, name)
    write_bytes(path, b"".join(line + b"\n" for line in lines))
    return path


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    """The fault-injection shim (fault_shim.c), built for preloading."""
    import shutil
    import subprocess

    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the fault-injection shim")
    out = str(tmp_path_factory.mktemp("shim") / "fault_shim.so")
    src = os.path.join(os.path.dirname(__file__), "fault_shim.c")
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", out, src, "-ldl"], check=True)
    return out


def run_with_shim(shim, setup, code, *args):
    """Runs `code` in a fresh interpreter with the shim preloaded, after
    calling the shim function `setup` = (name, argument); `code` sees the
    shim as `shim` and `args` in sys.argv[1:].  Returns its standard output;
    the child must succeed."""
    name, arg = setup
    prelude = ("import ctypes, sys\nimport _kx_native as kx\n"
               "shim = ctypes.CDLL(%r)\nshim.%s(%d)\n" % (shim, name, arg))
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join(p for p in (env.get("LD_PRELOAD"), shim) if p)
    child = spawn_python(prelude + code, *args, env=env)
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0, err.decode()
    return out.decode()


def spawn_python(code, *args, **popen_kwargs):
    """Starts a fresh interpreter running `code` with `args` in sys.argv[1:];
    it imports the same _kx_native as the tests (PYTHONPATH is inherited)."""
    import subprocess
    import sys

    # The child finds the same module even from another working directory.
    env = dict(popen_kwargs.pop("env", None) or os.environ)
    here = os.path.dirname(os.path.abspath(kx.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH")) if p)
    popen_kwargs["env"] = env
    popen_kwargs.setdefault("stdin", subprocess.PIPE)
    popen_kwargs.setdefault("stdout", subprocess.PIPE)
    popen_kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)], **popen_kwargs)


# ---- Store fingerprints: what must survive crashes and bad input ----


def parse_lines(data):
    """(records, unparsable lines, torn last line) of JSON Lines bytes."""
    import json

    records, bad = [], []
    chunks = data.split(b"\n")
    torn = chunks.pop() if chunks else b""
    for line in chunks:
        line = line.rstrip(b"\r")
        if not line:
            continue
        try:
            records.append(json.loads(line))
        except ValueError:
            bad.append(line)
    return records, bad, torn


def identity(record):
    """A record without its revocation mark, as comparable text."""
    import json

    if isinstance(record, dict):
        record = {k: v for k, v in record.items() if k != "revoked"}
    return json.dumps(record, sort_keys=True)


def canonical_line(line):
    """A data line as a purge archive keeps it: canonical JSON, or null."""
    import json

    try:
        return json.dumps(json.loads(line), sort_keys=True, separators=(",", ":"))
    except ValueError:
        return "null"


# A token-index pid file: prefix, tokenizer, "." and a remainder without "."
# other than "bin" (a process id, or one claimed by a merge under way).
PID_FILE = r"token-index\..+\.(?!bin$)[^.]+"


def fingerprint(kx_dir, data_files=()):
    """Counters of what a store holds, read from its files directly: layer
    records by identity, token entries of pid and merged files, and the
    lines of the data files together with every archived purged line."""
    import json
    import re
    from collections import Counter

    store = os.path.join(kx_dir, ".kx")

    def files_in(folder):
        if not os.path.isdir(folder):
            return []
        paths = (os.path.join(folder, n) for n in os.listdir(folder))
        return [p for p in paths if os.path.isfile(p)]

    def token_key(r):
        return (r["tokenizer"], r["token_count"], tuple(r["sources"]))

    layers = {}
    for name in ("authors", "sections", "document-index"):
        layers[name] = Counter(identity(r) for path in files_in(os.path.join(store, name))
                               for r in parse_lines(read_bytes(path))[0])
    tokens = Counter()
    for path in files_in(store):
        if re.fullmatch(PID_FILE, os.path.basename(path)):
            tokens.update(token_key(r) for r in parse_lines(read_bytes(path))[0])
    merged_dirs = [os.path.join(store, n) for n in os.listdir(store)
                   if n.startswith("token-index.")] if os.path.isdir(store) else []
    for folder in merged_dirs:
        for path in files_in(folder):
            if os.path.basename(path).isdigit():
                tokens.update(token_key(r) for r in parse_lines(read_bytes(path))[0])
    lines = Counter()
    for path in data_files:
        if os.path.isfile(path):
            lines.update(canonical_line(l) for l in read_bytes(path).split(b"\n") if l.strip())
    for path in files_in(os.path.join(store, "archive")):
        if os.path.basename(path).startswith("purge."):
            lines.update(json.dumps(r["line"], sort_keys=True, separators=(",", ":"))
                         for r in parse_lines(read_bytes(path))[0])
    return layers, tokens, lines


def lost_since(before, after):
    """What `before` (a fingerprint) holds that `after` lacks, as text."""
    problems = []
    for name in before[0]:
        if before[0][name] - after[0][name]:
            lost = before[0][name] - after[0][name]
            problems.append("%d %s records lost" % (sum(lost.values()), name))
    if before[1] - after[1]:
        problems.append("%d token entries lost" % sum((before[1] - after[1]).values()))
    if before[2] - after[2]:
        problems.append("%d data lines lost" % sum((before[2] - after[2]).values()))
    return problems


def log_entries(kx_dir):
    """The operation log as (operation, detail) pairs; checks the timestamps."""
    import re

    entries = []
    path = kx_path(kx_dir, "log")
    if not os.path.exists(path):
        return entries
    for line in read_bytes(path).decode().splitlines():
        m = re.fullmatch(r"\d+-\d\d:\d\d:\d\d (\S+) (.*)", line)
        assert m, line
        entries.append((m.group(1), m.group(2)))
    return entries


class _Frozen:
    """Makes a directory or file unchangeable: the immutable attribute as
    root (who ignores permission bits), read-only bits otherwise."""

    def __init__(self, path):
        self.path = str(path)
        self.mode = os.stat(self.path).st_mode

    def __enter__(self):
        import subprocess

        if os.geteuid() == 0:
            r = subprocess.run(["chattr", "+i", self.path], capture_output=True)
            if r.returncode != 0:
                pytest.skip("cannot make a path immutable here")
        elif os.path.isdir(self.path):
            os.chmod(self.path, 0o555)
        else:
            pytest.skip("only root can keep a file from being replaced")
        return self

    def __exit__(self, *exc):
        import subprocess

        if os.geteuid() == 0:
            subprocess.run(["chattr", "-i", self.path], check=True)
        else:
            os.chmod(self.path, self.mode)
        return False


def frozen(path):
    return _Frozen(path)


# The command line (tests/test_cli.py): `python -m kx` in a subprocess, with
# the package found beside the native module when both are installed, else
# in the source tree's python/ directory beside the development build (whose
# kx/ holds only the native kx._core).


def _kx_cli_pythonpath():
    native_dir = os.path.dirname(os.path.abspath(kx.__file__))
    if os.path.isfile(os.path.join(native_dir, "kx", "__init__.py")):
        package_dir = native_dir
    else:
        package_dir = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
    inherited = os.environ.get("PYTHONPATH")
    return os.pathsep.join([native_dir, package_dir] + ([inherited] if inherited else []))


@pytest.fixture(scope="session")
def kx_cli_env():
    env = dict(os.environ, PYTHONPATH=_kx_cli_pythonpath())
    env.pop("KX_PROGRESS", None)
    return env


@pytest.fixture(scope="session")
def kx_cli(kx_cli_env):
    """run(*args, cwd=None) -> CompletedProcess of `python -m kx ARGS`."""
    import subprocess
    import sys

    def run(*args, cwd=None):
        return subprocess.run(
            [sys.executable, "-m", "kx", *args],
            cwd=cwd,
            env=kx_cli_env,
            capture_output=True,
            text=True,
            stdin=subprocess.DEVNULL,
        )

    return run


class CliProject:
    """A project directory and the `kx` command run in it (through kx_cli)."""

    def __init__(self, root, run):
        self.root = str(root)
        self.run = run

    def kx(self, *args):
        return self.run("-C", self.root, *args)

    def ok(self, *args):
        done = self.kx(*args)
        assert done.returncode == 0, f"kx {' '.join(args)}: {done.stderr}"
        return done.stdout

    def json(self, *args):
        import json

        return json.loads(self.ok(*args, "--json"))

    def path(self, *parts):
        return os.path.join(self.root, *parts)


def held_token_entries(kx_dir, tokenizer):
    """Every token entry of a tokenizer, merged and pending, as dicts."""
    import glob
    import json

    store = os.path.join(kx_dir, ".kx")
    paths = sorted(glob.glob(os.path.join(store, "token-index." + tokenizer, "[0-9]*")))
    paths += [p for p in glob.glob(os.path.join(store, "token-index." + tokenizer + ".*"))
              if not p.endswith(".bin")]
    entries = []
    for path in paths:
        with open(path, "rb") as f:
            for line in f.read().splitlines():
                try:
                    entry = json.loads(line)
                except ValueError:
                    continue
                if isinstance(entry, dict) and "token_count" in entry:
                    entries.append(entry)
    return entries
