"""The `kx` command: argument parsing, dispatch and the reporting of failures.

Each command lives in a module of `kx.commands` that registers its parser
and a `run(store, args)` function returning an `Output`.  This module finds
the project as git finds a repository (the nearest directory, from the
current one or `-C DIR` upwards, that holds `.kx`), runs the command there
with its file arguments named relative to the project directory (see
PATHS), prints the result as text or JSON, and turns expected failures (bad
input, refused operations, the native modules' RuntimeError, named with the
file it concerns) into one line `kx: error: ...` on standard error with a
non-zero exit status.  Unexpected exceptions keep their traceback: they are
bugs."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from typing import List, NoReturn, Optional

from kx.commands import COMMAND_MODULES
from kx.errors import KxError, UsageError
from kx.output import emit, one_line
from kx.store import Store, find_project

PATHS = (
    "kx runs in the project: the nearest directory, from the current one upwards, that holds a .kx "
    "store. A relative FILE is taken relative to the current directory and named relative to the "
    "project directory, as it would be given there: a file tracked from a subdirectory is recorded, "
    "looked up and shown under the same name as when kx runs in the project directory itself. An "
    "absolute FILE is kept as given."
)


class Parser(argparse.ArgumentParser):
    """argparse with one-line errors that name the command's help."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {one_line(message)} (see `{self.prog} --help`)\n")


class VersionAction(argparse.Action):
    """--version, which asks the core what it was built with only when given."""

    def __init__(self, option_strings, dest, help=None):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        from kx.version import describe

        print(describe())
        parser.exit(0)


def build_parser() -> Parser:
    parser = Parser(
        prog="kx",
        description="Track where lines of training data come from, and withdraw them when consent ends.",
        epilog=f"{PATHS} Run `kx COMMAND --help` for the options of a command.",
    )
    parser.add_argument(
        "-C",
        dest="directory",
        metavar="DIR",
        help="run as if kx was started in DIR: the project is found from there (default: the current directory)",
    )
    parser.add_argument(
        "--version",
        action=VersionAction,
        help="show kx's version, what its core was built with and which optional parts are installed",
    )
    common = Parser(add_help=False)
    common.add_argument("--json", action="store_true", help="print the result as JSON")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    for module in COMMAND_MODULES:
        module.register(commands, common)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if not getattr(args, "run", None):
        # `kx` alone, or a command group such as `kx author` without its verb.
        target = getattr(args, "group_parser", parser)
        target.print_help(sys.stderr)
        return 2
    try:
        return _run(args)
    except BrokenPipeError:
        # The reader went away (`kx blame f | head`): not a failure of kx.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except KxError as e:
        return _fail(str(e), e.status)
    except RuntimeError as e:  # an operation of a native module failed
        return _fail(_naming_file(str(e), getattr(e, "filename", None)), 1)
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        return _fail(f"{where}{e.strerror or e}", 1)
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return 130


def entry() -> NoReturn:
    """The `kx` command: main(), then the exit.  A command that ran on Dask
    exits without tearing the interpreter down: with Dask loaded that takes
    a tenth of a second, the last of the run, and frees nothing the system
    does not free anyway.  Its client and any local cluster are closed by
    then, and the output is flushed here."""
    status = main()
    if "distributed" in sys.modules:
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(OSError, ValueError):  # a reader gone, a stream closed
                stream.flush()
        os._exit(status)
    sys.exit(status)


def _run(args: argparse.Namespace) -> int:
    if args.directory is not None:
        try:
            os.chdir(args.directory)
        except OSError as e:
            raise KxError(f"cannot change to {args.directory}: {e.strerror}") from None
    if getattr(args, "needs_store", True):
        _enter_project(args)
    store = Store(".")
    output = args.run(store, args)
    emit(output, args.json)
    sys.stdout.flush()
    return output.status


def _enter_project(args: argparse.Namespace) -> None:
    """Changes to the project directory and renames the command's file
    arguments (`path_args`) relative to it."""
    here = os.getcwd()
    root = find_project(here)
    if root is None:
        raise KxError(f"not a kx project: no .kx directory in {here} or any directory above it (run `kx init` first)")
    os.chdir(root)
    prefix = os.path.relpath(here, root)
    for name in getattr(args, "path_args", ()):
        value = getattr(args, name, None)
        if isinstance(value, list):
            setattr(args, name, [_from_project(v, prefix, here) for v in value])
        elif value is not None:
            setattr(args, name, _from_project(value, prefix, here))


def _from_project(path: str, prefix: str, here: str) -> str:
    if prefix == "." or os.path.isabs(path):
        return path
    # A number that names no file is a line number among the paths
    # (`kx blame FILE 12`).
    if path.isdigit() and not os.path.lexists(os.path.join(here, path)):
        return path
    return os.path.normpath(os.path.join(prefix, path))


def _naming_file(message: str, filename: Optional[str]) -> str:
    """The message of a failed operation with the file it concerns in front,
    unless it names the file already."""
    if not filename:
        return message
    name = os.path.normpath(filename)
    if name in message or filename in message:
        return message
    return f"{name}: {message}"


def _fail(message: str, status: int) -> int:
    sys.stderr.write(f"kx: error: {one_line(message)}\n")
    return status


__all__ = ["main", "build_parser", "UsageError"]
