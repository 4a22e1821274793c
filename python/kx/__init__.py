"""kx: command-line front end of the provenance tracker for line-oriented
training data.  The storage and query core is the native module
`_kx_native`; this package turns its functions into the `kx` command
(see `kx --help`)."""

try:
    from importlib.metadata import PackageNotFoundError, version

    __version__ = version("kx")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0.1.0"
