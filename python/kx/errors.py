"""Failures the command line reports as one line on standard error."""


class KxError(Exception):
    """An expected failure: bad input, a missing file, a refused operation.

    The message is printed as `kx: error: <message>` and the command exits
    with `status` (1 unless a subclass says otherwise)."""

    status = 1


class UsageError(KxError):
    """A command line whose options do not fit together (exit status 2, as
    for argument errors)."""

    status = 2
