"""The `kx` command: argument parsing, dispatch and the reporting of failures.

Each command lives in a module of `kx.commands` that registers its parser
and a `run(store, args)` function returning an `Output`.  This module runs
it in the project directory (`-C DIR`, like git), prints the result as text
or JSON, and turns expected failures (bad input, refused operations, the
native module's RuntimeError) into one line `kx: error: ...` on standard
error with a non-zero exit status.  Unexpected exceptions keep their
traceback: they are bugs."""

from __future__ import annotations

import argparse
import os
import sys
from typing import List, NoReturn, Optional

from kx import __version__
from kx.commands import COMMAND_MODULES
from kx.errors import KxError, UsageError
from kx.output import emit, one_line
from kx.store import Store


class Parser(argparse.ArgumentParser):
    """argparse with one-line errors that name the command's help."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {one_line(message)} (see `{self.prog} --help`)\n")


def build_parser() -> Parser:
    parser = Parser(
        prog="kx",
        description="Track where lines of training data come from, and withdraw them when consent ends.",
        epilog="Run `kx COMMAND --help` for the options of a command.",
    )
    parser.add_argument(
        "-C",
        dest="directory",
        metavar="DIR",
        help="run as if kx was started in DIR (the project directory; default: the current directory)",
    )
    parser.add_argument("--version", action="version", version=f"kx {__version__}")
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
    except RuntimeError as e:  # an operation of the native module failed
        return _fail(str(e), 1)
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        return _fail(f"{where}{e.strerror or e}", 1)
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return 130


def _run(args: argparse.Namespace) -> int:
    if args.directory is not None:
        try:
            os.chdir(args.directory)
        except OSError as e:
            raise KxError(f"cannot change to {args.directory}: {e.strerror}") from None
    store = Store(".")
    if getattr(args, "needs_store", True):
        store.require()
    output = args.run(store, args)
    emit(output, args.json)
    sys.stdout.flush()
    return output.status


def _fail(message: str, status: int) -> int:
    sys.stderr.write(f"kx: error: {one_line(message)}\n")
    return status


__all__ = ["main", "build_parser", "UsageError"]
