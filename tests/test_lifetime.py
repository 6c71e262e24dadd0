"""How a run with worker processes ends: by a signal to the command, by a failed file, by a
worker that dies. No process it started may outlive it, and no temporary file is left.

A worker is kept busy, without using CPU, by a FIFO given as a BAM file: the test holds the
FIFO open for writing and writes nothing, so the worker waits in read() for the header.
"""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from dulse import workers
from dulse.quantify import BamError, count_bams, read_annotation

pytestmark = [
    pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc"),
    pytest.mark.skipif(workers.usable_cpus() < 2, reason="two workers need two CPUs"),
]

GTF = "chr1\tsrc\texon\t101\t200\t.\t+\t.\tgene_id \"G1\";\n"
TIMEOUT = 15


@pytest.fixture
def folder(tmp_path):
    """The command's folder; its stderr goes beside it."""
    run = tmp_path / "run"
    run.mkdir()
    (run / "genes.gtf").write_text(GTF)
    (run / "counts.txt").write_text("earlier\n")
    return run


@pytest.fixture
def fifos(folder):
    """Factory: fifos(n) -> paths of n FIFOs, each held open (for writing) by this test."""
    held = []

    def make(count):
        paths = []
        for number in range(count):
            path = folder / f"stalled{len(held)}.bam"
            os.mkfifo(path)
            held.append(os.open(path, os.O_RDWR | os.O_NONBLOCK))
            paths.append(str(path))
        return paths

    yield make
    for fd in held:
        os.close(fd)


def start(folder, *bams):
    # stderr goes to a file: a pipe would stay open as long as any process the command
    # started, and waiting for its end would wait for them.
    with open(folder.parent / "stderr.txt", "w") as err:
        process = subprocess.Popen(
            [sys.executable, "-m", "dulse", "count", "-a", str(folder / "genes.gtf"), "-j",
             "2", "-o", str(folder / "counts.txt"), *bams],
            cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
    process.err_path = folder.parent / "stderr.txt"
    return process


def finish(process):
    try:
        process.wait(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        pytest.fail(f"the command was still running after {TIMEOUT} s")
    return process.returncode, process.err_path.read_text()


def children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as handle:
                    fields = handle.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                found.append(int(entry))
    return found


def descendants(pid):
    found = []
    for child in children(pid):
        found += [child] + descendants(child)
    return found


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as handle:
            return handle.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def holding(pid, paths):
    """Which of paths process pid has open."""
    try:
        links = {os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")}
    except OSError:
        return set()
    return links & set(paths)


def assert_nobody_holds(paths):
    """That no process but this one keeps any of paths open, within a moment."""
    deadline = time.monotonic() + 5
    while True:
        holders = [pid for pid in map(int, filter(str.isdigit, os.listdir("/proc")))
                   if pid != os.getpid() and alive(pid) and holding(pid, paths)]
        if not holders or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    for pid in holders:
        os.kill(pid, signal.SIGKILL)
    assert holders == []


def wait_for_workers(main, paths):
    """{path: worker pid} once each of paths is open in a worker of process main."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        found = {path: pid for pid in descendants(main.pid) for path in holding(pid, paths)}
        if len(found) == len(paths):
            return found
        assert main.poll() is None, main.err_path.read_text()
        time.sleep(0.05)
    main.kill()
    main.wait()
    pytest.fail(f"no workers read {paths} after {TIMEOUT} s: {main.err_path.read_text()}")


def assert_all_end(pids):
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and any(map(alive, pids)):
        time.sleep(0.05)
    survivors = [pid for pid in pids if alive(pid)]
    for pid in survivors:
        os.kill(pid, signal.SIGKILL)
    assert survivors == []


def assert_outputs_untouched(folder):
    assert (folder / "counts.txt").read_text() == "earlier\n"
    assert not (folder / "counts.txt.summary").exists()
    assert [name for name in os.listdir(folder) if name.startswith(".")] == []


@pytest.mark.parametrize("signum, status, message", [
    (signal.SIGTERM, 143, "dulse: stopped by SIGTERM"),
    (signal.SIGHUP, 129, "dulse: stopped by SIGHUP"),
    (signal.SIGINT, 130, "dulse: interrupted"),
    (signal.SIGKILL, -signal.SIGKILL, None),
], ids=lambda value: value.name if isinstance(value, signal.Signals) else None)
def test_a_signal_ends_the_run_and_all_its_processes(folder, fifos, signum, status, message):
    if signum == signal.SIGINT and signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        pytest.skip("SIGINT is ignored here, and so in the command")
    paths = fifos(3)
    main = start(folder, *paths)
    wait_for_workers(main, paths[:2])
    started = descendants(main.pid)
    assert len(started) >= 3  # two workers and multiprocessing's resource tracker
    main.send_signal(signum)
    code, err = finish(main)
    assert code == status
    if message is not None:
        assert err.splitlines()[-1] == message
        assert "Traceback" not in err
        assert_outputs_untouched(folder)
    assert_all_end(started)


def test_a_failed_file_stops_the_run_at_once(folder, fifos):
    broken = folder / "broken.bam"
    broken.write_text("not a BAM\n")
    stalled = fifos(3)
    main = start(folder, stalled[0], str(broken), *stalled[1:])
    code, err = finish(main)
    assert code == 1
    assert [line for line in err.splitlines() if line.startswith("dulse:")] == [
        f"dulse: error: {broken}: file does not contain alignment data"]
    assert_outputs_untouched(folder)
    assert_nobody_holds(stalled)


@pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGTERM],
                         ids=lambda value: value.name)
def test_a_dead_worker_is_reported_with_its_file(folder, fifos, signum):
    paths = fifos(3)
    main = start(folder, *paths)
    busy = wait_for_workers(main, paths[:2])
    started = descendants(main.pid)
    os.kill(busy[paths[1]], signum)
    code, err = finish(main)
    how = "killed by signal 9; out of memory?" if signum == signal.SIGKILL else \
        f"killed by signal {signum}, {signum.name}"
    assert code == 1
    assert err.splitlines()[-1] == \
        f"dulse: error: a worker process died while counting {paths[1]} ({how})"
    assert_outputs_untouched(folder)
    assert_all_end(started)


def test_the_api_stops_at_a_failed_file_and_leaves_no_worker(folder, fifos):
    broken = folder / "broken.bam"
    broken.write_text("not a BAM\n")
    annotation = read_annotation(str(folder / "genes.gtf"))
    stalled = fifos(1)
    raised = []

    def call():
        try:
            count_bams([stalled[0], str(broken)], annotation, jobs=2)
        except BaseException as error:  # noqa: BLE001 - examined below
            raised.append(error)

    # In a thread of its own, so that waiting for the stalled file fails the test rather than
    # hanging it.
    thread = threading.Thread(target=call, daemon=True)
    thread.start()
    thread.join(TIMEOUT)
    assert not thread.is_alive(), "count_bams still waits for the stalled file"
    assert [type(error) for error in raised] == [BamError]
    assert str(raised[0]).startswith(f"{broken}: ")
    assert_nobody_holds(stalled)
