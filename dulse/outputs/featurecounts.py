"""featureCounts' layouts: the counts file and its .summary.

The counts file: a `# Program:...; Command:...` line, then Geneid, Chr, Start, End, Strand,
Length and one column per file; a whole count is written as an integer, any other with two
decimals, as featureCounts writes them. The summary: a Status header, then featureCounts' 14
rows in its order, whose values add up to every read (fragment) of each file (MultiQC's
featureCounts module takes their sum as the total).
"""

import numpy

from dulse.results import SUMMARY_ROWS

__all__ = ["command_line", "format_counts", "write_counts", "write_summary"]


def command_line(program, version, argv):
    quoted = " ".join('"' + arg.replace('"', '\\"') + '"' for arg in argv)
    return f"# Program:{program} v{version}; Command:{quoted} "


def format_counts(values):
    """The text of each count: an integer when whole, else two decimals."""
    values = numpy.asarray(values, dtype=numpy.float64)
    whole = values == numpy.floor(values)
    text = numpy.char.mod("%.2f", values)
    if whole.any():
        text[whole] = numpy.char.mod("%d", values[whole].astype(numpy.int64))
    return text


def write_counts(handle, matrix, annotation, header_line, extra_attributes=()):
    """The counts file; extra_attributes (names the annotation was read with) become columns
    between Length and the counts, as --extraAttributes makes them."""
    handle.write(header_line.rstrip("\n") + "\n")
    handle.write("\t".join(("Geneid", "Chr", "Start", "End", "Strand", "Length",
                            *extra_attributes) + _column_names(matrix)) + "\n")
    texts = [format_counts(counts) for counts in (f.counts for f in matrix.files)]
    cells = [numpy.asarray(matrix.gene_ids, dtype=object),
             numpy.asarray(annotation.featurecounts_columns(), dtype=object)]
    cells += [numpy.asarray(annotation.extra_attributes[name], dtype=object)
              for name in extra_attributes]
    cells += [text.astype(object) for text in texts]
    rows = cells[0]
    for column in cells[1:]:
        rows = rows + "\t" + column
    handle.write("\n".join(rows.tolist()))
    handle.write("\n")


def write_summary(handle, matrix):
    handle.write("\t".join(("Status",) + _column_names(matrix)) + "\n")
    for row in SUMMARY_ROWS:
        handle.write("\t".join([row] + [str(f.summary[row]) for f in matrix.files]) + "\n")


def _column_names(matrix):
    for sample in matrix.samples:
        if any(character in sample for character in "\t\n\r"):
            raise ValueError(f"a file name with a tab or line break cannot head a column: "
                             f"{sample!r}")
    return matrix.samples
