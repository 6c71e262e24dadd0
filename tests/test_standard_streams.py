"""The command with standard streams closed, or read by a reader that goes away."""

import os
import subprocess
import sys

import pytest

from helpers import write_bam

GTF = "".join(f"chr1\tsrc\texon\t{start}\t{start + 99}\t.\t+\t.\tgene_id \"G{number}\";\n"
              for number, start in enumerate((101, 401, 1001)))


@pytest.fixture
def inputs(tmp_path):
    (tmp_path / "genes.gtf").write_text(GTF)
    bam = write_bam(tmp_path / "a.bam", [{"pos": 110 + 7 * k} for k in range(30)])
    return tmp_path, ["-a", str(tmp_path / "genes.gtf"), bam]


def dulse(folder, *args, closed=(), **kwargs):
    """Runs the command in folder with the descriptors in `closed` closed."""
    return subprocess.run([sys.executable, "-m", "dulse", "count", *args], cwd=folder,
                          preexec_fn=lambda: [os.close(fd) for fd in closed], timeout=60,
                          **kwargs)


def test_closed_stdout_for_the_htseq_layout_is_a_one_line_error(inputs):
    folder, args = inputs
    done = dulse(folder, "--output-format", "htseq", *args, closed=[1], stderr=subprocess.PIPE,
                 text=True)
    assert done.returncode == 1
    assert done.stderr.splitlines()[-1] == \
        "dulse: error: standard output: closed; give -o FILE to write to a file"
    assert "Traceback" not in done.stderr and "records" not in done.stderr


def test_a_reader_that_goes_away_ends_the_command_quietly(inputs):
    folder, args = inputs
    process = subprocess.Popen([sys.executable, "-m", "dulse", "count", "--output-format",
                                "htseq", *args], cwd=folder, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    process.stdout.close()  # gone before the first line
    err = process.stderr.read()
    assert process.wait(timeout=60) == 141
    assert "error:" not in err and "Traceback" not in err and "Exception" not in err
    assert "records" in err  # the run itself went through


@pytest.mark.parametrize("closed", [[1], [2], [0, 1, 2]], ids=["stdout", "stderr", "all"])
def test_closed_streams_do_not_stop_a_run_with_an_output_file(inputs, closed):
    folder, args = inputs
    outputs = {}
    for run in ([], closed):
        output = folder / f"counts{len(outputs)}.txt"
        done = dulse(folder, "-o", str(output), *args, closed=run, capture_output=True,
                     text=True)
        assert done.returncode == 0, done.stderr
        if 1 not in run:
            assert done.stdout == ""  # nothing meant for stderr lands on stdout
        if 2 not in run:
            assert f"wrote {output}" in done.stderr
        outputs[tuple(run)] = (output.read_text().split("\n", 1)[1],
                               (folder / f"{output.name}.summary").read_text())
    assert outputs[tuple(closed)] == outputs[()]
