"""The annotation as htseq-count reads it: features of one or more types (-t), each gene named
by one attribute or by several joined with ':' (-i), with further attributes (--additional-attr)
and the chromosome (--add-chromosome-info) carried to the outputs, optionally restricted to the
features that one attribute value picks (--feature-query 'attr == "value"').

htseq-count reads any GFF line alike: attributes written `key "value"` or `key=value`, no
Parent chains. A gene's additional attributes and chromosome are those of its last feature.

`read_htseq_annotation` is the one door the counting and the outputs go through. A GTF file on
disk is read by the package's native reader, which reads attributes as htseq-count does; a
GFF3 file (where that reader follows Parent chains, and htseq-count does not), a stream, a
--feature-query (which that reader does not offer) and a strandless feature under stranded
counting (to name its line) go through the line reader here.
"""

import gzip
import os
import re
from collections import namedtuple

import numpy

from dulse.errors import AnnotationError

__all__ = ["HtseqAnnotation", "parse_feature_query", "read_htseq_annotation"]

Features = namedtuple("Features", ["contig", "start", "end", "strand", "gene"])

_QUERY = re.compile(r'\s*([^\s=]+)\s*==\s*(?:"([^"]*)"|\'([^\']*)\')\s*$')
INT32_MAX = 2**31 - 1


class HtseqAnnotation:
    """Genes (in order of first appearance), their features as arrays, and per gene the
    additional attributes and the chromosome of its last feature.

    Has what the counting engine takes from an annotation: gene_ids, contigs, features.
    """

    __slots__ = ("gene_ids", "contigs", "features", "attributes", "chromosomes", "path",
                 "file_format", "feature_lines")

    def __init__(self, gene_ids, contigs, features, attributes, chromosomes, path,
                 feature_lines):
        self.gene_ids = tuple(gene_ids)
        self.contigs = tuple(contigs)
        self.features = Features(*features)
        self.attributes = dict(attributes)
        self.chromosomes = tuple(chromosomes)
        self.path = path
        self.file_format = "GFF"
        self.feature_lines = feature_lines

    def __reduce__(self):
        return (HtseqAnnotation, (self.gene_ids, self.contigs, tuple(self.features),
                                  self.attributes, self.chromosomes, self.path,
                                  self.feature_lines))

    def __repr__(self):
        return (f"HtseqAnnotation({len(self.gene_ids)} genes, {len(self.features.gene)} "
                f"features on {len(self.contigs)} contigs)")


def parse_feature_query(text):
    """(attribute, value) of htseq-count's --feature-query 'attribute == "value"'."""
    match = _QUERY.match(text)
    if match is None:
        raise ValueError(f"--feature-query must read attribute == \"value\", not {text!r}")
    return match[1], match[2] if match[2] is not None else match[3]


def read_htseq_annotation(path, *, feature_types=("exon",), id_attributes=("gene_id",),
                          additional_attributes=(), feature_query=None, stranded=True):
    """Reads a GTF or GFF file as htseq-count reads it, into an HtseqAnnotation.

    feature_query: None or (attribute, value): only features whose attribute has that value.
    stranded: features without a strand ('.') are refused, as htseq-count refuses them when it
        counts by strand.
    Raises AnnotationError naming the file and line.
    """
    path = os.fspath(path)
    if feature_query is None and os.path.isfile(path):
        native = _read_native(path, feature_types, id_attributes, additional_attributes,
                              stranded)
        if native is not None:
            return native
    types = frozenset(feature_types)
    id_finders = [(name, _finder(name)) for name in id_attributes]
    extra_finders = [_finder(name) for name in additional_attributes]
    query = _finder(feature_query[0]) if feature_query is not None else None
    genes = {}
    contigs = {}
    rows = []
    last_attributes = {}
    last_contig = {}
    try:
        handle = _open(path)
    except OSError as error:
        raise AnnotationError(f"{path}: cannot read: {error.strerror or error}") from None
    single = len(id_finders) == 1
    # A line without any of the types between tabs cannot be of one: skipped unsplit.
    marks = tuple(f"\t{kind}\t" for kind in types)
    one_mark = marks[0] if len(marks) == 1 else None
    find_id = id_finders[0][1]
    with handle:
        try:
            # The hot loop: lines of other types cost one split, and the usual case is inline.
            for lineno, line in enumerate(handle, 1):
                if one_mark is not None:
                    if one_mark not in line:
                        continue
                elif not any(mark in line for mark in marks):
                    continue
                if line[0] == "#":
                    continue
                fields = line.split("\t", 8)
                if len(fields) != 9:
                    if not line.strip():
                        continue
                    raise AnnotationError(f"{path} line {lineno}: expected 9 tab-separated "
                                          f"columns, found {line.count(chr(9)) + 1}")
                if fields[2] not in types:
                    continue
                text = fields[8]
                if query is not None and query(text) != feature_query[1]:
                    continue
                gene_id = find_id(text) if single else None
                if gene_id is None:
                    gene_id = _gene_id(path, lineno, fields[2], text, id_finders)
                start, end = fields[3], fields[4]
                if start.isdigit() and end.isdigit() and 0 < int(start) <= int(end) <= INT32_MAX:
                    start, end = int(start) - 1, int(end)
                else:
                    start, end = _interval(path, lineno, start, end)
                strand = fields[6]
                if strand != "+" and strand != "-":
                    _check_strand(path, lineno, gene_id, strand, stranded)
                gene = genes.get(gene_id)
                if gene is None:
                    if "\t" in gene_id or "\n" in gene_id or "\r" in gene_id:
                        raise AnnotationError(f"{path} line {lineno}: gene ID {gene_id!r} "
                                              f"contains a tab or line break")
                    gene = genes[gene_id] = len(genes)
                contig = contigs.get(fields[0])
                if contig is None:
                    contig = contigs[fields[0]] = len(contigs)
                rows.append((contig, start, end, ord(strand), gene))
                if extra_finders:
                    last_attributes[gene] = [find(text) or "" for find in extra_finders]
                last_contig[gene] = contig
        except (UnicodeDecodeError, EOFError, OSError, gzip.BadGzipFile) as error:
            raise AnnotationError(f"{path}: cannot read: {error}") from None
    names = list(contigs)
    last_contig = {gene: names[contig] for gene, contig in last_contig.items()}
    empty = [""] * len(extra_finders)
    last_attributes = {g: last_attributes.get(g, empty) for g in range(len(genes))}
    columns = list(zip(*rows)) if rows else [(), (), (), (), ()]
    features = (numpy.array(columns[0], numpy.int32), numpy.array(columns[1], numpy.int32),
                numpy.array(columns[2], numpy.int32), numpy.array(columns[3], numpy.uint8),
                numpy.array(columns[4], numpy.int32))
    attributes = {name: tuple(last_attributes[g][k] for g in range(len(genes)))
                  for k, name in enumerate(additional_attributes)}
    chromosomes = tuple(last_contig[g] for g in range(len(genes)))
    return HtseqAnnotation(genes, contigs, features, attributes, chromosomes, path, len(rows))


def _read_native(path, feature_types, id_attributes, additional_attributes, stranded):
    """The annotation through the native reader, or None where htseq-count reads otherwise."""
    from dulse.annotation import read_annotation

    try:
        read = read_annotation(path, feature_type=tuple(feature_types),
                               gene_attribute=tuple(id_attributes),
                               extra_attributes=tuple(additional_attributes))
    except AnnotationError:
        return None  # said again, as htseq-count would say it, by the line reader
    features = read.features
    if read.file_format != "GTF" or (stranded and (features.strand == ord(".")).any()):
        return None
    n_genes = len(read.gene_ids)
    last = numpy.full(n_genes, -1, dtype=numpy.int64)
    numpy.maximum.at(last, features.gene, numpy.arange(len(features.gene)))
    chromosomes = tuple(read.contigs[contig] for contig in features.contig[last].tolist())
    attributes = {name: tuple(read.htseq_attributes[name]) for name in additional_attributes}
    return HtseqAnnotation(read.gene_ids, read.contigs, tuple(features), attributes, chromosomes,
                           path, len(features.gene))


def _gene_id(path, lineno, kind, text, finders):
    parts = []
    for name, find in finders:
        value = find(text)
        if value is None:
            raise AnnotationError(f"{path} line {lineno}: the {kind} has no {name} attribute")
        parts.append(value)
    return ":".join(parts)


def _check_strand(path, lineno, gene_id, strand, stranded):
    if strand != ".":
        raise AnnotationError(f"{path} line {lineno}: strand must be +, - or ., not {strand!r}")
    if stranded:
        raise AnnotationError(f"{path} line {lineno}: feature {gene_id} has no strand ('.'), "
                              f"which counting by strand cannot use (count with -s no)")


def _open(path):
    with open(path, "rb") as probe:
        gzipped = probe.read(2) == b"\x1f\x8b"
    if gzipped:
        return gzip.open(path, "rt", encoding="utf-8", newline="")
    return open(path, encoding="utf-8", newline="")


def _interval(path, lineno, start_text, end_text):
    if start_text.isdigit() and end_text.isdigit():
        start, end = int(start_text), int(end_text)
        if 1 <= start <= end <= INT32_MAX:
            return start - 1, end
    raise AnnotationError(f"{path} line {lineno}: start and end must be whole numbers with "
                          f"1 <= start <= end, not {start_text!r} and {end_text!r}")


def _finder(key):
    """A search for one attribute, written `key "value"` or `key=value`, in an attribute
    column: the first occurrence."""
    pattern = re.compile(r'(?:^|;)\s*' + re.escape(key) +
                         r'(?:\s*=\s*|\s+)(?:"([^"]*)"|([^;"]*[^\s;"]))')
    search = pattern.search
    quoted = key + ' "'
    skip = len(quoted)

    def find(text):
        # Most lines write `key "value"`: found with str.find, the pattern kept for the rest.
        at = text.find(quoted)
        if at == 0 or (at > 0 and text[at - 1] in " ;\t"):
            close = text.find('"', at + skip)
            if close >= 0:
                return text[at + skip:close]
        match = search(text)
        if match is None:
            return None
        return match[1] if match[1] is not None else match[2]

    return find
