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



def naming_hint(bam_contigs, annotation_contigs, prefix_matched=True):
    """The likely fix for contigs named apart. With prefix_matched (featureCounts' matching, which
    takes chr1 for 1), names that differ otherwise (chrM and MT, CHR1 and 1) are for an alias
    file (-A); without it, a 'chr' prefix on one side only is named as the difference."""
    bam, ours = set(bam_contigs), set(annotation_contigs)
    common = len(bam & ours)
    if prefix_matched:
        pairs = [(name, other) for other in bam_contigs
                 if other not in ours and _bare(other) not in ours and "chr" + other not in ours
                 for name in annotation_contigs if _same(name, other)]
        if pairs:
            name, other = pairs[0]
            return (f"the BAM names contigs '{other}' where the annotation has '{name}': name "
                    f"such pairs in a contig alias file (-A FILE, lines like '{name},{other}'; "
                    f"contig_aliases in the API), or use an annotation from the same source as "
                    f"the genome the reads were aligned to")
    else:
        added = [name for name in annotation_contigs if "chr" + name in bam]
        stripped = [name for name in annotation_contigs
                    if name.startswith("chr") and name[3:] in bam]
        if len(added) > common:
            return (f"the BAM names contigs 'chr{added[0]}' where the annotation has "
                    f"'{added[0]}': add the 'chr' prefix to the annotation's contig names, or "
                    f"use an annotation from the same source as the genome the reads were "
                    f"aligned to")
        if len(stripped) > common:
            return (f"the BAM names contigs '{stripped[0][3:]}' where the annotation has "
                    f"'{stripped[0]}': remove the 'chr' prefix from the annotation's contig "
                    f"names, or use an annotation from the same source as the genome the reads "
                    f"were aligned to")
    fix = " (or name the pairs in a contig alias file, -A)" if prefix_matched else ""
    return (f"the BAM's contigs ({_some(bam_contigs)}) and the annotation's "
            f"({_some(annotation_contigs)}) have few names in common: use an annotation of the "
            f"genome the reads were aligned to{fix}")


def _bare(name):
    return name[3:] if name.startswith("chr") else name


# The mitochondrion's usual names, alike to the eye.
_MITOCHONDRION = {"m", "mt", "chrm", "chrmt"}


def _same(ours, theirs):
    """Whether two contig names likely name one contig: alike but for case and a 'chr' prefix,
    or both a name of the mitochondrion."""
    a, b = ours.lower(), theirs.lower()
    if a in _MITOCHONDRION and b in _MITOCHONDRION:
        return True
    return _bare(a) == _bare(b)


def _some(names, count=3):
    names = list(names)
    shown = ", ".join(names[:count])
    return shown + (", ..." if len(names) > count else "") if names else "none"
