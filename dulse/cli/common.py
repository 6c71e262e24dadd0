"""What every dulse command shares: its parser's errors, warnings, failures and progress."""

import argparse
import sys
import warnings
from concurrent.futures.process import BrokenProcessPool

from dulse import signals, stdio
from dulse.errors import InputError


class UsageError(Exception):
    """The command line asks for something that cannot be done."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def whole_number(text):
    """An argparse type: 0 or more."""
    if not text.isdigit():
        raise argparse.ArgumentTypeError("must be a whole number")
    return int(text)


def positive_number(text):
    """An argparse type: 1 or more."""
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError("must be a whole number of at least 1")
    return int(text)


def run_command(args, argv):
    """Runs args.run(args, argv) and turns its failures into one line and an exit status."""
    warnings.simplefilter("default")
    warnings.showwarning = _show_warning
    try:
        return args.run(args, argv)
    except UsageError as error:
        print(f"dulse {args.command}: error: {error} (see dulse {args.command} --help)",
              file=sys.stderr)
        return 2
    except InputError as error:
        print(f"dulse: error: {error}", file=sys.stderr)
        return 1
    except BrokenProcessPool as error:
        print(f"dulse: error: {error or 'a worker process died (out of memory?)'}",
              file=sys.stderr)
        return 1
    except stdio.ReaderGone:
        return stdio.READER_GONE_STATUS
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        print(f"dulse: error: {where}{error.strerror or error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt as interrupt:
        signals.report(interrupt)
        return signals.exit_status(interrupt)


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"dulse: warning: {message}", file=sys.stderr)


class Progress:
    """One line per counted file; on a terminal, also a live line of files done."""

    def __init__(self, stream, total, live):
        self.stream = stream
        self.total = total
        self.live = live
        self.finished = 0
        self._draw()

    def done(self, position, result):
        self.finished += 1
        total = result.total
        share = result.assigned / total if total else 0.0
        self._clear()
        print(f"  {result.path}: {result.records:,} records, {total:,} "
              f"{self.unit}, {result.assigned:,} assigned ({share:.1%})", file=self.stream)
        self._draw()

    unit = "reads"

    def finish(self):
        self._clear()

    def _draw(self):
        if self.live:
            self.stream.write(f"counting: {self.finished} of {self.total} files done")
            self.stream.flush()

    def _clear(self):
        if self.live:
            self.stream.write("\r\x1b[K")
