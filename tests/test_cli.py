"""`dulse count` end to end, as a drop-in for featureCounts: the command lines real pipelines run
give featureCounts' counts file and summary on the same inputs; options dulse lacks, and
command lines that do not make sense, exit 2; an input that cannot be read exits 1 leaving no
output; MultiQC reads the summary as it reads featureCounts'."""

import contextlib
import io
import os
import random
import shlex
import shutil
import subprocess
import sys
from types import SimpleNamespace

import pytest

import fc_peer
import sam_strategies as S
from dulse import __version__
from dulse.cli import main
from helpers import require_peer
from libraries import random_library, random_single_end

# gene, biotype, contig, strand, transcripts (each a list of exons, 1-based inclusive)
GENES = [
    ("G1", "protein_coding", "chr1", "+", [[(101, 300), (401, 600), (801, 1000)],
                                           [(101, 250), (801, 1100)]]),
    ("G2", "lncRNA", "chr1", "-", [[(500, 1500)]]),
    ("G3", "protein_coding", "chr1", "+", [[(2001, 2300), (2401, 2600)]]),
    ("G4", "snRNA", "chr1", "+", [[(1901, 3000)]]),
    ("G5", "protein_coding", "chr2", "-", [[(51, 400), (1001, 1400), (3001, 3200)],
                                           [(301, 450)]]),
    ("G6", "lncRNA", "chr2", "+", [[(1201, 2500)]]),
    ("G7", "pseudogene", "chr3", "+", [[(1, 1000)]]),
    ("G8", "protein_coding", "chr1", "-", [[(3501, 3700), (3801, 4400)]]),
]


def gtf_text():
    """An Ensembl-like GTF: gene and transcript lines, exons of several transcripts per gene
    (overlapping), genes overlapping and nested on both strands, one contig without reads."""
    lines = []
    for gene, biotype, contig, strand, transcripts in GENES:
        exons = [exon for transcript in transcripts for exon in transcript]
        attributes = f'gene_id "{gene}"; gene_name "name{gene}"; gene_biotype "{biotype}";'
        lines.append(f"{contig}\tsrc\tgene\t{min(s for s, _ in exons)}\t"
                     f"{max(e for _, e in exons)}\t.\t{strand}\t.\t{attributes}")
        for number, transcript in enumerate(transcripts):
            own = f'{attributes} transcript_id "{gene}.{number}";'
            lines.append(f"{contig}\tsrc\ttranscript\t{transcript[0][0]}\t{transcript[-1][1]}\t"
                         f".\t{strand}\t.\t{own}")
            for rank, (start, end) in enumerate(transcript, 1):
                lines.append(f"{contig}\tsrc\texon\t{start}\t{end}\t.\t{strand}\t.\t{own} "
                             f'exon_number "{rank}";')
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    """A folder with genes.gtf, two paired-end and two single-end BAM files (coordinate-sorted,
    as aligners and pipelines leave them) and a name-sorted SAM copy of the first pair file."""
    folder = tmp_path_factory.mktemp("cli")
    (folder / "genes.gtf").write_text(gtf_text())
    rng = random.Random(3)
    for number in range(2):
        for kind, records in (("pairs", random_library(rng, 800)),
                              ("single", random_single_end(rng, 1000))):
            sam = folder / f"{kind}{number}.sam"
            fc_peer.write_sam(sam, S.coordinate_sorted(records), "coordinate", S.CONTIG_LENGTHS)
            fc_peer.write_bam(sam, folder / f"{kind}{number}.bam")
            if (kind, number) == ("pairs", 0):
                fc_peer.write_sam(folder / "pairs0.byname.sam", S.name_sorted(records),
                                  "queryname", S.CONTIG_LENGTHS)
            sam.unlink()
    return folder


def dulse(folder, arguments, stdin=None):
    """Runs `dulse count` in ``folder``: in this process, or with ``stdin`` (an open file) in a
    new one. Returns its exit status and what it printed on stderr."""
    if stdin is not None:
        return subprocess.run([sys.executable, "-m", "dulse", "count", *arguments], cwd=folder,
                              capture_output=True, text=True, stdin=stdin)
    err = io.StringIO()
    started_in = os.getcwd()
    os.chdir(folder)
    try:
        with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()) as out:
            try:
                status = main(["count", *arguments])
            except SystemExit as exit:
                status = exit.code
    finally:
        os.chdir(started_in)
    assert out.getvalue() == ""
    return SimpleNamespace(returncode=status, stderr=err.getvalue())


def featurecounts(folder, arguments):
    require_peer(fc_peer.available(), "featureCounts")
    return subprocess.run(["featureCounts", *arguments], cwd=folder, capture_output=True,
                          text=True)


def both(folder, command_line, name):
    """Runs the command line (with -o OUTPUT in it) as featureCounts and as dulse count, each
    writing its own output; returns the two outputs' lines (counts file, summary)."""
    arguments = shlex.split(command_line)
    outputs = []
    for program, run in (("featurecounts", featurecounts), ("dulse", dulse)):
        output = f"{program}.{name}.featureCounts.tsv"
        done = run(folder, [output if word == "OUTPUT" else word for word in arguments])
        assert done.returncode == 0, f"{program}: {done.stderr}"
        counts = (folder / output).read_text().splitlines()
        summary = (folder / (output + ".summary")).read_text().splitlines()
        outputs.append((counts, summary))
    return outputs


PIPELINES = {
    # nf-core/rnaseq's featureCounts step (biotype counts), paired and single-end libraries
    "nf-core paired": "-B -C -g gene_biotype -t exon -p -T 2 -s 2 -a genes.gtf -o OUTPUT "
                      "pairs0.bam pairs1.bam",
    "nf-core paired --countReadPairs": "-B -C -g gene_biotype -t exon -p --countReadPairs -T 2 "
                                       "-s 2 -a genes.gtf -o OUTPUT pairs0.bam pairs1.bam",
    "nf-core single-end": "-B -C -g gene_biotype -t exon -T 2 -s 2 -a genes.gtf -o OUTPUT "
                          "single0.bam single1.bam",
    # Rsubread's featureCounts() defaults: multi-mapping reads counted
    "Rsubread defaults": "-M -a genes.gtf -F GTF -t exon -g gene_id -o OUTPUT single0.bam "
                         "single1.bam",
    "Rsubread paired": "-M -p --countReadPairs -a genes.gtf -o OUTPUT pairs0.bam pairs1.bam",
    # featureCounts' own defaults and common tutorial lines
    "defaults": "-a genes.gtf -o OUTPUT single0.bam",
    "fragments, name-sorted SAM": "-p --countReadPairs -T 4 -t exon -g gene_id -a genes.gtf "
                                  "-o OUTPUT pairs0.byname.sam pairs1.bam",
    "QC filters": "-p --countReadPairs -s 1 -Q 10 --primary --ignoreDup -B -P -d 50 -D 300 "
                  "-a genes.gtf -o OUTPUT pairs0.bam pairs1.bam",
    "fractions": "-M -O --fraction -s 1 -a genes.gtf -o OUTPUT single0.bam single1.bam",
    "strandedness per file": "-p --countReadPairs -s 0,2 -a genes.gtf -o OUTPUT pairs0.bam "
                             "pairs1.bam",
    "reads of pairs, fractions": "-p -M --fraction -a genes.gtf -o OUTPUT pairs1.bam",
    # exon-level counts (DEXSeq-style), the largest overlap, read ends (CAGE, Ribo-seq), read
    # extension (ChIP-seq fragments), split reads, overlap shares
    "exon level": "-f -O -s 2 -p --countReadPairs -a genes.gtf -o OUTPUT pairs0.bam pairs1.bam",
    "exon level, largest overlap": "-f --largestOverlap -a genes.gtf -o OUTPUT single0.bam",
    "largest overlap, fractions": "-O --largestOverlap --minOverlap 10 -M --fraction -s 1 -a "
                                  "genes.gtf -o OUTPUT single0.bam single1.bam",
    "5' ends": "--read2pos 5 -s 1 -a genes.gtf -o OUTPUT single0.bam single1.bam",
    "3' ends of fragments": "--read2pos 3 -p --countReadPairs -a genes.gtf -o OUTPUT "
                            "pairs1.bam",
    "read extension": "--readExtension3 150 -O -a genes.gtf -o OUTPUT single0.bam",
    "split reads": "--splitOnly -p --countReadPairs -s 2 -a genes.gtf -o OUTPUT pairs0.bam",
    "non-split reads": "--nonSplitOnly -M -a genes.gtf -o OUTPUT single1.bam",
    "overlap shares": "--fracOverlap 0.5 --fracOverlapFeature 0.1 --nonOverlap 40 -p "
                      "--countReadPairs -a genes.gtf -o OUTPUT pairs0.bam pairs1.bam",
    "gap allowed": "--minOverlap -20 -O --fraction -a genes.gtf -o OUTPUT single0.bam",
    "feature types and attributes": "-t exon,transcript -O --extraAttributes gene_name,"
                                    "gene_biotype -a genes.gtf -o OUTPUT single0.bam",
    "features and their attributes": "-f -O --extraAttributes gene_biotype,gene_name -a "
                                     "genes.gtf -o OUTPUT single0.bam",
}


@pytest.mark.parametrize("command_line", PIPELINES.values(), ids=PIPELINES.keys())
def test_pipeline_command_lines_give_featurecounts_outputs(data, command_line):
    (fc_counts, fc_summary), (our_counts, our_summary) = both(data, command_line, "run")
    assert fc_counts[0].startswith('# Program:featureCounts v2.0.3; Command:"featureCounts" ')
    assert our_counts[0].startswith(f'# Program:dulse v{__version__}; Command:"dulse" "count" ')
    assert our_counts[1] == fc_counts[1]  # Geneid ... Length, then the files as given
    assert len(our_counts) == len(fc_counts)
    for ours, theirs in zip(our_counts[2:], fc_counts[2:]):
        ours, theirs = ours.split("\t"), theirs.split("\t")
        assert (ours[0], ours[5:]) == (theirs[0], theirs[5:])  # gene, Length, counts
    assert our_summary == fc_summary


def test_gene_columns_as_featurecounts_writes_them(data):
    (fc_counts, _), (our_counts, _) = both(data, PIPELINES["defaults"], "columns")
    assert [line.split("\t")[:6] for line in our_counts[2:]] == [
        line.split("\t")[:6] for line in fc_counts[2:]]


def test_standard_input(data):
    with open(data / "pairs1.bam", "rb") as stdin:
        done = dulse(data, ["-p", "--countReadPairs", "-a", "genes.gtf", "-o", "stdin.txt", "-"],
                     stdin=stdin)
    assert done.returncode == 0, done.stderr
    named = dulse(data, ["-p", "--countReadPairs", "-a", "genes.gtf", "-o", "named.txt",
                         "pairs1.bam"])
    assert named.returncode == 0, named.stderr

    def columns(name):
        lines = (data / name).read_text().splitlines()[2:]
        summary = (data / f"{name}.summary").read_text().splitlines()[1:]
        return [line.split("\t")[6] for line in lines], summary

    assert columns("stdin.txt") == columns("named.txt")


# --------------------------------------------------------------------------------------------
# Command lines refused


@pytest.mark.parametrize("options, message", [
    (["-p", "-P"], "-P (fragment lengths) needs -B"),
    (["-P"], "-P (fragment lengths) needs -B"),
    (["--countReadPairs"], "--countReadPairs only applies to paired-end reads: add -p"),
    (["-s", "3"], "-s must be 0, 1, 2 or auto"),
    (["-s", "0,1"], "-s lists 2 values for 1 files"),
    (["-Q", "256"], "from 0 to 255"),
    (["-p", "-B", "-P", "-d", "300", "-D", "200"], "-d 300 is above -D 200"),
    (["-T", "0"], "at least 1"),
    (["-T", "2", "-j", "2"], "not both"),
    (["-j", "0"], "from 1 to 1024"),
    (["-j", "1025"], "from 1 to 1024"),
    (["-j", "99999999999999999999"], "from 1 to 1024"),
    (["-F", "BED"], "must be GTF, GFF, GFF3 or SAF"),
    (["--fracOverlap", "1.5"], "must be a number from 0 to 1"),
    (["--fracOverlapFeature", "x"], "must be a number from 0 to 1"),
    (["--read2pos", "4"], "must be 5 or 3"),
    (["--nonOverlap", "-1"], "must be a whole number"),
    (["--readExtension5", "-3"], "must be a whole number"),
    (["--minOverlap", "ten"], "must be a whole number"),
    (["--splitOnly", "--nonSplitOnly"], "not allowed with argument"),
    (["-L", "-p", "--countReadPairs"], "-L counts long reads one by one, not read pairs"),
])
def test_command_lines_that_make_no_sense_exit_2(data, options, message):
    done = dulse(data, ["-a", "genes.gtf", *options, "-o", "refused.txt", "single0.bam"])
    assert done.returncode == 2
    assert message in done.stderr
    assert "Traceback" not in done.stderr
    assert not (data / "refused.txt").exists()


def test_featurecounts_refuses_p_without_b_too(data):
    assert featurecounts(data, ["-p", "-P", "-a", "genes.gtf", "-o", "fc.refused.txt",
                                "pairs0.bam"]).returncode == 255


@pytest.mark.parametrize("strandedness", ["0,1", "2,0"])
def test_strandedness_per_file(data, strandedness):
    """-s with one value per file: each column as that file counted alone with its value."""
    files = ["single0.bam", "single1.bam"]
    done = dulse(data, ["-s", strandedness, "-a", "genes.gtf", "-o", "per-file.txt", *files])
    assert done.returncode == 0, done.stderr
    together = (data / "per-file.txt").read_text().splitlines()[2:]
    for column, (name, value) in enumerate(zip(files, strandedness.split(","))):
        alone = dulse(data, ["-s", value, "-a", "genes.gtf", "-o", "alone.txt", name])
        assert alone.returncode == 0, alone.stderr
        expected = [line.split("\t")[6] for line in (data / "alone.txt").read_text()
                    .splitlines()[2:]]
        assert [line.split("\t")[6 + column] for line in together] == expected


# --------------------------------------------------------------------------------------------
# Inputs that cannot be used: exit 1, one line naming the file, no output written


def make_input(folder, case):
    bam = (folder / "pairs0.bam").read_bytes()
    if case == "missing":
        return "absent.bam", "absent.bam: No such file"
    if case == "folder":
        (folder / "a_folder").mkdir(exist_ok=True)
        return "a_folder", "a_folder: not a file that can be read"
    if case == "truncated":
        (folder / "cut.bam").write_bytes(bam[:len(bam) // 2])
        return "cut.bam", "cut.bam: "
    if case == "damaged block":
        damaged = bytearray(bam)
        damaged[len(damaged) // 2] ^= 0xFF
        (folder / "damaged.bam").write_bytes(bytes(damaged))
        return "damaged.bam", "damaged.bam: "
    if case == "text":
        (folder / "notes.bam").write_text("not alignments at all\n")
        return "notes.bam", "notes.bam: neither BAM nor SAM"
    if case == "malformed SAM":
        (folder / "bad.sam").write_text("@SQ\tSN:chr1\tLN:5000\nr\t0\tchr1\tx\t60\t5M\t*\t0\t0"
                                        "\t*\t*\n")
        return "bad.sam", "bad.sam: line 2: POS 'x'"
    raise AssertionError(case)


@pytest.mark.parametrize("case", ["missing", "folder", "truncated", "damaged block", "text",
                                  "malformed SAM"])
@pytest.mark.parametrize("earlier", [False, True], ids=["new outputs", "earlier outputs"])
def test_unusable_input_exits_1_without_output(data, tmp_path, case, earlier):
    for name in os.listdir(data):
        if name.endswith((".bam", ".gtf")):
            os.symlink(data / name, tmp_path / name)
    name, message = make_input(tmp_path, case)
    outputs = [tmp_path / "counts.txt", tmp_path / "counts.txt.summary"]
    if earlier:
        for output in outputs:
            output.write_text("earlier results\n")
    done = dulse(tmp_path, ["-p", "-a", "genes.gtf", "-o", "counts.txt", "pairs1.bam", name])
    assert done.returncode == 1
    errors = [line for line in done.stderr.splitlines() if "error:" in line]
    assert len(errors) == 1 and errors[0].startswith("dulse: error: "), done.stderr
    assert message in errors[0]
    assert "Traceback" not in done.stderr
    for output in outputs:
        assert output.read_text() == "earlier results\n" if earlier else not output.exists()
    assert [n for n in os.listdir(tmp_path) if n.startswith("counts.txt")] == (
        ["counts.txt", "counts.txt.summary"] if earlier else [])


def test_unusable_annotation_exits_1(data, tmp_path):
    (tmp_path / "genes.gtf").write_bytes(b"\x1f\x8b\x08\x00broken gzip")
    done = dulse(tmp_path, ["-a", "genes.gtf", "-o", "counts.txt", str(data / "single0.bam")])
    assert done.returncode == 1
    errors = [line for line in done.stderr.splitlines() if "error:" in line]
    assert len(errors) == 1 and "genes.gtf" in errors[0]
    assert not (tmp_path / "counts.txt").exists()


# --------------------------------------------------------------------------------------------
# MultiQC


def test_multiqc_reads_the_summary_as_featurecounts(data, tmp_path):
    """MultiQC's featureCounts module, on dulse's summary and on featureCounts' of the same
    files, reports the same numbers."""
    multiqc = shutil.which("multiqc") or shutil.which("multiqc", path=os.path.dirname(
        sys.executable))
    if multiqc is None:
        if os.environ.get("CI") == "true":
            pytest.fail("MultiQC is not installed (pip install multiqc)")
        pytest.skip("MultiQC is not installed")
    for program in ("featurecounts", "dulse"):
        (tmp_path / program).mkdir()
        for name in ("pairs0.bam", "pairs1.bam"):
            os.symlink(data / name, tmp_path / program / f"{program}_{name}")
        (tmp_path / program / "genes.gtf").symlink_to(data / "genes.gtf")
        run = featurecounts if program == "featurecounts" else dulse
        done = run(tmp_path / program, ["-p", "--countReadPairs", "-s", "2", "-a", "genes.gtf",
                                        "-o", "counts.txt", f"{program}_pairs0.bam",
                                        f"{program}_pairs1.bam"])
        assert done.returncode == 0, done.stderr
    done = subprocess.run([multiqc, "-f", "-o", str(tmp_path / "report"), "-m",
                           "featurecounts", str(tmp_path / "featurecounts"),
                           str(tmp_path / "dulse")],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert done.returncode == 0, done.stderr
    table = (tmp_path / "report" / "multiqc_data" / "multiqc_featurecounts.txt").read_text()
    rows = [line.split("\t") for line in table.splitlines()]
    header = rows[0]
    rows = {row[0]: dict(zip(header[1:], row[1:])) for row in rows[1:]}
    assert {"Total", "Assigned", "percent_assigned"} <= set(header)
    summary = [line.split("\t") for line in
               (tmp_path / "dulse" / "counts.txt.summary").read_text().splitlines()[1:]]
    for column, name in enumerate(("pairs0", "pairs1"), 1):
        ours, theirs = rows[f"dulse_{name}"], rows[f"featurecounts_{name}"]
        assert ours == theirs
        assert float(ours["Total"]) == sum(int(row[column]) for row in summary)
        assert float(ours["Assigned"]) == int(summary[0][column])


@pytest.mark.parametrize("argv, says", [
    (["--version"], ""),
    (["count", "-v"], " (featureCounts' command line)"),  # featureCounts' own spelling
    (["count", "--version"], " (featureCounts' command line)"),
    (["htseq-count", "--version"], " (htseq-count's command line)"),
])
def test_version(tmp_path, argv, says):
    done = subprocess.run([sys.executable, "-m", "dulse", *argv], capture_output=True,
                          text=True, cwd=tmp_path)
    assert (done.returncode, done.stdout.strip()) == (0, f"dulse {__version__}{says}")
