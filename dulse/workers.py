"""Worker processes that count many files at once, and the rules of their lifetime.

`run(function, items, shared, workers)` calls `function(item, *shared)` for every item in
worker processes and returns the results in the order of the items.

- The workers are fresh interpreters started by this process ("spawn"), so they are its
  children and hold nothing of it but `shared`, which each receives once. (The "forkserver"
  method would make them children of the server instead, and they would hold the server's
  pipe open: neither would end when this process is killed.)
- A worker ends when this process ends, whatever ends it: on Linux the kernel sends it SIGKILL
  (PR_SET_PDEATHSIG, asked for first thing, then a check that the parent is still the one that
  started it), which works even while it counts in C code that holds the interpreter lock;
  elsewhere a thread in the worker watches for the parent to go. With the workers gone, the
  resource tracker multiprocessing starts sees the end of its pipe and ends too.
- Workers ignore SIGINT: a Ctrl-C reaches the whole process group, and it is this process
  that decides how the run stops.
- The first failure ends the run: its exception is raised here at once, the queued items are
  dropped and the running workers terminated. A worker that dies (killed, out of memory)
  raises WorkerDied, naming the item it was given and how it ended.
- However `run` is left (a result, an exception, KeyboardInterrupt), no worker outlives it.
"""

import collections
import ctypes
import multiprocessing
import os
import pickle
import signal
import sys
import threading
import time
from concurrent.futures.process import BrokenProcessPool
from multiprocessing.connection import wait

__all__ = ["MAX_JOBS", "WorkerDied", "usable_cpus", "worker_count", "run"]

MAX_JOBS = 1024
_PR_SET_PDEATHSIG = 1
_STOP_SECONDS = 2.0


class WorkerDied(BrokenProcessPool):
    """A worker process ended while it had an item to work on."""


def usable_cpus():
    """The CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def worker_count(jobs, items):
    """The workers to start for `items` items when `jobs` are asked for: no more than the
    items, nor than the CPUs, since a worker keeps one CPU busy and holds its own copy of the
    annotation. Raises ValueError for a jobs that is not a whole number from 1 to MAX_JOBS."""
    if type(jobs) is not int or not 1 <= jobs <= MAX_JOBS:
        raise ValueError(f"jobs must be a whole number from 1 to {MAX_JOBS}, not {jobs!r}")
    return max(1, min(jobs, items, usable_cpus()))


class _Worker:
    __slots__ = ("process", "connection", "task")

    def __init__(self, process, connection):
        self.process = process
        self.connection = connection
        self.task = None


def run(function, items, shared, workers, progress=None, describe=str):
    """function(item, *shared) for every item, in `workers` processes; a list of results.

    function must be importable by name (a module-level function). progress, if given, is
    called here as progress(position, result) when each item is done. describe(item) names an
    item in the message of a worker that died.
    """
    items = list(items)
    results = [None] * len(items)
    queue = collections.deque(enumerate(items))
    context = multiprocessing.get_context("spawn")
    pool = []
    try:
        for _ in range(max(1, min(workers, len(items)))):
            pool.append(_start(context, function, shared))
        for worker in pool:
            _give(worker, queue, items, describe)
        remaining = len(items)
        while remaining:
            handles = {}
            for worker in pool:
                if worker.task is not None:
                    handles[worker.connection] = handles[worker.process.sentinel] = worker
            ready = []
            for handle in wait(list(handles)):
                if handles[handle] not in ready:
                    ready.append(handles[handle])
            for worker in ready:
                position, result = _collect(worker, items, describe)
                results[position] = result
                remaining -= 1
                if progress is not None:
                    progress(position, result)
                _give(worker, queue, items, describe)
    except BaseException:
        _stop(pool, terminate=True)
        raise
    _stop(pool, terminate=False)
    return results


def _start(context, function, shared):
    ours, theirs = context.Pipe()
    process = context.Process(target=_serve, args=(theirs, function, shared, os.getpid()),
                              name="dulse-worker", daemon=True)
    try:
        process.start()
    finally:
        theirs.close()
    return _Worker(process, ours)


def _give(worker, queue, items, describe):
    if not queue:
        return
    position, item = queue.popleft()
    worker.task = position
    try:
        worker.connection.send(item)
    except OSError:
        raise _death(worker, describe(items[position])) from None


def _collect(worker, items, describe):
    position = worker.task
    try:
        if not worker.connection.poll():
            raise EOFError  # the process ended with nothing more to say
        kind, value = worker.connection.recv()
    except (EOFError, OSError):
        raise _death(worker, describe(items[position])) from None
    worker.task = None
    if kind == "error":
        raise value
    return position, value


def _death(worker, item):
    worker.process.join(_STOP_SECONDS)
    code = worker.process.exitcode
    if code is None:
        how = "it stopped answering"
    elif code < 0:
        how = f"killed by signal {-code}"
        if -code == signal.SIGKILL:
            how += "; out of memory?"
        else:
            try:
                how += f", {signal.Signals(-code).name}"
            except ValueError:
                pass
    else:
        how = f"exit status {code}"
    return WorkerDied(f"a worker process died while counting {item} ({how})")


def _stop(pool, terminate):
    """Ends every worker: those asked to stop (terminate) at once, the others when they see
    their connection close; any still there after a moment is killed."""
    for worker in pool:
        if terminate and worker.process.exitcode is None:
            worker.process.terminate()
        worker.connection.close()
    deadline = time.monotonic() + _STOP_SECONDS
    for worker in pool:
        worker.process.join(max(0.0, deadline - time.monotonic()))
        if worker.process.exitcode is None:
            worker.process.kill()
            worker.process.join()
        worker.process.close()


# In the worker.

def _serve(connection, function, shared, parent):
    _follow(parent)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    while True:
        try:
            item = connection.recv()
        except (EOFError, OSError):
            return  # the parent closed the connection: nothing more to do
        try:
            reply = ("done", function(item, *shared))
        except Exception as error:  # noqa: BLE001 - sent to the parent, which raises it
            reply = ("error", _portable(error))
        try:
            connection.send(reply)
        except OSError:
            return


def _portable(error):
    """error, or a RuntimeError with its message when error does not survive pickling."""
    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception:  # noqa: BLE001
        return RuntimeError(f"{type(error).__name__}: {error}")


def _follow(parent):
    """Makes this process end when its parent does."""
    if _ask_for_parent_death_signal():
        if os.getppid() != parent:
            os._exit(1)  # the parent ended before the request was in place
        return
    watcher = threading.Thread(target=_watch, args=(parent,), name="dulse-parent-watch",
                               daemon=True)
    watcher.start()


def _ask_for_parent_death_signal():
    if not sys.platform.startswith("linux"):
        return False
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        return libc.prctl(_PR_SET_PDEATHSIG, ctypes.c_ulong(signal.SIGKILL), ctypes.c_ulong(0),
                          ctypes.c_ulong(0), ctypes.c_ulong(0)) == 0
    except (OSError, AttributeError):
        return False


def _watch(parent):
    while os.getppid() == parent:
        time.sleep(0.5)
    os._exit(1)
