"""featureCounts' layouts: the counts file and its .summary.

The counts file: a `# Program:...; Command:...` line, then Geneid, Chr, Start, End, Strand,
Length, the --extraAttributes and one column per file; a whole count is written as an integer,
any other with two decimals, as featureCounts writes them. With -f a row per feature (annotation
line, in file order) with its gene in Geneid, its own place, and its length. The summary: a
Status header, then featureCounts' 14 rows in its order, whose values add up to every read
(fragment) of each file (MultiQC's featureCounts module takes their sum as the total); under
--nonSplitOnly the row of the split reads set aside is named Unassigned_Split.
"""

import numpy

from dulse import _engine
from dulse.results import SUMMARY_ROWS

__all__ = ["column_names", "command_line", "feature_columns", "format_counts", "write_counts", "write_summary"]


def command_line(program, version, argv):
    quoted = " ".join('"' + arg.replace('"', '\\"') + '"' for arg in argv)
    return f"# Program:{program} v{version}; Command:{quoted} "


def format_counts(values):
    """The text of each count (a list of str): an integer when whole, else two decimals."""
    values = numpy.asarray(values, dtype=numpy.float64)
    whole = values == numpy.floor(values)
    if whole.all():
        return list(map(str, values.astype(numpy.int64).tolist()))
    return [str(int(value)) if is_whole else f"{value:.2f}"
            for value, is_whole in zip(values.tolist(), whole.tolist())]


def feature_columns(annotation):
    """Per feature row: Chr, Start, End, Strand and Length joined by tabs (1-based, inclusive):
    the gene columns of a gene made of that row alone."""
    features = annotation.features
    rows = len(features.contig)
    return _engine.featurecounts_columns(annotation.contigs, features.contig, features.start,
                                         features.end, features.strand,
                                         numpy.arange(rows, dtype=features.gene.dtype), rows)


def write_counts(handle, matrix, annotation, header_line, extra_attributes=(),
                 feature_level=False):
    """The counts file; extra_attributes (names the annotation was read with) become columns
    between Length and the counts, as --extraAttributes makes them. With feature_level a row
    per feature (matrix.gene_ids then holds each feature's gene), with that row's values."""
    handle.write(header_line.rstrip("\n") + "\n")
    handle.write("\t".join(("Geneid", "Chr", "Start", "End", "Strand", "Length",
                            *extra_attributes) + column_names(matrix)) + "\n")
    lines = feature_columns(annotation) if feature_level else annotation.featurecounts_columns()
    columns = [matrix.gene_ids, lines]
    columns += [annotation.feature_attribute(name).tolist() if feature_level
                else annotation.extra_attributes[name] for name in extra_attributes]
    columns += [format_counts(f.counts) for f in matrix.files]
    handle.write("\n".join(map("\t".join, zip(*columns))))
    handle.write("\n")


def write_summary(handle, matrix, split_row=False):
    handle.write("\t".join(("Status",) + column_names(matrix)) + "\n")
    for row in SUMMARY_ROWS:
        name = "Unassigned_Split" if split_row and row == "Unassigned_NonSplit" else row
        handle.write("\t".join([name] + [str(f.summary[row]) for f in matrix.files]) + "\n")


def column_names(matrix):
    """The count columns' heads: each file's name as given."""
    for sample in matrix.samples:
        if any(character in sample for character in "\t\n\r"):
            raise ValueError(f"a file name with a tab or line break cannot head a column: "
                             f"{sample!r}")
    return matrix.samples
