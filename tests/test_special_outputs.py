"""What -o is given: FIFOs, devices, symlinks, descriptors, read-only and private files, a full
disk. Everything happens in the test's own folder; /dev/null and /dev/full are only reached
through symlinks made there, and only written to."""

import errno
import os
import stat
import threading

import pytest

from dulse.cli import main
from helpers import write_bam

GTF = "".join(f"chr1\tsrc\texon\t{start}\t{start + 99}\t.\t+\t.\tgene_id \"G{number}\";\n"
              for number, start in enumerate((101, 401, 1001)))
RECORDS = [{"pos": 110 + 7 * k, "cigar": "20M"} for k in range(30)]


@pytest.fixture
def setup(tmp_path):
    (tmp_path / "genes.gtf").write_text(GTF)
    bam = write_bam(tmp_path / "a.bam", RECORDS)
    reference = tmp_path / "reference.txt"
    assert main(["count", "-a", str(tmp_path / "genes.gtf"), "-o", str(reference), bam]) == 0
    return tmp_path, bam, _table(reference.read_text()), reference.with_name(
        "reference.txt.summary").read_text()


def _table(text):
    """The matrix without its command line, which names the output."""
    return text.split("\n", 1)[1]


def count(folder, bam, output, capsys):
    code = main(["count", "-a", str(folder / "genes.gtf"), "-o", str(output), bam])
    return code, capsys.readouterr().err


def leftovers(folder):
    return [name for name in os.listdir(folder) if name.endswith(".part")]


@pytest.mark.parametrize("kind", ["link to a file", "dangling link", "link to a link"])
def test_a_symlink_is_written_through(setup, capsys, kind):
    folder, bam, table, summary = setup
    target = folder / "sub" / "real.txt"
    target.parent.mkdir()
    if kind != "dangling link":
        target.write_text("earlier\n")
    link = folder / "counts.txt"
    if kind == "link to a link":
        (folder / "middle.txt").symlink_to(target)
        link.symlink_to("middle.txt")
    else:
        link.symlink_to(target)
    code, err = count(folder, bam, link, capsys)
    assert code == 0, err
    assert link.is_symlink() and os.path.samefile(link, target)
    assert _table(target.read_text()) == table
    assert (folder / "counts.txt.summary").read_text() == summary
    assert leftovers(folder) == [] and leftovers(target.parent) == []


@pytest.mark.parametrize("existing_mode", [None, 0o600, 0o640, 0o664],
                         ids=lambda mode: "new" if mode is None else f"{mode:04o}")
def test_mode_of_a_replaced_file_is_kept(setup, capsys, existing_mode):
    folder, bam, table, _ = setup
    output = folder / "counts.txt"
    if existing_mode is not None:
        output.write_text("earlier\n")
        output.chmod(existing_mode)
    code, err = count(folder, bam, output, capsys)
    assert code == 0, err
    mask = os.umask(0)
    os.umask(mask)
    expected = 0o666 & ~mask if existing_mode is None else existing_mode
    assert stat.S_IMODE(output.stat().st_mode) == expected
    assert _table(output.read_text()) == table


@pytest.mark.skipif(os.geteuid() != 0, reason="giving a file to another owner needs root")
def test_owner_of_a_replaced_file_is_kept(setup, capsys):
    folder, bam, table, _ = setup
    output = folder / "counts.txt"
    output.write_text("earlier\n")
    os.chown(output, 4321, 4322)
    code, err = count(folder, bam, output, capsys)
    assert code == 0, err
    assert (output.stat().st_uid, output.stat().st_gid) == (4321, 4322)
    assert _table(output.read_text()) == table


@pytest.mark.parametrize("protected", ["counts.txt", "counts.txt.summary"])
@pytest.mark.parametrize("mode", [0o444, 0o400, 0o555], ids=lambda mode: f"{mode:04o}")
def test_a_file_without_write_permission_is_refused(setup, capsys, protected, mode):
    folder, bam, _, _ = setup
    for name in ("counts.txt", "counts.txt.summary"):
        (folder / name).write_text(f"earlier {name}\n")
    (folder / protected).chmod(mode)
    code, err = count(folder, bam, folder / "counts.txt", capsys)
    assert code == 1
    assert f"dulse: error: {folder / protected}: not writable (mode {mode:04o}), left as it " \
           f"is" in err.splitlines()
    assert "records" not in err  # refused before any counting
    for name in ("counts.txt", "counts.txt.summary"):
        assert (folder / name).read_text() == f"earlier {name}\n"
    assert stat.S_IMODE((folder / protected).stat().st_mode) == mode
    assert leftovers(folder) == []


def test_a_fifo_is_written_into_not_replaced(setup, capsys):
    folder, bam, table, summary = setup
    fifo = folder / "counts.txt"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_text()), daemon=True)
    reader.start()
    code, err = count(folder, bam, fifo, capsys)
    reader.join(10)
    assert code == 0, err
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert [_table(text) for text in received] == [table]
    assert (folder / "counts.txt.summary").read_text() == summary


def test_a_device_is_written_into_not_replaced(setup, capsys):
    folder, bam, _, summary = setup
    link = folder / "counts.txt"
    link.symlink_to(os.devnull)
    before = os.stat(os.devnull)
    code, err = count(folder, bam, link, capsys)
    assert code == 0, err
    assert link.is_symlink()
    after = os.stat(os.devnull)
    assert stat.S_ISCHR(after.st_mode) and (after.st_ino, after.st_rdev) == (
        before.st_ino, before.st_rdev)
    assert (folder / "counts.txt.summary").read_text() == summary


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_a_descriptor_is_appended_to(setup, capsys):
    # As `-o /dev/stdout` with the shell's `>> file`: a name in /proc/self/fd stands for an
    # open descriptor, whose file is written through it, not replaced by a new one.
    folder, bam, table, _ = setup
    opened = folder / "opened.txt"
    with open(opened, "a") as handle:
        handle.write("already there\n")
        handle.flush()
        link = folder / "counts.txt"
        link.symlink_to(f"/proc/self/fd/{handle.fileno()}")
        code, err = count(folder, bam, link, capsys)
    assert code == 0, err
    assert link.is_symlink()
    head, rest = opened.read_text().split("\n", 1)
    assert head == "already there" and _table(rest) == table
    assert leftovers(folder) == []


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_full_device_is_an_error_naming_the_output(setup, capsys):
    folder, bam, _, _ = setup
    link = folder / "counts.txt"
    link.symlink_to("/dev/full")
    code, err = count(folder, bam, link, capsys)
    assert code == 1
    assert err.splitlines()[-1] == f"dulse: error: {link}: No space left on device"
    assert link.is_symlink()
    assert not (folder / "counts.txt.summary").exists()
    assert leftovers(folder) == []


@pytest.mark.parametrize("failing", ["write_matrix", "write_summary"])
def test_a_full_disk_is_an_error_naming_the_output(setup, capsys, monkeypatch, failing):
    folder, bam, _, _ = setup
    output = folder / "counts.txt"
    for name in ("counts.txt", "counts.txt.summary"):
        (folder / name).write_text("earlier\n")

    def full_disk(handle, *args):
        handle.write("Geneid\t")
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(f"dulse.cli.outputs.{failing}", full_disk)
    code, err = count(folder, bam, output, capsys)
    named = output if failing == "write_matrix" else folder / "counts.txt.summary"
    assert code == 1
    assert err.splitlines()[-1] == f"dulse: error: {named}: No space left on device"
    for name in ("counts.txt", "counts.txt.summary"):
        assert (folder / name).read_text() == "earlier\n"
    assert leftovers(folder) == []
