"""The command's response to SIGINT, SIGTERM and SIGHUP: the run stops as it does on Ctrl-C.

Inside `handled()`, each of these signals raises in the main thread (KeyboardInterrupt for
SIGINT, Terminated, a KeyboardInterrupt, for the others), so that the code on the way out
removes temporary files and stops worker processes; the command then exits with 128 plus the
signal's number (130, 143, 129), as a shell reports a command a signal ended. Once one signal
has been taken, later ones are ignored, so that a second Ctrl-C or a repeated SIGTERM cannot
break off that cleanup. A signal that was ignored when the command started (SIGHUP under
nohup, SIGINT for a background job of a script) stays ignored.
"""

import contextlib
import signal
import sys
import threading

__all__ = ["Terminated", "handled", "exit_status", "report"]

HANDLED = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                if hasattr(signal, name))


class Terminated(KeyboardInterrupt):
    """The run was stopped by a signal other than SIGINT."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


@contextlib.contextmanager
def handled(signums=HANDLED):
    if threading.current_thread() is not threading.main_thread():
        yield  # signal handlers can only be set from the main thread
        return
    taken = []

    def handler(signum, frame):
        if taken:
            return
        taken.append(signum)
        if signum == signal.SIGINT:
            raise KeyboardInterrupt
        raise Terminated(signum)

    previous = {}
    try:
        for signum in signums:
            if signal.getsignal(signum) is not signal.SIG_IGN:
                previous[signum] = signal.signal(signum, handler)
        yield
    finally:
        for signum, action in previous.items():
            signal.signal(signum, action)


def exit_status(interrupt):
    """128 plus the number of the signal that raised this KeyboardInterrupt."""
    return 128 + getattr(interrupt, "signum", signal.SIGINT)


def report(interrupt, program="dulse"):
    """Says on stderr why the run stopped, if stderr still takes it."""
    signum = getattr(interrupt, "signum", None)
    message = "\n{program}: interrupted" if signum is None else \
        "{program}: stopped by " + signal.Signals(signum).name
    try:
        print(message.format(program=program), file=sys.stderr, flush=True)
    except (OSError, ValueError, AttributeError):
        pass  # a terminal that hung up, a closed stderr
