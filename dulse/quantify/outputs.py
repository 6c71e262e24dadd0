"""Count tables in the layouts that pipelines already read.

featureCounts' layout: a matrix with a `# ` command line, then Geneid, Chr, Start, End, Strand,
Length and one column per BAM file, and a summary with a Status header and one integer row per
outcome of a record, whose rows add up to every record of the file (MultiQC's featureCounts
module takes their sum as the total). htseq-count's layout: gene and count, then `__` rows.
"""

import shlex

__all__ = ["SUMMARY_ROWS", "HTSEQ_ROWS", "format_count", "write_htseq", "write_matrix",
           "write_summary"]

# Each record of a file ends in exactly one of these outcomes.
SUMMARY_ROWS = (
    ("Assigned", lambda s: s.assigned_records),
    ("Unassigned_Unmapped_Secondary_Supplementary", lambda s: s.unmapped_secondary_supplementary),
    ("Unassigned_MappingQuality", lambda s: s.below_mapq),
    ("Unassigned_NoAnnotatedContig", lambda s: s.no_annotated_contig),
    ("Unassigned_MultiMapping", lambda s: s.multimapping_discarded),
    ("Unassigned_NoFeatures", lambda s: s.no_feature),
    ("Unassigned_Ambiguity", lambda s: s.ambiguous),
)

HTSEQ_ROWS = (
    ("__no_feature", lambda s: s.no_feature),
    ("__ambiguous", lambda s: s.ambiguous),
    ("__too_low_aQual", lambda s: s.below_mapq),
    ("__alignment_not_unique", lambda s: s.multimapping_discarded),
    ("__no_annotated_contig", lambda s: s.no_annotated_contig),
    ("__unmapped_secondary_supplementary", lambda s: s.unmapped_secondary_supplementary),
)


def format_count(value):
    """A whole count as an integer, a fractional one with up to six decimals."""
    if value == int(value):
        return str(int(value))
    return f"{value:.6f}".rstrip("0")


def command_line(program, version, argv):
    quoted = " ".join('"' + arg.replace('"', '\\"') + '"' for arg in argv)
    return f"# Program:{program} v{version}; Command:{quoted}"


def write_matrix(handle, matrix, annotation, header_line):
    """The featureCounts matrix: header_line (starting '# '), the columns, one row per gene."""
    handle.write(header_line.rstrip("\n") + "\n")
    handle.write("\t".join(("Geneid", "Chr", "Start", "End", "Strand", "Length") +
                           _column_names(matrix)) + "\n")
    columns = [result.counts for result in matrix.results]
    for layout in annotation.layout():
        gene = layout.gene_id
        handle.write("\t".join((
            gene,
            ";".join(layout.contigs),
            ";".join(map(str, layout.starts)),
            ";".join(map(str, layout.ends)),
            ";".join(layout.strands),
            str(layout.length),
            *(format_count(column[gene]) for column in columns))) + "\n")


def write_summary(handle, matrix):
    """The featureCounts summary: Status header, then one integer row per outcome."""
    handle.write("\t".join(("Status",) + _column_names(matrix)) + "\n")
    for name, value in SUMMARY_ROWS:
        handle.write("\t".join([name] + [str(value(result.stats))
                                         for result in matrix.results]) + "\n")


def write_htseq(handle, matrix):
    """htseq-count's layout: gene IDs in sorted order with their counts, then the `__` rows."""
    columns = [result.counts for result in matrix.results]
    for gene in sorted(matrix.gene_ids):
        handle.write("\t".join([gene] + [format_count(column[gene]) for column in columns])
                     + "\n")
    for name, value in HTSEQ_ROWS:
        handle.write("\t".join([name] + [str(value(result.stats))
                                         for result in matrix.results]) + "\n")


def _column_names(matrix):
    for sample in matrix.samples:
        if any(character in sample for character in "\t\n\r"):
            raise ValueError(f"a file name with a tab or line break cannot head a column: "
                             f"{shlex.quote(sample)}")
    return matrix.samples
