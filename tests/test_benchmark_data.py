"""The benchmark's data generator, at a tiny size: same bytes every run, and data shaped like
RNA-seq alignments where it matters for counting."""

import argparse
import collections
import json
import shutil
import subprocess
import sys
from pathlib import Path

import pysam
import pytest
from dulse.quantify import _core_fast
from dulse.quantify.annotation import read_annotation

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"
READS = 2_000
FILES = ("genes.gtf", "genes.saf", "header-only.bam", f"reads-{READS}.unsorted.bam",
         f"reads-{READS}.sorted.bam")


def start(data, *options):
    return subprocess.Popen([sys.executable, str(BENCHMARKS / "generate.py"), "--reads", str(READS),
                             "--data", str(data), *options], cwd=BENCHMARKS,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def finish(process):
    output, _ = process.communicate()
    assert process.returncode == 0, output
    return output


def generate(data, *options):
    finish(start(data, *options))
    return Path(data)


@pytest.fixture(scope="module")
def bench():
    """The benchmark's modules, imported from their folder as the scripts import each other."""
    sys.path.insert(0, str(BENCHMARKS))
    try:
        import generate as generator
        import genome
        yield argparse.Namespace(generate=generator, genome=genome)
    finally:
        sys.path.remove(str(BENCHMARKS))


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Two runs side by side into two folders; the second with another thread count, which may
    not change a byte."""
    folders = [tmp_path_factory.mktemp("bench"), tmp_path_factory.mktemp("again")]
    processes = [start(folders[0]), start(folders[1], "--threads", "1")]
    for process in processes:
        finish(process)
    return folders


@pytest.fixture(scope="module")
def data(runs):
    return runs[0]


@pytest.fixture(scope="module")
def index(data):
    annotation = read_annotation(data / "genes.gtf")
    return annotation.gene_ids, annotation.gene_index


@pytest.fixture(scope="module")
def records(data):
    with pysam.AlignmentFile(str(data / f"reads-{READS}.unsorted.bam")) as bam:
        return list(bam)


@pytest.fixture(scope="module")
def primaries(records):
    return [r for r in records if not (r.is_unmapped or r.is_secondary or r.is_supplementary)]


# Determinism and reuse.

@pytest.mark.parametrize("name", FILES)
def test_every_file_is_the_same_bytes_on_every_run(runs, name):
    first, second = (runs[0] / name).read_bytes(), (runs[1] / name).read_bytes()
    assert first and first == second


def test_a_finished_set_is_reused_and_an_incomplete_one_is_rewritten(tmp_path, data):
    folder = tmp_path / "data"
    shutil.copytree(data, folder)
    unsorted = folder / f"reads-{READS}.unsorted.bam"
    stamp = unsorted.stat().st_mtime_ns
    generate(folder)
    assert unsorted.stat().st_mtime_ns == stamp
    (folder / f"reads-{READS}.sorted.bam").unlink()
    generate(folder)
    assert unsorted.stat().st_mtime_ns != stamp
    for name in FILES:
        assert (folder / name).read_bytes() == (data / name).read_bytes()
    assert not list(folder.glob("*.partial")) and not list(folder.glob("*.tmp*"))


@pytest.mark.parametrize("text, reads", [("2000000", 2_000_000), ("2M", 2_000_000),
                                         ("500k", 500_000), ("1.5m", 1_500_000), ("20_000", 20_000)])
def test_read_count_accepts_plain_and_suffixed_numbers(bench, text, reads):
    assert bench.generate.read_count(text) == reads


@pytest.mark.parametrize("text", ["0", "-3", "two", "M", ""])
def test_read_count_rejects_what_is_not_a_positive_count(bench, text):
    with pytest.raises(argparse.ArgumentTypeError):
        bench.generate.read_count(text)


# The reads.

def _share(part, whole):
    return len(part) / len(whole)


@pytest.mark.parametrize("what, low, high", [
    ("spliced primaries", 0.50, 0.75),
    ("unmapped reads", 0.01, 0.06),
    ("multi-mapped primaries", 0.03, 0.12),
    ("supplementary records", 0.003, 0.03),
    ("reverse-strand primaries", 0.35, 0.65),
    ("primaries on unannotated contigs", 0.002, 0.03),
])
def test_the_mix_of_records_is_that_of_an_rna_seq_run(bench, records, primaries, what, low,
                                                      high):
    unannotated = {name for name, _ in bench.genome.UNANNOTATED_CONTIGS}
    reads = [r for r in records if not (r.is_secondary or r.is_supplementary)]
    part, whole = {
        "spliced primaries": ([r for r in primaries if "N" in r.cigarstring], primaries),
        "unmapped reads": ([r for r in reads if r.is_unmapped], reads),
        "multi-mapped primaries": ([r for r in primaries if r.get_tag("NH") > 1], primaries),
        "supplementary records": ([r for r in records if r.is_supplementary], records),
        "reverse-strand primaries": ([r for r in primaries if r.is_reverse], primaries),
        "primaries on unannotated contigs":
            ([r for r in primaries if r.reference_name in unannotated], primaries),
    }[what]
    assert len(reads) == READS
    assert low <= _share(part, whole) <= high


def test_cigars_mapqs_and_qualities_vary_as_aligners_write_them(records, primaries):
    ops = {op for r in primaries for op, _ in r.cigartuples}
    assert {pysam.CMATCH, pysam.CINS, pysam.CDEL, pysam.CREF_SKIP, pysam.CSOFT_CLIP} <= ops
    assert {0, 1, 3, 60} <= {r.mapping_quality for r in primaries}
    assert any(r.mapping_quality not in (0, 1, 3, 60) for r in primaries)
    for record in records:
        if record.is_supplementary:
            assert record.cigartuples[0][0] == pysam.CHARD_CLIP
        else:
            assert record.query_length == 100
        assert len(record.query_qualities) == record.query_length


def test_nh_tags_match_the_secondary_records(records):
    by_name = collections.defaultdict(list)
    for record in records:
        by_name[record.query_name].append(record)
    assert len(by_name) == READS
    multi = 0
    for group in by_name.values():
        primary, *others = group
        assert not (primary.is_secondary or primary.is_supplementary)
        alignments = [primary] + [r for r in others if r.is_secondary]
        supplementary = [r for r in others if r.is_supplementary]
        assert others == alignments[1:] + supplementary  # aligner order: secondaries, then rest
        if primary.is_unmapped:
            assert others == [] and primary.get_tag("NH") == 0
            continue
        nh = primary.get_tag("NH")
        assert [r.get_tag("NH") for r in alignments] == [nh] * nh
        assert [r.get_tag("HI") for r in alignments] == list(range(1, nh + 1))
        assert len(supplementary) <= 1 and (not supplementary or nh == 1)
        assert bool(supplementary) == primary.has_tag("SA")
        multi += nh > 1
    assert multi > 0


def test_the_sorted_file_holds_the_same_records_in_coordinate_order(data, records):
    with pysam.AlignmentFile(str(data / f"reads-{READS}.sorted.bam")) as bam:
        assert bam.header.to_dict()["HD"]["SO"] == "coordinate"
        ordered = list(bam)
    keys = [(r.reference_id if r.reference_id >= 0 else 1 << 30, r.reference_start)
            for r in ordered]
    assert keys == sorted(keys)
    assert sorted(r.to_string() for r in ordered) == sorted(r.to_string() for r in records)


def test_the_header_only_file_has_the_header_and_no_records(data):
    with pysam.AlignmentFile(str(data / "header-only.bam")) as empty, \
            pysam.AlignmentFile(str(data / f"reads-{READS}.unsorted.bam")) as full:
        assert empty.references == full.references and empty.lengths == full.lengths
        assert list(empty) == []


# The annotation.

def test_the_gtf_parses_into_an_index_of_multi_exon_genes_on_both_strands(bench, index):
    gene_ids, index = index
    annotated = dict(bench.genome.ANNOTATED_CONTIGS)
    assert len(gene_ids) == len(set(gene_ids)) == 20_000
    assert set(index) == set(annotated)
    exons = collections.Counter()
    strands = collections.defaultdict(set)
    for contig, entry in index.items():
        assert entry.starts == tuple(iv[0] for iv in entry.intervals) == tuple(sorted(entry.starts))
        assert all(0 <= start < end <= annotated[contig] for start, end, _, _ in entry.intervals)
        for _, _, gene, strand in entry.intervals:
            exons[gene] += 1
            strands[contig].add(strand)
    assert set(exons) == set(gene_ids)
    assert sum(count > 1 for count in exons.values()) >= 0.99 * len(gene_ids)
    assert all(strands[contig] == {"+", "-"} for contig in annotated)


def test_some_genes_overlap_on_the_same_and_on_opposite_strands(index):
    _, index = index
    overlaps = collections.Counter()
    for entry in index.values():
        spans = {}
        for start, end, gene, strand in entry.intervals:
            low, high, _ = spans.get(gene, (start, end, strand))
            spans[gene] = (min(low, start), max(high, end), strand)
        reach, reach_strand = -1, None
        for start, end, strand in sorted(spans.values()):
            if start < reach:
                overlaps["same" if strand == reach_strand else "opposite"] += 1
            if end > reach:
                reach, reach_strand = end, strand
    assert overlaps["same"] > 200 and overlaps["opposite"] > 200


def test_the_saf_describes_the_same_genes_as_the_gtf(data, index):
    saf = read_annotation(data / "genes.saf")
    assert saf.file_format == "SAF"
    assert (saf.gene_ids, saf.gene_index) == index


def index_of(annotation):
    return [(contig, entry.intervals, entry.starts, entry.prefix_max_ends)
            for contig, entry in annotation.gene_index.items()]


@pytest.mark.parametrize("name", ["genes.gtf", "genes.saf"])
def test_the_native_reader_reads_the_benchmark_annotation_as_the_model_does(data, name):
    import annotation_model

    ours, theirs = read_annotation(data / name), annotation_model.read_annotation(data / name)
    assert (ours.gene_ids, index_of(ours)) == (theirs.gene_ids, index_of(theirs))
    assert [(g.contigs, g.starts, g.ends, g.strands, g.length) for g in ours.layout()] == \
        [(g.contigs, g.starts, g.ends, g.strands, g.length) for g in theirs.layout()]


def test_the_gencode_like_annotation_reads_as_the_model_reads_it(bench, tmp_path):
    import annotation_model
    import gencode_like  # beside the benchmark's modules, on the path while `bench` is

    path = tmp_path / "gencode-like.gtf"
    gencode_like.write(path, 1500, 7)
    for feature_type in ("exon", "CDS"):
        ours = read_annotation(path, feature_type=feature_type)
        theirs = annotation_model.read_annotation(path, feature_type=feature_type)
        assert (ours.gene_ids, index_of(ours)) == (theirs.gene_ids, index_of(theirs))


# The two together: reads fall on the genes the annotation describes.

def test_most_reads_land_on_one_gene_when_counted(data, index):
    gene_ids, index = index
    counts, stats = _core_fast.quantify_bam_fast(
        str(data / f"reads-{READS}.sorted.bam"), gene_ids, index, 2, 0, 3, True)
    total, primary, below, multi, no_contig, no_feature, ambiguous, assigned, weight = stats
    assert total > READS and primary == below + multi + no_contig + no_feature + ambiguous + assigned
    assert 0.70 <= assigned / primary <= 0.92
    assert 0.004 <= no_contig / primary <= 0.03
    assert 0.005 <= ambiguous / primary <= 0.08
    assert 0.04 <= no_feature / primary <= 0.20
    # Reverse-stranded library: counting on the read's own strand finds almost nothing.
    _, forward = _core_fast.quantify_bam_fast(
        str(data / f"reads-{READS}.sorted.bam"), gene_ids, index, 1, 0, 3, True)
    assert forward[7] < 0.08 * assigned


def _leg(mode, bam, gtf):
    out = subprocess.run([sys.executable, str(BENCHMARKS / "leg.py"), mode, str(bam), str(gtf),
                          "2", "0", "3", "1"], check=True, capture_output=True, text=True,
                         cwd=BENCHMARKS).stdout
    return json.loads(out.strip().splitlines()[-1])


@pytest.mark.parametrize("mode", ["objects", "decoder"])
def test_a_benchmark_leg_reports_the_result_of_one_call(data, index, mode):
    bam = data / f"reads-{READS}.sorted.bam"
    facts = _leg(mode, bam, data / "genes.gtf")
    if mode == "decoder":
        expected = _core_fast.quantify_bam_fast(str(bam), [], {}, 0, 0, 0, False)[1]
    else:
        expected = _core_fast.quantify_bam_fast(str(bam), *index, 2, 0, 3, True)[1]
    assert facts["raw_stats"] == list(expected)
    assert facts["genes"] == (0 if mode == "decoder" else len(index[0]))
    assert facts["seconds"] > 0 and facts["rss_before_kib"] > 0
