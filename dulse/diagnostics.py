"""Signs of a run set up wrongly, with the likely fix: contig names that the alignment files and
the annotation spell differently (chr1 versus 1). (A wrong strandedness is told by
dulse.strandedness, from the same pass.)"""

__all__ = ["contig_mismatch", "naming_hint"]


def contig_mismatch(matrix, annotation):
    """A warning when most reads of some file that reached the features lie on contigs the
    annotation lacks."""
    flagged = [result for result in matrix.files
               if result.details["no_annotated_contig"] * 2 > _reached(result) > 0]
    if not flagged:
        return None
    worst = max(flagged, key=lambda r: r.details["no_annotated_contig"] / _reached(r))
    share = worst.details["no_annotated_contig"] / _reached(worst)
    files = (f"{len(flagged)} of {len(matrix.files)} files have"
             if len(matrix.files) > 1 else "the file has")
    return (f"{files} most mapped reads on contigs the annotation lacks ({worst.path}: "
            f"{share:.0%}); {naming_hint(worst.details['reference_names'], list(annotation.contigs))}")


def _reached(result):
    summary = result.summary
    return (summary["Assigned"] + summary["Unassigned_NoFeatures"]
            + summary["Unassigned_Ambiguity"])



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


def _some(names, count=3):
    names = list(names)
    shown = ", ".join(names[:count])
    return shown + (", ..." if len(names) > count else "") if names else "none"
