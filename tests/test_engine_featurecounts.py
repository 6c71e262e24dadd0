"""The counting engine (dulse.count_bam) against the installed featureCounts 2.0.3: random read sets
counted under every option group of test_fc_model, each set written in every file order (as an
aligner writes them, name-sorted, coordinate-sorted as BAM with SO:coordinate, shuffled); the
counts as written and all 14 summary rows must agree, gene for gene.

Each drawn read set is counted under all the option groups of its kind. Fragments whose verdict
depends on file order in featureCounts are left out, as in test_fc_model.
ENGINE_FC_EXAMPLES=200 widens the search. Skipped where featureCounts is not installed, except
under CI=true, where that fails.
"""

import os
import random
from dataclasses import replace

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import fc_model
import fc_peer
import sam_strategies as S
from dulse import BamError, count_bam, read_annotation
from engine_peer import compare_orders, engine_settings, order_insensitive, require_featurecounts
from fc_model import Options, SamRecord
from test_fc_model import FRAGMENTS, READS, SINGLE_END

EXAMPLES = int(os.environ.get("ENGINE_FC_EXAMPLES", "10"))

differential = settings(max_examples=EXAMPLES, deadline=None, database=None,
                        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.fixture(scope="module", autouse=True)
def featurecounts():
    require_featurecounts()


KINDS = {
    "single-end": (S.single_end_reads(), SINGLE_END),
    "paired-end reads": (S.paired_end_reads(), READS),
    "fragments": (S.paired_end_reads(), FRAGMENTS),
}


@pytest.mark.parametrize("reads, groups", KINDS.values(), ids=KINDS.keys())
@differential
@given(st.data(), S.annotations(), st.randoms(use_true_random=False))
def test_engine_counts_as_featurecounts(reads, groups, data, annotation, rng):
    records = data.draw(reads, label="records")
    assume(groups is SINGLE_END or any(record.flag & fc_model.PAIRED for record in records))
    for label, options in groups.items():
        kept = order_insensitive(records, annotation, options)
        if kept is not None:
            compare_orders(kept, annotation, options, rng, label)


# --------------------------------------------------------------------------------------------
# Inputs that do not fit the options: featureCounts refuses them, the engine raises BamError
# naming the file and the fix


def pair(name="p"):
    return [SamRecord(name, 99, "chr1", 150, 60, "20M", "chr1", 200, 70),
            SamRecord(name, 147, "chr1", 200, 60, "20M", "chr1", 150, -70)]


SINGLE = SamRecord("s", 0, "chr1", 150, 60, "20M")
GENE = fc_peer.features(("gA", "chr1", 100, 300, "+"))
PAIRED = Options(paired=True)

MISFITS = {
    "pairs without -p": (pair(), Options(), "paired-not-asked", "paired=True"),
    "pairs after a single-end read, without -p": ([SINGLE] * 3 + pair(), Options(),
                                                   "paired-not-asked", "paired=True"),
    "an unmapped pair among single-end reads, without -p": (
        [SINGLE] + S.unmapped_pair("u"), Options(), "paired-not-asked", "paired=True"),
    "single-end reads with -p": ([SINGLE], PAIRED, "no-pairs", "without paired=True"),
    "single-end reads with -p --countReadPairs": (
        [SINGLE, replace(SINGLE, name="t")], replace(PAIRED, count_read_pairs=True), "no-pairs",
        "without paired=True"),
}


@pytest.mark.parametrize("records, options, kind, fix", MISFITS.values(), ids=MISFITS.keys())
@pytest.mark.parametrize("as_bam", [False, True], ids=["sam", "bam"])
def test_misfit_library_is_refused(tmp_path, records, options, kind, fix, as_bam):
    peer = fc_peer.run_featurecounts(tmp_path / "peer", records, GENE, options, bam=as_bam)
    assert peer.exit_status == 255
    assert "were detected" in peer.error_line

    path = fc_peer.write_sam(tmp_path / "reads.sam", records)
    if as_bam:
        path = fc_peer.write_bam(path, tmp_path / "reads.bam")
    fc_peer.write_saf(tmp_path / "genes.saf", GENE)
    with pytest.raises(BamError) as refused:
        count_bam(path, read_annotation(tmp_path / "genes.saf"), engine_settings(options))
    assert refused.value.kind == kind
    assert str(refused.value).startswith(f"{path}: ")
    assert fix in str(refused.value)


# --------------------------------------------------------------------------------------------
# Features without a strand ('.'): featureCounts matches them with every read under -s 0 and
# -s 2, with none under -s 1. A read on such a feature and a stranded one passes one rule on
# both, another on one of them: with the overlap rules too, each rule must judge its own hits.

UNSTRANDED_GENES = fc_peer.features(("gA", "chr1", 100, 300, "+"), ("gB", "chr1", 250, 500, "."),
                                    ("gC", "chr2", 100, 400, "."), ("gD", "chr1", 480, 700, "-"))
ON_UNSTRANDED = [SamRecord("f", 0, "chr1", 400, 60, "20M"),
                 SamRecord("r", 16, "chr1", 400, 60, "20M"),
                 SamRecord("both", 16, "chr1", 280, 60, "10M"),
                 SamRecord("plus", 0, "chr1", 285, 60, "30M"),
                 SamRecord("minus", 0, "chr1", 470, 60, "40M"),
                 SamRecord("minus-r", 16, "chr1", 490, 60, "5M100N20M"),
                 SamRecord("c", 0, "chr2", 150, 60, "20M"),
                 SamRecord("cr", 16, "chr2", 150, 60, "20M")]
MEASURES = {"": {}, "largestOverlap": {"largest_overlap": True},
            "fracOverlapFeature": {"frac_overlap_feature": 0.01},
            "minOverlap12": {"min_overlap": 12}}


@pytest.mark.parametrize("strand", [0, 1, 2])
@pytest.mark.parametrize("multi_overlap", [False, True], ids=["", "O"])
@pytest.mark.parametrize("measure", MEASURES.values(), ids=MEASURES.keys())
def test_features_without_a_strand(strand, multi_overlap, measure):
    options = Options(strand=strand, multi_overlap=multi_overlap, **measure)
    compare_orders(ON_UNSTRANDED, UNSTRANDED_GENES, options, random.Random(0), "strand '.'")
