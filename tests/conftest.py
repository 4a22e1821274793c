import os

import pytest

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


def write_merged(kx_dir, tokenizer, name, lines):
    """Writes a merged token-index file; `lines` are bytes, joined with \\n."""
    path = kx_path(kx_dir, "token-index." + tokenizer, name)
    write_bytes(path, b"".join(line + b"\n" for line in lines))
    return path


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
# in the source tree's python/ directory beside the development build.


def _kx_cli_pythonpath():
    native_dir = os.path.dirname(os.path.abspath(kx.__file__))
    if os.path.isdir(os.path.join(native_dir, "kx")):
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
