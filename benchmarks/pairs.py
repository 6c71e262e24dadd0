"""Paired-end 2x100-bp RNA-seq fragments over the benchmark's genes, as SAM text lines.

The library is reverse-stranded, as dUTP libraries are: read 1 lies on the strand opposite the
gene's, read 2 on the gene's. Fragments come out in the order an aligner writes them: read 1, then
read 2, then the secondary alignments of the pair (read 1, read 2 of each other hit), then a
supplementary record when one of the mates is chimeric. Mates point at each other (RNEXT, PNEXT)
and carry the fragment's template length, positive on the leftmost mate.

The same genes, expression levels, genome bases and quality strings as the single-end reads
(the machinery of ReadSimulator), drawn from a seed of their own.
"""

from bisect import bisect_right

from genome import ANNOTATED_CONTIGS, UNANNOTATED_CONTIGS
from reads import (ANTISENSE, LOW_MAPQ, LOW_MAPQS, MULTI_MAPPED, POOL_BITS, READ_LENGTH,
                   ReadSimulator, _cigar, _mapq)

# What each fragment is, by cumulative share; the rest come from transcripts.
UNMAPPED_PAIR = 0.015    # neither mate aligned
HALF_MAPPED = UNMAPPED_PAIR + 0.02   # one mate aligned, the other not
UNANNOTATED = HALF_MAPPED + 0.01
INTERGENIC = UNANNOTATED + 0.03
PRE_MRNA = INTERGENIC + 0.06         # mostly intronic
DISCORDANT = PRE_MRNA + 0.01         # one mate elsewhere: another contig, or megabases away

CHIMERIC = 0.012         # of transcript fragments: one mate split, with a supplementary record
DUPLICATE = 0.04         # of transcript fragments: a copy of an earlier one, flagged 0x400
OTHER_CONTIG = 0.5       # of discordant fragments: the far mate on another contig

# Fragment lengths: a lognormal around 260 bases, from 150 to 500.
INSERT_MEDIAN = 260
INSERT_SIGMA = 0.3
INSERT_MIN, INSERT_MAX = 150, 500

UNMAPPED_TAGS = "NH:i:0\tHI:i:0\tAS:i:0\tnM:i:0\tuT:A:1"

PAIRED, PROPER, UNMAPPED, MATE_UNMAPPED = 0x1, 0x2, 0x4, 0x8
REVERSE, MATE_REVERSE, READ1, READ2 = 0x10, 0x20, 0x40, 0x80
SECONDARY, DUPLICATE_FLAG, SUPPLEMENTARY = 0x100, 0x400, 0x800


class Mate:
    """One aligned mate: where it starts, its CIGAR operations and its strand."""

    __slots__ = ("contig", "start", "ops", "reverse", "end")

    def __init__(self, contig, start, ops, reverse):
        self.contig = contig
        self.start = start
        self.ops = ops
        self.reverse = reverse
        self.end = start + sum(length for length, op in ops if op in "MDN")


def template_length(mate, other):
    """The TLEN of `mate`: the fragment's reference span, signed by which mate is leftmost."""
    if mate is None or other is None or mate.contig != other.contig:
        return 0
    span = max(mate.end, other.end) - min(mate.start, other.start)
    if mate.start < other.start or (mate.start == other.start and not mate.reverse):
        return span
    return -span


class PairSimulator(ReadSimulator):
    """Draws fragments from one seed; `records(count)` yields SAM lines, the same every time."""

    def __init__(self, genes, seed):
        super().__init__(genes, seed)
        self._last_unique = None  # the last unique transcript fragment, for duplicates of it

    # Drawing fragments.

    def _insert(self):
        length = int(self.rng.lognormvariate(0.0, INSERT_SIGMA) * INSERT_MEDIAN)
        return min(max(length, INSERT_MIN), INSERT_MAX)

    def _unspliced(self, contig, start, insert):
        """Both mates of a fragment at `start` on the genome, in forward-reverse orientation."""
        left = Mate(contig, *self._ops([(start, start + READ_LENGTH)], spliced_ok=False), False)
        right_start = start + insert - READ_LENGTH
        right = Mate(contig, *self._ops([(right_start, right_start + READ_LENGTH)],
                                        spliced_ok=False), True)
        return left, right

    def _genome_fragment(self, contigs, cumulative):
        name, length = self._pick(contigs, cumulative)
        insert = self._insert()
        return self._unspliced(name, self.rng.randrange(length - 2 * insert), insert)

    def _pre_mrna_fragment(self):
        k = bisect_right(self.gene_weights, self.rng.random() * self.gene_weights[-1])
        unit, (begin, end) = self.genes[k], self.gene_spans[k]
        insert = min(self._insert(), end - begin)
        left, right = self._unspliced(unit.contig, begin + self.rng.randrange(end - begin - insert
                                                                              + 1), insert)
        return unit.strand, left, right

    def _spliced(self, unit, offset, length, spliced_ok=True):
        start, ops = self._ops(unit.blocks(offset, length), spliced_ok)
        return start, ops

    def _transcript_fragment(self):
        """(gene strand, left mate, right mate, the chimeric mate's split or None)."""
        rng = self.rng
        unit = self._pick(self.units, self.unit_weights)
        insert = min(self._insert(), unit.length)
        offset = rng.randrange(unit.length - insert + 1)
        split = None
        if rng.random() < CHIMERIC:
            # The mate reads across a fusion point: its 3' end (the end towards the other mate)
            # aligns elsewhere, as a supplementary record.
            clipped = 20 + rng.randrange(41)
            kept = READ_LENGTH - clipped
            if rng.random() < 0.5:
                start, ops = self._spliced(unit, offset, kept, False)
                if ops[-1][1] == "S":
                    clipped += ops.pop()[0]
                left = Mate(unit.contig, start, [*ops, (clipped, "S")], False)
                right = Mate(unit.contig, *self._spliced(unit, offset + insert - READ_LENGTH,
                                                         READ_LENGTH), True)
                split = ("left", clipped)
            else:
                left = Mate(unit.contig, *self._spliced(unit, offset, READ_LENGTH), False)
                start, ops = self._spliced(unit, offset + insert - kept, kept, False)
                if ops[0][1] == "S":
                    clipped += ops.pop(0)[0]
                right = Mate(unit.contig, start, [(clipped, "S"), *ops], True)
                split = ("right", clipped)
            return unit.strand, left, right, split
        left = Mate(unit.contig, *self._spliced(unit, offset, READ_LENGTH), False)
        right = Mate(unit.contig, *self._spliced(unit, offset + insert - READ_LENGTH, READ_LENGTH),
                     True)
        return unit.strand, left, right, None

    def _other_fragment(self):
        """Where a multi-mapped pair's other alignments go: a paralog's exons or anywhere."""
        rng = self.rng
        insert = self._insert()
        if rng.random() < 0.6:
            unit = self.units[rng.randrange(len(self.units))]
            if unit.length >= insert:
                offset = rng.randrange(unit.length - insert + 1)
                left = Mate(unit.contig, *self._spliced(unit, offset, READ_LENGTH, False), False)
                right = Mate(unit.contig, *self._spliced(unit, offset + insert - READ_LENGTH,
                                                         READ_LENGTH, False), True)
                return left, right
        return self._genome_fragment(ANNOTATED_CONTIGS, self.genome_weights)

    def _far_mate(self, near):
        """A mate for a discordant pair: on another contig, or megabases from `near`."""
        rng = self.rng
        if rng.random() < OTHER_CONTIG:
            contig, length = self._pick(ANNOTATED_CONTIGS, self.genome_weights)
            start = rng.randrange(length - 2 * READ_LENGTH)
        else:
            contig, length = near.contig, dict(ANNOTATED_CONTIGS)[near.contig]
            distance = 1_000_000 + rng.randrange(20_000_000)
            start = near.start + distance if rng.random() < 0.5 else near.start - distance
            start = min(max(start, 0), length - 2 * READ_LENGTH)
        start, ops = self._ops([(start, start + READ_LENGTH)], spliced_ok=False)
        return Mate(contig, start, ops, rng.random() < 0.5)

    def _stranded(self, strand, left, right):
        """(read 1, read 2) of a reverse-stranded library: read 1 on the other strand."""
        antisense = (strand == "+") == (self.rng.random() < ANTISENSE)
        # A gene on "+": read 1 lies on the reverse strand, the right mate.
        return (left, right) if antisense else (right, left)

    def _unstranded(self, left, right):
        return (left, right) if self.rng.random() < 0.5 else (right, left)

    # Records.

    def _seq_qual(self, mate):
        if mate is None:
            at = self.rng.getrandbits(POOL_BITS)
            return self.pool[at: at + READ_LENGTH], self._quality(False)
        return self._sequence(mate.contig, mate.start, mate.ops), self._quality(mate.reverse)

    @staticmethod
    def _line(name, flag, mate, other, mapq, seq_qual, tags):
        """One record of a pair; `mate` None for an unmapped read (placed at its mate's place)."""
        if mate is not None:
            flag |= REVERSE if mate.reverse else 0
            contig, position, cigar = mate.contig, mate.start + 1, _cigar(mate.ops)
        else:
            flag |= UNMAPPED
            mapq, cigar = 0, "*"
            contig, position = (other.contig, other.start + 1) if other is not None else ("*", 0)
        if other is not None:
            flag |= MATE_REVERSE if other.reverse else 0
            mate_contig, mate_position = other.contig, other.start + 1
        else:
            flag |= MATE_UNMAPPED
            mate_contig, mate_position = contig, position
        if mate_contig == contig and contig != "*":
            mate_contig = "="
        return (f"{name}\t{flag}\t{contig}\t{position}\t{mapq}\t{cigar}\t{mate_contig}\t"
                f"{mate_position}\t{template_length(mate, other)}\t{seq_qual[0]}\t{seq_qual[1]}\t"
                f"{tags}")

    def _pair(self, name, first, second, mapq, tags, *, flag=0, proper=True, reads=None,
              extra=("", "")):
        """The records of read 1 (`first`) and read 2 (`second`) of one alignment of a pair."""
        both = first is not None and second is not None
        flag |= PAIRED | (PROPER if proper and both else 0)
        reads = reads or (self._seq_qual(first), self._seq_qual(second))
        return reads, (
            self._line(name, flag | READ1, first, second, mapq, reads[0], tags + extra[0]),
            self._line(name, flag | READ2, second, first, mapq, reads[1], tags + extra[1]))

    def _scores(self, first, second, nh):
        rng = self.rng
        mapq = _mapq(nh)
        if nh == 1 and rng.random() < LOW_MAPQ:
            mapq = rng.choice(LOW_MAPQS)
        mismatches = rng.randrange(6) if rng.random() < 0.4 else 0
        score = 2 * READ_LENGTH - 2 - 2 * mismatches - sum(
            n for mate in (first, second) if mate is not None for n, op in mate.ops if op in "SID")
        return mapq, f"AS:i:{score}\tnM:i:{mismatches}"

    def _multi(self):
        if self.rng.random() >= MULTI_MAPPED:
            return 1
        nh = 2
        while nh < 20 and self.rng.random() < 0.45:
            nh += 1
        return nh

    def records(self, count):
        """SAM lines of `count` fragments; the same seed gives the same lines."""
        rng = self.rng
        for number in range(count):
            name = self._name(number, count)
            u = rng.random()
            if u < UNMAPPED_PAIR:
                yield from self._pair(name, None, None, 0, UNMAPPED_TAGS, proper=False)[1]
                continue
            if u < HALF_MAPPED:
                strand, left, right, _ = self._transcript_fragment_plain()
                first, second = self._stranded(strand, left, right)
                if rng.random() < 0.5:
                    first = None
                else:
                    second = None
                mapq, tags = self._scores(first, second, 1)
                yield from self._pair(name, first, second, mapq, f"NH:i:1\tHI:i:1\t{tags}",
                                      proper=False)[1]
                continue
            if u < UNANNOTATED:
                first, second = self._unstranded(
                    *self._genome_fragment(UNANNOTATED_CONTIGS, self.extra_weights))
            elif u < INTERGENIC:
                first, second = self._unstranded(
                    *self._genome_fragment(ANNOTATED_CONTIGS, self.genome_weights))
            elif u < PRE_MRNA:
                strand, left, right = self._pre_mrna_fragment()
                first, second = self._stranded(strand, left, right)
            elif u < DISCORDANT:
                strand, left, right, _ = self._transcript_fragment_plain()
                first, second = self._stranded(strand, left, right)
                if rng.random() < 0.5:
                    first = self._far_mate(second)
                else:
                    second = self._far_mate(first)
                mapq, tags = self._scores(first, second, 1)
                yield from self._pair(name, first, second, mapq, f"NH:i:1\tHI:i:1\t{tags}",
                                      proper=False)[1]
                continue
            else:
                yield from self._transcript_pair(name)
                continue
            yield from self._aligned(name, first, second)

    def _transcript_fragment_plain(self):
        """A transcript fragment without a chimeric mate."""
        while True:
            drawn = self._transcript_fragment()
            if drawn[3] is None:
                return drawn

    def _transcript_pair(self, name):
        rng = self.rng
        if rng.random() < DUPLICATE and self._last_unique is not None:
            first, second, mapq, tags = self._last_unique
            yield from self._pair(name, first, second, mapq, tags, flag=DUPLICATE_FLAG)[1]
            return
        strand, left, right, split = self._transcript_fragment()
        first, second = self._stranded(strand, left, right)
        if split is None:
            yield from self._aligned(name, first, second, remember=True)
            return
        yield from self._chimeric(name, first, second, left if split[0] == "left" else right,
                                  split[1])

    def _aligned(self, name, first, second, remember=False):
        """The pair's primary records and, for a multi-mapped pair, its secondary ones."""
        nh = self._multi()
        mapq, scores = self._scores(first, second, nh)
        tags = f"NH:i:{nh}\tHI:i:1\t{scores}"
        reads, lines = self._pair(name, first, second, mapq, tags)
        yield from lines
        if remember and nh == 1:
            self._last_unique = (first, second, mapq, tags)
        for hit in range(2, nh + 1):
            other_first, other_second = self._unstranded(*self._other_fragment())
            yield from self._pair(name, other_first, other_second, mapq,
                                  f"NH:i:{nh}\tHI:i:{hit}\t{scores}", flag=SECONDARY,
                                  reads=reads)[1]

    def _chimeric(self, name, first, second, split_mate, clipped):
        """A pair with one mate split: its primary soft-clipped, the rest a supplementary record
        elsewhere whose mate fields point at the other mate."""
        rng = self.rng
        mapq, tags = self._scores(first, second, 1)
        tags = f"NH:i:1\tHI:i:1\t{tags}"
        kept = READ_LENGTH - clipped
        other, other_length = self._pick(ANNOTATED_CONTIGS, self.genome_weights)
        other_start = rng.randrange(other_length - 2 * READ_LENGTH)
        other_reverse = rng.random() < 0.5
        supplementary_mapq = 60 if rng.random() > LOW_MAPQ else rng.choice(LOW_MAPQS)
        split_is_first = split_mate is first
        if split_mate.ops[-1][1] == "S":   # the left mate: its right end aligns elsewhere
            supplementary_ops = [(kept, "H"), (clipped, "M")]
            primary_sa = f"{kept}S{clipped}M"
        else:                               # the right mate: its left end
            supplementary_ops = [(clipped, "M"), (kept, "H")]
            primary_sa = f"{clipped}M{kept}S"
        sa = (f"\tSA:Z:{other},{other_start + 1},{'-' if other_reverse else '+'},{primary_sa},"
              f"{supplementary_mapq},0;")
        extra = (sa, "") if split_is_first else ("", sa)
        reads, lines = self._pair(name, first, second, mapq, tags, extra=extra)
        yield from lines
        mate = second if split_is_first else first
        sequence, quality = reads[0 if split_is_first else 1]
        piece = slice(kept, None) if supplementary_ops[0][1] == "H" else slice(0, clipped)
        supplementary = Mate(other, other_start, supplementary_ops, other_reverse)
        back_sa = (f"SA:Z:{split_mate.contig},{split_mate.start + 1},"
                   f"{'-' if split_mate.reverse else '+'},{_cigar(split_mate.ops)},{mapq},0;")
        flag = SUPPLEMENTARY | PAIRED | (READ1 if split_is_first else READ2)
        yield self._line(name, flag, supplementary, mate, supplementary_mapq,
                         (sequence[piece], quality[piece]),
                         f"NH:i:1\tHI:i:1\tAS:i:{clipped - 2}\tnM:i:0\t{back_sa}")

