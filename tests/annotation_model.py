"""A plain-Python annotation reader, the model the native one is checked against.

This was dulse's own reader before the native one: `read_annotation` reads a GTF, GFF3 or SAF
file (gzipped or not, from a path it opens twice) into an `Annotation` whose `gene_ids` lists
the genes in order of first appearance and whose `gene_index` maps each contig to a
`ContigEntry`. It knows nothing of the cases the native reader added (attributes written the
other format's way, byte-order marks, track lines, escaped quotes, control characters refused,
several feature types or gene attributes).
"""

import gzip
import itertools
import os
import warnings
import zlib
from operator import itemgetter

import annotation_model_formats as formats
from dulse.errors import AnnotationError, AnnotationWarning

__all__ = ["Annotation", "ContigEntry", "read_annotation"]

FORMATS = ("GTF", "GFF3", "SAF")
MISSING_GENE = ("error", "skip")
_EXTENSIONS = {".gtf": "GTF", ".gff3": "GFF3", ".saf": "SAF"}


class ContigEntry:
    """The interval index of one contig.

    `intervals` holds exact `(start, end, gene_id, strand)` tuples, 0-based and half-open,
    strand "+" or "-", sorted by start; `starts[k] == intervals[k][0]` and
    `prefix_max_ends[k]` is the largest end among `intervals[:k + 1]`. All three are exact
    tuples. Bisecting `starts` for the end of a query and walking left while
    `prefix_max_ends` still reaches past its start finds every interval the query overlaps.
    """

    __slots__ = ("intervals", "starts", "prefix_max_ends")

    def __init__(self, intervals=()):
        ordered = sorted(map(tuple, intervals), key=itemgetter(0))
        self.intervals = tuple(ordered)
        self.starts = tuple(map(itemgetter(0), ordered))
        self.prefix_max_ends = tuple(itertools.accumulate(map(itemgetter(1), ordered), max))

    def __reduce__(self):
        return (ContigEntry, (self.intervals,))

    def __len__(self):
        return len(self.intervals)

    def __eq__(self, other):
        if not isinstance(other, ContigEntry):
            return NotImplemented
        return self.intervals == other.intervals

    __hash__ = None

    def __repr__(self):
        return f"ContigEntry({len(self.intervals)} intervals)"


class Annotation:
    """The genes of an annotation file and their interval index, ready for counting."""

    __slots__ = ("gene_ids", "gene_index", "path", "file_format")

    def __init__(self, gene_ids, gene_index, path=None, file_format=None):
        self.gene_ids = tuple(gene_ids)
        self.gene_index = dict(gene_index)
        self.path = path
        self.file_format = file_format

    def __reduce__(self):
        return (Annotation, (self.gene_ids, self.gene_index, self.path, self.file_format))

    @property
    def interval_count(self):
        return sum(len(entry.intervals) for entry in self.gene_index.values())

    def __repr__(self):
        return (f"Annotation({len(self.gene_ids)} genes, {self.interval_count} intervals on "
                f"{len(self.gene_index)} contigs)")


class IndexBuilder:
    """Collects features and builds the gene list and the interval index.

    Overlapping or touching intervals of one gene on one strand are merged: that leaves the
    set of genes under every base, and so every assignment, unchanged.
    """

    def __init__(self):
        self.genes = {}  # gene ID -> the one string object used for it, in first-seen order
        self.contigs = {}

    def gene(self, gene_id):
        """The shared string for gene_id, registering the gene on first sight."""
        return self.genes.setdefault(gene_id, gene_id)

    def add(self, contig, start, end, gene, strand):
        """Adds [start, end) on contig; strand "." or "?" stands for both strands."""
        intervals = self.contigs.get(contig)
        if intervals is None:
            intervals = self.contigs[contig] = []
        if strand == "+" or strand == "-":
            intervals.append((start, end, gene, strand))
        else:
            intervals.append((start, end, gene, "+"))
            intervals.append((start, end, gene, "-"))

    def build(self):
        index = {contig: ContigEntry(_merged(intervals))
                 for contig, intervals in self.contigs.items()}
        return tuple(self.genes), index


def _merged(intervals):
    intervals.sort(key=itemgetter(0, 1))
    merged = []
    last = {}  # (gene, strand) -> position in merged of that pair's latest interval
    for interval in intervals:
        start, end, gene, strand = interval
        at = last.get((gene, strand))
        if at is not None and start <= merged[at][1]:
            if end > merged[at][1]:
                merged[at] = (merged[at][0], end, gene, strand)
        else:
            last[(gene, strand)] = len(merged)
            merged.append(interval)
    return merged


def read_annotation(path, *, file_format=None, feature_type="exon", gene_attribute="gene_id",
                    missing_gene="error"):
    """Reads an annotation file into an Annotation.

    file_format: "GTF", "GFF3" or "SAF"; by default told from the content, else the name.
    feature_type: the feature type (third column) whose intervals make up the genes; GTF and
        GFF3 only.
    gene_attribute: the attribute naming a feature's gene; GTF and GFF3 only. In GFF3 a feature
        belongs to the gene at the top of its Parent chain, which is named by this attribute
        on the gene, else on the feature or its parent, else (for gene_id) by the gene's ID.
    missing_gene: "error" to stop at a feature whose gene is unknown, "skip" to leave it out
        with one AnnotationWarning.

    Coordinates in the files are 1-based and inclusive; the index is 0-based and half-open.
    Raises AnnotationError, naming the file and line, for malformed input.
    """
    if missing_gene not in MISSING_GENE:
        raise ValueError(f"missing_gene must be one of {', '.join(MISSING_GENE)}, "
                         f"not {missing_gene!r}")
    if not feature_type or not gene_attribute:
        raise ValueError("feature_type and gene_attribute must be non-empty")
    path = os.fspath(path)
    if file_format is None:
        file_format = detect_format(path)
    elif file_format.upper() not in FORMATS:
        raise ValueError(f"file_format must be one of {', '.join(FORMATS)}, not {file_format!r}")
    file_format = file_format.upper()

    context = formats.Context(path, missing_gene)
    builder = IndexBuilder()
    with _open_text(path) as handle:
        try:
            if file_format == "GTF":
                formats.read_gtf(handle, context, builder, feature_type, gene_attribute)
            elif file_format == "GFF3":
                formats.read_gff3(handle, context, builder, feature_type, gene_attribute)
            else:
                formats.read_saf(handle, context, builder)
        except (UnicodeDecodeError, EOFError, OSError, zlib.error) as error:
            raise context.unreadable(error) from None
    gene_ids, gene_index = builder.build()

    if context.skipped:
        warnings.warn(AnnotationWarning(
            f"{path}: left out {context.skipped} feature{'s' if context.skipped > 1 else ''} "
            f"whose gene is unknown (first at line {context.first_skipped[0]}: "
            f"{context.first_skipped[1]})"), stacklevel=2)
    for gene in gene_ids:
        if "\t" in gene or "\n" in gene or "\r" in gene:
            raise AnnotationError(f"{path}: gene ID {gene!r} contains a tab or line break")
    if not gene_ids:
        if file_format == "SAF":
            raise AnnotationError(f"{path}: no features")
        types = ", ".join(sorted(context.feature_types)[:12]) or "none"
        raise AnnotationError(
            f"{path}: no '{feature_type}' features with a gene (feature types in the file: "
            f"{types})")
    return Annotation(gene_ids, gene_index, path, file_format)


def _open_text(path):
    try:
        if formats.is_gzip(path):
            return gzip.open(path, "rt", encoding="utf-8", newline="")
        return open(path, encoding="utf-8", newline="")
    except OSError as error:
        raise AnnotationError(f"{path}: cannot read: {error.strerror or error}") from None


def detect_format(path):
    """The format of an annotation file, from its first data lines, else from its name."""
    with _open_text(path) as handle:
        try:
            guess = formats.sniff(itertools.islice(handle, 200))
        except (UnicodeDecodeError, EOFError, OSError, zlib.error) as error:
            raise formats.Context(path, "error").unreadable(error) from None
    if guess is not None:
        return guess
    name = path[:-3] if path.endswith(".gz") else path
    extension = os.path.splitext(name)[1].lower()
    if extension in _EXTENSIONS:
        return _EXTENSIONS[extension]
    raise AnnotationError(f"{path}: cannot tell whether this is GTF, GFF3 or SAF; "
                          f"name the format")
