"""Standard streams that may be closed, or whose reader may go away.

`protect_descriptors()`, first thing in the command, opens /dev/null on whichever of the
descriptors 0, 1 and 2 the command was started without (`>&-`), so that no file opened later
takes that number and receives what was meant for the stream. Python starts with sys.stdout
None then, and `check_standard_output()` refuses it with a one-line error before any work is
done. `standard_output()` is where a table is written to stdout: when its reader has gone
(`| head -1`) the command stops quietly with ReaderGone, whose exit status is 141, as for Unix
tools that SIGPIPE ends.
"""

import contextlib
import errno
import io
import os
import sys

__all__ = ["ReaderGone", "READER_GONE_STATUS", "protect_descriptors", "check_standard_output",
           "standard_output"]

READER_GONE_STATUS = 128 + 13  # 128 + SIGPIPE
STDOUT = "standard output"


class ReaderGone(Exception):
    """The reader of standard output closed it before the output was complete."""


def protect_descriptors():
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
            continue
        except OSError:
            pass
        null = os.open(os.devnull, os.O_RDONLY if fd == 0 else os.O_WRONLY)
        if null != fd:
            os.dup2(null, fd)
            os.close(null)
    if sys.stderr is None:
        # Messages then go nowhere, rather than to stdout (print's fallback for None).
        sys.stderr = io.TextIOWrapper(io.FileIO(2, "w", closefd=False), encoding="utf-8",
                                      errors="backslashreplace", line_buffering=True)


def check_standard_output():
    stream = sys.stdout
    if stream is None or getattr(stream, "closed", False):
        raise OSError(errno.EBADF, "closed; give -o FILE to write to a file", STDOUT)


@contextlib.contextmanager
def standard_output():
    """Yields sys.stdout for writing; flushes it at the end. OSErrors name standard output."""
    check_standard_output()
    stream = sys.stdout
    try:
        yield stream
        stream.flush()
    except BrokenPipeError:
        _silence(stream)
        raise ReaderGone() from None
    except OSError as error:
        _silence(stream)
        if error.filename:
            raise
        raise OSError(error.errno, error.strerror or str(error), STDOUT) from None


def _silence(stream):
    # What the stream still buffers would fail again when Python flushes it at exit, and
    # print a complaint; the descriptor is pointed at /dev/null instead.
    try:
        fd = stream.fileno()
    except (OSError, ValueError, io.UnsupportedOperation, AttributeError):
        return
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, fd)
    os.close(null)
