"""The engine against the installed featureCounts 2.0.3 under the overlap-length, feature-level,
read-position and split rules (test_fc_model.OVERLAPS), alone and with the engine's other
options, for single-end reads, the reads of pairs and fragments, each read set written in every
file order; the counts as written and every summary row must agree.

FC_OPTIONS_EXAMPLES=100 widens the search. Skipped where featureCounts is not installed, except
under CI=true, where that fails.
"""

import os
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
from test_fc_model import FRAGMENTS, OVERLAPS, READS, SINGLE_END

EXAMPLES = int(os.environ.get("FC_OPTIONS_EXAMPLES", "3"))

differential = settings(max_examples=EXAMPLES, derandomize=True, deadline=None, database=None,
                        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.fixture(scope="module", autouse=True)
def featurecounts():
    if fc_peer.available():
        return
    if os.environ.get("CI") == "true":
        pytest.fail("featureCounts is not installed")
    pytest.skip("featureCounts is not installed")


def engine_settings(options: fc_model.Options):
    """The Settings that mean what featureCounts' flags for ``options`` mean."""
    return Settings(
        paired=options.paired, count_fragments=options.count_read_pairs,
        both_ends_mapped=options.both_aligned, exclude_chimeric=options.exclude_chimeric,
        check_fragment_length=options.check_fragment_length,
        min_fragment_length=options.min_fragment_length,
        max_fragment_length=options.max_fragment_length, strandedness=options.strand,
        min_mapq=options.min_mapq, multi_mapping=options.multi_mapping,
        fraction=options.fraction, primary_only=options.primary_only,
        multi_overlap=options.multi_overlap, ignore_duplicates=options.ignore_dup,
        feature_level=options.feature_level, min_overlap=options.min_overlap,
        frac_overlap=options.frac_overlap, frac_overlap_feature=options.frac_overlap_feature,
        largest_overlap=options.largest_overlap, non_overlap=options.non_overlap,
        non_overlap_feature=options.non_overlap_feature,
        read_extension5=options.read_extension5, read_extension3=options.read_extension3,
        read_to_pos=options.read2pos, split_only=options.split_only,
        non_split_only=options.non_split_only)


def settled(records, annotation, options):
    """The records without the reads whose verdict featureCounts gives differently in different
    file orders, or by rules the model leaves out; None when no paired record is left for -p."""
    result = fc_model.count(records, annotation, options, file_name=fc_peer.INPUT_SAM)
    dropped = set(result.order_sensitive)
    kept = [record for record in records if record.name not in dropped]
    if options.paired and not any(record.flag & fc_model.PAIRED for record in kept):
        return None
    return kept


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
            assert format_counts(ours.counts).tolist() == peer[name][0], f"{label}: {name}"


KINDS = {
    "single-end": (S.single_end_reads(), {label: SINGLE_END[label] for label in OVERLAPS}),
    "paired-end reads": (S.paired_end_reads(), {label: options for label, options in
                                                READS.items() if label[2:] in OVERLAPS}),
    "fragments": (S.paired_end_reads(), {label: options for label, options in FRAGMENTS.items()
                                         if label[6:] in OVERLAPS or "largestOverlap" in label}),
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
        kept = settled(records, annotation, options)
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
    kept = settled(records, annotation, options)
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
