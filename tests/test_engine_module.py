"""The engine with the counting module's settings against the counting module itself
(quantify_bam_fast) on the same random single-end BAM files.

The counting module sets unmapped, secondary and supplementary records aside, then drops
records below the MAPQ threshold, then those on contigs the annotation lacks, then (multi_mode 0)
those with NH >= 2; it weighs the rest 1 (multi_mode 3) or 1/NH (multi_mode 2) and assigns a
record when its blocks hit exactly one gene. The engine asked for the same (secondary and
supplementary alignments set aside, every block looked at, -M for modes 2 and 3, --fraction for
mode 2) tallies the same records under featureCounts' names, with NH judged before the contig is
looked up, and keeps 1/NH in featureCounts' 16-bit fixed point.
"""

import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fc_peer
import sam_strategies as S
from dulse import Settings, count_bam, read_annotation
from dulse.quantify import _core_fast
from fc_model import SamRecord

EXAMPLES = int(os.environ.get("ENGINE_MODULE_EXAMPLES", "30"))
FIXED_POINT_STEP = 2.0 ** -16  # the most a fixed-point 1/NH falls short of 1/NH

# The rows the counting module has no counterpart for: never used by these settings.
UNUSED_ROWS = ("Unassigned_Read_Type", "Unassigned_Singleton", "Unassigned_Chimera",
               "Unassigned_FragmentLength", "Unassigned_Duplicate", "Unassigned_NonSplit",
               "Unassigned_Overlapping_Length")

MULTI_MODES = {"discard NH>=2": 0, "1/NH": 2, "all": 3}


def module_settings(strand_mode, mapq_min, multi_mode):
    return Settings(strandedness=strand_mode, min_mapq=mapq_min, count_secondary=False,
                    count_supplementary=False, max_m_operations=1 << 20,
                    multi_mapping=multi_mode != 0, fraction=multi_mode == 2)


@pytest.fixture(scope="module", autouse=True)
def samtools():
    import shutil

    if shutil.which("samtools") is None:
        if os.environ.get("CI") == "true":
            pytest.fail("samtools is not installed")
        pytest.skip("samtools is not installed")


@pytest.mark.parametrize("multi_mode", MULTI_MODES.values(), ids=MULTI_MODES.keys())
@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                 HealthCheck.function_scoped_fixture])
@given(records=S.single_end_reads(max_reads=40), features=S.annotations(),
       strand_mode=st.sampled_from((0, 1, 2)), mapq_min=st.sampled_from((0, 1, 10, 30, 255)))
def test_engine_gives_the_counting_modules_results(tmp_path_factory, multi_mode, records,
                                                   features, strand_mode, mapq_min):
    folder = tmp_path_factory.mktemp("module")
    bam = fc_peer.write_bam(fc_peer.write_sam(folder / "reads.sam", records,
                                              lengths=S.CONTIG_LENGTHS), folder / "reads.bam")
    annotation = read_annotation(fc_peer.write_saf(folder / "genes.saf", features))
    counts, stats = _core_fast.quantify_bam_fast(
        str(bam), annotation.gene_ids, annotation.gene_index, strand_mode, mapq_min, multi_mode,
        True)
    (total, primary_mapped, below_mapq, multimapping_discarded, no_annotated_contig, no_feature,
     ambiguous, assigned_records, assigned_weight) = stats

    ours = count_bam(bam, annotation, module_settings(strand_mode, mapq_min, multi_mode))
    summary = ours.summary
    off_contig = ours.details["no_annotated_contig"]
    assert ours.records == ours.total == total == len(records)
    assert total - summary["Unassigned_Unmapped"] - summary["Unassigned_Secondary"] == (
        primary_mapped)
    assert summary["Unassigned_MappingQuality"] == below_mapq
    # The module looks the contig up before NH, the engine NH before the features: the records
    # both drop for either reason are the same.
    assert summary["Unassigned_MultiMapping"] + off_contig == (
        multimapping_discarded + no_annotated_contig)
    if multi_mode != 0:
        assert summary["Unassigned_MultiMapping"] == multimapping_discarded == 0
        assert off_contig == no_annotated_contig
    assert summary["Unassigned_NoFeatures"] - off_contig == no_feature
    assert summary["Unassigned_Ambiguity"] == ambiguous
    assert summary["Assigned"] == assigned_records
    assert {row: summary[row] for row in UNUSED_ROWS} == dict.fromkeys(UNUSED_ROWS, 0)

    theirs = [counts[gene] for gene in annotation.gene_ids]
    mine = ours.counts.tolist()
    if multi_mode != 2:
        assert mine == theirs
        assert sum(mine) == assigned_weight == assigned_records
        return
    # 1/NH as floor(2^16 / NH) / 2^16: never more than the exact weight, at most one step less
    # per read.
    slack = assigned_records * FIXED_POINT_STEP + 1e-9
    for gene, exact, fixed in zip(annotation.gene_ids, theirs, mine):
        assert exact - slack <= fixed <= exact + 1e-9, gene
    assert assigned_weight - slack <= sum(mine) <= assigned_weight + 1e-9
    if not ours.details["fractional"]:  # no read of NH >= 2 was assigned
        assert mine == theirs


# Reads whose later blocks alone reach a gene: the counting module looks at every block, and so
# must the engine given a large max_m_operations.
LONG_CIGARS = {
    "twelfth block after deletions": (130, "1M1D" * 12 + "1M"),
    "blocks split by insertions": (140, "1M1I" * 12 + "1M"),
    "= and X runs, then an intron": (100, "1=1X" * 8 + "300N5M"),
    "blocks in two genes": (105, "5M90D5M"),
}
LONG_GENES = fc_peer.features(("gA", "chr1", 100, 109, "+"), ("gB", "chr1", 150, 159, "+"),
                              ("gC", "chr1", 400, 409, "-"))


@pytest.mark.parametrize("pos, cigar", LONG_CIGARS.values(), ids=LONG_CIGARS.keys())
def test_every_block_is_looked_at(tmp_path, pos, cigar):
    records = [SamRecord("r", 0, "chr1", pos, 60, cigar),
               SamRecord("f", 16, "chr1", pos, 60, cigar)]
    bam = fc_peer.write_bam(fc_peer.write_sam(tmp_path / "reads.sam", records),
                            tmp_path / "reads.bam")
    annotation = read_annotation(fc_peer.write_saf(tmp_path / "genes.saf", LONG_GENES))
    for strand_mode in (0, 1, 2):
        counts, stats = _core_fast.quantify_bam_fast(str(bam), annotation.gene_ids,
                                                     annotation.gene_index, strand_mode, 0, 0,
                                                     True)
        ours = count_bam(bam, annotation, module_settings(strand_mode, 0, 0))
        assert ours.counts.tolist() == [counts[gene] for gene in annotation.gene_ids]
        assert (ours.summary["Assigned"], ours.summary["Unassigned_Ambiguity"],
                ours.summary["Unassigned_NoFeatures"]) == (stats[7], stats[6], stats[5])
