"""fc_model against the installed featureCounts 2.0.3: random read sets, every option group, every
file order; the counts written gene for gene and all 14 summary rows must agree.

Skipped where featureCounts is not installed, except under CI=true, where that fails.
"""

import os
import random
import tempfile
from dataclasses import replace

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import fc_model
import fc_peer
import sam_strategies as S
from fc_model import DUPLICATE, Options, SamRecord, SECONDARY

# Random read sets per option group; FC_MODEL_EXAMPLES=200 for a longer search.
EXAMPLES = int(os.environ.get("FC_MODEL_EXAMPLES", "6"))

differential = settings(max_examples=EXAMPLES, deadline=None, database=None,
                        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.fixture(scope="module", autouse=True)
def featurecounts():
    if fc_peer.available():
        return
    if os.environ.get("CI") == "true":
        pytest.fail("featureCounts is not installed")
    pytest.skip("featureCounts is not installed")


def model_counts(records, annotation, options):
    """The model's result, with the reads whose fragments featureCounts judges differently in
    different file orders left out (they are left out of the input given to featureCounts too)."""
    result = fc_model.count(records, annotation, options, file_name=fc_peer.INPUT_SAM,
                            lengths=S.CONTIG_LENGTHS)
    if not result.order_sensitive:
        return records, result
    kept = [record for record in records if record.name not in set(result.order_sensitive)]
    assume(not options.paired or any(record.flag & fc_model.PAIRED for record in kept))
    return kept, fc_model.count(kept, annotation, options, file_name=fc_peer.INPUT_SAM,
                                lengths=S.CONTIG_LENGTHS)


def written_counts(result):
    return {gene: fc_model.format_count(value) for gene, value in result.counts.items()}


def peer_counts(peer, options):
    """featureCounts' counts as written: per gene, or with -f per feature row in order."""
    if options.feature_level:
        return {row: text for row, (_, _, text) in enumerate(peer.rows)}
    return peer.count_text


def assert_agrees(records, annotation, options, rng):
    """featureCounts, on the records in every file order (coordinate-sorted as BAM), agrees with
    the model on every gene's count as written and on every summary row."""
    records, expected = model_counts(records, annotation, options)
    for sort_order, ordered in S.file_orders(records, rng):
        with tempfile.TemporaryDirectory() as folder:
            peer = fc_peer.run_featurecounts(folder, ordered, annotation, options, sort_order,
                                             bam=sort_order == "coordinate",
                                             lengths=S.CONTIG_LENGTHS)
        assert peer.exit_status == 0, peer.error_line
        assert peer.summary == expected.summary, sort_order
        assert peer_counts(peer, options) == written_counts(expected), sort_order


SINGLE_END = {
    "default": Options(),
    "s1": Options(strand=1),
    "s2": Options(strand=2),
    "M": Options(multi_mapping=True),
    "M-fraction": Options(multi_mapping=True, fraction=True),
    "O": Options(multi_overlap=True),
    "O-fraction": Options(multi_overlap=True, fraction=True),
    "M-O-fraction-s2": Options(multi_mapping=True, multi_overlap=True, fraction=True, strand=2),
    "primary": Options(primary_only=True),
    "primary-M-fraction": Options(primary_only=True, multi_mapping=True, fraction=True),
    "ignoreDup-Q10": Options(ignore_dup=True, min_mapq=10),
    "fraction-alone": Options(fraction=True),
}

PAIRED = Options(paired=True)
READS = {
    "p": PAIRED,
    "p-s1": replace(PAIRED, strand=1),
    "p-s2": replace(PAIRED, strand=2),
    "p-B-C-P": replace(PAIRED, both_aligned=True, exclude_chimeric=True,
                       check_fragment_length=True, min_fragment_length=40,
                       max_fragment_length=300),
    "p-Q10-ignoreDup": replace(PAIRED, min_mapq=10, ignore_dup=True),
    "p-primary-M-fraction": replace(PAIRED, primary_only=True, multi_mapping=True, fraction=True),
    "p-O-fraction-s1": replace(PAIRED, multi_overlap=True, fraction=True, strand=1),
}

PAIRS = replace(PAIRED, count_read_pairs=True)
FRAGMENTS = {
    "pairs": PAIRS,
    "pairs-s1": replace(PAIRS, strand=1),
    "pairs-s2": replace(PAIRS, strand=2),
    "pairs-B": replace(PAIRS, both_aligned=True),
    "pairs-C": replace(PAIRS, exclude_chimeric=True),
    "pairs-B-C": replace(PAIRS, both_aligned=True, exclude_chimeric=True),
    "pairs-B-P": replace(PAIRS, both_aligned=True, check_fragment_length=True,
                         min_fragment_length=40, max_fragment_length=300),
    "pairs-B-C-P-default-lengths": replace(PAIRS, both_aligned=True, exclude_chimeric=True,
                                           check_fragment_length=True),
    "pairs-Q10": replace(PAIRS, min_mapq=10),
    "pairs-Q30-ignoreDup": replace(PAIRS, min_mapq=30, ignore_dup=True),
    "pairs-primary": replace(PAIRS, primary_only=True),
    "pairs-primary-M": replace(PAIRS, primary_only=True, multi_mapping=True),
    "pairs-M": replace(PAIRS, multi_mapping=True),
    "pairs-M-fraction": replace(PAIRS, multi_mapping=True, fraction=True),
    "pairs-O": replace(PAIRS, multi_overlap=True),
    "pairs-O-fraction": replace(PAIRS, multi_overlap=True, fraction=True),
    "pairs-M-O-fraction": replace(PAIRS, multi_mapping=True, multi_overlap=True, fraction=True),
    "pairs-everything": replace(PAIRS, strand=2, multi_mapping=True, multi_overlap=True,
                                fraction=True, both_aligned=True, exclude_chimeric=True,
                                min_mapq=10, ignore_dup=True, primary_only=True),
}


# featureCounts' overlap-length, feature-level, read-position and split rules; each group is
# also run on pairs counted as reads and as fragments below.
OVERLAPS = {
    "minOverlap10": Options(min_overlap=10),
    "minOverlap30-O": Options(min_overlap=30, multi_overlap=True),
    "minOverlap-5": Options(min_overlap=-5),
    "minOverlap0-O-fraction": Options(min_overlap=0, multi_overlap=True, fraction=True),
    "fracOverlap0.8": Options(frac_overlap=0.8),
    "fracOverlap0.3-s1": Options(frac_overlap=0.3, strand=1),
    "fracOverlapFeature0.2-O": Options(frac_overlap_feature=0.2, multi_overlap=True),
    "fracOverlapFeature0.5-minOverlap5": Options(frac_overlap_feature=0.5, min_overlap=5),
    "largestOverlap": Options(largest_overlap=True),
    "largestOverlap-O-fraction": Options(largest_overlap=True, multi_overlap=True, fraction=True),
    "largestOverlap-M-fraction-minOverlap-3": Options(largest_overlap=True, multi_mapping=True,
                                                     fraction=True, min_overlap=-3),
    "nonOverlap5": Options(non_overlap=5),
    "nonOverlap20-fracOverlap0.5": Options(non_overlap=20, frac_overlap=0.5),
    "nonOverlapFeature150": Options(non_overlap_feature=150),
    "nonOverlapFeature30-largestOverlap": Options(non_overlap_feature=30, largest_overlap=True),
    "f": Options(feature_level=True),
    "f-O-fraction": Options(feature_level=True, multi_overlap=True, fraction=True),
    "f-largestOverlap-minOverlap5": Options(feature_level=True, largest_overlap=True,
                                            min_overlap=5),
    "read2pos5-s2": Options(read2pos=5, strand=2),
    "read2pos3-O": Options(read2pos=3, multi_overlap=True),
    "readExtension5-30-fracOverlap0.5": Options(read_extension5=30, frac_overlap=0.5),
    "readExtension3-200-O": Options(read_extension3=200, multi_overlap=True),
    "readExtension5-20-readExtension3-20-read2pos3": Options(read_extension5=20,
                                                             read_extension3=20, read2pos=3),
    "readShiftSize40": Options(read_shift_size=40),
    "readShiftType-downstream-25-O-read2pos5": Options(read_shift_type="downstream",
                                                       read_shift_size=25, multi_overlap=True,
                                                       read2pos=5),
    "readShiftType-right-150-largestOverlap": Options(read_shift_type="right",
                                                      read_shift_size=150,
                                                      largest_overlap=True),
    "readShiftType-left-2000-fracOverlap0.5-s2": Options(read_shift_type="left",
                                                         read_shift_size=2000, frac_overlap=0.5,
                                                         strand=2),
    "splitOnly": Options(split_only=True),
    "nonSplitOnly-Q10": Options(non_split_only=True, min_mapq=10),
    "splitOnly-M-primary-ignoreDup": Options(split_only=True, multi_mapping=True,
                                             primary_only=True, ignore_dup=True),
}
OVERLAP_READS = {f"p-{label}": replace(options, paired=True)
                 for label, options in OVERLAPS.items() if "fraction" not in label}
OVERLAP_FRAGMENTS = {f"pairs-{label}": replace(options, paired=True, count_read_pairs=True)
                     for label, options in OVERLAPS.items()}
OVERLAP_FRAGMENTS["pairs-largestOverlap-B-C"] = replace(PAIRS, largest_overlap=True,
                                                       both_aligned=True, exclude_chimeric=True)


@pytest.mark.parametrize("options", [*SINGLE_END.values(), *OVERLAPS.values()],
                         ids=[*SINGLE_END, *OVERLAPS])
@differential
@given(S.single_end_reads(), S.annotations(), st.randoms(use_true_random=False))
def test_single_end_reads(options, records, annotation, rng):
    assert_agrees(records, annotation, options, rng)


@pytest.mark.parametrize("options", [*READS.values(), *OVERLAP_READS.values()],
                         ids=[*READS, *OVERLAP_READS])
@differential
@given(S.paired_end_reads(), S.annotations(), st.randoms(use_true_random=False))
def test_paired_end_reads_counted_one_by_one(options, records, annotation, rng):
    assume(any(record.flag & fc_model.PAIRED for record in records))
    assert_agrees(records, annotation, options, rng)


@pytest.mark.parametrize("options", [*FRAGMENTS.values(), *OVERLAP_FRAGMENTS.values()],
                         ids=[*FRAGMENTS, *OVERLAP_FRAGMENTS])
@differential
@given(S.paired_end_reads(), S.annotations(), st.randoms(use_true_random=False))
def test_fragments(options, records, annotation, rng):
    assume(any(record.flag & fc_model.PAIRED for record in records))
    assert_agrees(records, annotation, options, rng)


# --------------------------------------------------------------------------------------------
# The model's answer does not depend on the order of its input


@settings(max_examples=40, deadline=None, database=None)
@given(S.paired_end_reads(), S.annotations(), st.sampled_from(list(FRAGMENTS.values())),
       st.randoms(use_true_random=False))
def test_model_ignores_record_order(records, annotation, options, rng):
    assume(any(record.flag & fc_model.PAIRED for record in records))
    expected = fc_model.count(records, annotation, options)
    again = fc_model.count(S.shuffled(records, rng), annotation, options)
    assert (again.counts, again.summary) == (expected.counts, expected.summary)
    assert sorted(again.order_sensitive) == sorted(expected.order_sensitive)


# --------------------------------------------------------------------------------------------
# Refusals


def pair(name="p", flags=(99, 147), tags=()):
    """A proper pair on chr1 at 150 and 200 (20M each)."""
    return [SamRecord(name, flags[0], "chr1", 150, 60, "20M", "chr1", 200, 70, tags),
            SamRecord(name, flags[1], "chr1", 200, 60, "20M", "chr1", 150, -70, tags)]


GENE = fc_peer.features(("gA", "chr1", 100, 300, "+"))
SINGLE = SamRecord("s", 0, "chr1", 150, 60, "20M")
UNMAPPED_PAIR = S.unmapped_pair("u")

REFUSED = {
    "pairs without -p": (pair(), Options()),
    "a single-end record then pairs, without -p": ([SINGLE] + pair(), Options()),
    "an unmapped pair among single-end reads, without -p": ([SINGLE] + UNMAPPED_PAIR, Options()),
    "single-end reads with -p": ([SINGLE], PAIRED),
    "single-end reads with -p --countReadPairs": ([SINGLE], PAIRS),
    "-P without -B": (pair(), replace(PAIRS, check_fragment_length=True)),
    "-P without -B, counting reads": (pair(), replace(PAIRED, check_fragment_length=True)),
}


@pytest.mark.parametrize("records, options", REFUSED.values(), ids=REFUSED.keys())
def test_refusals(tmp_path, records, options):
    with pytest.raises(fc_model.Refused) as refused:
        fc_model.count(records, GENE, options, file_name=fc_peer.INPUT_SAM)
    peer = fc_peer.run_featurecounts(tmp_path, records, GENE, options)
    assert peer.exit_status == refused.value.exit_status
    assert peer.error_line == refused.value.message
    assert not (tmp_path / fc_peer.OUTPUT).exists()
    assert not (tmp_path / (fc_peer.OUTPUT + ".summary")).exists()


ACCEPTED = {
    "single-end reads among pairs, with -p": ([SINGLE] + pair(), PAIRED),
    "only unmapped pairs, with -p": (UNMAPPED_PAIR, PAIRS),
}


@pytest.mark.parametrize("records, options", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted_mixtures(tmp_path, records, options):
    expected = fc_model.count(records, GENE, options)
    peer = fc_peer.run_featurecounts(tmp_path, records, GENE, options)
    assert peer.exit_status == 0, peer.error_line
    assert peer.summary == expected.summary


# --------------------------------------------------------------------------------------------
# Fractional counts: fixed point and how they are written

FRACTION_CASES = [(nh, reads) for nh in (2, 3, 4, 5, 7) for reads in (1, 2, 3, 10)]
FRACTION_CASES += [(3, 3000), (6, 10000)]


@pytest.mark.parametrize("nh, reads", FRACTION_CASES)
def test_fractional_counts(tmp_path, nh, reads):
    records = [SamRecord(f"r{n}", 0, "chr1", 150, 60, "20M", tags=(("NH", nh),))
               for n in range(reads)]
    records.append(SamRecord("whole", 0, "chr1", 150, 60, "20M"))
    options = Options(multi_mapping=True, fraction=True)
    expected = fc_model.count(records, GENE, options)
    peer = fc_peer.run_featurecounts(tmp_path, records, GENE, options)
    assert peer.count_text == written_counts(expected)
    assert peer.summary["Assigned"] == expected.summary["Assigned"] == reads + 1


# --------------------------------------------------------------------------------------------
# The counts file's gene columns


def has_tied_starts(annotation):
    """Whether a gene has two exons starting at one place on one contig (their order in the
    counts file is not modelled)."""
    seen = set()
    for feature in annotation:
        key = (feature.gene, feature.contig, feature.start)
        if key in seen:
            return True
        seen.add(key)
    return False


@settings(max_examples=25, deadline=None, database=None)
@given(S.annotations(max_genes=8), st.booleans())
def test_gene_columns(annotation, gtf):
    assume(not has_tied_starts(annotation))
    with tempfile.TemporaryDirectory() as folder:
        peer = fc_peer.run_featurecounts(folder, [SINGLE], annotation, Options(), gtf=gtf)
    assert peer.exit_status == 0, peer.error_line
    assert peer.gene_rows == fc_model.gene_rows(annotation)
    assert list(peer.counts) == fc_model.gene_order(annotation)
    assert peer.header[:6] == list(fc_peer.COUNT_COLUMNS)


# --------------------------------------------------------------------------------------------
# Covered bases


CIGAR_CASES = {
    # (pos, cigar): gene gB is 150..159, gA 100..109, gC 200..209
    "deletion over gB is not covered": (140, "5M30D5M"),
    "intron over gB is not covered": (140, "5M30N5M"),
    "a base after a deletion": (146, "4M1D1M"),
    "soft clip before gB covers nothing": (160, "10S5M"),
    "insertions split blocks: only ten count": (140, "1M1I" * 12 + "1M"),
    "= and X merge into one block": (140, "1=1X" * 6 + "1M"),
    "eleventh block ignored": (130, "1M1D" * 12 + "1M"),
    "tenth block counts": (132, "1M1D" * 12 + "1M"),
    "blocks in two genes": (105, "5M90D5M"),
}
CIGAR_GENES = fc_peer.features(("gA", "chr1", 100, 109, "+"), ("gB", "chr1", 150, 159, "+"),
                               ("gC", "chr1", 200, 209, "+"))


@pytest.mark.parametrize("pos, cigar", CIGAR_CASES.values(), ids=CIGAR_CASES.keys())
@pytest.mark.parametrize("options", [Options(), Options(multi_overlap=True)], ids=["", "O"])
def test_covered_bases(tmp_path, pos, cigar, options):
    records = [SamRecord("r", 0, "chr1", pos, 60, cigar)]
    expected = fc_model.count(records, CIGAR_GENES, options)
    peer = fc_peer.run_featurecounts(tmp_path, records, CIGAR_GENES, options)
    assert (peer.counts, peer.summary) == (expected.counts, expected.summary)


# --------------------------------------------------------------------------------------------
# Where featureCounts depends on file order


def lone_dup_pair(mapq=3):
    first, second = pair()
    return [replace(first, flag=first.flag | DUPLICATE, mapq=mapq), replace(second, mapq=mapq)]


def mixed_failures():
    first, second = pair(tags=(("NH", 1),))
    return [replace(first, flag=first.flag | DUPLICATE), replace(second, tags=(("NH", 2),))]


def mixed_lengths():
    first, second = pair()
    return [replace(first, tlen=500), second]


ORDER_SENSITIVE = {
    "one mate duplicate, both below -Q": (lone_dup_pair(), replace(PAIRS, ignore_dup=True,
                                                                   min_mapq=10)),
    "duplicate read 1, multi-mapping read 2": (mixed_failures(), replace(PAIRS, ignore_dup=True)),
    "mates' TLEN disagree under -P": (mixed_lengths(), replace(PAIRS, both_aligned=True,
                                                                check_fragment_length=True,
                                                                max_fragment_length=100)),
    "one mate secondary, both below -Q": (
        [replace(pair()[0], flag=99 | SECONDARY, mapq=3), replace(pair()[1], mapq=3)],
        replace(PAIRS, primary_only=True, min_mapq=10)),
}


@pytest.mark.parametrize("records, options", ORDER_SENSITIVE.values(),
                         ids=ORDER_SENSITIVE.keys())
def test_order_sensitive_fragments(tmp_path, records, options):
    """The model flags these fragments, and featureCounts does answer differently when the
    mates are swapped in the file (whichever comes later is judged first)."""
    assert fc_model.count(records, GENE, options).order_sensitive == ["p"]
    forward = fc_peer.run_featurecounts(tmp_path / "forward", records, GENE, options)
    backward = fc_peer.run_featurecounts(tmp_path / "backward", records[::-1], GENE, options)
    assert forward.summary != backward.summary
    flipped = fc_model.count([replace(r, tlen=records[-1].tlen) for r in records], GENE, options)
    if options.check_fragment_length:
        assert forward.summary == flipped.summary


def test_identical_records_make_pairing_order_sensitive():
    first, second = pair()
    result = fc_model.count([first, second, second], GENE, PAIRS)
    assert result.order_sensitive == ["p"]
