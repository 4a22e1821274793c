"""kx: command-line front end of the provenance tracker for line-oriented
training data.  The storage and query core is the native module
`_kx_native`; this package turns its functions into the `kx` command
(see `kx --help`), and asks its own native module `kx._core` what a store
holds."""

import glob as _glob
import os as _os
from pkgutil import extend_path as _extend_path

# In a source tree (PYTHONPATH=<build>:python) the native kx._core lies in
# the build directory's kx/, not beside this file.
if not any(_glob.glob(_os.path.join(_glob.escape(d), "_core.*.so")) for d in __path__):
    __path__ = _extend_path(__path__, __name__)

try:
    from importlib.metadata import PackageNotFoundError, version

    __version__ = version("kx")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0.1.0"
