"""featureCounts' -J table, <output>.jcounts: one row per splice junction of the counted reads.

Columns: PrimaryGene, SecondaryGenes, Site1_chr, Site1_location, Site1_strand, Site2_chr,
Site2_location, Site2_strand and one count per file. Site1 is the last base before the N, Site2
the first base after it (1-based). The engine counts a junction for every read (or fragment,
once however many of its records show it) that passes the checks made before assignment,
whatever it is then assigned to.

The genes are those whose span on the contig (first to last base of its features) holds a site.
When the two sites are held by no common gene, featureCounts keeps only the genes of the site
that fewer reads support (the reads of all junctions at that place, in every file, either end),
or those of the other site when that one has none; on a tie it keeps both. It lists the left
site's genes, then the right site's not yet listed, each site's in the order of its table of
gene names: by bucket (see _bucket, a function of the name alone), and in a bucket the gene
that first appears later among the contig's features in the annotation file first.
PrimaryGene is the listed gene holding the most sites; on a tie the one whose span on the
contig starts first, then the first listed. SecondaryGenes are the others, as listed.

The rows come by contig, in featureCounts' order of contig names (see contig_order_key), then
by Site1's place, then by Site2's place read as text (1000 before 999), as featureCounts orders
them.

With a reference (-G), both sites' strand is '+' for a GT-AG intron and '-' for CT-AC (upper
or lower case), NA otherwise, or when the contig is not in the FASTA file; as featureCounts
2.0.3 reads it, the file's last sequence is not loaded. Without one, the strands are NA.
"""

import bisect
import re
from collections import defaultdict

from dulse.errors import InputError

__all__ = ["check_reference", "contig_order_key", "junction_rows", "write_junctions"]

HEADER = ("PrimaryGene", "SecondaryGenes", "Site1_chr", "Site1_location", "Site1_strand",
          "Site2_chr", "Site2_location", "Site2_strand")
# featureCounts' places for the sex and mitochondrial contigs among the numbered ones.
_LETTER_KEYS = {"X": 90, "Y": 91, "M": 99}
_LEADING_NUMBER = re.compile(r"[+-]?[0-9]+")
_MOTIF_STRANDS = {(b"GT", b"AG"): "+", (b"CT", b"AC"): "-"}
_BUCKETS = 48367


def contig_order_key(name):
    """featureCounts' order of contigs in the junction table: by a number read from the name
    (after a 'chr' prefix) as C's atoi reads it, X 90, Y 91 and M 99 instead of none; names
    with no number above 0 come first, those without the prefix before those with it; then by
    the name's length, then byte by byte."""
    prefixed = name.startswith("chr")
    rest = name[3:] if prefixed else name
    number = _LEADING_NUMBER.match(rest)
    value = (int(number.group()) + 2**31) % 2**32 - 2**31 if number else 0  # a C int
    if value > 0:
        key = value
    elif value == 0 and rest[:1] in _LETTER_KEYS and (
            prefixed or len(rest) == 1 or not rest[1].isalnum()):
        key = _LETTER_KEYS[rest[0]]
    else:
        key = 0 if prefixed and value == 0 else -1
    encoded = name.encode("utf-8", "surrogateescape")
    return key, len(encoded), encoded


def check_reference(path):
    """Fails with a one-line InputError when the FASTA file cannot be read."""
    try:
        with open(path, "rb") as handle:
            handle.read(1)
    except OSError as error:
        raise InputError(f"{path}: cannot read the reference sequences (-G): "
                         f"{error.strerror or error}") from None


def _bucket(name):
    """The bucket of featureCounts' table of gene names (48367 of them) that holds `name`: the
    sum over its bytes of (byte + its place in the name) shifted left by the byte's low four
    bits."""
    encoded = name.encode("utf-8", "surrogateescape")
    return sum((byte + at) << (byte & 15) for at, byte in enumerate(encoded)) % _BUCKETS


class _GeneSpans:
    """Per annotation contig: each gene's span (first to last base of its features there), for
    finding the genes that hold a place, in featureCounts' order."""

    def __init__(self, annotation):
        features = annotation.features
        spans = {}  # (contig, gene) -> [start, end], 0-based, end exclusive; in file order
        for contig, start, end, gene in zip(features.contig.tolist(), features.start.tolist(),
                                            features.end.tolist(), features.gene.tolist()):
            span = spans.get((contig, gene))
            if span is None:
                spans[(contig, gene)] = [start, end]
            else:
                span[0] = min(span[0], start)
                span[1] = max(span[1], end)
        names = annotation.gene_ids
        buckets = {}
        by_contig = defaultdict(list)
        for first, ((contig, gene), (start, end)) in enumerate(spans.items()):
            if gene not in buckets:
                buckets[gene] = _bucket(names[gene])
            # A site's genes come by bucket; in one, the gene first seen later on the contig first.
            by_contig[contig].append((start, end, (buckets[gene], -first), gene))
        self._spans = {}
        for contig, rows in by_contig.items():
            rows.sort()
            reach, running = [], -1
            for _, end, _, _ in rows:
                running = max(running, end)
                reach.append(running)
            self._spans[contig] = ([row[0] for row in rows], rows, reach)
        self._starts = {key: span[0] for key, span in spans.items()}
        self._names = names

    def at(self, contig, place):
        """The genes whose span holds the 1-based place, in featureCounts' order."""
        found = self._spans.get(contig)
        if found is None:
            return []
        starts, rows, reach = found
        zero = place - 1
        held = []
        at = bisect.bisect_right(starts, zero) - 1
        while at >= 0 and reach[at] > zero:
            _, end, order, gene = rows[at]
            if end > zero:
                held.append((order, gene))
            at -= 1
        return [gene for _, gene in sorted(held)]

    def start(self, contig, gene):
        return self._starts[(contig, gene)]

    def name(self, gene):
        return self._names[gene]


def _site_strands(path, wanted):
    """{(contig, left, right): '+' or '-'} for the junctions of `wanted` ({contig name: set of
    (left, right)}) whose intron reads GT-AG or CT-AC in the FASTA file at `path`."""
    strands = {}

    def finish(name, lines):
        if name not in wanted:
            return
        sequence = b"".join(lines).upper()
        for left, right in wanted[name]:
            donor = sequence[left:left + 2]
            acceptor = sequence[right - 3:right - 1] if right >= 3 else b""
            strand = _MOTIF_STRANDS.get((donor, acceptor))
            if strand is not None:
                strands[(name, left, right)] = strand

    try:
        with open(path, "rb") as handle:
            name, lines = None, []
            for line in handle:
                if line.startswith(b">"):
                    if name is not None:
                        finish(name, lines)
                    fields = line[1:].split()
                    name = fields[0].decode("utf-8", "surrogateescape") if fields else ""
                    lines = []
                elif name in wanted:
                    lines.append(line.rstrip(b"\r\n"))
            # featureCounts 2.0.3 does not load the last sequence of the file.
    except OSError as error:
        raise InputError(f"{path}: cannot read the reference sequences (-G): "
                         f"{error.strerror or error}") from None
    return strands


def junction_rows(matrix, annotation, reference=None):
    """The table's rows (lists of cells as text), in featureCounts' order."""
    counts = {}  # (contig name, left, right) -> [count per file]
    contig_of = {}  # contig name -> the annotation's contig number, or -1
    n_files = len(matrix.files)
    for column, result in enumerate(matrix.files):
        names = result.details["reference_names"]
        for tid, contig, left, right, count in result.details["junctions"].tolist():
            name = names[tid]
            contig_of.setdefault(name, contig)
            key = (name, left, right)
            if key not in counts:
                counts[key] = [0] * n_files
            counts[key][column] += count
    support = defaultdict(int)
    for (name, left, right), per_file in counts.items():
        total = sum(per_file)
        support[(name, left)] += total
        support[(name, right)] += total
    strands = {}
    if reference is not None:
        wanted = defaultdict(set)
        for name, left, right in counts:
            wanted[name].add((left, right))
        strands = _site_strands(reference, wanted)
    spans = _GeneSpans(annotation)
    rows = []
    # featureCounts orders the second places as text: 1000 before 999.
    for key in sorted(counts, key=lambda k: (contig_order_key(k[0]), k[1], str(k[2]))):
        name, left, right = key
        contig = contig_of[name]
        primary, secondary = _genes(spans, contig, left, right, support[(name, left)],
                                    support[(name, right)])
        strand = strands.get(key, "NA")
        rows.append([primary, secondary, name, str(left), strand, name, str(right), strand]
                    + [str(count) for count in counts[key]])
    return rows


def _genes(spans, contig, left, right, left_support, right_support):
    if contig < 0:
        return "NA", "NA"
    at_left, at_right = spans.at(contig, left), spans.at(contig, right)
    if set(at_left) & set(at_right) or left_support == right_support:
        sides = [at_left, at_right]
    elif left_support < right_support:
        sides = [at_left or at_right]
    else:
        sides = [at_right or at_left]
    votes = {}
    for side in sides:
        for gene in side:
            votes[gene] = votes.get(gene, 0) + 1
    if not votes:
        return "NA", "NA"
    listed = list(votes)
    primary = min(listed, key=lambda gene: (-votes[gene], spans.start(contig, gene)))
    secondary = ",".join(spans.name(gene) for gene in listed if gene != primary)
    return spans.name(primary), secondary or "NA"


def write_junctions(handle, matrix, annotation, columns, reference=None):
    """Writes the table; `columns` names the count columns, as the counts file names them."""
    handle.write("\t".join(HEADER + tuple(columns)) + "\n")
    for row in junction_rows(matrix, annotation, reference):
        handle.write("\t".join(row) + "\n")
