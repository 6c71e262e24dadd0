"""What -o names: symlinks, a FIFO, a device, a descriptor, read-only and private files, a full
disk. All in the test's folder; /dev/null and /dev/full only through symlinks made there."""

import errno
import os
import stat
import threading

import pytest

from dulse.cli import main
from helpers import write_bam

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/self/fd") or
                                not os.path.exists("/dev/full"), reason="needs Linux")

GTF = "".join(f"chr1\tsrc\texon\t{start}\t{start + 99}\t.\t+\t.\tgene_id \"G{number}\";\n"
              for number, start in enumerate((101, 401, 1001)))


def body(text):
    return text.split("\n", 1)[1]  # the matrix without its command line, which names -o


@pytest.fixture
def run(tmp_path, capsys):
    (tmp_path / "genes.gtf").write_text(GTF)
    bam = write_bam(tmp_path / "a.bam", [{"pos": 110 + 7 * k} for k in range(30)])

    def count(output):
        code = main(["count", "-a", str(tmp_path / "genes.gtf"), "-o", str(output), bam])
        return code, capsys.readouterr().err

    assert count(tmp_path / "reference.txt")[0] == 0
    count.table = body((tmp_path / "reference.txt").read_text())
    return count


def leftovers(folder):
    return [name for name in os.listdir(folder) if name.endswith(".part")]


@pytest.mark.parametrize("kind", ["symlink", "dangling symlink", "fifo", "device", "descriptor"])
def test_what_the_output_names_is_written_not_replaced(tmp_path, run, kind):
    output, received = tmp_path / "counts.txt", tmp_path / "sub" / "real.txt"
    received.parent.mkdir()
    reader = None
    if kind in ("symlink", "descriptor"):
        received.write_text("earlier\n")
    if kind in ("symlink", "dangling symlink"):
        output.symlink_to(received)
    elif kind == "fifo":
        os.mkfifo(output)
        reader = threading.Thread(target=lambda: received.write_text(output.read_text()))
        reader.start()
    elif kind == "device":
        output.symlink_to(os.devnull)
    else:  # as `-o /dev/stdout` with the shell's `>> file`: appended to, through the descriptor
        handle = open(received, "a")
        output.symlink_to(f"/proc/self/fd/{handle.fileno()}")
    before = os.lstat(output)
    code, err = run(output)
    if reader:
        reader.join(10)
    if kind == "descriptor":
        handle.close()
    assert code == 0, err
    assert (os.lstat(output).st_ino, os.lstat(output).st_mode) == (before.st_ino, before.st_mode)
    if kind != "device":
        text = received.read_text()
        earlier = "earlier\n" if kind == "descriptor" else ""
        assert text.startswith(earlier) and body(text[len(earlier):]) == run.table
    assert leftovers(tmp_path) == [] and leftovers(received.parent) == []


@pytest.mark.parametrize("mode", [None, 0o600, 0o664],
                         ids=lambda mode: "new" if mode is None else f"{mode:04o}")
def test_a_replaced_file_keeps_its_mode_and_owner(tmp_path, run, mode):
    output = tmp_path / "counts.txt"
    mask = os.umask(0)
    os.umask(mask)
    expected = (0o666 & ~mask, os.geteuid(), os.getegid())
    if mode is not None:
        output.write_text("earlier\n")
        output.chmod(mode)
        if os.geteuid() == 0:
            os.chown(output, 4321, 4322)
        expected = (mode, output.stat().st_uid, output.stat().st_gid)
    code, err = run(output)
    assert code == 0, err
    status = output.stat()
    assert (stat.S_IMODE(status.st_mode), status.st_uid, status.st_gid) == expected
    assert body(output.read_text()) == run.table


@pytest.mark.parametrize("protected", ["counts.txt", "counts.txt.summary"])
@pytest.mark.parametrize("mode", [0o444, 0o555], ids=lambda mode: f"{mode:04o}")
def test_a_file_without_write_permission_is_refused(tmp_path, run, protected, mode):
    for name in ("counts.txt", "counts.txt.summary"):
        (tmp_path / name).write_text(f"earlier {name}\n")
    (tmp_path / protected).chmod(mode)
    code, err = run(tmp_path / "counts.txt")
    assert code == 1 and "records" not in err  # refused before any counting
    assert err.splitlines()[-1] == \
        f"dulse: error: {tmp_path / protected}: not writable (mode {mode:04o}), left as it is"
    for name in ("counts.txt", "counts.txt.summary"):
        assert (tmp_path / name).read_text() == f"earlier {name}\n"
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("full", ["/dev/full", "stand-in"])
def test_a_full_disk_is_an_error_naming_the_output(tmp_path, run, monkeypatch, full):
    output, summary = tmp_path / "counts.txt", tmp_path / "counts.txt.summary"
    summary.write_text("earlier\n")
    if full == "/dev/full":
        output.symlink_to(full)
        failing = output
    else:
        output.write_text("earlier\n")
        failing = summary

        def full_disk(handle, *args):
            handle.write("Status")
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

        monkeypatch.setattr("dulse.outputs.featurecounts.write_summary", full_disk)
    code, err = run(output)
    assert (code, err.splitlines()[-1]) == (
        1, f"dulse: error: {failing}: No space left on device")
    assert summary.read_text() == "earlier\n"
    if full == "stand-in":
        assert output.read_text() == "earlier\n"
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("fmt", ["BAM", "SAM"])
def test_a_full_disk_under_the_per_read_output_names_it(tmp_path, capsys, threads, fmt):
    (tmp_path / "genes.gtf").write_text(GTF)
    # enough records for several compressed blocks
    bam = write_bam(tmp_path / "a.bam", [{"pos": 110 + k % 1000} for k in range(20_000)])
    per_read = tmp_path / "a.bam.featureCounts.bam"
    if fmt == "SAM":
        per_read = per_read.with_suffix(".sam")
    per_read.symlink_to("/dev/full")
    code = main(["count", "-a", str(tmp_path / "genes.gtf"), "-o", str(tmp_path / "c.txt"),
                 "-T", str(threads), "-R", fmt, "--Rpath", str(tmp_path), bam])
    assert (code, capsys.readouterr().err.splitlines()[-1]) == (
        1, f"dulse: error: {per_read}: No space left on device")
    assert not (tmp_path / "c.txt").exists() and leftovers(tmp_path) == []
