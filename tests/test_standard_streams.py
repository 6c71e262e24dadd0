"""The command with standard streams closed, or read by a reader that goes away."""

import os
import subprocess
import sys

import pytest

from helpers import write_bam


@pytest.fixture
def inputs(tmp_path):
    (tmp_path / "genes.gtf").write_text("chr1\tsrc\texon\t101\t200\t.\t+\t.\tgene_id \"G1\";\n")
    bam = write_bam(tmp_path / "a.bam", [{"pos": 110 + 7 * k} for k in range(30)])
    return tmp_path, ["-a", str(tmp_path / "genes.gtf"), bam]


def dulse(folder, *args, closed=(), command="count"):
    """Starts the command in folder with the descriptors in `closed` closed."""
    return subprocess.Popen([sys.executable, "-m", "dulse", command, *args], cwd=folder,
                            preexec_fn=lambda: [os.close(fd) for fd in closed], text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


@pytest.mark.parametrize("stdout, status, last_line", [
    ("closed", 1, "dulse: error: standard output: closed; give -c FILE to write to a file"),
    ("reader gone", 141, None),
])
def test_the_htseq_layout_to_an_unusable_stdout(inputs, stdout, status, last_line):
    folder, args = inputs
    gtf, bam = args[1], args[2]
    process = dulse(folder, bam, gtf, closed=[1] if stdout == "closed" else [],
                    command="htseq-count")
    process.stdout.close()  # the reader is gone before the first line
    err = process.stderr.read()
    assert process.wait(timeout=60) == status
    assert "Traceback" not in err and "Exception" not in err
    if last_line:
        assert err.splitlines()[-1] == last_line and "records" not in err
    else:
        assert "error:" not in err and "records" in err  # the count itself went through


@pytest.mark.parametrize("closed", [[1], [2], [0, 1, 2]], ids=["stdout", "stderr", "all"])
def test_closed_streams_do_not_stop_a_run_with_an_output_file(inputs, closed):
    folder, args = inputs
    outputs = []
    for run in ([], closed):
        output = folder / f"counts{len(outputs)}.txt"
        process = dulse(folder, "-o", str(output), *args, closed=run)
        out, err = process.communicate(timeout=60)
        assert process.returncode == 0, err
        assert out == "" or 1 in run  # nothing meant for stderr lands on stdout
        assert f"wrote {output}" in err or 2 in run
        outputs.append((output.read_text().split("\n", 1)[1],
                        (folder / f"{output.name}.summary").read_text()))
    assert outputs[1] == outputs[0]
