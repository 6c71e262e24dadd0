"""Hypothesis strategies for small read sets and annotations, and the file orders to write them in.

The reads land on a small stretch of two annotated contigs (chr1, chr2) and of one contig the
annotation lacks (chrU), so that genes overlap, nest and sit on both strands, and reads hit
several genes, one, or none.
"""

from __future__ import annotations

import re

from hypothesis import strategies as st

from fc_model import (DUPLICATE, FIRST, MATE_REVERSE, MATE_UNMAPPED, PAIRED, REVERSE, SECOND,
                      SECONDARY, SUPPLEMENTARY, UNMAPPED, Feature, SamRecord)

ANNOTATED_CONTIGS = ("chr1", "chr2")
UNANNOTATED_CONTIG = "chrU"
CONTIG_LENGTHS = {"chr1": 5000, "chr2": 5000, UNANNOTATED_CONTIG: 5000}
PROPER_PAIR = 0x2
SPAN = 1800  # genes and reads start within the first SPAN bases of a contig

# --------------------------------------------------------------------------------------------
# Annotation


@st.composite
def features_of(draw, gene):
    contig = draw(st.sampled_from(ANNOTATED_CONTIGS + ("chr1",)))
    start = draw(st.integers(1, SPAN))
    length = draw(st.integers(1, 400))
    return Feature(gene, contig, start, start + length - 1, draw(st.sampled_from("+-")))


@st.composite
def annotations(draw, max_genes=6):
    """1 to ``max_genes`` genes of 1 to 3 exons each, exons in any order (genes interleaved)."""
    gene_count = draw(st.integers(1, max_genes))
    rows = []
    for number in range(gene_count):
        rows += draw(st.lists(features_of(f"g{number + 1}"), min_size=1, max_size=3))
    return draw(st.permutations(rows))


# --------------------------------------------------------------------------------------------
# Alignments

CLIPS = st.one_of(st.just(""), st.integers(1, 8).map(lambda n: f"{n}S"),
                  st.integers(1, 8).map(lambda n: f"{n}H"))
MATCH = st.one_of(st.integers(1, 60).map(lambda n: f"{n}M"),
                  st.tuples(st.integers(1, 20), st.integers(1, 3), st.integers(1, 20))
                  .map(lambda t: f"{t[0]}={t[1]}X{t[2]}="))
GAP = st.one_of(st.integers(1, 6).map(lambda n: f"{n}I"),
                st.integers(1, 12).map(lambda n: f"{n}D"),
                st.integers(20, 400).map(lambda n: f"{n}N"))


@st.composite
def cigars(draw):
    """CIGARs with M, =, X separated by I, D or N, soft or hard clips at the ends; now and then a
    long chain of one-base blocks, past featureCounts' ten M operations."""
    if draw(st.integers(0, 19)) == 0:
        count = draw(st.integers(8, 13))
        gap = draw(st.sampled_from("DNI"))
        return "1M" + "".join(f"1{gap}1M" for _ in range(count - 1))
    segments = draw(st.lists(MATCH, min_size=1, max_size=4))
    body = segments[0]
    for segment in segments[1:]:
        body += draw(GAP) + segment
    return draw(CLIPS) + body + draw(CLIPS)


def reference_length(cigar):
    return sum(int(n) for n, op in re.findall(r"(\d+)([MDN=X])", cigar))


@st.composite
def placements(draw):
    """Where one mapped record lies: (contig, pos, cigar, reverse)."""
    contig = draw(st.sampled_from(ANNOTATED_CONTIGS * 3 + (UNANNOTATED_CONTIG,)))
    return contig, draw(st.integers(1, SPAN + 200)), draw(cigars()), draw(st.booleans())


MAPQS = st.sampled_from((0, 1, 3, 10, 30, 60, 255))


def nh_tags(nh, hi):
    tags = []
    if nh is not None:
        tags.append(("NH", nh))
    if hi is not None:
        tags.append(("HI", hi))
    return tuple(tags)


# --------------------------------------------------------------------------------------------
# Single-end reads


@st.composite
def single_end_read(draw, name):
    """One read: unmapped; or 1 to 5 alignments (NH), the first primary and the others secondary
    (0x100) with HI; perhaps a supplementary (0x800) piece; perhaps marked duplicate (0x400)."""
    if draw(st.integers(0, 9)) == 0:
        return [SamRecord(name, UNMAPPED, None, 0, 0, "*")]
    hits = draw(st.integers(1, 5)) if draw(st.booleans()) else 1
    nh = hits if hits > 1 or draw(st.booleans()) else None
    if draw(st.integers(0, 9)) == 0:  # the NH tag disagrees with the records present
        nh = draw(st.integers(0, 5))
    duplicate = DUPLICATE if draw(st.integers(0, 5)) == 0 else 0
    records = []
    for number in range(hits):
        contig, pos, cigar, reverse = draw(placements())
        flag = (SECONDARY if number else 0) | (REVERSE if reverse else 0) | duplicate
        hi = number + 1 if hits > 1 else None
        records.append(SamRecord(name, flag, contig, pos, draw(MAPQS), cigar,
                                 tags=nh_tags(nh, hi)))
    if draw(st.integers(0, 7)) == 0:
        contig, pos, cigar, reverse = draw(placements())
        flag = SUPPLEMENTARY | (REVERSE if reverse else 0) | duplicate
        records.append(SamRecord(name, flag, contig, pos, draw(MAPQS), cigar,
                                 tags=nh_tags(nh, 1 if hits > 1 else None)))
    return records


@st.composite
def single_end_reads(draw, min_reads=1, max_reads=25):
    count = draw(st.integers(min_reads, max_reads))
    return [record for number in range(count) for record in draw(single_end_read(f"r{number}"))]


# --------------------------------------------------------------------------------------------
# Paired-end reads


def template_length(first, second):
    """SAM's TLEN for two mapped mates on one contig: leftmost start to rightmost end, positive
    on the leftmost record (on read 1 when both start together); 0 across contigs."""
    (contig1, pos1, cigar1, _), (contig2, pos2, cigar2, _) = first, second
    if contig1 != contig2:
        return 0, 0
    left = min(pos1, pos2)
    right = max(pos1 + reference_length(cigar1), pos2 + reference_length(cigar2)) - 1
    length = right - left + 1
    return (length, -length) if pos1 <= pos2 else (-length, length)


def mate_bits(own_reverse, mate_reverse, number):
    return (PAIRED | (FIRST if number == 1 else SECOND) | (REVERSE if own_reverse else 0)
            | (MATE_REVERSE if mate_reverse else 0))


@st.composite
def mate_placements(draw):
    """Two mapped mates: mostly a forward/reverse pair close together on one contig, else on the
    same strand, far apart, or on different contigs (chimeric)."""
    first = draw(placements())
    kind = draw(st.sampled_from(("proper",) * 5 + ("same-strand", "far", "chimeric")))
    contig, pos, _, reverse = first
    if kind == "chimeric":
        other = [c for c in CONTIG_LENGTHS if c != contig]
        second_contig, second_pos = draw(st.sampled_from(other)), draw(st.integers(1, SPAN))
    elif kind == "far":
        second_contig, second_pos = contig, draw(st.integers(1, SPAN + 200))
    else:
        second_contig, second_pos = contig, pos + draw(st.integers(-60, 500))
    second_reverse = reverse if kind == "same-strand" else not reverse
    if kind == "far":
        second_reverse = draw(st.booleans())
    second = (second_contig, max(second_pos, 1), draw(cigars()), second_reverse)
    return (first, second) if draw(st.booleans()) else (second, first)


@st.composite
def mapped_pair(draw, name, hit, nh, duplicates, secondary):
    """Read 1 and read 2 of one alignment of a pair, both mapped, pointing at each other."""
    first, second = draw(mate_placements())
    tlen1, tlen2 = template_length(first, second)
    proper = PROPER_PAIR if first[0] == second[0] and first[3] != second[3] else 0
    records = []
    for number, (own, mate, tlen) in ((1, (first, second, tlen1)), (2, (second, first, tlen2))):
        flag = mate_bits(own[3], mate[3], number) | proper | secondary | duplicates[number - 1]
        records.append(SamRecord(name, flag, own[0], own[1], draw(MAPQS), own[2], mate[0], mate[1],
                                 tlen, nh_tags(nh[number - 1], hit)))
    return records


@st.composite
def half_mapped_pair(draw, name, hit, nh, duplicates, secondary):
    """One mate mapped, the other unmapped, placed at the mapped mate's position as SAM says
    (RNAME and POS of the mate; its mate fields point at the mapped mate)."""
    contig, pos, cigar, reverse = draw(placements())
    mapped_number = draw(st.sampled_from((1, 2)))
    unmapped_number = 3 - mapped_number
    mapped_flag = (mate_bits(reverse, False, mapped_number) | MATE_UNMAPPED | secondary
                   | duplicates[mapped_number - 1])
    unmapped_flag = (mate_bits(False, reverse, unmapped_number) | UNMAPPED | secondary
                     | duplicates[unmapped_number - 1])
    unmapped_mapq = draw(st.sampled_from((0, 0, 60)))
    mapped = SamRecord(name, mapped_flag, contig, pos, draw(MAPQS), cigar, contig, pos, 0,
                       nh_tags(nh[mapped_number - 1], hit))
    unmapped = SamRecord(name, unmapped_flag, contig, pos, unmapped_mapq, "*", contig, pos, 0,
                         nh_tags(nh[unmapped_number - 1], hit))
    return [mapped, unmapped] if mapped_number == 1 else [unmapped, mapped]


def unmapped_pair(name):
    """Both mates unmapped, with no position at all."""
    flag = PAIRED | UNMAPPED | MATE_UNMAPPED
    return [SamRecord(name, flag | FIRST, None, 0, 0, "*"),
            SamRecord(name, flag | SECOND, None, 0, 0, "*")]


@st.composite
def supplementary_piece(draw, mate_of, mate):
    """A supplementary (0x800) record of ``mate_of``'s read, pointing at ``mate``."""
    contig, pos, cigar, reverse = draw(placements())
    number = 1 if mate_of.flag & FIRST else 2
    flag = (mate_bits(reverse, bool(mate.flag & REVERSE), number) | SUPPLEMENTARY
            | (mate_of.flag & (DUPLICATE | MATE_UNMAPPED)))
    mate_contig = None if mate.flag & UNMAPPED and mate.contig is None else mate.contig
    return SamRecord(mate_of.name, flag, contig, pos, draw(MAPQS), cigar, mate_contig, mate.pos,
                     0, mate_of.tags)


@st.composite
def paired_template(draw, name):
    """All records of one read pair: 1 to 5 alignments (NH, HI; the first primary, the others
    secondary), each a mapped pair, a pair with one mate unmapped, or (for the only alignment)
    two unmapped mates; duplicates on both mates or on one; NH now and then different on the two
    mates; a mate dropped (the other a singleton in the file); a supplementary piece."""
    hits = draw(st.integers(1, 5)) if draw(st.integers(0, 3)) == 0 else 1
    if hits == 1 and draw(st.integers(0, 11)) == 0:
        return unmapped_pair(name)
    nh_value = hits if hits > 1 or draw(st.booleans()) else None
    nh = [nh_value, nh_value]
    if draw(st.integers(0, 9)) == 0:
        nh[draw(st.sampled_from((0, 1)))] = draw(st.integers(1, 5))
    duplicate_kind = draw(st.sampled_from(("none",) * 6 + ("both", "both", "one")))
    duplicates = [DUPLICATE if duplicate_kind == "both" else 0] * 2
    if duplicate_kind == "one":
        duplicates[draw(st.sampled_from((0, 1)))] = DUPLICATE
    records = []
    for number in range(hits):
        hit = number + 1 if hits > 1 else None
        secondary = SECONDARY if number else 0
        shape = mapped_pair if draw(st.integers(0, 4)) else half_mapped_pair
        pair = draw(shape(name, hit, nh, duplicates, secondary))
        if draw(st.integers(0, 8)) == 0:
            pair.pop(draw(st.sampled_from((0, 1))))
        elif draw(st.integers(0, 7)) == 0:
            owner = draw(st.sampled_from((0, 1)))
            pair.append(draw(supplementary_piece(pair[owner], pair[1 - owner])))
        records += pair
    return records


@st.composite
def paired_end_reads(draw, min_templates=1, max_templates=20, single_end_records=True):
    """Read pairs, and now and then a single-end record (no 0x1) among them."""
    count = draw(st.integers(min_templates, max_templates))
    records = []
    for number in range(count):
        if single_end_records and draw(st.integers(0, 19)) == 0:
            records += draw(single_end_read(f"s{number}"))
        else:
            records += draw(paired_template(f"p{number}"))
    return records


# --------------------------------------------------------------------------------------------
# File orders


def contig_rank(contig):
    return (1, 0) if contig is None else (0, list(CONTIG_LENGTHS).index(contig))


def coordinate_sorted(records):
    """Records sorted by contig (in @SQ order, unplaced last) and position, as
    ``samtools sort`` does; written with ``@HD SO:coordinate``."""
    return sorted(records, key=lambda r: (contig_rank(r.contig), r.pos))


def name_sorted(records):
    """Records sorted by name, read 1 before read 2, primary before the rest; written with
    ``@HD SO:queryname``."""
    return sorted(records, key=lambda r: (r.name, not r.flag & FIRST,
                                          bool(r.flag & (SECONDARY | SUPPLEMENTARY)),
                                          r.tag("HI", 0)))


def shuffled(records, random):
    """Records in a random order (``random``: a random.Random); written with ``@HD SO:unsorted``."""
    out = list(records)
    random.shuffle(out)
    return out


def file_orders(records, random):
    """(sort order for the header, records) for each order the tests write: as an aligner writes
    them, name-sorted, coordinate-sorted and shuffled."""
    return [("unsorted", list(records)), ("queryname", name_sorted(records)),
            ("coordinate", coordinate_sorted(records)), ("unsorted", shuffled(records, random))]
