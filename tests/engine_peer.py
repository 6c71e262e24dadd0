"""The engine (dulse.count_bam) and the installed featureCounts on the same records, written in
every file order: featureCounts counts the files in one run, the engine one by one, and the
counts as written and all 14 summary rows must agree for every file."""

import tempfile
from pathlib import Path


import fc_model
import fc_peer
import sam_strategies as S
from dulse import Settings, count_bam, read_annotation
from dulse.outputs.featurecounts import format_counts
from fc_model import Options
from helpers import require_peer


def require_featurecounts():
    """Skips the calling tests where featureCounts is not installed; fails them under CI."""
    require_peer(fc_peer.available(), "featureCounts")


def engine_settings(options: Options, **more):
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
        read_shift_type=options.read_shift_type, read_shift_size=options.read_shift_size,
        read_extension5=options.read_extension5, read_extension3=options.read_extension3,
        read_to_pos=options.read2pos, split_only=options.split_only,
        non_split_only=options.non_split_only, **more)


def order_insensitive(records, annotation, options):
    """The records without the fragments whose verdict in featureCounts depends on file order
    (fc_model.order_sensitive_fragments), or None when no paired record is left for -p."""
    result = fc_model.count(records, annotation, options, file_name=fc_peer.INPUT_SAM,
                            lengths=S.CONTIG_LENGTHS)
    if result.order_sensitive:
        dropped = set(result.order_sensitive)
        records = [record for record in records if record.name not in dropped]
    if options.paired and not any(record.flag & fc_model.PAIRED for record in records):
        return None
    return records


def write_orders(folder, records, orders):
    """Writes each (sort order, records) of ``orders`` as a SAM file, the coordinate-sorted one
    as BAM; returns [(file name, sort order)]."""
    names = []
    for number, (sort_order, ordered) in enumerate(orders):
        sam = Path(folder) / f"order{number}.sam"
        fc_peer.write_sam(sam, ordered, sort_order, S.CONTIG_LENGTHS)
        if sort_order == "coordinate":
            bam = fc_peer.write_bam(sam, Path(folder) / f"order{number}.bam")
            sam.unlink()
            sam = Path(bam)
        names.append((sam.name, sort_order))
    return names


def written(result, annotation):
    """Gene -> the engine's count as the counts file writes it."""
    return dict(zip(annotation.gene_ids, format_counts(result.counts)))


def compare_orders(records, annotation, options, rng, label=""):
    """Counts ``records`` in every file order with featureCounts and with the engine; asserts
    that they agree. Returns the engine's results, one per order."""
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        inputs = write_orders(folder, records, S.file_orders(records, rng))
        fc_peer.write_saf(folder / "annotation.saf", annotation)
        status, stderr, peer = fc_peer.run_command(
            folder, ["-T", "1", "-F", "SAF", "-a", "annotation.saf", "-o", fc_peer.OUTPUT,
                     *fc_peer.flags(options), *(input_name for input_name, _ in inputs)])
        assert status == 0, f"{label}: {stderr}"
        genes = read_annotation(folder / "annotation.saf")
        results = []
        for input_name, sort_order in inputs:
            ours = count_bam(folder / input_name, genes, engine_settings(options))
            where = f"{label}, {sort_order} ({input_name})"
            assert ours.summary == peer[input_name].summary, where
            assert written(ours, genes) == peer[input_name].count_text, where
            results.append(ours)
        return results
