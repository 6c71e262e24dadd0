"""How a run with two workers ends: by a signal to the command or to a worker, or by a failed
file. No process it started may outlive it, and no temporary file is left. A FIFO given as a
BAM file keeps a worker waiting, without CPU: the test holds it open and writes nothing."""

import os
import signal
import subprocess
import sys
import time

import pytest

from dulse import workers

pytestmark = pytest.mark.skipif(not os.path.isdir("/proc/self/fd") or workers.usable_cpus() < 2,
                                reason="needs /proc and two CPUs")
TIMEOUT = 15


@pytest.fixture
def folder(tmp_path):
    (tmp_path / "genes.gtf").write_text("chr1\tsrc\texon\t101\t200\t.\t+\t.\tgene_id \"G1\";\n")
    (tmp_path / "counts.txt").write_text("earlier\n")
    broken = tmp_path / "broken.bam"
    broken.write_text("not a BAM\n")
    held = []
    for number in range(3):
        os.mkfifo(tmp_path / f"stalled{number}.bam")
        held.append(os.open(tmp_path / f"stalled{number}.bam", os.O_RDWR | os.O_NONBLOCK))
    yield tmp_path
    for fd in held:
        os.close(fd)


def stalled(folder):
    return [str(folder / f"stalled{number}.bam") for number in range(3)]


def start(folder, *bams):
    # stderr to a file: a pipe would stay open while any process the command started lives.
    with open(folder.parent / "stderr.txt", "w") as err:
        return subprocess.Popen([sys.executable, "-m", "dulse", "count", "-a", "genes.gtf",
                                 "-j", "2", "-o", "counts.txt", *bams], cwd=folder,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)


def finish(process, folder):
    try:
        process.wait(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        pytest.fail(f"the command was still running after {TIMEOUT} s")
    return process.returncode, (folder.parent / "stderr.txt").read_text()


def descendants(pid):
    try:
        children = [int(child) for task in os.listdir(f"/proc/{pid}/task")
                    for child in open(f"/proc/{pid}/task/{task}/children").read().split()]
    except OSError:
        return []
    return children + [grandchild for child in children for grandchild in descendants(child)]


def holding(pid, paths):
    try:
        names = {os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")}
    except OSError:
        return set()
    return names & set(paths)


def reading(main, paths):
    """{path: pid} of the processes the command started that have one of paths open."""
    return {path: pid for pid in descendants(main.pid) for path in holding(pid, paths)}


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as handle:
            return handle.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def wait_for(condition):
    deadline = time.monotonic() + TIMEOUT
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)
    return condition()


def survivors(pids):
    """Those of pids still alive after a moment; they are killed."""
    wait_for(lambda: not any(map(alive, pids)))
    left = [pid for pid in pids if alive(pid)]
    for pid in left:
        os.kill(pid, signal.SIGKILL)
    return left


def assert_outputs_untouched(folder):
    assert (folder / "counts.txt").read_text() == "earlier\n"
    assert not (folder / "counts.txt.summary").exists()
    assert [name for name in os.listdir(folder) if name.startswith(".")] == []


DIED = "dulse: error: a worker process died while counting {file} (killed by signal "
SIGNALS = [
    ("command", signal.SIGTERM, 143, "dulse: stopped by SIGTERM"),
    ("command", signal.SIGHUP, 129, "dulse: stopped by SIGHUP"),
    ("command", signal.SIGINT, 130, "dulse: interrupted"),
    ("command", signal.SIGKILL, -9, None),
    ("worker", signal.SIGKILL, 1, DIED + "9; out of memory?)"),
    ("worker", signal.SIGTERM, 1, DIED + "15, SIGTERM)"),
]


@pytest.mark.parametrize("whom, signum, status, last_line", SIGNALS,
                         ids=[f"{whom}-{signum.name}" for whom, signum, *_ in SIGNALS])
def test_a_signal_ends_the_run_and_all_its_processes(folder, whom, signum, status, last_line):
    if signal.getsignal(signum) is signal.SIG_IGN:
        pytest.skip(f"{signum.name} is ignored here, and so in the command")
    paths = stalled(folder)
    main = start(folder, *paths)
    assert wait_for(lambda: len(reading(main, paths[:2])) == 2), "no workers read two files"
    busy, started = reading(main, paths[:2]), descendants(main.pid)
    assert len(started) >= 3  # two workers and multiprocessing's resource tracker
    os.kill(main.pid if whom == "command" else busy[paths[1]], signum)
    code, err = finish(main, folder)
    assert code == status
    if last_line is not None:
        assert err.splitlines()[-1] == last_line.format(file=paths[1])
        assert "Traceback" not in err
        assert_outputs_untouched(folder)
    assert survivors(started) == []


def test_a_failed_file_stops_the_run_at_once(folder):
    broken, paths = str(folder / "broken.bam"), stalled(folder)
    code, err = finish(start(folder, paths[0], broken, *paths[1:]), folder)
    assert code == 1
    assert [line for line in err.splitlines() if line.startswith("dulse:")] == [
        f"dulse: error: {broken}: neither BAM nor SAM"]
    assert_outputs_untouched(folder)
    holders = [int(pid) for pid in filter(str.isdigit, os.listdir("/proc"))
               if int(pid) != os.getpid() and holding(pid, paths)]
    assert survivors(holders) == []


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_signal_stops_a_read_that_waits(folder, signum, status, jobs):
    # One file, counted by the command itself: its read of the FIFO waits for data that never
    # comes, and the signal must end it at once.
    path = stalled(folder)[0]
    with open(folder.parent / "stderr.txt", "w") as err:
        main = subprocess.Popen([sys.executable, "-m", "dulse", "count", "-a", "genes.gtf",
                                 "-j", jobs, "-o", "counts.txt", path], cwd=folder,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=err)
    assert wait_for(lambda: holding(main.pid, [path])), "the command did not open the file"
    os.kill(main.pid, signum)
    began = time.monotonic()
    code, err = finish(main, folder)
    assert (code, time.monotonic() - began < 2) == (status, True)
    assert "Traceback" not in err
    assert_outputs_untouched(folder)
