"""Strandedness told from the same pass: `-s auto` (strandedness="auto") on generated libraries
of each kind, an ambiguous library reported with what was seen, and the warning for a stranded
run of the wrong rule, from a file that can be read only once."""

import os
import random
import subprocess
import sys
import threading

import pytest

import fc_peer
from dulse import BamError, Settings, count_bam, read_annotation
from dulse.strandedness import FORWARD_AT, MIN_READS, UNSTRANDED_WITHIN
from fc_model import FIRST, MATE_REVERSE, PAIRED, REVERSE, SECOND, SamRecord

# Ten genes along chr1, strands alternating, none overlapping.
GENES = fc_peer.features(*[(f"g{k}", "chr1", 1000 * k + 1, 1000 * k + 500, "+-"[k % 2])
                           for k in range(10)])


def library(forward_share, reads, paired=False, seed=0):
    """Reads within the genes, the first ``round(forward_share * reads)`` on their gene's strand
    (read 1's strand, for pairs), the rest on the other one, in a shuffled order."""
    rng = random.Random(seed)
    forward = round(forward_share * reads)
    records = []
    for number in range(reads):
        gene = rng.randrange(10)
        start = 1000 * gene + 1 + rng.randint(0, 300)
        reverse = (number >= forward) != (gene % 2 == 1)
        name = f"r{number}"
        if not paired:
            records.append(SamRecord(name, REVERSE if reverse else 0, "chr1", start, 60, "50M"))
            continue
        mate = start + rng.randint(0, 100)
        records += [SamRecord(name, PAIRED | FIRST | (REVERSE if reverse else MATE_REVERSE),
                              "chr1", start, 60, "50M", "chr1", mate, mate + 50 - start),
                    SamRecord(name, PAIRED | SECOND | (MATE_REVERSE if reverse else REVERSE),
                              "chr1", mate, 60, "50M", "chr1", start, start - mate - 50)]
    rng.shuffle(records)
    return records


@pytest.fixture
def genes(tmp_path):
    return read_annotation(fc_peer.write_saf(tmp_path / "genes.saf", GENES))


LAYOUTS = {
    "single-end": {},
    "paired-end reads": {"paired": True},
    "fragments": {"paired": True, "count_fragments": True},
}
KINDS = {"forward": 1.0, "reverse": 0.0, "unstranded": 0.5,
         "forward, some antisense": FORWARD_AT, "reverse, some antisense": 1 - FORWARD_AT,
         "unstranded, leaning forward": 0.5 + UNSTRANDED_WITHIN,
         "unstranded, leaning reverse": 0.5 - UNSTRANDED_WITHIN}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
@pytest.mark.parametrize("kind, share", KINDS.items(), ids=KINDS.keys())
def test_auto_picks_the_librarys_rule(tmp_path, genes, layout, kind, share):
    path = fc_peer.write_sam(tmp_path / "reads.sam",
                             library(share, 1000, paired=bool(layout)))
    expected = kind.split(",")[0]
    chosen = count_bam(path, genes, Settings(strandedness="auto", **layout))
    assert chosen.strandedness == expected
    explicit = count_bam(path, genes, Settings(strandedness=expected, **layout))
    assert chosen.counts.tolist() == explicit.counts.tolist()
    assert chosen.summary == explicit.summary
    assert chosen.strand_check.by_rule == explicit.strand_check.by_rule


AMBIGUOUS = {
    "between unstranded and forward": (0.5 + UNSTRANDED_WITHIN + 0.02, 1000),
    "between unstranded and reverse": (0.5 - UNSTRANDED_WITHIN - 0.02, 1000),
    "just short of forward": (FORWARD_AT - 0.01, 1000),
    "too few reads": (1.0, MIN_READS - 1),
}


@pytest.mark.parametrize("share, reads", AMBIGUOUS.values(), ids=AMBIGUOUS.keys())
def test_ambiguous_library_is_reported(tmp_path, genes, share, reads):
    path = fc_peer.write_sam(tmp_path / "reads.sam", library(share, reads))
    with pytest.raises(BamError) as refused:
        count_bam(path, genes, Settings(strandedness="auto"))
    assert refused.value.kind == "strandedness"
    message = str(refused.value)
    assert message.startswith(f"{path}: cannot tell the library's strandedness: ")
    forward = round(share * reads)
    assert f"{reads:,} reads assigned under a stranded rule" in message
    assert f"{forward / reads:.1%} forward, {1 - forward / reads:.1%} reverse" in message
    assert "give -s 0, 1 or 2" in message
    # Counting with a rule given still works.
    assert count_bam(path, genes, Settings(strandedness=1)).assigned == forward


# --------------------------------------------------------------------------------------------
# The command line: the wrong rule warned about from the same pass


def run_on_fifo(tmp_path, data, arguments, timeout=60):
    """Runs `dulse count` with its input a FIFO that is written once."""
    fifo = tmp_path / "reads.fifo"
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as handle:
            handle.write(data)

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    done = subprocess.run([sys.executable, "-m", "dulse", "count", "-a", "genes.saf",
                           "-o", "counts.txt", *arguments, fifo.name], capture_output=True,
                          text=True, cwd=tmp_path, timeout=timeout)
    writer.join(5)
    return done


WARNINGS = {
    # library, -s, the fix named (None: no warning)
    "reverse library counted forward": (0.0, "1", "rerun with -s 2 (or -s auto)"),
    "forward library counted reverse": (1.0, "2", "rerun with -s 1 (or -s auto)"),
    "unstranded library counted forward": (0.5, "1", "rerun with -s 0 (or -s auto)"),
    "reverse library counted reverse": (0.0, "2", None),
    "reverse library counted unstranded": (0.0, "0", None),
    "ambiguous library counted forward": (0.72, "1", None),
}


@pytest.mark.parametrize("share, flag, fix", WARNINGS.values(), ids=WARNINGS.keys())
@pytest.mark.parametrize("layout", [[], ["-p"], ["-p", "--countReadPairs"]],
                         ids=["single-end", "-p", "-p --countReadPairs"])
def test_wrong_rule_is_warned_about(tmp_path, share, flag, fix, layout):
    fc_peer.write_saf(tmp_path / "genes.saf", GENES)
    sam = fc_peer.write_sam(tmp_path / "reads.sam", library(share, 600, paired=bool(layout)))
    done = run_on_fifo(tmp_path, sam.read_bytes(), ["-s", flag, *layout])
    assert done.returncode == 0, done.stderr
    warnings = [line for line in done.stderr.splitlines() if line.startswith("dulse: warning:")]
    if fix is None:
        assert warnings == []
        return
    assert len(warnings) == 1
    rules = {"1": "forward", "2": "reverse"}
    assert f"reads.fifo: counted as {rules[flag]}-stranded (-s {flag}), but the reads look" in (
        warnings[0])
    assert warnings[0].endswith(fix)


def test_auto_on_the_command_line(tmp_path):
    """-s auto per file in a comma list: each file counted under its own library's rule, as the
    same files counted with that rule given."""
    fc_peer.write_saf(tmp_path / "genes.saf", GENES)
    names = []
    for number, share in enumerate((0.0, 1.0, 0.5)):
        path = fc_peer.write_sam(tmp_path / f"lib{number}.sam", library(share, 600, True, number))
        names.append(path.name)

    def dulse(*arguments, output):
        done = subprocess.run([sys.executable, "-m", "dulse", "count", "-p", "-a", "genes.saf",
                               "-o", output, *arguments], capture_output=True, text=True,
                              cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        return done.stderr, (tmp_path / output).read_text().split("\n", 1)[1]

    err, told = dulse("-s", "auto,auto,1", *names, output="auto.txt")
    assert "lib0.sam: strandedness reverse (-s auto:" in err
    assert "lib1.sam: strandedness forward (-s auto:" in err
    _, given = dulse("-s", "2,1,1", *names, output="given.txt")
    assert told == given
