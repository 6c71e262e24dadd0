"""How the engine joins mates when it counts fragments (paired=True, count_fragments=True), in
every file order: coordinate-sorted files hold only the pairs open across a position, the
other orders give the same counts; secondary alignments pair with the alignment of their mate
that points back, supplementary pieces count alone; mates missing and unmapped pairs. Counts are
compared with featureCounts 2.0.3's on the same files."""

import random
from dataclasses import replace

import pytest

import fc_peer
import sam_strategies as S
from dulse import BamError, count_bam, read_annotation
from engine_peer import compare_orders, engine_settings, order_insensitive, require_featurecounts
from libraries import mapped_pair, random_library
from fc_model import (DUPLICATE, FIRST, MATE_REVERSE, MATE_UNMAPPED, PAIRED, REVERSE, SECOND,
                      SECONDARY, SUPPLEMENTARY, UNMAPPED, Options, SamRecord)

PAIRS = Options(paired=True, count_read_pairs=True)
FRAGMENT_SETTINGS = engine_settings(PAIRS)


@pytest.fixture
def featurecounts():
    require_featurecounts()


def open_pairs_peak(records):
    """The most pairs waiting for their mate at once, when each read waits from its record to its
    mate's (every mate present, in file order)."""
    waiting, peak = set(), 0
    for record in records:
        key = (record.name, record.tag("HI"))
        if key in waiting:
            waiting.remove(key)
        else:
            waiting.add(key)
            peak = max(peak, len(waiting))
    return peak


def sam_file(path, records, sort_order, lengths=None):
    return fc_peer.write_sam(path, records, sort_order, lengths or S.CONTIG_LENGTHS)


GENES = fc_peer.features(("gA", "chr1", 1, 400, "+"), ("gB", "chr1", 900, 1200, "-"),
                         ("gC", "chr2", 400, 800, "+"), ("gD", "chr1", 300, 1000, "+"))


@pytest.fixture
def genes(tmp_path):
    return read_annotation(fc_peer.write_saf(tmp_path / "genes.saf", GENES))


# --------------------------------------------------------------------------------------------
# Coordinate-sorted files: memory bounded by the pairs open across a position


# The table lets go of the reads whose mate can no longer come in sweeps, each when it has grown
# to twice what the last left and 256 more: it holds at most about that many beyond the pairs
# open across a position, whatever the file's size.
SWEEP_SLACK = 256


def bound(records):
    return 2 * open_pairs_peak(records) + SWEEP_SLACK


def pairs_in_sequence(count, step, insert):
    """``count`` pairs along chr1, one starting every ``step`` bases, mates ``insert`` apart."""
    records = []
    for number in range(count):
        records += mapped_pair(f"q{number}", 1 + number * step, 1 + number * step + insert)
    return records


LONG = {"chr1": 10 ** 8}


@pytest.mark.parametrize("step, insert", [(100, 150), (10, 300), (1, 0)])
def test_coordinate_sorted_pairs_wait_only_while_open(tmp_path, genes, step, insert):
    peaks = []
    for count in (50, 20_000):
        records = S.coordinate_sorted(pairs_in_sequence(count, step, insert))
        path = sam_file(tmp_path / f"sorted{count}.sam", records, "coordinate", LONG)
        result = count_bam(path, genes, FRAGMENT_SETTINGS)
        assert result.total == count
        assert open_pairs_peak(records) <= result.pending_peak <= bound(records)
        peaks.append(result.pending_peak)
    assert peaks[1] <= bound(records)


def test_other_orders_hold_mates_as_long_as_they_must(tmp_path, genes):
    records = pairs_in_sequence(2000, 100, 150)
    orders = {"queryname": S.name_sorted(records),
              "unsorted": S.shuffled(records, random.Random(7)),
              "coordinate": S.coordinate_sorted(records)}
    results = {}
    for sort_order, ordered in orders.items():
        path = sam_file(tmp_path / f"{sort_order}.sam", ordered, sort_order, LONG)
        results[sort_order] = count_bam(path, genes, FRAGMENT_SETTINGS)
        peak = results[sort_order].pending_peak
        assert open_pairs_peak(ordered) <= peak <= (
            bound(ordered) if sort_order == "coordinate" else open_pairs_peak(ordered))
    assert results["queryname"].pending_peak == 1
    assert results["unsorted"].pending_peak > 200
    assert len({tuple(r.counts) for r in results.values()}) == 1
    assert len({tuple(r.summary.items()) for r in results.values()}) == 1


def test_mates_that_never_come_are_let_go(tmp_path, genes):
    """Read 1 alone, its mate said to lie 150 bases on: in a coordinate-sorted file it waits
    only until the file passes that place."""
    peaks = []
    for count in (50, 5000):
        records = [pair[0] for pair in (mapped_pair(f"m{n}", 1 + 100 * n, 151 + 100 * n)
                                        for n in range(count))]
        path = sam_file(tmp_path / f"lonely{count}.sam", records, "coordinate", LONG)
        result = count_bam(path, genes, FRAGMENT_SETTINGS)
        assert result.total == count
        peaks.append(result.pending_peak)
    # No more than three reads wait for a mate that can still come.
    assert max(peaks) <= 2 * 3 + SWEEP_SLACK


@pytest.mark.parametrize("as_bam", [False, True], ids=["sam", "bam"])
def test_coordinate_sorted_header_on_an_unsorted_file(tmp_path, genes, as_bam):
    records = mapped_pair("a", 500, 700) + mapped_pair("b", 100, 300)
    path = sam_file(tmp_path / "mislabelled.sam", records, "coordinate")
    if as_bam:
        path = fc_peer.write_bam(path, tmp_path / "mislabelled.bam")
    with pytest.raises(BamError) as refused:
        count_bam(path, genes, FRAGMENT_SETTINGS)
    assert refused.value.kind == "out-of-order"
    message = str(refused.value)
    assert message.startswith(f"{path}: record 3 (chr1:100)")
    assert "sorted by coordinate" in message


# --------------------------------------------------------------------------------------------
# Hand-made templates, counted as featureCounts counts them in every file order


def multi_mapped(hi_tags=True):
    """A pair aligned twice (NH 2): the primary alignment on chr1, the secondary one across
    chr1 and chr2. Without HI the places alone tell the alignments apart."""
    def tags(hi):
        return (("NH", 2), ("HI", hi)) if hi_tags else (("NH", 2),)

    primary = mapped_pair("mm", 100, 300, tags=tags(1))
    secondary = mapped_pair("mm", 1000, 500, contig2="chr2", tags=tags(2), extra=SECONDARY)
    return primary + secondary


def secondary_read2_to_primary_read1():
    """Read 1 aligned once, read 2 twice: both of read 2's alignments point at read 1, so with
    HI the secondary one (HI 2) finds no mate and counts alone."""
    first, second = mapped_pair("s2", 100, 300, tags=(("NH", 1), ("HI", 1)))
    other = SamRecord("s2", PAIRED | SECOND | SECONDARY | REVERSE, "chr1", 950, 60, "50M",
                      "chr1", 100, -900, (("NH", 2), ("HI", 2)))
    return [first, second, other]


def with_supplementary():
    first, second = mapped_pair("sp", 100, 300)
    piece = SamRecord("sp", PAIRED | FIRST | SUPPLEMENTARY | MATE_REVERSE, "chr2", 450, 60,
                      "30S20M", "chr1", 300, 0)
    return [first, second, piece]


def mates_missing():
    """Read 1 or read 2 alone: its mate said to lie after it, before it, on another contig, or
    unmapped."""
    after = mapped_pair("after", 100, 900)[0]
    before = mapped_pair("before", 950, 150)[0]
    elsewhere = mapped_pair("other", 1000, 600, contig2="chr2")[1]
    unmapped_mate = SamRecord("um", PAIRED | FIRST | MATE_UNMAPPED, "chr1", 120, 60, "50M",
                              "chr1", 120, 0)
    return [after, before, elsewhere, unmapped_mate]


def unmapped_pairs():
    placed = [SamRecord("half", PAIRED | FIRST | MATE_UNMAPPED, "chr1", 200, 60, "50M",
                        "chr1", 200, 0),
              SamRecord("half", PAIRED | SECOND | UNMAPPED, "chr1", 200, 0, "*", "chr1", 200, 0)]
    return S.unmapped_pair("none") + placed + S.unmapped_pair("none2")


def duplicates_and_singletons():
    records = mapped_pair("d1", 100, 300, extra=DUPLICATE) + mapped_pair("ok", 110, 310)
    records += mapped_pair("far", 100, 4000) + mapped_pair("chim", 950, 450, contig2="chr2")
    return records


TEMPLATES = {
    "multi-mapped pair with HI": multi_mapped(),
    "multi-mapped pair without HI": multi_mapped(hi_tags=False),
    "secondary read 2 pointing at primary read 1": secondary_read2_to_primary_read1(),
    "supplementary piece": with_supplementary(),
    "mates missing": mates_missing(),
    "unmapped pairs": unmapped_pairs(),
    "duplicates, far and chimeric pairs": duplicates_and_singletons(),
}
TEMPLATE_OPTIONS = {
    "pairs": PAIRS,
    "pairs-M": replace(PAIRS, multi_mapping=True),
    "pairs-M-O-primary": replace(PAIRS, multi_mapping=True, multi_overlap=True,
                                 primary_only=True),
    "pairs-B-C": replace(PAIRS, both_aligned=True, exclude_chimeric=True),
    "pairs-B-P-ignoreDup": replace(PAIRS, both_aligned=True, check_fragment_length=True,
                                   max_fragment_length=1000, ignore_dup=True),
    "pairs-M-fraction-s2": replace(PAIRS, multi_mapping=True, fraction=True, strand=2),
}


@pytest.mark.parametrize("records", TEMPLATES.values(), ids=TEMPLATES.keys())
def test_templates_in_every_order(featurecounts, records):
    for label, options in TEMPLATE_OPTIONS.items():
        kept = order_insensitive(records, GENES, options)
        assert kept == records, f"{label}: order-sensitive fragments in a hand-made case"
        compare_orders(records, GENES, options, random.Random(1), label)


FRAGMENTS_PER_TEMPLATE = {
    # every alignment of the pair is a fragment of its own, never two mixed up
    "multi-mapped pair with HI": ({"gA": 1, "gB": 1, "gC": 1}, 2),
    "multi-mapped pair without HI": ({"gA": 1, "gB": 1, "gC": 1}, 2),
    "secondary read 2 pointing at primary read 1": ({"gA": 1, "gB": 1}, 2),
    "supplementary piece": ({"gA": 1, "gC": 1}, 2),
}


@pytest.mark.parametrize("name", FRAGMENTS_PER_TEMPLATE)
def test_alignments_pair_with_the_mate_that_points_back(tmp_path, genes, name):
    """Worked out by hand: with -M -O each alignment of a pair counts once, for the genes its
    own two records reach (gD, 300..1000 on chr1, is left out of the annotation here)."""
    expected, fragments = FRAGMENTS_PER_TEMPLATE[name]
    annotation = read_annotation(fc_peer.write_saf(tmp_path / "abc.saf", GENES[:3]))
    options = engine_settings(replace(PAIRS, multi_mapping=True, multi_overlap=True))
    for sort_order, ordered in S.file_orders(TEMPLATES[name], random.Random(3)):
        path = sam_file(tmp_path / f"{sort_order}.sam", ordered, sort_order)
        result = count_bam(path, annotation, options)
        assert result.total == fragments, sort_order
        assert dict(zip(annotation.gene_ids, result.counts.tolist())) == {
            gene: float(expected.get(gene, 0)) for gene in annotation.gene_ids}, sort_order


# --------------------------------------------------------------------------------------------
# A larger library, every kind of template mixed


def random_genes(rng, count):
    rows = []
    for number in range(count):
        start = rng.randint(1, 4700)
        rows.append((f"g{number}", rng.choice(("chr1", "chr2")), start,
                     start + rng.randint(50, 600), rng.choice("+-")))
    return fc_peer.features(*rows)


@pytest.mark.parametrize("options", [PAIRS, replace(PAIRS, both_aligned=True, multi_mapping=True,
                                                    min_mapq=10, strand=1)],
                         ids=["pairs", "pairs-B-M-Q10-s1"])
def test_a_library_counts_alike_in_every_order(featurecounts, options):
    rng = random.Random(11)
    records = random_library(rng, 1500)
    annotation = random_genes(rng, 40)
    kept = order_insensitive(records, annotation, options)
    results = compare_orders(kept, annotation, options, rng, "library")
    peaks = [result.pending_peak for result in results]  # aligner, name, coordinate, shuffled
    assert peaks[2] < peaks[3] / 10 + SWEEP_SLACK


def unplaced_unmapped_mate():
    """Read 1 mapped, its mate flagged unmapped and pointed at read 1's place, but the unmapped
    read 2 itself left unplaced (no reference, no position), as samtools sort puts it last."""
    return [SamRecord("h", PAIRED | FIRST | MATE_UNMAPPED, "chr1", 120, 60, "20M", "chr1", 120,
                      0),
            SamRecord("k", 0, "chr1", 600, 60, "20M"),
            SamRecord("h", PAIRED | SECOND | UNMAPPED, None, 0, 0, "*", "chr1", 120, 0)]


@pytest.mark.parametrize("options", [PAIRS, replace(PAIRS, both_aligned=True)], ids=["", "B"])
def test_unplaced_unmapped_mate_at_the_end(featurecounts, options):
    records = unplaced_unmapped_mate()
    assert order_insensitive(records, GENES, options) == records
    compare_orders(records, GENES, options, random.Random(2), "unplaced mate")


def renamed(records, rng, lengths):
    """The records with each template's name made `rng.choice(lengths)` characters long (4 at
    least), the names of the templates telling them apart only in their middle."""
    names = {}
    for record in records:
        if record.name not in names:
            core = f"{len(names)}_"
            pad = rng.choice(lengths) - len(core)
            head = ("HBNCHDSXY:" * 30)[:pad // 2]
            tail = (":1101:10000:20000" * 20)[:pad - pad // 2]
            names[record.name] = head + core + tail
    return [replace(record, name=names[record.name]) for record in records]


@pytest.mark.parametrize("lengths", [(4, 15, 16, 17), (47, 48, 49), (100, 200, 254)],
                         ids=["short", "around 48", "long"])
def test_names_of_any_length_pair_alike(featurecounts, lengths):
    """Waiting reads keep names of up to 48 characters in place and longer ones apart: names of
    every length, differing only at their start, pair as featureCounts pairs them."""
    rng = random.Random(lengths[0])
    records = renamed(random_library(rng, 300), rng, lengths)
    kept = order_insensitive(records, GENES, PAIRS)
    compare_orders(kept, GENES, PAIRS, rng, "renamed")
