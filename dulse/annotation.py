"""Gene annotations: the genes of a GTF, GFF3 or SAF file and their features, as arrays.

`read_annotation` reads a file (gzipped or not, a pipe as well) into an `Annotation`, whose
`gene_ids` lists the genes in order of first appearance and whose `features` holds one row per
feature line kept, in file order. What the counting module `dulse.quantify._core_fast` takes,
the merged per-contig `gene_index`, is built from the rows when first asked for; so are the
columns that describe each gene in featureCounts' counts file.
"""

import itertools
import os
import warnings
from collections import namedtuple
from operator import itemgetter

import numpy

from dulse import _engine
from dulse.errors import AnnotationWarning

__all__ = ["Annotation", "ContigEntry", "Features", "GeneLayout", "read_annotation"]

FORMATS = ("GTF", "GFF3", "SAF")
MISSING_GENE = ("error", "skip")

Features = namedtuple("Features", ["contig", "start", "end", "strand", "gene"])
Features.__doc__ = """One row per feature, as numpy arrays: contig and gene numbers (into
Annotation.contigs and Annotation.gene_ids), 0-based start, exclusive end, and the strand as
the byte ord('+'), ord('-') or ord('.') (either strand)."""


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

    @classmethod
    def _sorted(cls, intervals, starts, prefix_max_ends):
        entry = cls.__new__(cls)
        entry.intervals, entry.starts, entry.prefix_max_ends = intervals, starts, prefix_max_ends
        return entry

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


class GeneLayout:
    """Where one gene lies: its merged intervals (1-based, inclusive) and its length in bases."""

    __slots__ = ("gene_id", "contigs", "starts", "ends", "strands", "length")

    def __init__(self, gene_id, contigs, starts, ends, strands, length):
        self.gene_id = gene_id
        self.contigs = contigs
        self.starts = starts
        self.ends = ends
        self.strands = strands
        self.length = length


class Annotation:
    """The genes of an annotation file and their features, ready for counting.

    gene_ids: the gene IDs, in order of first appearance.
    contigs: the contig names, in order of first appearance.
    features: a Features of numpy arrays, one row per feature in file order.
    extra_attributes: {name: one str per gene}, as featureCounts' --extraAttributes writes it.
    htseq_attributes: {name: one str per gene}, as htseq-count's --additional-attr writes it.
    feature_attribute(name): one str per feature row, as featureCounts' -f writes it.
    """

    __slots__ = ("gene_ids", "contigs", "features", "path", "file_format", "extra_attributes",
                 "htseq_attributes", "_row_values", "_merged", "_gene_index", "_columns")

    def __init__(self, gene_ids, contigs, features, path=None, file_format=None,
                 extra_attributes=None, htseq_attributes=None, row_values=None):
        self.gene_ids = tuple(gene_ids)
        self.contigs = tuple(contigs)
        self.features = Features(*features)
        self.path = path
        self.file_format = file_format
        self.extra_attributes = dict(extra_attributes or {})
        self.htseq_attributes = dict(htseq_attributes or {})
        self._row_values = dict(row_values or {})  # {name: (values, per row an index)}
        self._merged = self._gene_index = self._columns = None

    def __reduce__(self):
        return (Annotation, (self.gene_ids, self.contigs, tuple(self.features), self.path,
                             self.file_format, self.extra_attributes, self.htseq_attributes,
                             self._row_values))

    def _merged_intervals(self):
        if self._merged is None:
            self._merged = _engine.merged_intervals(*self.features, len(self.contigs),
                                                    len(self.gene_ids))
        return self._merged

    @property
    def gene_index(self):
        """{contig: ContigEntry}, in contig order: what dulse.quantify._core_fast counts with.

        Overlapping or touching intervals of one gene on one strand are merged, and a feature
        on both strands (strand '.') is indexed once per strand.
        """
        if self._gene_index is None:
            contig, start, end, strand, gene = self._merged_intervals()
            starts, ends = start.tolist(), end.tolist()
            genes = [self.gene_ids[number] for number in gene.tolist()]
            strands = [chr(letter) for letter in strand.tolist()]
            index = {}
            bounds = contig.searchsorted(range(len(self.contigs) + 1)).tolist()
            for number, name in enumerate(self.contigs):
                lo, hi = bounds[number], bounds[number + 1]
                if lo == hi:
                    continue
                index[name] = ContigEntry._sorted(
                    tuple(zip(starts[lo:hi], ends[lo:hi], genes[lo:hi], strands[lo:hi])),
                    tuple(starts[lo:hi]), tuple(itertools.accumulate(ends[lo:hi], max)))
            self._gene_index = index
        return self._gene_index

    @property
    def interval_count(self):
        """The number of intervals in gene_index."""
        return len(self._merged_intervals()[0])

    def feature_attribute(self, name):
        """Each feature row's value of the extra attribute `name` (a numpy array of str
        objects), "NA" where the row has none, as featureCounts' -f writes it."""
        values, rows = self._row_values[name]
        return numpy.asarray(values, dtype=object)[rows]

    def featurecounts_columns(self):
        """Per gene, in gene order, featureCounts' "Chr\\tStart\\tEnd\\tStrand\\tLength".

        Every feature row of the gene (repeats kept) in featureCounts' order, 1-based and
        inclusive, joined with ';'; Length counts the bases covered on each contig and strand.
        """
        if self._columns is None:
            self._columns = _engine.featurecounts_columns(self.contigs, *self.features,
                                                          len(self.gene_ids))
        return self._columns

    def __repr__(self):
        return (f"Annotation({len(self.gene_ids)} genes, {len(self.features.contig)} features "
                f"on {len(self.contigs)} contigs)")

    def layout(self):
        """One GeneLayout per gene, in gene order, from the merged intervals of gene_index.

        A feature on both strands (strand "." in the file) is indexed once per strand and
        shown once here, with strand ".".
        """
        parts = {gene: {} for gene in self.gene_ids}
        for contig, entry in self.gene_index.items():
            for start, end, gene, strand in entry.intervals:
                places = parts.setdefault(gene, {})
                key = (contig, start, end)
                places[key] = "." if places.get(key, strand) != strand else strand
        layouts = []
        for gene in self.gene_ids:
            places = parts[gene]
            keys = sorted(places, key=_place_order(self.gene_index))
            layouts.append(GeneLayout(
                gene,
                tuple(contig for contig, _, _ in keys),
                tuple(start + 1 for _, start, _ in keys),
                tuple(end for _, _, end in keys),
                tuple(places[key] for key in keys),
                _covered_bases(keys)))
        return layouts


def _place_order(gene_index):
    rank = {contig: number for number, contig in enumerate(gene_index)}
    return lambda key: (rank[key[0]], key[1], key[2])


def _covered_bases(places):
    """Bases covered by (contig, start, end) places sorted by contig then start."""
    total = 0
    for _, group in itertools.groupby(places, key=itemgetter(0)):
        reach = None
        for _, start, end in group:
            if reach is None or start >= reach:
                total += end - start
                reach = end
            elif end > reach:
                total += end - reach
                reach = end
    return total


def read_annotation(path, *, file_format=None, feature_type="exon", gene_attribute="gene_id",
                    missing_gene="error", extra_attributes=()):
    """Reads an annotation file into an Annotation.

    path: the file (a pipe such as `<(zcat genes.gtf.gz)` as well); gzipped or not.
    file_format: "GTF", "GFF3" or "SAF"; by default told from the content, else the name.
    feature_type: the feature type (third column) whose intervals make up the genes, or a
        sequence of them (featureCounts' -t exon,CDS); GTF and GFF3 only.
    gene_attribute: the attribute naming a feature's gene, or a sequence of attributes whose
        values, joined with ':', make the gene ID (htseq-count's repeated -i); GTF and GFF3
        only. In GFF3 a feature belongs to the gene at the top of its Parent chain, which is
        named by this attribute on the gene, else on the feature or its parent, else (for
        gene_id) by the gene's ID.
    missing_gene: "error" to stop at a feature whose gene is unknown, "skip" to leave it out
        with one AnnotationWarning.
    extra_attributes: attributes carried to the outputs beside the counts (GTF and GFF3; in
        GFF3 taken from the feature, else its parent, else its gene).

    Attributes may be written `key "value"` or `key=value` in any format. Coordinates in the
    files are 1-based and inclusive; the features are 0-based and half-open. Raises
    AnnotationError, naming the file and line, for malformed input.
    """
    if type(missing_gene) is not str:
        raise TypeError(f"missing_gene must be a str, not {type(missing_gene).__name__}")
    if missing_gene not in MISSING_GENE:
        raise ValueError(f"missing_gene must be one of {', '.join(MISSING_GENE)}, "
                         f"not {missing_gene!r}")
    feature_types = _names("feature_type", feature_type)
    gene_attributes = _names("gene_attribute", gene_attribute)
    if not feature_types or not gene_attributes or not all(feature_types + gene_attributes):
        raise ValueError("feature_type and gene_attribute must be non-empty")
    extras = _names("extra_attributes", extra_attributes)
    if not all(extras):
        raise ValueError("extra_attributes must be non-empty names")
    try:
        path = os.fspath(path)
    except TypeError:
        raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}") from None
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if file_format is not None:
        if type(file_format) is not str:
            raise TypeError(f"file_format must be a str or None, not "
                            f"{type(file_format).__name__}")
        if file_format.upper() not in FORMATS:
            raise ValueError(f"file_format must be one of {', '.join(FORMATS)}, "
                             f"not {file_format!r}")
        file_format = file_format.upper()

    read = _engine.read_annotation(path, file_format, tuple(dict.fromkeys(feature_types)),
                                   gene_attributes, missing_gene == "skip",
                                   tuple(dict.fromkeys(extras)))
    if read["skipped"]:
        skipped = read["skipped"]
        warnings.warn(AnnotationWarning(
            f"{path}: left out {skipped} feature{'s' if skipped > 1 else ''} whose gene is "
            f"unknown (first at line {read['first_skipped_line']}: "
            f"{read['first_skipped_message']})"), stacklevel=2)
    extra = read["extra_attributes"]
    return Annotation(read["gene_ids"], read["contigs"], read["features"], path,
                      read["file_format"], {name: kinds[0] for name, kinds in extra.items()},
                      {name: kinds[1] for name, kinds in extra.items()},
                      {name: kinds[2] for name, kinds in extra.items()})


def _names(argument, value):
    """A str or a sequence of str as a tuple of str; TypeError naming the argument otherwise."""
    if isinstance(value, str):
        return (value,)
    try:
        names = tuple(value)
    except TypeError:
        names = None
    if names is None or not all(isinstance(name, str) for name in names):
        raise TypeError(f"{argument} must be a str or a sequence of str, not "
                        f"{type(value).__name__}")
    return names
