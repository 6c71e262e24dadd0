"""dulse count on randomly damaged BAM files, each run in a process of its own with a timeout:
no signal, no hang, no traceback, no file left behind, one line naming the file when it fails,
and every file that samtools reads whole is counted (exit 0) with samtools' number of records."""

import os
import random
import shutil
import subprocess
import sys

import pytest

import bam_bytes

CASES = int(os.environ.get("CORRUPTION_CASES", "40"))
SEED = int(os.environ.get("CORRUPTION_SEED", "20261208"))
TIMEOUT = 60
SAMTOOLS = shutil.which("samtools")

pytestmark = pytest.mark.skipif(SAMTOOLS is None and os.environ.get("CI") != "true",
                                reason="samtools is not installed")


def pristine():
    """A small BAM stream: single and paired records, spliced, tagged, on two contigs."""
    records = []
    for n in range(120):
        paired = n % 3 == 0
        flag = (0x1 | 0x40 | 0x20) if paired else (0x10 if n % 2 else 0)
        records.append(bam_bytes.record(
            name=f"read{n}".encode(), flag=flag, tid=n % 2, pos=100 + 37 * n,
            cigar="20M300N30M" if n % 5 == 0 else "50M", mtid=n % 2 if paired else -1,
            mpos=400 + 37 * n if paired else -1, tlen=350 if paired else 0,
            aux=bam_bytes.tag("NH", "C", 1 + n % 3) + bam_bytes.tag("XS", "A", "+")))
    return bam_bytes.header() + b"".join(records)


def damaged(rng, stream):
    """The stream in BGZF blocks, then damaged one of several ways."""
    data = bytearray(bam_bytes.bgzf(stream, block_size=rng.choice((300, 2000, 0xFF00))))
    how = rng.choice(("flip", "flip", "overwrite", "truncate", "inflated flip", "drop eof"))
    if how == "flip":
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    elif how == "overwrite":
        at = rng.randrange(len(data))
        data[at:at + 8] = bytes(rng.randrange(256) for _ in range(8))
    elif how == "truncate":
        del data[rng.randrange(1, len(data)):]
    elif how == "inflated flip":
        # Damage the records themselves, keeping the compression intact.
        plain = bytearray(stream)
        for _ in range(rng.randint(1, 3)):
            plain[rng.randrange(len(plain))] = rng.randrange(256)
        data = bytearray(bam_bytes.bgzf(bytes(plain), block_size=2000))
    else:
        del data[-len(bam_bytes.EOF_BLOCK):]
    return bytes(data)


def samtools_reads_whole(path):
    """The number of records samtools reads, or None when it reports a problem."""
    done = subprocess.run([SAMTOOLS, "view", "-c", str(path)], capture_output=True, text=True,
                          timeout=TIMEOUT)
    failing = done.returncode != 0 or any(
        word in done.stderr for word in ("[E::", "error", "truncated", "failed"))
    return None if failing else int(done.stdout)


@pytest.fixture(scope="module")
def genes(tmp_path_factory):
    path = tmp_path_factory.mktemp("genes") / "genes.saf"
    path.write_text("GeneID\tChr\tStart\tEnd\tStrand\nA\tchr1\t1\t2000\t+\n"
                    "B\tchr1\t1500\t4000\t-\nC\tchr2\t1\t6000\t+\n")
    return path


@pytest.mark.parametrize("case", range(CASES))
def test_a_damaged_file(tmp_path, genes, case):
    rng = random.Random(SEED * 1000 + case)
    path = tmp_path / "damaged.bam"
    path.write_bytes(damaged(rng, pristine()))
    options = rng.choice((["-p"], ["-p", "--countReadPairs", "-T", "2"], ["-p", "-T", "3"]))
    output = tmp_path / "counts.txt"
    done = subprocess.run([sys.executable, "-m", "dulse", "count", "-F", "SAF", "-a", str(genes),
                           "-o", str(output), *options, str(path)], capture_output=True,
                          text=True, timeout=TIMEOUT, cwd=tmp_path)
    assert done.returncode in (0, 1), done.stderr  # no signal, no usage error
    assert "Traceback" not in done.stderr and "Exception" not in done.stderr
    assert [name for name in os.listdir(tmp_path) if name.startswith(".")] == []
    if done.returncode == 1:
        errors = [line for line in done.stderr.splitlines() if "error" in line]
        assert len(errors) == 1 and str(path) in errors[0], done.stderr
        assert not output.exists()
    whole = samtools_reads_whole(path)
    if whole is not None:
        assert done.returncode == 0, done.stderr
        summary = dict(line.split("\t") for line in
                       (tmp_path / "counts.txt.summary").read_text().splitlines()[1:])
        counted = sum(int(value) for value in summary.values())
        # Every record is one read, or one of a pair counted as fragments.
        if "--countReadPairs" not in options:
            assert counted == whole
