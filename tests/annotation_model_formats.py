"""The model reader's line readers for GTF, GFF3 and SAF, and telling them apart.

Each reader walks the lines of a file and hands every feature of the chosen type to an
IndexBuilder with 0-based, half-open coordinates.
"""

import gzip
import re
from urllib.parse import unquote

from dulse.errors import AnnotationError

INT32_MAX = 2**31 - 1
STRANDS = frozenset("+-.?")

# GTF attributes are `key "value";` pairs (some writers leave values unquoted).
_GTF_ATTRIBUTE = r'(?:^|;)\s*{key}\s+(?:"([^"]*)"|([^\s;"]+))'
# The first attribute of a line tells GTF (`key value`) from GFF3 (`key=value`).
_FIRST_ATTRIBUTE = re.compile(r'\s*[^\s=;"]+(=|\s)')


class Context:
    """The file being read: where errors point, and what was left out or seen on the way."""

    def __init__(self, path, missing_gene):
        self.path = path
        self.skip_missing = missing_gene == "skip"
        self.skipped = 0
        self.first_skipped = None
        self.feature_types = set()

    def fail(self, lineno, message):
        raise AnnotationError(f"{self.path} line {lineno}: {message}")

    def missing(self, lineno, message):
        """A feature whose gene is unknown: an error, or left out and counted."""
        if not self.skip_missing:
            error = AnnotationError(f"{self.path} line {lineno}: {message}")
            error.gene_missing = True
            raise error
        self.skipped += 1
        if self.first_skipped is None:
            self.first_skipped = (lineno, message)

    def unreadable(self, error):
        """The AnnotationError for a decoding or decompression failure while reading."""
        if isinstance(error, UnicodeDecodeError):
            return AnnotationError(f"{self.path} line {first_undecodable_line(self.path)}: "
                                   f"not UTF-8 text")
        return AnnotationError(f"{self.path}: cannot read: {error}")

    def interval(self, lineno, start_text, end_text):
        """The 0-based, half-open interval of 1-based, inclusive columns."""
        if (start_text.isdigit() and end_text.isdigit() and start_text.isascii()
                and end_text.isascii()):
            start, end = int(start_text), int(end_text)
            if 1 <= start <= end <= INT32_MAX:
                return start - 1, end
            if start < 1:
                self.fail(lineno, "start must be at least 1 (coordinates are 1-based)")
            if end < start:
                self.fail(lineno, f"end {end} is before start {start}")
            self.fail(lineno, f"end {end} is beyond {INT32_MAX}")
        self.fail(lineno, f"start and end must be whole numbers, not {start_text!r} and "
                          f"{end_text!r}")

    def place(self, lineno, contig, strand):
        if not contig:
            self.fail(lineno, "the contig name is empty")
        if strand not in STRANDS:
            self.fail(lineno, f"strand must be +, - or ., not {strand!r}")


def first_undecodable_line(path):
    opener = gzip.open if is_gzip(path) else open
    lineno = 0
    with opener(path, "rb") as handle:
        try:
            for lineno, raw in enumerate(handle, 1):
                raw.decode("utf-8")
        except UnicodeDecodeError:
            return lineno
    return lineno + 1


def is_gzip(path):
    with open(path, "rb") as handle:
        return handle.read(2) == b"\x1f\x8b"


def _columns(context, lineno, line, minimum, exact=False):
    """The tab-separated columns of a data line, or None for a blank line."""
    fields = line.rstrip("\r\n").split("\t", 8) if exact else line.rstrip("\r\n").split("\t")
    if len(fields) >= minimum and (not exact or len(fields) == minimum):
        return fields
    if not line.strip():
        return None
    context.fail(lineno, f"expected {minimum} tab-separated columns, found {len(fields)}")


def read_gtf(lines, context, builder, feature_type, gene_attribute):
    find = re.compile(_GTF_ATTRIBUTE.format(key=re.escape(gene_attribute))).search
    seen_types = context.feature_types
    genes, contigs, add = builder.genes, builder.contigs, builder.add
    # The hot loop of the reader: the newline stays on the last column, which the attribute
    # search ignores, and the usual cases are handled inline.
    for lineno, line in enumerate(lines, 1):
        if line[0] == "#":
            continue
        fields = line.split("\t", 8)
        if len(fields) != 9:
            fields = _columns(context, lineno, line, 9, exact=True)
            if fields is None:
                continue
        if fields[2] != feature_type:
            seen_types.add(fields[2])
            continue
        start, end = fields[3], fields[4]
        if start.isdigit() and end.isdigit() and start.isascii() and end.isascii():
            start, end = int(start), int(end)
        else:
            start = end = 0
        if 0 < start <= end <= INT32_MAX:
            start -= 1
        else:
            start, end = context.interval(lineno, fields[3], fields[4])
        contig, strand = fields[0], fields[6]
        match = find(fields[8])
        gene = match and (match[1] or match[2])
        if not gene:
            context.missing(lineno, f"the {feature_type} has no {gene_attribute} attribute")
            continue
        gene = genes.setdefault(gene, gene)
        intervals = contigs.get(contig)
        if intervals is not None and (strand == "+" or strand == "-"):
            intervals.append((start, end, gene, strand))
        else:
            context.place(lineno, contig, strand)
            add(contig, start, end, gene, strand)


def read_saf(lines, context, builder):
    """SAF: GeneID, Chr, Start, End, Strand in tab-separated columns; an optional header."""
    add, gene_of = builder.add, builder.gene
    first = True
    for lineno, line in enumerate(lines, 1):
        if line[0] == "#":
            continue
        fields = _columns(context, lineno, line, 5)
        if fields is None:
            continue
        gene, contig, start_text, end_text, strand = fields[:5]
        if first:
            first = False
            if gene.strip().lower() == "geneid" and not start_text.isdigit():
                continue
        start, end = context.interval(lineno, start_text, end_text)
        context.place(lineno, contig, strand)
        if not gene:
            context.missing(lineno, "the gene ID is empty")
            continue
        add(contig, start, end, gene_of(gene), strand)


def read_gff3(lines, context, builder, feature_type, gene_attribute):
    parents = {}  # ID -> IDs of its parents; every feature with an ID, whatever its type
    named = {}    # ID -> its value of gene_attribute, or None
    features = []
    seen_types = context.feature_types
    for lineno, line in enumerate(lines, 1):
        if line[0] == "#":
            if line.startswith("##FASTA"):
                break
            continue
        fields = _columns(context, lineno, line, 9, exact=True)
        if fields is None:
            continue
        try:
            ident, parent_ids, value = _gff3_attributes(fields[8], gene_attribute)
        except ValueError as error:
            context.fail(lineno, str(error))
        if ident is not None and ident not in parents:
            parents[ident] = parent_ids
            named[ident] = value
        if fields[2] != feature_type:
            seen_types.add(fields[2])
            continue
        start, end = context.interval(lineno, fields[3], fields[4])
        context.place(lineno, fields[0], fields[6])
        features.append((lineno, fields[0], start, end, fields[6], ident, parent_ids, value))

    roots = _Roots(parents)
    default_name = gene_attribute == "gene_id"
    for lineno, contig, start, end, strand, ident, parent_ids, value in features:
        if not parent_ids:
            genes = [value or (ident if default_name else None)]
        else:
            try:
                genes = [named[root] or value or named[parent] or
                         (root if default_name else None)
                         for parent in parent_ids for root in roots.of(parent)]
            except _Undefined as undefined:
                context.missing(lineno, f"its Parent {undefined.args[0]!r} is not defined in "
                                        f"the file")
                continue
            except _Cycle as cycle:
                context.fail(lineno, f"the Parent chain through {cycle.args[0]!r} is a loop")
        if not all(genes):
            context.missing(lineno, f"no {gene_attribute} attribute on the {feature_type} or "
                                    f"its gene")
            continue
        for gene in dict.fromkeys(genes):
            builder.add(contig, start, end, builder.gene(gene), strand)


def _gff3_attributes(text, gene_attribute):
    """(ID, Parent IDs, value of gene_attribute) of a GFF3 attribute column."""
    ident = value = None
    parent_ids = ()
    for part in text.split(";"):
        key, sep, raw = part.partition("=")
        if not sep:
            if part.strip() and part.strip() != ".":
                raise ValueError(f"attribute {part.strip()!r} is not key=value")
            continue
        key = key.strip()
        decoded = unquote(raw.strip()) if "%" in raw else raw.strip()
        if key == "ID":
            ident = decoded
        elif key == "Parent":
            parent_ids = tuple(unquote(p) if "%" in p else p
                               for p in raw.strip().split(",") if p)
        if key == gene_attribute:
            value = decoded
    return ident, parent_ids, value


class _Undefined(Exception):
    pass


class _Cycle(Exception):
    pass


class _Roots:
    """The top-most ancestors (genes) of GFF3 features, remembered once found."""

    def __init__(self, parents):
        self.parents = parents
        self.known = {}

    def of(self, ident):
        found = self.known.get(ident)
        if found is not None:
            return found
        path, pending = set(), [ident]
        # Iterative depth-first walk: a chain of any length cannot exhaust the stack.
        while pending:
            current = pending[-1]
            if current in self.known:
                pending.pop()
                continue
            if current not in self.parents:
                raise _Undefined(current)
            ups = self.parents[current]
            waiting = [up for up in ups if up not in self.known]
            if not waiting:
                pending.pop()
                path.discard(current)
                self.known[current] = (tuple(dict.fromkeys(
                    root for up in ups for root in self.known[up])) if ups else (current,))
                continue
            if current in path:
                raise _Cycle(current)
            path.add(current)
            for up in waiting:
                if up in path:
                    raise _Cycle(up)
                pending.append(up)
        return self.known[ident]


def sniff(lines):
    """GTF, GFF3 or SAF from the first lines of a file, or None when they do not tell."""
    for line in lines:
        if line.startswith("##gff-version"):
            version = line.split()[1:2]
            if version and version[0].startswith("3"):
                return "GFF3"
            if version and version[0].startswith("2"):
                return "GTF"
        if line[0] == "#" or not line.strip():
            continue
        fields = line.rstrip("\r\n").split("\t")
        if len(fields) >= 5 and fields[0].strip().lower() == "geneid":
            return "SAF"
        if len(fields) >= 5 and fields[2].isdigit() and fields[3].isdigit():
            return "SAF"
        if len(fields) >= 9:
            first = _FIRST_ATTRIBUTE.match("\t".join(fields[8:]))
            if first:
                return "GFF3" if first.group(1) == "=" else "GTF"
    return None
