"""Signs of a run set up wrongly, each with the likely fix: contig names that the BAM files and
the annotation spell differently (chr1 versus 1), and a stranded setting opposite to the
library's."""

__all__ = ["contig_mismatch", "naming_hint", "wrong_strand"]

# A stranded run whose assigned share is below LOW_SHARE is counted once more with the other
# strand (one file, the worst); a share FAR_BELOW times smaller than the other's is reported.
LOW_SHARE = 0.5
FAR_BELOW = 3.0
MIN_ASSIGNABLE = 10
OPPOSITE = {"forward": "reverse", "reverse": "forward"}
FLAG = {"unstranded": 0, "forward": 1, "reverse": 2}


def contig_mismatch(matrix, annotation, bam_contigs=None):
    """A warning when most mapped records of some file fall on contigs the annotation lacks.

    bam_contigs(path) lists a BAM file's contig names; by default its header is read.
    """
    flagged = [result for result in matrix.results
               if result.stats.no_annotated_contig * 2 > result.stats.primary_mapped_records]
    if not flagged:
        return None
    worst = max(flagged, key=lambda r: r.stats.no_annotated_contig /
                r.stats.primary_mapped_records)
    share = worst.stats.no_annotated_contig / worst.stats.primary_mapped_records
    try:
        names = (bam_contigs or _header_contigs)(worst.path)
    except (OSError, ValueError):
        names = ()
    files = (f"{len(flagged)} of {len(matrix.results)} BAM files have"
             if len(matrix.results) > 1 else "the BAM file has")
    return (f"{files} most mapped records on contigs the annotation lacks ({worst.path}: "
            f"{share:.0%}); {naming_hint(names, annotation.gene_index)}")


def naming_hint(bam_contigs, annotation_contigs):
    bam, ours = set(bam_contigs), set(annotation_contigs)
    common = len(bam & ours)
    added = [name for name in annotation_contigs if "chr" + name in bam]
    stripped = [name for name in annotation_contigs
                if name.startswith("chr") and name[3:] in bam]
    if len(added) > common:
        return (f"the BAM names contigs 'chr{added[0]}' where the annotation has "
                f"'{added[0]}': add the 'chr' prefix to the annotation's contig names, or use "
                f"an annotation from the same source as the genome the reads were aligned to")
    if len(stripped) > common:
        return (f"the BAM names contigs '{stripped[0][3:]}' where the annotation has "
                f"'{stripped[0]}': remove the 'chr' prefix from the annotation's contig names, "
                f"or use an annotation from the same source as the genome the reads were "
                f"aligned to")
    return (f"the BAM's contigs ({_some(bam_contigs)}) and the annotation's "
            f"({_some(annotation_contigs)}) have few names in common: use an annotation of the "
            f"genome the reads were aligned to")


def wrong_strand(matrix, strandedness, recount):
    """A warning when a stranded run assigns far fewer records than the other strand would.

    recount(path, strandedness) counts one file again and returns its BamCounts; it is called
    at most once, for the file with the lowest assigned share, and only when that share is low.
    """
    if strandedness not in OPPOSITE:
        return None
    low = [result for result in matrix.results
           if result.stats.assignable_records >= MIN_ASSIGNABLE
           and _share(result.stats) < LOW_SHARE]
    if not low:
        return None
    worst = min(low, key=lambda r: _share(r.stats))
    other = OPPOSITE[strandedness]
    share, other_share = _share(worst.stats), _share(recount(worst.path, other).stats)
    if other_share < FAR_BELOW * share or other_share - share < 0.1:
        return None
    others = (f" ({len(low)} of {len(matrix.results)} files have a low assigned share)"
              if len(low) > 1 else "")
    return (f"{worst.path}: {share:.1%} of the records that reached assignment were assigned "
            f"as {strandedness}-stranded (-s {FLAG[strandedness]}), against {other_share:.1%} "
            f"as {other}-stranded: the library is likely {other}-stranded; rerun with "
            f"-s {FLAG[other]}{others}")


def _share(stats):
    return stats.assigned_records / stats.assignable_records if stats.assignable_records else 0.0


def _some(names, count=3):
    names = list(names)
    shown = ", ".join(names[:count])
    return shown + (", ..." if len(names) > count else "") if names else "none"


def _header_contigs(path):
    import pysam

    with pysam.AlignmentFile(path, "rb") as bam:
        return list(bam.references)
