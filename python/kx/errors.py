"""Failures the command line reports as one line on standard error."""

import contextlib
import os
from typing import Iterator


class KxError(Exception):
    """An expected failure: bad input, a missing file, a refused operation.

    The message is printed as `kx: error: <message>` and the command exits
    with `status` (1 unless a subclass says otherwise)."""

    status = 1


class UsageError(KxError):
    """A command line whose options do not fit together (exit status 2, as
    for argument errors)."""

    status = 2


@contextlib.contextmanager
def working_on(operation: str, data_file: str) -> Iterator[None]:
    """Puts the operation and its data file in front of a native failure
    that does not name the data file, such as a full disk while a shard is
    written: "tracking train.jsonl: .kx/document-index/05: No space left
    on device".  The file a failure concerns (its `filename`) follows."""
    try:
        yield
    except RuntimeError as e:
        message = str(e)
        filename = getattr(e, "filename", None)
        if filename:
            name = os.path.relpath(filename) if os.path.isabs(filename) else os.path.normpath(filename)
            if name not in message and filename not in message:
                message = f"{name}: {message}"
        if os.path.normpath(data_file) not in message and data_file not in message:
            message = f"{operation} {data_file}: {message}"
        raise KxError(message) from None
