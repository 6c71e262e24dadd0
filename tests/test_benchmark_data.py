"""The benchmark's data generator, at a tiny size: same bytes every run, and data shaped like
RNA-seq alignments where it matters for counting, single-end reads and paired-end fragments."""

import argparse
import bisect
import collections
import json
import shutil
import subprocess
import sys
from pathlib import Path

import pysam
import pytest
from dulse import _engine
from dulse.api import feature_index
from dulse.quantify import _core_fast
from dulse.quantify.annotation import read_annotation
from dulse.settings import Settings

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"
READS = 2_000
FRAGMENTS = 1_500
PAIR_ORDERS = ("unsorted", "sorted", "byname")
FILES = ("genes.gtf", "genes.saf", "header-only.bam", f"reads-{READS}.unsorted.bam",
         f"reads-{READS}.sorted.bam", *(f"pairs-{FRAGMENTS}.{order}.bam" for order in PAIR_ORDERS))


def start(data, *options):
    return subprocess.Popen([sys.executable, str(BENCHMARKS / "generate.py"), "--reads", str(READS),
                             "--fragments", str(FRAGMENTS), "--data", str(data), *options],
                            cwd=BENCHMARKS, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True)


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


@pytest.mark.parametrize("kind, lost", [("reads", "sorted"), ("pairs", "byname")])
def test_a_finished_set_is_reused_and_an_incomplete_one_is_rewritten(tmp_path, data, kind, lost):
    folder = tmp_path / "data"
    shutil.copytree(data, folder)
    size = READS if kind == "reads" else FRAGMENTS
    unsorted = folder / f"{kind}-{size}.unsorted.bam"
    other = folder / (f"pairs-{FRAGMENTS}.unsorted.bam" if kind == "reads"
                      else f"reads-{READS}.unsorted.bam")
    stamps = unsorted.stat().st_mtime_ns, other.stat().st_mtime_ns
    generate(folder)
    assert (unsorted.stat().st_mtime_ns, other.stat().st_mtime_ns) == stamps
    (folder / f"{kind}-{size}.{lost}.bam").unlink()
    generate(folder)
    assert unsorted.stat().st_mtime_ns != stamps[0] and other.stat().st_mtime_ns == stamps[1]
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


# The paired-end fragments.

@pytest.fixture(scope="module")
def pair_records(data):
    with pysam.AlignmentFile(str(data / f"pairs-{FRAGMENTS}.unsorted.bam")) as bam:
        return list(bam)


@pytest.fixture(scope="module")
def fragments(pair_records):
    """The records of each fragment, by name, in file order."""
    by_name = collections.defaultdict(list)
    for record in pair_records:
        by_name[record.query_name].append(record)
    return by_name


def _primary(record):
    return not (record.is_secondary or record.is_supplementary)


def test_every_fragment_is_written_as_an_aligner_writes_a_pair(fragments):
    assert len(fragments) == FRAGMENTS
    multi = 0
    for group in fragments.values():
        assert all(r.is_paired for r in group)
        first, second, *others = group
        assert _primary(first) and first.is_read1 and _primary(second) and second.is_read2
        secondary = [r for r in others if r.is_secondary]
        supplementary = [r for r in others if r.is_supplementary]
        assert others == secondary + supplementary  # secondaries, then the supplementary
        if first.is_unmapped or second.is_unmapped:
            assert others == []
            continue
        nh = first.get_tag("NH")
        assert second.get_tag("NH") == nh and len(secondary) == 2 * (nh - 1)
        # Each other hit: read 1 and read 2 of it, side by side, with the hit's HI.
        alignments = [first, second] + secondary
        assert [r.is_read1 for r in alignments] == [True, False] * nh
        assert [r.get_tag("HI") for r in alignments] == [hit for hit in range(1, nh + 1)
                                                         for _ in range(2)]
        assert {r.get_tag("NH") for r in alignments} == {nh}
        assert len(supplementary) <= 1 and (not supplementary or nh == 1)
        multi += nh > 1
    assert multi > 0


def test_mates_point_at_each_other_with_the_template_length(fragments):
    checked = 0
    for group in fragments.values():
        alignments = [r for r in group if not r.is_supplementary]
        for one, other in zip(alignments[::2], alignments[1::2]):
            for mate, partner in ((one, other), (other, one)):
                assert mate.mate_is_unmapped == partner.is_unmapped
                assert mate.mate_is_reverse == (partner.is_reverse and not partner.is_unmapped)
                if partner.is_unmapped:
                    assert (mate.next_reference_id, mate.next_reference_start) == (
                        mate.reference_id, mate.reference_start)
                    assert mate.template_length == 0
                    continue
                assert (mate.next_reference_id, mate.next_reference_start) == (
                    partner.reference_id, partner.reference_start)
            if one.is_unmapped or other.is_unmapped:
                assert one.template_length == other.template_length == 0
                assert not (one.is_proper_pair or other.is_proper_pair)
                continue
            if one.reference_id != other.reference_id:
                assert one.template_length == other.template_length == 0
                continue
            span = (max(one.reference_end, other.reference_end)
                    - min(one.reference_start, other.reference_start))
            assert sorted([one.template_length, other.template_length]) == [-span, span]
            leftmost = one if one.reference_start < other.reference_start else other
            if one.reference_start != other.reference_start:
                assert leftmost.template_length == span
            checked += 1
    assert checked > FRAGMENTS


def test_supplementary_records_point_at_the_other_mate_and_back_at_their_primary(fragments):
    seen = 0
    for group in fragments.values():
        for record in (r for r in group if r.is_supplementary):
            primary = next(r for r in group[:2] if r.is_read1 == record.is_read1)
            partner = next(r for r in group[:2] if r.is_read1 != record.is_read1)
            assert (record.next_reference_id, record.next_reference_start) == (
                partner.reference_id, partner.reference_start)
            assert record.get_tag("SA").split(",")[:2] == [primary.reference_name,
                                                           str(primary.reference_start + 1)]
            assert primary.get_tag("SA").split(",")[:2] == [record.reference_name,
                                                            str(record.reference_start + 1)]
            clipped = record.cigartuples[0][1] if record.cigartuples[0][0] == pysam.CHARD_CLIP \
                else record.cigartuples[-1][1]
            assert record.query_length + clipped == primary.query_length == 100
            seen += 1
    assert seen > 0


def _pair_of(group):
    return group[0], group[1]


@pytest.mark.parametrize("what, low, high", [
    ("unmapped pairs", 0.005, 0.04),
    ("pairs with one mate unmapped", 0.008, 0.05),
    ("multi-mapped pairs", 0.03, 0.12),
    ("chimeric pairs", 0.003, 0.03),
    ("pairs on two contigs", 0.001, 0.02),
    ("improper pairs, both mates mapped", 0.004, 0.04),
    ("duplicate pairs", 0.01, 0.07),
    ("pairs spliced in both mates", 0.15, 0.50),
    ("pairs spliced in one mate at least", 0.50, 0.85),
])
def test_the_mix_of_fragments_is_that_of_a_paired_rna_seq_run(fragments, what, low, high):
    pairs = [_pair_of(group) for group in fragments.values()]
    mapped = [(a, b) for a, b in pairs if not (a.is_unmapped or b.is_unmapped)]

    def spliced(record):
        return "N" in record.cigarstring

    part, whole = {
        "unmapped pairs": ([p for p in pairs if p[0].is_unmapped and p[1].is_unmapped], pairs),
        "pairs with one mate unmapped":
            ([p for p in pairs if p[0].is_unmapped != p[1].is_unmapped], pairs),
        "multi-mapped pairs": ([p for p in mapped if p[0].get_tag("NH") > 1], mapped),
        "chimeric pairs": ([g for g in fragments.values() if any(r.is_supplementary for r in g)],
                           pairs),
        "pairs on two contigs": ([p for p in mapped if p[0].reference_id != p[1].reference_id],
                                 mapped),
        "improper pairs, both mates mapped":
            ([p for p in mapped if not p[0].is_proper_pair], mapped),
        "duplicate pairs": ([p for p in pairs if p[0].is_duplicate], pairs),
        "pairs spliced in both mates": ([p for p in mapped if spliced(p[0]) and spliced(p[1])],
                                        mapped),
        "pairs spliced in one mate at least":
            ([p for p in mapped if spliced(p[0]) or spliced(p[1])], mapped),
    }[what]
    assert low <= _share(part, whole) <= high


def test_duplicates_repeat_an_earlier_fragment_and_are_flagged_on_both_mates(fragments):
    def place(record):
        return record.reference_id, record.reference_start, record.cigarstring, record.flag & 0xF3

    seen, duplicates = set(), 0
    for group in fragments.values():
        first, second = _pair_of(group)
        assert first.is_duplicate == second.is_duplicate
        assert all(r.is_duplicate == first.is_duplicate for r in group)
        key = (place(first), place(second))
        if first.is_duplicate:
            assert key in seen
            duplicates += 1
        seen.add(key)
    assert duplicates > 0


def _touches_an_exon(index, contig, start, end):
    entry = index.get(contig)
    if entry is None:
        return False
    k = bisect.bisect_left(entry.starts, end)
    while k > 0 and entry.starts[k - 1] > start - 50_000:
        k -= 1
        if entry.intervals[k][1] > start:
            return True
    return False


def test_pairs_away_from_exons_have_realistic_fragment_lengths(fragments, index):
    """Between the mates of a pair that touches no exon there is no intron to skip: its
    template length is the fragment's length, drawn from 150 to 500 bases."""
    _, index = index
    lengths = sorted(
        abs(a.template_length) for a, b in map(_pair_of, fragments.values())
        if a.is_proper_pair and not _touches_an_exon(
            index, a.reference_name, min(a.reference_start, b.reference_start),
            max(a.reference_end, b.reference_end)))
    assert len(lengths) > 50
    # A soft clip at an outer end shortens the aligned span a little.
    assert 110 <= lengths[0] and lengths[-1] <= 500
    assert 200 <= lengths[len(lengths) // 2] <= 320


@pytest.mark.parametrize("order, sort_order", [("sorted", "coordinate"),
                                               ("byname", "queryname")])
def test_the_sorted_copies_hold_the_same_records_in_their_order(data, pair_records, order,
                                                                sort_order):
    with pysam.AlignmentFile(str(data / f"pairs-{FRAGMENTS}.{order}.bam")) as bam:
        assert bam.header.to_dict()["HD"]["SO"] == sort_order
        ordered = list(bam)
    if order == "sorted":
        keys = [(r.reference_id if r.reference_id >= 0 else 1 << 30, r.reference_start)
                for r in ordered]
        assert keys == sorted(keys)
    else:
        names = [r.query_name for r in ordered]
        runs = [name for k, name in enumerate(names) if k == 0 or names[k - 1] != name]
        assert len(runs) == len(set(runs)) == FRAGMENTS  # each fragment's records together
    assert sorted(r.to_string() for r in ordered) == sorted(r.to_string() for r in pair_records)


@pytest.fixture(scope="module")
def counted_pairs(data):
    engine_index = feature_index(read_annotation(data / "genes.gtf"))

    def count(order, strandedness):
        settings = Settings(paired=True, count_fragments=True, strandedness=strandedness)
        return _engine.count_file(str(data / f"pairs-{FRAGMENTS}.{order}.bam"), engine_index,
                                  **settings.engine_arguments())

    return {(order, rule): count(order, rule)
            for order in PAIR_ORDERS for rule in ("reverse", "forward")}


def test_most_fragments_land_on_one_gene_of_a_reverse_stranded_library(counted_pairs):
    reverse, forward = counted_pairs["sorted", "reverse"], counted_pairs["sorted", "forward"]
    summary = reverse["summary"]
    fragments = sum(summary.values())
    assert 0.65 <= summary["Assigned"] / FRAGMENTS <= 0.92
    assert 0.005 <= summary["Unassigned_Unmapped"] / fragments <= 0.04
    assert 0.03 <= summary["Unassigned_NoFeatures"] / fragments <= 0.25
    assert forward["summary"]["Assigned"] < 0.08 * summary["Assigned"]


@pytest.mark.parametrize("order", ["byname", "unsorted"])
def test_the_three_orders_count_the_same(counted_pairs, order):
    for rule in ("reverse", "forward"):
        expected, found = counted_pairs["sorted", rule], counted_pairs[order, rule]
        assert found["summary"] == expected["summary"]
        assert found["records"] == expected["records"]
        assert (found["counts"][2 if rule == "reverse" else 1]
                == expected["counts"][2 if rule == "reverse" else 1]).all()


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
