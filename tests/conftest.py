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


def spawn_python(code, *args, **popen_kwargs):
    """Starts a fresh interpreter running `code` with `args` in sys.argv[1:];
    it imports the same _kx_native as the tests (PYTHONPATH is inherited)."""
    import subprocess
    import sys

    popen_kwargs.setdefault("stdin", subprocess.PIPE)
    popen_kwargs.setdefault("stdout", subprocess.PIPE)
    popen_kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)], **popen_kwargs)
