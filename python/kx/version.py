"""What `kx --version` says: kx's version, what its core was built with, and
which optional parts this installation has, with what to install for each
one it lacks."""

from __future__ import annotations

import importlib.util
from importlib.metadata import PackageNotFoundError, version
from typing import List, Optional

from kx import __version__

# Optional Python packages: (what kx uses it for, module, what installs it).
OPTIONAL_PARTS = [
    ("Parquet", "pyarrow", "pip install pyarrow"),
    ("charts", "matplotlib", "pip install matplotlib"),
    ("cluster", "dask", 'pip install "dask[distributed]"'),
]

# What a build without a faster codec library gives up, and how to get it.
FASTER_GZIP = {
    "gzip_reader": ("ISA-L", "Debian's libisal-dev reads gzip about 2.7x as fast"),
    "gzip_writer": ("libdeflate", "Debian's libdeflate-dev writes gzip 2-3x as fast"),
}


def _installed_version(module: str) -> Optional[str]:
    if importlib.util.find_spec(module) is None:
        return None
    try:
        return version(module)
    except PackageNotFoundError:
        return "version unknown"


def _gzip_line(build: dict) -> str:
    parts = []
    for key, verb in (("gzip_reader", "read"), ("gzip_writer", "written")):
        library = build[key]
        text = f"{verb} with {library}"
        faster, hint = FASTER_GZIP[key]
        if not library.startswith(faster):
            text += f" ({hint}; reinstall kx after installing it)"
        parts.append(text)
    return "gzip: " + ", ".join(parts)


def describe() -> str:
    """The lines `kx --version` prints."""
    from kx import _core

    build = _core.build_info()
    lines: List[str] = [
        f"kx {__version__}",
        f"core: {build['compiler']}, {build['build_type']} build",
        _gzip_line(build),
        f"zstd: {build['zstd']}",
    ]
    for role, module, install in OPTIONAL_PARTS:
        found = _installed_version(module)
        if found is None:
            lines.append(f"{role}: not installed ({install})")
        else:
            lines.append(f"{role}: {module} {found}")
    return "\n".join(lines)
