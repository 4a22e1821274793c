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
