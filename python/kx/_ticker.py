"""Helper process of `kx.progress.working`: draws the progress of a native
call that rewrites a data file, until its parent terminates it.

Usage: _ticker.py LABEL DATA_FILE SIZE PARENT_PID.  The native rewrite
writes the kept lines to a temporary file beside the data file named
`.kxtmp.<pid>.<n>.<name>`; its size against the data file's size shows how
much has been kept so far.  Before that file appears (while lines are being
classified), only the elapsed time is shown.  Runs with `python -I`, so it
imports nothing of the package."""

import glob
import os
import signal
import sys
import time


def temp_file_size(data_file: str, parent: int) -> int:
    directory, name = os.path.split(data_file)
    pattern = os.path.join(glob.escape(directory), f".kxtmp.{parent}.*.{glob.escape(name)}")
    for path in glob.glob(pattern):
        try:
            return os.path.getsize(path)
        except OSError:
            pass
    return -1


def main() -> None:
    label, data_file, size, parent = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    drawn = 0

    def clear(*_args) -> None:
        if drawn:
            sys.stderr.write("\r" + " " * drawn + "\r")
            sys.stderr.flush()
        os._exit(0)

    signal.signal(signal.SIGTERM, clear)
    start = time.monotonic()
    spinner = "|/-\\"
    tick = 0
    time.sleep(0.3)
    while os.getppid() == parent:
        elapsed = time.monotonic() - start
        written = temp_file_size(data_file, parent)
        # Purged lines are not written, so the size written is no fraction
        # of the work: show it as it is.
        state = f"{written / 1e6:.1f} of {size / 1e6:.1f} MB kept" if written >= 0 else "reading"
        line = f"{label} {spinner[tick % 4]} {state}  {elapsed:.0f}s"
        sys.stderr.write("\r" + line.ljust(drawn))
        sys.stderr.flush()
        drawn = len(line)
        tick += 1
        time.sleep(0.2)
    clear()


if __name__ == "__main__":
    main()
