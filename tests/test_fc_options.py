"""The engine against the installed featureCounts 2.0.3 under the overlap-length, feature-level,
read-position and split rules (test_fc_model.OVERLAPS), alone and with the engine's other
options, for single-end reads, the reads of pairs and fragments, each read set written in every
file order; the counts as written and every summary row must agree.

FC_OPTIONS_EXAMPLES=100 widens the search. Skipped where featureCounts is not installed, except
under CI=true, where that fails.
"""

import os
import random
import subprocess
import tempfile
from dataclasses import replace
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fc_model
import fc_peer
import sam_strategies as S
from dulse import Settings, count_bam, read_annotation
from dulse.outputs.featurecounts import format_counts
from engine_peer import engine_settings, order_insensitive, require_featurecounts
from test_fc_model import OVERLAP_FRAGMENTS, OVERLAP_READS, OVERLAPS

EXAMPLES = int(os.environ.get("FC_OPTIONS_EXAMPLES", "3"))

differential = settings(max_examples=EXAMPLES, deadline=None, database=None,
                        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.fixture(scope="module", autouse=True)
def featurecounts():
    require_featurecounts()


def featurecounts_columns(folder, inputs, options):
    """featureCounts run once on all the inputs: {input: (counts as written, summary)}, the
    counts one per row of the counts file (gene, or feature with -f)."""
    command = [fc_peer.EXECUTABLE, "-T", "1", "-F", "SAF", "-a", "annotation.saf", "-o",
               fc_peer.OUTPUT, *fc_peer.flags(options), *inputs]
    done = subprocess.run(command, cwd=folder, capture_output=True, text=True,
                          env={**os.environ, "LC_ALL": "C"})
    assert done.returncode == 0, done.stderr
    lines = (folder / fc_peer.OUTPUT).read_text().splitlines()[2:]
    summary = [line.split("\t") for line in
               (folder / (fc_peer.OUTPUT + ".summary")).read_text().splitlines()[1:]]
    columns = {}
    for column, name in enumerate(inputs):
        counts = [line.split("\t")[6 + column] for line in lines]
        columns[name] = (counts, {row[0]: int(row[1 + column]) for row in summary})
    return columns


def compare_orders(records, annotation, options, rng, label):
    """The engine agrees with featureCounts on the records in every file order (the
    coordinate-sorted one as BAM)."""
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        inputs = []
        for number, (sort_order, ordered) in enumerate(S.file_orders(records, rng)):
            path = fc_peer.write_sam(folder / f"order{number}.sam", ordered, sort_order,
                                     S.CONTIG_LENGTHS)
            if sort_order == "coordinate":
                path = fc_peer.write_bam(path, folder / f"order{number}.bam")
            inputs.append(Path(path).name)
        fc_peer.write_saf(folder / "annotation.saf", annotation)
        peer = featurecounts_columns(folder, inputs, options)
        genes = read_annotation(folder / "annotation.saf")
        for name in inputs:
            ours = count_bam(folder / name, genes, engine_settings(options))
            summary = dict(ours.summary)
            if options.non_split_only:
                summary["Unassigned_Split"] = summary.pop("Unassigned_NonSplit")
            assert summary == peer[name][1], f"{label}: {name}"
            assert format_counts(ours.counts) == peer[name][0], f"{label}: {name}"


KINDS = {
    "single-end": (S.single_end_reads(), OVERLAPS),
    "paired-end reads": (S.paired_end_reads(), OVERLAP_READS),
    "fragments": (S.paired_end_reads(), OVERLAP_FRAGMENTS),
}


@pytest.mark.parametrize("reads, groups", KINDS.values(), ids=KINDS.keys())
@differential
@given(st.data(), S.annotations(), st.randoms(use_true_random=False))
def test_engine_counts_as_featurecounts(reads, groups, data, annotation, rng):
    records = data.draw(reads, label="records")
    paired = any(record.flag & fc_model.PAIRED for record in records)
    for label, options in groups.items():
        if options.paired and not paired:
            continue
        kept = order_insensitive(records, annotation, options)
        if kept:
            compare_orders(kept, annotation, options, rng, label)


# Each read is judged under all three strandedness rules in the same pass (for -s auto and the
# strandedness warnings): each rule's rows as featureCounts gives them with that -s.
@pytest.mark.parametrize("label", ["largestOverlap", "fracOverlapFeature0.5-minOverlap5",
                                   "nonOverlap20-fracOverlap0.5", "f-O-fraction"])
@differential
@given(S.paired_end_reads(), S.annotations())
def test_every_strandedness_in_one_pass(label, records, annotation):
    options = replace(OVERLAPS[label], paired=True, count_read_pairs=True)
    if not any(record.flag & fc_model.PAIRED for record in records):
        return
    kept = order_insensitive(records, annotation, options)
    if not kept:
        return
    rows = ("Assigned", "Unassigned_NoFeatures", "Unassigned_Ambiguity",
            "Unassigned_Overlapping_Length")
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        fc_peer.write_sam(folder / "reads.sam", kept, "unsorted", S.CONTIG_LENGTHS)
        fc_peer.write_saf(folder / "annotation.saf", annotation)
        genes = read_annotation(folder / "annotation.saf")
        ours = count_bam(folder / "reads.sam", genes, engine_settings(options))
        for strand in (0, 1, 2):
            peer = featurecounts_columns(folder, ["reads.sam"], replace(options, strand=strand))
            summary = peer["reads.sam"][1]
            assert ours.strand_check.by_rule[strand] == tuple(summary[row] for row in rows)


# --------------------------------------------------------------------------------------------
# dulse count beside featureCounts on the same files and arguments


def run_both(folder, arguments, rpath=False):
    """Runs featureCounts and dulse count with ``arguments`` (-o OUTPUT among them, and RPATH
    for a folder of each program's own, named after it) in ``folder``; returns each one's
    (counts file lines after the command line, summary lines)."""
    from dulse.cli import main

    outputs = []
    for program in ("featureCounts", "dulse"):
        output = f"{program}.txt"
        words = [output if word == "OUTPUT" else program if word == "RPATH" else word
                 for word in arguments]
        if program == "featureCounts":
            done = subprocess.run([fc_peer.EXECUTABLE, *words], cwd=folder, capture_output=True,
                                  text=True)
            assert done.returncode == 0, done.stderr
        else:
            started_in = os.getcwd()
            os.chdir(folder)
            try:
                assert main(["count", *words]) == 0
            finally:
                os.chdir(started_in)
        counts = (folder / output).read_text().splitlines()[1:]
        outputs.append((counts, (folder / (output + ".summary")).read_text().splitlines()))
    return outputs


def read_on(contig, number):
    return fc_model.SamRecord(f"{contig}.{number}", 0, contig, 120 + number, 60, "20M")


# The contigs the reads lie on, the annotation's, and the -A file (None: no -A).
CONTIG_NAMES = {
    "a chr prefix on either side, case kept": (
        ["chr1", "chrM", "CHR2", "Chr3", "4"], ["1", "M", "MT", "2", "3", "chr4"], None),
    "the exact name before the prefixed one": (["chr1", "1"], ["chr1", "1"], None),
    "aliases, the exact name first": (
        ["chrM", "chrX", "MT", "s1"], ["MT", "chrM", "X", "seq1"], "MT,chrM\nseq1,s1\n"),
    "an alias before the prefix": (["chrX"], ["X", "seq1"], "seq1,chrX\n"),
    "the last alias of a name": (["chrM"], ["MT", "X"], "MT,chrM\nX,chrM\n"),
    "alias lines as featureCounts reads them": (
        ["chrM", "s1", "s2", "s3", "s4"], ["MT", "seq1", "seq2", "seq3", "seq4"],
        "annotation,reads\r\nMT,chrM\r\n\n#,comment\nseq1\tno comma\nseq2 ,s2\nseq3,s3 \t\n"
        "seq4,s4,more\n"),
}


@pytest.mark.parametrize("bam_contigs, annotation_contigs, aliases", CONTIG_NAMES.values(),
                         ids=CONTIG_NAMES.keys())
def test_contig_names_matched_as_featurecounts_matches_them(tmp_path, bam_contigs,
                                                            annotation_contigs, aliases):
    records = [read_on(contig, n) for contig in bam_contigs for n in range(len(contig) + 1)]
    fc_peer.write_sam(tmp_path / "reads.sam", records,
                      lengths=dict.fromkeys(bam_contigs, 10_000))
    fc_peer.write_saf(tmp_path / "genes.saf", fc_peer.features(
        *((f"g.{contig}", contig, 100, 300, "+") for contig in annotation_contigs)))
    arguments = ["-F", "SAF", "-a", "genes.saf", "-o", "OUTPUT", "reads.sam"]
    if aliases is not None:
        (tmp_path / "aliases.csv").write_text(aliases)
        arguments[:0] = ["-A", "aliases.csv"]
    ours, theirs = run_both(tmp_path, arguments)
    assert ours == theirs


# Inputs featureCounts reads that htslib refuses: BAM header text with lines not starting with
# '@' or blank, and records whose sequence length disagrees with the CIGAR (SAM and BAM).
HEADER_TEXTS = {
    "a bare @PG": "@HD\tVN:1.6\n@SQ\tSN:chr1\tLN:5000\n@PG\n@CO\tx\n",
    "a line without @": "@HD\tVN:1.6\n@SQ\tSN:chr1\tLN:5000\nloose text\n",
    "a blank line": "@HD\tVN:1.6\n\n@SQ\tSN:chr1\tLN:5000\n",
    "CRLF and no final line break": "@HD\tVN:1.6\r\n@SQ\tSN:chr1\tLN:5000",
    "no text": "",
}
SEQUENCE_LENGTHS = {"as the CIGAR says": None, "none": 0, "shorter": 4, "longer": 90}


@pytest.mark.parametrize("text", HEADER_TEXTS.values(), ids=HEADER_TEXTS.keys())
@pytest.mark.parametrize("length", SEQUENCE_LENGTHS.values(), ids=SEQUENCE_LENGTHS.keys())
def test_bam_files_featurecounts_reads(tmp_path, text, length):
    import bam_bytes

    records = [bam_bytes.record(name=f"r{n}".encode(), pos=100 + 7 * n, cigar=cigar,
                                l_qseq=length, flag=flag)
               for n, (cigar, flag) in enumerate([("20M", 0), ("5S10M5I", 16), ("8M50N8M", 0),
                                                  ("30M", 0x400)])]
    (tmp_path / "reads.bam").write_bytes(bam_bytes.bgzf(
        bam_bytes.header((("chr1", 5000),), text) + b"".join(records)))
    fc_peer.write_saf(tmp_path / "genes.saf", fc_peer.features(("gA", "chr1", 100, 140, "+"),
                                                               ("gB", "chr1", 130, 300, "-")))
    ours, theirs = run_both(tmp_path, ["-F", "SAF", "-O", "--fracOverlap", "0.5", "-a",
                                       "genes.saf", "-o", "OUTPUT", "reads.bam"])
    assert ours == theirs


@pytest.mark.parametrize("sequence", ["*", "ACGT", "A" * 90, "ACGT\tIIIIII"],
                         ids=["none", "shorter", "longer", "qualities of another length"])
def test_sam_sequences_featurecounts_reads(tmp_path, sequence):
    lines = ["@HD\tVN:1.6", "@SQ\tSN:chr1\tLN:5000", "@PG"]
    for n, cigar in enumerate(["20M", "5S10M5I", "8M50N8M"]):
        quality = "" if "\t" in sequence else "\t*"
        lines.append(f"r{n}\t0\tchr1\t{101 + 7 * n}\t60\t{cigar}\t*\t0\t0\t{sequence}{quality}")
    (tmp_path / "reads.sam").write_text("\n".join(lines) + "\n")
    fc_peer.write_saf(tmp_path / "genes.saf", fc_peer.features(("gA", "chr1", 100, 140, "+")))
    ours, theirs = run_both(tmp_path, ["-F", "SAF", "--nonOverlap", "5", "-a", "genes.saf",
                                       "-o", "OUTPUT", "reads.sam"])
    assert ours == theirs


def test_feature_level_layout(tmp_path):
    """-f: a row per annotation line, repeats and strandless features included, each with its
    own place and length; the gene-level columns of the same file for comparison."""
    (tmp_path / "genes.gtf").write_text("".join(
        f'{contig}\tsrc\texon\t{start}\t{end}\t.\t{strand}\t.\tgene_id "{gene}";\n'
        for gene, contig, start, end, strand in [
            ("gA", "chr1", 100, 199, "+"), ("gB", "chr2", 50, 80, "-"),
            ("gA", "chr1", 300, 399, "+"), ("gA", "chr1", 100, 199, "+"),
            ("gC", "chr1", 150, 160, "."), ("gA", "chr2", 10, 20, "+")]))
    records = [fc_model.SamRecord(f"r{n}", 0, contig, pos, 60, "20M")
               for n, (contig, pos) in enumerate([("chr1", 120), ("chr1", 310), ("chr2", 60),
                                                  ("chr1", 150), ("chr2", 5)])]
    fc_peer.write_sam(tmp_path / "reads.sam", records, lengths={"chr1": 5000, "chr2": 5000})
    for options in (["-f", "-O", "--fraction"], ["-f", "--largestOverlap"], ["-O"]):
        ours, theirs = run_both(tmp_path, [*options, "-a", "genes.gtf", "-o", "OUTPUT",
                                           "reads.sam"])
        assert ours == theirs


# --------------------------------------------------------------------------------------------
# -R: what each read came to, record by record as featureCounts writes it


O = fc_model.Options
PAIRED_READS = O(paired=True)
FRAGMENT_READS = O(paired=True, count_read_pairs=True)
ASSIGNMENT_GROUPS = {
    "single-end": (S.single_end_reads(), [
        O(), O(multi_overlap=True, multi_mapping=True, fraction=True),
        O(feature_level=True, multi_overlap=True), O(largest_overlap=True, min_overlap=5),
        O(min_mapq=10, primary_only=True, ignore_dup=True, strand=2), O(split_only=True),
        O(non_split_only=True, multi_overlap=True), O(frac_overlap=0.5, read2pos=5)]),
    "paired-end reads": (S.paired_end_reads(), [
        PAIRED_READS, replace(PAIRED_READS, multi_overlap=True, strand=1)]),
    "fragments": (S.paired_end_reads(), [
        FRAGMENT_READS, replace(FRAGMENT_READS, multi_overlap=True, both_aligned=True,
                                exclude_chimeric=True, strand=2),
        replace(FRAGMENT_READS, feature_level=True, largest_overlap=True),
        replace(FRAGMENT_READS, min_mapq=10, frac_overlap=0.3)]),
}


def sam_records(path):
    """A SAM file's records, the fields featureCounts leaves empty for a record without a
    sequence written '*' as SAM has it."""
    lines = Path(path).read_text().splitlines()
    records = [line.split("\t") for line in lines if not line.startswith("@")]
    for fields in records:
        fields[9] = fields[9] or "*"
        fields[10] = fields[10] or "*"
    return [line for line in lines if line.startswith("@")], ["\t".join(f) for f in records]


def bam_records(path):
    import pysam

    with pysam.AlignmentFile(str(path), check_sq=False) as source:
        return str(source.header), [record.to_string() for record in source]


def assignments_of(folder, kind, name):
    suffix = {"CORE": ".featureCounts", "SAM": ".featureCounts.sam",
              "BAM": ".featureCounts.bam"}[kind]
    path = folder / (name + suffix)
    if kind == "CORE":
        return [], path.read_text().splitlines()
    return sam_records(path) if kind == "SAM" else bam_records(path)


@pytest.mark.parametrize("reads, groups", ASSIGNMENT_GROUPS.values(),
                         ids=ASSIGNMENT_GROUPS.keys())
@pytest.mark.parametrize("kind", ["CORE", "SAM", "BAM"])
@differential
@given(st.data(), S.annotations(), st.randoms(use_true_random=False))
def test_assignments_record_by_record(reads, groups, kind, data, annotation, rng):
    records = data.draw(reads, label="records")
    paired = any(record.flag & fc_model.PAIRED for record in records)
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        for number, options in enumerate(groups):
            kept = order_insensitive(records, annotation, options) if paired or not options.paired else []
            if not kept:
                continue
            ordered = S.shuffled(kept, rng) if number % 2 else kept
            sam = fc_peer.write_sam(folder / f"reads{number}.sam", ordered, "unsorted",
                                    S.CONTIG_LENGTHS)
            bam = Path(fc_peer.write_bam(sam, folder / f"reads{number}.bam")).name
            fc_peer.write_saf(folder / "genes.saf", annotation)
            for program in ("featureCounts", "dulse"):
                (folder / program).mkdir(exist_ok=True)
            run_both(folder, ["-F", "SAF", *fc_peer.flags(options), "-R", kind, "--Rpath",
                              "RPATH", "-a", "genes.saf", "-o", "OUTPUT", bam], rpath=True)
            theirs = assignments_of(folder / "featureCounts", kind, bam)
            ours = assignments_of(folder / "dulse", kind, bam)
            assert ours[0] == theirs[0], options
            # A fragment whose mate never came is written at the end by featureCounts, in an
            # order of its own; every other read and fragment comes in the same order.
            if options.fragments:
                assert sorted(ours[1]) == sorted(theirs[1]), options
            else:
                assert ours[1] == theirs[1], options


# Features sharing a start, each its own gene, on two contigs whose rows interleave: the starts of
# each contig's features in annotation order. featureCounts lists a read's targets in the order
# its sort leaves features of one start, which differs from annotation order past 11 of them.
def tie_pattern(seed, n, starts):
    rng = random.Random(seed)
    return [rng.randint(1, starts) for _ in range(n)]


TIED_STARTS = {
    "eleven at one start": ([1] * 11, [1]),
    "twelve at one start": ([1] * 12, [2, 1]),
    "twenty-five at one start": ([1] * 25, [1] * 3),
    "a later start first": ([2] + [1] * 11, [1] * 13),
    "mixed starts": (tie_pattern(1, 34, 4), tie_pattern(2, 70, 2)),
    "many mixed starts": (tie_pattern(3, 150, 6), tie_pattern(4, 9, 3)),
}


@pytest.mark.parametrize("first, second", TIED_STARTS.values(), ids=TIED_STARTS.keys())
def test_targets_of_one_start_listed_as_featurecounts_lists_them(tmp_path, first, second):
    rows = [(f"a{k}", "chr1", start) for k, start in enumerate(first)]
    rows += [(f"b{k}", "chr2", start) for k, start in enumerate(second)]
    random.Random(len(rows)).shuffle(rows)
    saf = ["GeneID\tChr\tStart\tEnd\tStrand"]
    saf += [f"{gene}\t{contig}\t{start}\t{300 + k}\t+" for k, (gene, contig, start)
            in enumerate(rows)]
    (tmp_path / "genes.saf").write_text("\n".join(saf) + "\n")
    sam = ["@SQ\tSN:chr1\tLN:10000", "@SQ\tSN:chr2\tLN:10000"]
    sam += [f"r{contig}\t0\t{contig}\t1\t60\t100M\t*\t0\t0\t*\t*" for contig in ("chr1", "chr2")]
    (tmp_path / "reads.sam").write_text("\n".join(sam) + "\n")
    for program in ("featureCounts", "dulse"):
        (tmp_path / program).mkdir()
    run_both(tmp_path, ["-O", "-F", "SAF", "-a", "genes.saf", "-o", "OUTPUT", "-R", "CORE",
                        "--Rpath", "RPATH", "reads.sam"], rpath=True)
    theirs = assignments_of(tmp_path / "featureCounts", "CORE", "reads.sam")[1]
    assert assignments_of(tmp_path / "dulse", "CORE", "reads.sam")[1] == theirs
    assert [line.split("\t")[2] for line in theirs] == [str(len(first)), str(len(second))]


# Genes met first on a feature of the other strand: X's "-" feature comes before Y, its "+" one
# after. A pair's later record (listed first) meets X on "-" alone. featureCounts lists the
# targets in the order of the hits the strand rule takes.
STRAND_ORDER_SAF = ["X\tchr1\t100\t150\t-", "Y\tchr1\t120\t300\t+", "X\tchr1\t200\t300\t+",
                    "Z\tchr1\t600\t700\t+"]
STRAND_ORDER_READS = {
    "a read": ["r\t0\tchr1\t100\t60\t150M\t*\t0\t0\t*\t*"],
    "a pair, read 2 first": ["p\t163\tchr1\t180\t60\t50M\t=\t100\t570\t*\t*",
                             "p\t83\tchr1\t100\t60\t30M500N40M\t=\t180\t-570\t*\t*"],
    "a pair, read 1 first": ["p\t83\tchr1\t100\t60\t30M500N40M\t=\t180\t-570\t*\t*",
                             "p\t163\tchr1\t180\t60\t50M\t=\t100\t570\t*\t*"],
}
STRAND_ORDER_EXPECTED = {  # (reads, -s): featureCounts' targets, as seen from its own runs
    ("a read", "0"): "X,Y", ("a read", "1"): "Y,X", ("a read", "2"): "X",
    ("a pair, read 2 first", "0"): "X,Y,Z", ("a pair, read 2 first", "1"): "X",
    ("a pair, read 2 first", "2"): "Y,Z,X",
    ("a pair, read 1 first", "0"): "Y,X,Z", ("a pair, read 1 first", "1"): "X",
    ("a pair, read 1 first", "2"): "Y,X,Z",
}


@pytest.mark.parametrize("reads", STRAND_ORDER_READS)
@pytest.mark.parametrize("strandedness", ["0", "1", "2"])
@pytest.mark.parametrize("overlap", [[], ["--minOverlap", "2"]])
def test_targets_listed_in_the_order_of_hits_on_the_right_strand(tmp_path, reads, strandedness,
                                                                 overlap):
    (tmp_path / "genes.saf").write_text("\n".join(["GeneID\tChr\tStart\tEnd\tStrand",
                                                   *STRAND_ORDER_SAF]) + "\n")
    (tmp_path / "reads.sam").write_text("\n".join(["@SQ\tSN:chr1\tLN:10000",
                                                   *STRAND_ORDER_READS[reads]]) + "\n")
    paired = ["-p", "--countReadPairs"] if reads != "a read" else []
    for program in ("featureCounts", "dulse"):
        (tmp_path / program).mkdir()
    run_both(tmp_path, [*paired, "-O", "-s", strandedness, *overlap, "-F", "SAF", "-a",
                        "genes.saf", "-o", "OUTPUT", "-R", "CORE", "--Rpath", "RPATH",
                        "reads.sam"], rpath=True)
    theirs = assignments_of(tmp_path / "featureCounts", "CORE", "reads.sam")[1]
    assert assignments_of(tmp_path / "dulse", "CORE", "reads.sam")[1] == theirs
    assert [line.split("\t")[3] for line in theirs] == [STRAND_ORDER_EXPECTED[reads, strandedness]]


def test_assignments_from_sam_as_from_bam(tmp_path):
    """SAM input gives the records as the same records in BAM do (featureCounts 2.0.3 mangles
    its -R SAM output from SAM input, so dulse is compared with itself here)."""
    from dulse import count_bam

    records = [fc_model.SamRecord("a", 0, "chr1", 120, 60, "5S20M3I", tags=(("NH", 1),)),
               fc_model.SamRecord("b", 16, "chr1", 150, 3, "10M50N10M"),
               fc_model.SamRecord("c", 4, None, 0, 0, "*")]
    sam = fc_peer.write_sam(tmp_path / "reads.sam", records, lengths={"chr1": 5000})
    bam = fc_peer.write_bam(sam, tmp_path / "reads.bam")
    fc_peer.write_saf(tmp_path / "genes.saf", fc_peer.features(("gA", "chr1", 100, 200, "+")))
    genes = read_annotation(tmp_path / "genes.saf")
    written = {}
    for source in (sam, bam):
        for kind in ("SAM", "BAM"):
            out = tmp_path / f"{Path(source).suffix}.{kind}"
            count_bam(source, genes, Settings(min_mapq=5), assignments=(kind, out))
            written[source, kind] = (sam_records(out)[1] if kind == "SAM"
                                     else bam_records(out)[1])
    assert written[sam, "SAM"] == written[bam, "SAM"] == written[sam, "BAM"] == \
        written[bam, "BAM"]
    assert [line.split("\t")[-1] for line in written[sam, "SAM"]] == [
        "XT:Z:gA", "XS:Z:Unassigned_MappingQuality", "XS:Z:Unassigned_Unmapped"]


# CIGARs whose sections (begun by every N, D and I) outnumber their blocks: a leading I or D, an
# I next to a D, and a P, which begins no section. Each read's last block alone lies on its gene.
SECTION_CIGARS = ["10M1I1D30M", "10M1D1I30M", "2I10M20N30M", "1D10M20N30M", "5M1P5M1D30M",
                  "10M1I30M", "10M1D30M", "10M5N30M", "10M1D10M1D5M20N30M", "3S10M2I1D2N30M"]


@pytest.mark.parametrize("max_m_operations", [1, 2, 3, 4])
def test_max_m_operations_counts_sections_as_featurecounts_does(tmp_path, max_m_operations):
    saf, sam = ["GeneID\tChr\tStart\tEnd\tStrand"], ["@HD\tVN:1.6\tSO:unsorted",
                                                      "@SQ\tSN:chr1\tLN:100000"]
    for number, cigar in enumerate(SECTION_CIGARS):
        start = 1001 + 1000 * number
        operations = fc_model.CIGAR_OPERATION.findall(cigar)
        spanned = sum(int(n) for n, op in operations if op in "MDN=X")
        saf.append(f"g{number}\tchr1\t{start + spanned - 25}\t{start + spanned + 100}\t+")
        bases = sum(int(n) for n, op in operations if op in "MIS=X")
        sam.append(f"r{number}\t0\tchr1\t{start}\t60\t{cigar}\t*\t0\t0\t{'A' * bases}\t"
                   f"{'I' * bases}")
    (tmp_path / "genes.saf").write_text("\n".join(saf) + "\n")
    (tmp_path / "reads.sam").write_text("\n".join(sam) + "\n")
    done = subprocess.run(["featureCounts", "-F", "SAF", "-a", "genes.saf", "-o", "fc.txt",
                           "--maxMOp", str(max_m_operations), "reads.sam"], cwd=tmp_path,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    expected = {line.split("\t")[0]: line.split("\t")[-1]
                for line in (tmp_path / "fc.txt").read_text().splitlines()[2:]}
    annotation = read_annotation(tmp_path / "genes.saf", file_format="SAF")
    result = count_bam(str(tmp_path / "reads.sam"), annotation,
                       Settings(max_m_operations=max_m_operations))
    assert dict(zip(annotation.gene_ids, format_counts(result.counts))) == expected


# Pairs whose mates lie close, with soft clips and insertions: what the mates share, taken from
# the fragment's length, counts their clipped bases where they would lie and each insertion on
# one base beside it (fc_model.placed_bases). Each pair, (flag, offset, CIGAR) per mate, lies
# inside a gene of its own.
SHARING_PAIRS = [
    ((83, 1, "1M5S"), (163, 0, "1M1D1M1D1M1D1M1D1M1D1M1D1M1D1M")),  # clip onto deletions
    ((83, 1, "1M5S"), (163, 0, "8M")),
    ((83, 6, "5S1M"), (163, 0, "8M")),
    ((99, 0, "1M5S"), (147, 4, "8M")),
    ((83, 0, "6M"), (163, 4, "4S8M")),
    ((83, 0, "1M5S"), (163, 9, "5S3M")),        # two clips meet
    ((83, 8, "3S2I5M"), (163, 0, "8M")),        # S then I, all before the first block
    ((83, 8, "2I5M"), (163, 0, "8M")),          # I alone: no reach
    ((83, 0, "5M2I3S"), (163, 5, "8M")),        # S after I: no reach
    ((83, 0, "5M2I"), (163, 5, "8M")),
    ((83, 8, "2H3S5M"), (163, 0, "8M")),
    ((83, 0, "3S5M2I"), (163, 5, "8M")),
    ((83, 0, "3M2I3M"), (163, 4, "8M")),
    ((83, 6, "6M"), (163, 0, "2M20N6M")),
    ((99, 0, "4M6I21M"), (147, 2, "15M")),       # an insertion on a base the mate covers
    ((99, 0, "4M6I21M"), (147, 4, "15M")),       # ... on the base before it
    ((99, 0, "5M3D4I10M"), (147, 8, "1M")),      # after a deletion: on the base after it
    ((99, 0, "5M3D4I10M"), (147, 7, "1M")),
    ((99, 0, "5M3N4I10M"), (147, 4, "1M")),
    ((99, 0, "5M4I3D10M"), (147, 4, "1M")),
    ((99, 0, "5M4I"), (147, 4, "1M")),           # at the end, in the length
    ((99, 0, "5M3D4I"), (147, 8, "1M")),         # at the end, not in it
    ((99, 0, "6M5I6M"), (147, 2, "3M4I9M")),     # both mates
    ((99, 0, "6M5I6M"), (147, 6, "2S10M")),      # on the mate's clip
    ((99, 5, "3S2I5M"), (147, 0, "2M")),
    ((99, 5, "3S2I5M"), (147, 3, "2M")),
    ((99, 390, "3=1X1=6I1=1X18="), (147, 0, "10=3X2=371N9M")),
]


@pytest.mark.parametrize("options", [
    *(fc_model.Options(paired=True, count_read_pairs=True, frac_overlap=f)
      for f in (0.3, 0.5, 0.7, 0.75, 0.8, 0.85, 0.9, 1.0)),
    *(fc_model.Options(paired=True, count_read_pairs=True, non_overlap=n) for n in (0, 2, 3, 5, 8)),
], ids=lambda options: f"frac{options.frac_overlap}-non{options.non_overlap}")
def test_what_mates_share_as_featurecounts_measures_it(tmp_path, options):
    records, annotation = [], []
    for number, mates in enumerate(SHARING_PAIRS):
        base = 1001 + 1000 * number
        (flag1, at1, cigar1), (flag2, at2, cigar2) = mates
        for flag, at, cigar, mate_at in ((flag1, at1, cigar1, at2), (flag2, at2, cigar2, at1)):
            records.append(fc_model.SamRecord(f"p{number}", flag, "chr1", base + at, 60, cigar,
                                              "chr1", base + mate_at, 0))
        annotation.append(fc_model.Feature(f"g{number}", "chr1", base - 300, base + 300, "+"))
    path = fc_peer.write_sam(tmp_path / "pairs.sam", records, "unsorted", S.CONTIG_LENGTHS)
    fc_peer.write_saf(tmp_path / "annotation.saf", annotation)
    peer = featurecounts_columns(tmp_path, ["pairs.sam"], options)["pairs.sam"]
    ours = count_bam(path, read_annotation(tmp_path / "annotation.saf"), engine_settings(options))
    model = fc_model.count(records, annotation, options)
    assert format_counts(ours.counts) == peer[0]
    assert [f"{value:g}" for value in model.counts.values()] == peer[0]
    assert ours.summary == peer[1] == model.summary


# --------------------------------------------------------------------------------------------
# Long reads (-L): every block of a record looked at


def long_reads_sam(rng, paired):
    """Reads of 12 to 40 sections (runs of M between N, D and I), clipped at random, on both
    strands of chr1; with `paired` as mates (read 2 reversed to read 1) of distant pairs."""
    lines = ["@HD\tVN:1.6\tSO:unsorted", f"@SQ\tSN:chr1\tLN:{LONG_CONTIG}"]
    for number in range(60):
        records = []
        for _ in range(2 if paired else 1):
            operations = [f"{rng.randint(1, 20)}S"] if rng.random() < 0.3 else []
            for section in range(rng.randint(12, 40)):
                if section:
                    gap = rng.choice([(20, 400, "N"), (1, 6, "D"), (1, 6, "I")])
                    operations.append(f"{rng.randint(*gap[:2])}{gap[2]}")
                operations.append(f"{rng.randint(5, 40)}M")
            cigar = "".join(operations)
            records.append((rng.randint(1, LONG_CONTIG - 20_000), cigar))
        lines += template_lines(rng, f"r{number}", records, paired)
    return "\n".join(lines) + "\n"


def template_lines(rng, name, records, paired):
    """SAM lines on chr1 of one template's (position, CIGAR) records: with `paired` two mates
    on opposite strands, else one read on a random strand."""
    lines = []
    for mate, (position, cigar) in enumerate(records):
        if paired:
            flag = (99, 147)[mate] if rng.random() < 0.5 else (83, 163)[mate]
            rest = f"=\t{records[1 - mate][0]}\t0"
        else:
            flag, rest = rng.choice([0, 16]), "*\t0\t0"
        lines.append(f"{name}\t{flag}\tchr1\t{position}\t60\t{cigar}\t{rest}\t"
                     f"{fc_peer.sequence_for(cigar)}\t*")
    return lines


LONG_CONTIG = 200_000
LONG_READ_OPTIONS = [[], ["-O"], ["--largestOverlap"], ["--fracOverlap", "0.2", "-O"],
                     ["--read2pos", "3"], ["-s", "1", "--splitOnly"], ["-s", "2", "-f"]]


@pytest.mark.parametrize("options", LONG_READ_OPTIONS, ids=" ".join)
@pytest.mark.parametrize("paired", [False, True], ids=["single-end", "pairs as reads"])
@pytest.mark.parametrize("seed", [1, 2])
def test_long_reads_as_featurecounts(tmp_path, options, paired, seed):
    rng = random.Random(seed)
    genes = ["GeneID\tChr\tStart\tEnd\tStrand"]
    for number in range(120):
        start = rng.randint(1, LONG_CONTIG - 3000)
        genes.append(f"g{number % 80}\tchr1\t{start}\t{start + rng.randint(50, 3000)}\t"
                     f"{rng.choice('+-')}")
    (tmp_path / "genes.saf").write_text("\n".join(genes) + "\n")
    (tmp_path / "reads.sam").write_text(long_reads_sam(rng, paired))
    words = ["-F", "SAF", "-a", "genes.saf", "-o", "OUTPUT", *(["-p"] if paired else []),
             *options, "reads.sam"]
    theirs, ours = run_both(tmp_path, ["-L", *words])
    assert ours == theirs
    if not options:
        # Without -L only the first 10 sections count: the reads are long enough to differ.
        assert run_both(tmp_path, words)[0] != theirs


# --------------------------------------------------------------------------------------------
# Reads moved (--readShiftType, --readShiftSize) up to the ends of their contig


SHIFT_CONTIG = 600


def shifted_reads_sam(rng, paired):
    """Reads of one or two blocks all along a short contig, some running past its end; with
    `paired` as mates on opposite strands."""
    lines = ["@HD\tVN:1.6\tSO:unsorted", f"@SQ\tSN:chr1\tLN:{SHIFT_CONTIG}"]
    for number in range(50):
        records = []
        for _ in range(2 if paired else 1):
            cigar = rng.choice([f"{rng.randint(5, 40)}M",
                                f"{rng.randint(3, 20)}M{rng.randint(1, 30)}N{rng.randint(3, 20)}M",
                                f"{rng.randint(1, 5)}S{rng.randint(5, 30)}M{rng.randint(1, 3)}D"
                                f"{rng.randint(5, 30)}M"])
            records.append((rng.randint(1, SHIFT_CONTIG - 5), cigar))
        lines += template_lines(rng, f"r{number}", records, paired)
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("shift_type", ["upstream", "downstream", "left", "right"])
@pytest.mark.parametrize("size", [1, 17, 450])
@pytest.mark.parametrize("reads", [[], ["-p"], ["-p", "--countReadPairs"]],
                         ids=["single-end", "pairs as reads", "fragments"])
def test_shifted_reads_as_featurecounts(tmp_path, shift_type, size, reads):
    # A feature on every base, counted with -O -f: each base a read is moved onto shows.
    rng = random.Random(f"{shift_type}{size}{reads}")
    bases = [f"b{base}\tchr1\t{base}\t{base}\t+" for base in range(1, SHIFT_CONTIG + 1)]
    (tmp_path / "bases.saf").write_text("GeneID\tChr\tStart\tEnd\tStrand\n" + "\n".join(bases))
    (tmp_path / "reads.sam").write_text(shifted_reads_sam(rng, bool(reads)))
    words = ["-F", "SAF", "-a", "bases.saf", "-o", "OUTPUT", "-O", "-f", *reads,
             "--readShiftType", shift_type, "--readShiftSize", str(size), "reads.sam"]
    theirs, ours = run_both(tmp_path, words)
    assert ours == theirs
    # The reads were moved: counted where they lie, the bases differ.
    assert run_both(tmp_path, words[:-5] + ["reads.sam"])[0][0] != theirs[0]


# --------------------------------------------------------------------------------------------
# Read groups (--byReadGroup): a column per @RG line of each file


READ_GROUP_KINDS = {
    "single-end": (S.single_end_reads(), ["-O", "-R", "CORE", "--Rpath", "RPATH"]),
    "pairs as reads": (S.paired_end_reads(), ["-p", "-s", "2"]),
    "fragments": (S.paired_end_reads(), ["-p", "--countReadPairs", "-M", "--fraction", "-J"]),
}


@pytest.mark.parametrize("reads, options", READ_GROUP_KINDS.values(), ids=READ_GROUP_KINDS.keys())
@differential
@given(st.data(), S.annotations(), st.randoms(use_true_random=False))
def test_read_groups_as_featurecounts(tmp_path_factory, reads, options, data, annotation, rng):
    # The RG tag of each record: one of the header's two groups (listed B first), one it
    # lacks, or none; mostly its read's (the mates of a pair agree), now and then its own.
    records = data.draw(reads, label="records")
    fc_options = fc_model.Options(paired="-p" in options, count_read_pairs="-J" in options,
                                  multi_mapping="-M" in options)
    if fc_options.paired and not any(record.flag & fc_model.PAIRED for record in records):
        return
    kept = order_insensitive(records, annotation, fc_options)
    if not kept:
        return
    names = sorted({record.name for record in kept})
    tag = st.sampled_from(["A", "B", "C", None])
    by_name = dict(zip(names, data.draw(st.lists(tag, min_size=len(names),
                                                 max_size=len(names)), label="groups")))
    own = data.draw(st.lists(st.one_of(st.just("read's"), st.just("read's"), tag),
                             min_size=len(kept), max_size=len(kept)), label="own groups")
    group_of = {id(record): by_name[record.name] if mine == "read's" else mine
                for record, mine in zip(kept, own)}
    if fc_options.paired and not any(record.flag & fc_model.PAIRED and group_of[id(record)]
                                     in ("A", "B") for record in kept):
        # featureCounts then finds no paired-end reads, refuses the file and crashes.
        return
    folder = tmp_path_factory.mktemp("groups")
    inputs = []
    for number, (sort_order, ordered) in enumerate(S.file_orders(kept, rng)):
        lines = [f"@HD\tVN:1.6\tSO:{sort_order}",
                 *(f"@SQ\tSN:{name}\tLN:{length}" for name, length in S.CONTIG_LENGTHS.items()),
                 "@RG\tID:B\tSM:b", "@RG\tID:A\tSM:a"]
        for record in ordered:
            group = group_of[id(record)]
            lines.append(fc_peer.sam_line(record) + (f"\tRG:Z:{group}" if group else ""))
        path = folder / f"order{number}.sam"
        path.write_text("\n".join(lines) + "\n")
        if sort_order == "coordinate":
            path = fc_peer.write_bam(path, folder / f"order{number}.bam")
        inputs.append(Path(path).name)
    fc_peer.write_saf(folder / "annotation.saf", annotation)
    for program in ("featureCounts", "dulse"):
        (folder / program).mkdir()
    theirs, ours = run_both(folder, ["-F", "SAF", "-a", "annotation.saf", "-o", "OUTPUT",
                                     "--byReadGroup", *options, *inputs])
    assert ours == theirs
    if "-R" in options:
        # Reads of a group the header lacks are written, reads without one are not.
        for name in inputs:
            assert assignments_of(folder / "dulse", "CORE", name) == assignments_of(
                folder / "featureCounts", "CORE", name)
    if "-J" in options:
        assert (folder / "dulse.txt.jcounts").read_text() == (
            folder / "featureCounts.txt.jcounts").read_text()
