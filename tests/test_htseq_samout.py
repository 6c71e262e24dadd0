"""dulse htseq-count -o/--samout against the installed htseq-count 1.99.2, record by record, on
random read sets: single-end and paired (as an aligner writes them, by name, by position,
shuffled), every overlap mode and --nonunique choice, each strandedness, secondary and
supplementary alignments scored or not, SAM and BAM (-p). Both files are read with pysam and
every record's text, bin and tag types compared; SAM files must also be the same bytes.

What htseq-count does, and dulse with it: it writes each record it counted (not those that
--secondary-/--supplementary-alignments ignore) as it holds it, not as it was read: an
unaligned record loses its reference, position, MAPQ, CIGAR and template length, mate fields
stay only on a paired record whose mate is aligned, A and H tags become Z and integers take
the smallest BAM type; XF goes after the tags already there, even another XF. A fragment's
read 1 comes before its read 2, and a multi-mapping fragment that --nonunique counts on is
written twice (XF:Z:__alignment_not_unique, then that and its outcome). -p picks the format
whatever the file is called (default SAM). Pairs are compared with --pairs-as-1.99, as in
test_htseq_peer.py; the 2.x rule dulse follows by default is checked on its own below.

htseq-count 1.99.2 fails on a record without base qualities when it writes -o (and on files
such as a missing -o folder with a traceback); the random records here all have qualities,
and dulse's handling of the rest is checked without the peer. HTSEQ_EXAMPLES, HTSEQ_SHRINK and
HTSEQ_KEEP=FOLDER work as in test_htseq_peer.py.
"""

import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

import fc_peer
import htseq_peer
import sam_strategies as S
from fc_model import SamRecord
from helpers import require_peer

pysam = pytest.importorskip("pysam")

EXAMPLES = int(os.environ.get("HTSEQ_EXAMPLES", "3"))
PHASES = [Phase.explicit, Phase.generate] + ([Phase.shrink]
                                             if os.environ.get("HTSEQ_SHRINK") == "1" else [])
differential = settings(max_examples=EXAMPLES, deadline=None, database=None,
                        phases=PHASES, suppress_health_check=list(HealthCheck))

# Tags of every kind htseq-count rewrites or keeps, given to records in turn.
EXTRA_TAGS = ["", "\tXA:A:c\tXH:H:1AE3", "\tXB:B:c,-1,2\tXC:B:f,1.5,2\tXD:f:0.1",
              "\tXI:i:4000000000\tXJ:i:-70000\tXK:i:300\tXL:i:-5", "\tXF:Z:before\tXZ:Z:a b",
              "\tXS:B:S,1,65535\tXN:i:-40000\tXP:i:2147483647"]


@pytest.fixture(scope="module", autouse=True)
def htseq_count():
    require_peer(htseq_peer.available(), "htseq-count")


def write_sam(path, records, sort_order):
    """fc_peer's SAM, with base qualities (which htseq-count's -o needs), a sequence for every
    record and assorted tags."""
    lines = Path(fc_peer.write_sam(path, records, sort_order, S.CONTIG_LENGTHS)).read_text()
    out = []
    for line in lines.splitlines():
        if line.startswith("@"):
            out.append(line)
            continue
        fields = line.split("\t")
        if fields[9] == "*":
            fields[9] = "ACGTN"
        fields[10] = "".join(chr(33 + (n * 7) % 41) for n in range(len(fields[9])))
        out.append("\t".join(fields) + EXTRA_TAGS[len(out) % len(EXTRA_TAGS)])
    Path(path).write_text("\n".join(out) + "\n")


def dulse(*arguments):
    done = subprocess.run([sys.executable, "-m", "dulse", "htseq-count", *arguments],
                          cwd=tempfile.gettempdir(), capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


def records_of(path):
    with pysam.AlignmentFile(str(path), check_sq=False) as file:
        header = str(file.header)
        return header, [(r.to_string(), r.bin, r.get_tags(with_value_type=True)) for r in file]


def assert_same_samout(records, features, options, sort_order="unsorted", fmt="sam",
                       dulse_options=()):
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        write_sam(folder / htseq_peer.INPUT, records, sort_order)
        fc_peer.write_gtf(folder / htseq_peer.ANNOTATION, features)
        outputs = ["-p", fmt]
        status, expected, error = htseq_peer.run_htseq(folder, [*options, *outputs, "-o",
                                                                "peer.out"])
        assert status == 0, error[-500:]
        status, text, error = dulse("-q", *dulse_options, *options, *outputs, "-o",
                                    str(folder / "dulse.out"), str(folder / htseq_peer.INPUT),
                                    str(folder / htseq_peer.ANNOTATION))
        assert status == 0, error
        if text != expected and os.environ.get("HTSEQ_KEEP"):
            import shutil
            shutil.copytree(folder, os.environ["HTSEQ_KEEP"], dirs_exist_ok=True)
        assert text == expected
        ours, theirs = records_of(folder / "dulse.out"), records_of(folder / "peer.out")
        assert ours[0] == theirs[0]
        assert len(ours[1]) == len(theirs[1]), (options, sort_order)
        for number, (mine, peer) in enumerate(zip(ours[1], theirs[1]), 1):
            assert mine == peer, (number, options, sort_order)
        if fmt == "sam":
            assert (folder / "dulse.out").read_bytes() == (folder / "peer.out").read_bytes()


SCORE = ["--secondary-alignments", "score", "--supplementary-alignments", "score"]
SINGLE_END = {
    "defaults": ([], "sam"),
    "unstranded all bam": (["-s", "no", "--nonunique", "all"], "bam"),
    "strict fraction scored a0": (["-m", "intersection-strict", "--nonunique", "fraction",
                                   "-a", "0", *SCORE], "sam"),
    "nonempty none reverse bam": (["-m", "intersection-nonempty", "-s", "reverse"], "bam"),
    "secondary scored a30": (["--secondary-alignments", "score", "-a", "30", "-s", "no"],
                             "sam"),
    "supplementary scored all bam": (["--supplementary-alignments", "score", "--nonunique",
                                      "all", "-s", "no"], "bam"),
}
PAIRED = {
    "defaults": ([], "sam"),
    "unstranded scored a0 bam": (["-s", "no", "-a", "0", *SCORE], "bam"),
    "strict all reverse": (["-m", "intersection-strict", "--nonunique", "all", "-s",
                            "reverse"], "sam"),
    "nonempty fraction unstranded bam": (["-m", "intersection-nonempty", "--nonunique",
                                          "fraction", "-s", "no", "-a", "0"], "bam"),
    "union all scored": (["--nonunique", "all", "-s", "no", *SCORE], "sam"),
    "strict supplementary a0 bam": (["-m", "intersection-strict", "-a", "0",
                                     "--supplementary-alignments", "score"], "bam"),
    "secondary unstranded": (["--secondary-alignments", "score", "-s", "no"], "sam"),
}
ORDERS = ["name", "name", "pos", "pos"]  # as an aligner writes, by name, by position, shuffled


@pytest.mark.parametrize("group", SINGLE_END)
@differential
@given(records=S.single_end_reads(min_reads=3, max_reads=30), features=S.annotations())
def test_single_end_records_agree(group, records, features):
    options, fmt = SINGLE_END[group]
    assert_same_samout(records, features, options, fmt=fmt)


@pytest.mark.parametrize("group", PAIRED)
@differential
@given(records=S.paired_end_reads(min_templates=2, max_templates=15, single_end_records=False),
       features=S.annotations(), rng=st.randoms())
def test_paired_records_agree_in_every_order(group, records, features, rng):
    options, fmt = PAIRED[group]
    for (sort_order, ordered), order in zip(S.file_orders(records, rng), ORDERS):
        assert_same_samout(ordered, features, ["-r", order, *options], sort_order, fmt,
                           dulse_options=["--pairs-as-1.99"])


FEATURES = fc_peer.features(("g1", "chr1", 1, 400, "+"), ("g2", "chr1", 300, 900, "-"))


@pytest.fixture
def folder(tmp_path):
    fc_peer.write_gtf(tmp_path / "genes.gtf", FEATURES)
    return tmp_path


def test_first_record_single_end_then_pairs_agree(folder):
    # A file whose first record is single-end is counted record by record, pair flags or not
    # (dulse counts it a second time so, and writes -o again).
    records = [SamRecord("a", 0, "chr1", 100, 60, "50M"),
               SamRecord("b", 0x1 | 0x20 | 0x40, "chr1", 120, 60, "50M", "chr1", 350, 280),
               SamRecord("b", 0x1 | 0x10 | 0x80, "chr1", 350, 60, "50M", "chr1", 120, -280),
               SamRecord("c", 0x1 | 0x4 | 0x40, "chr1", 200, 60, "*", "chr1", 200)]
    assert_same_samout(records, FEATURES, ["-s", "no"], fmt="sam")


def xf_tags(path):
    with pysam.AlignmentFile(str(path), check_sq=False) as file:
        return [(r.query_name, r.flag, [v for k, v in r.get_tags() if k == "XF"]) for r in file]


def test_pair_without_aligned_read_1_is_counted_by_read_2(folder):
    """htseq-count 2.x (and dulse by default) counts such a pair by its read 2; 1.99.2, and
    dulse with --pairs-as-1.99, calls it __not_aligned. Both records get the fragment's tag."""
    records = [SamRecord("p", 0x1 | 0x4 | 0x40 | 0x20, "chr1", 100, 0, "*", "chr1", 100),
               SamRecord("p", 0x1 | 0x8 | 0x10 | 0x80, "chr1", 100, 60, "50M", "chr1", 100)]
    fc_peer.write_sam(folder / "in.sam", records, "queryname", S.CONTIG_LENGTHS)
    for extra, expected in (([], "g1"), (["--pairs-as-1.99"], "__not_aligned")):
        status, _, err = dulse("-q", "-a", "0", *extra, "-o", str(folder / "out.sam"),
                               str(folder / "in.sam"), str(folder / "genes.gtf"))
        assert status == 0, err
        assert xf_tags(folder / "out.sam") == [("p", 0x65, [expected]), ("p", 0x99, [expected])]


def test_records_without_qualities_are_written(folder):
    # htseq-count 1.99.2 stops at such a record ("Illegal quality scale"); dulse writes it.
    records = [SamRecord("r1", 0, "chr1", 100, 60, "50M"), SamRecord("r2", 4, None, 0, 0, "*")]
    fc_peer.write_sam(folder / "in.sam", records, "unsorted", S.CONTIG_LENGTHS)
    status, _, err = dulse("-q", "-s", "no", "-o", str(folder / "out.sam"),
                           str(folder / "in.sam"), str(folder / "genes.gtf"))
    assert status == 0, err
    lines = [line.split("\t") for line in (folder / "out.sam").read_text().splitlines()
             if not line.startswith("@")]
    assert [(fields[0], fields[9], fields[10], fields[-1]) for fields in lines] == [
        ("r1", fc_peer.sequence_for("50M"), "*", "XF:Z:g1"), ("r2", "*", "*", "XF:Z:__not_aligned")]


@pytest.mark.parametrize("fmt", ["sam", "bam"])
def test_threads_and_several_files_write_the_same(folder, fmt):
    records = [SamRecord(f"r{n}", 16 if n % 3 else 0, "chr1", 5 + 29 * n, 60, "40M",
                         tags=(("NH", 1 + n % 2),)) for n in range(300)]
    write_sam(folder / "in.sam", records, "unsorted")
    fc_peer.write_bam(folder / "in.sam", folder / "in.bam")
    fc_peer.write_bam(folder / "in.sam", folder / "again.bam")
    inputs = [str(folder / "in.bam"), str(folder / "again.bam"), str(folder / "genes.gtf")]
    written = {}
    for threads in ("1", "3"):
        outputs = [str(folder / f"{threads}.{n}.out") for n in range(2)]
        status, _, err = dulse("-q", "-n", threads, "--nonunique", "all", "-p", fmt,
                               "-o", outputs[0], "-o", outputs[1], *inputs)
        assert status == 0, err
        written[threads] = [records_of(path) for path in outputs]
    assert written["1"] == written["3"]
    assert written["1"][0][1] == written["1"][1][1]  # headers name their own file
    assert len(written["1"][0][1]) == 300 + 150  # NH 2: written twice


def test_format_goes_by_p_not_by_name(folder):
    write_sam(folder / "in.sam", [SamRecord("r1", 0, "chr1", 100, 60, "50M")], "unsorted")
    inputs = [str(folder / "in.sam"), str(folder / "genes.gtf")]
    assert dulse("-q", "-o", str(folder / "a.bam"), *inputs)[0] == 0
    assert (folder / "a.bam").read_bytes().startswith(b"@HD")
    assert dulse("-q", "-p", "BAM", "-o", str(folder / "a.sam"), *inputs)[0] == 0
    assert (folder / "a.sam").read_bytes().startswith(b"\x1f\x8b")


BAD = {
    # case: (alignment files, -o files), by their names in the folder
    "missing folder": (["in.sam"], ["none/out.sam"]),
    "too few": (["in.sam", "in2.sam"], ["out.sam"]),
    "too many": (["in.sam"], ["out.sam", "b.sam"]),
    "an input": (["in.sam"], ["in.sam"]),
    "twice": (["in.sam", "in2.sam"], ["out.sam", "out.sam"]),
    "unreadable record": (["bad.sam"], ["out.sam"]),
}


@pytest.mark.parametrize("case", BAD)
def test_bad_samout_runs_leave_nothing(folder, case):
    write_sam(folder / "in.sam", [SamRecord(f"r{n}", 0, "chr1", 100, 60, "50M")
                                  for n in range(50)], "unsorted")
    (folder / "in2.sam").write_bytes((folder / "in.sam").read_bytes())
    lines = (folder / "in.sam").read_text().splitlines(keepends=True)
    (folder / "bad.sam").write_text("".join(lines[:40]) + "r\t0\tchr1\t1\t60\t5Q\t*\t0\t0\t*\t*\n")
    files, samouts = BAD[case]
    arguments = [item for name in samouts for item in ("-o", str(folder / name))]
    before = {path.name: path.read_bytes() for path in folder.iterdir()}
    status, out, err = dulse("-q", "-c", str(folder / "counts.tsv"), *arguments,
                             *[str(folder / name) for name in files], str(folder / "genes.gtf"))
    assert status != 0 and out == ""
    assert len(err.strip().splitlines()) == 1 and "Traceback" not in err, err
    assert {path.name: path.read_bytes() for path in folder.iterdir()} == before


def test_loom_holds_the_table(folder):
    loompy = pytest.importorskip("loompy")
    records = [SamRecord(f"r{n}", 16 if n % 2 else 0, "chr1", 10 + 37 * n, 60, "40M")
               for n in range(30)]
    fc_peer.write_sam(folder / "a.sam", records, "unsorted", S.CONTIG_LENGTHS)
    fc_peer.write_sam(folder / "b.sam", records[::3], "unsorted", S.CONTIG_LENGTHS)
    inputs = [str(folder / "a.sam"), str(folder / "b.sam"), str(folder / "genes.gtf")]
    options = ["-s", "reverse", "--additional-attr", "transcript_id"]
    status, text, err = dulse("-q", "--with-header", *options, *inputs)
    assert status == 0, err
    header, *rows = [line.split("\t") for line in text.splitlines()]
    assert dulse("-q", *options, "-c", str(folder / "c.loom"), *inputs)[0] == 0
    with loompy.connect(str(folder / "c.loom"), mode="r") as ds:
        assert list(ds.ra["Gene"]) == [row[0] for row in rows]
        assert list(ds.ra["transcript_id"]) == [row[1] for row in rows]
        assert list(ds.ca["CellID"]) == header[2:]
        assert ds[:, :].tolist() == [[float(cell) for cell in row[2:]] for row in rows]
