"""Single-end 100-bp RNA-seq reads over the benchmark's genes, as SAM text lines.

Reads come out in the order an aligner writes them (input order, each read's records together:
primary, then its secondary alignments, then its supplementary one). The library is
reverse-stranded: a read from a gene on "+" aligns to the reverse strand.
"""

import random
from bisect import bisect_right
from itertools import accumulate

from genome import ANNOTATED_CONTIGS, UNANNOTATED_CONTIGS

READ_LENGTH = 100

# What each read is, by cumulative share; the rest come from transcripts.
UNMAPPED = 0.03
UNANNOTATED = UNMAPPED + 0.01
INTERGENIC = UNANNOTATED + 0.03
PRE_MRNA = INTERGENIC + 0.06

MULTI_MAPPED = 0.07      # of mapped reads: NH >= 2, with secondary records
CHIMERIC = 0.012         # of transcript reads: a supplementary record elsewhere
INDEL = 0.04             # of transcript reads: one short insertion or deletion
ADAPTER_CLIP = 0.05      # of transcript reads: a soft clip at one end
ANTISENSE = 0.02         # of stranded reads on the wrong strand
LOW_MAPQ = 0.04          # of unique reads: a MAPQ below 60
MIN_ANCHOR = 6           # shorter overhangs across a junction are soft-clipped, as aligners do

POOL_BITS = 22           # the genome's bases repeat every 4 Mb: enough for realistic compression
QUALITY_TEMPLATES = 4096
LOW_MAPQS = (0, 1, 3, 5, 8, 12, 17, 22, 27, 33, 39, 44, 50, 55)


def _base_pool(rng):
    size = 1 << POOL_BITS
    table = bytes(b"ACGT"[value & 3] for value in range(256))
    pool = rng.getrandbits(8 * size).to_bytes(size, "little").translate(table).decode("ascii")
    return pool + pool[: 4 * READ_LENGTH]


def _quality_templates(rng):
    """Binned Illumina qualities, worse towards the 3' end, sometimes a run of '#' at the end."""
    templates = []
    for _ in range(QUALITY_TEMPLATES):
        chars = []
        for position in range(READ_LENGTH):
            good = 0.97 - 0.25 * position / READ_LENGTH
            u = rng.random()
            chars.append("F" if u < good else ":" if u < good + 0.6 * (1 - good) else ",")
        if rng.random() < 0.05:
            tail = 1 + rng.randrange(30)
            chars[-tail:] = "#" * tail
        templates.append("".join(chars))
    return templates


def _mapq(nh):
    return 60 if nh == 1 else 3 if nh == 2 else 1 if nh <= 4 else 0


def _cigar(ops):
    return "".join(f"{length}{op}" for length, op in ops)


class Unit:
    """One transcript as the simulator samples it: exons and their offsets along the transcript."""

    __slots__ = ("gene", "contig", "strand", "exons", "offsets", "length")

    def __init__(self, gene, exons):
        self.gene = gene
        self.contig = gene.contig
        self.strand = gene.strand
        self.exons = exons
        self.offsets = [0, *accumulate(end - start for start, end in exons)][:-1]
        self.length = sum(end - start for start, end in exons)

    def blocks(self, offset, length):
        """The genomic blocks of `length` transcript bases from `offset` on."""
        k = bisect_right(self.offsets, offset) - 1
        start = self.exons[k][0] + offset - self.offsets[k]
        blocks = []
        while True:
            end = self.exons[k][1]
            if end - start >= length:
                blocks.append((start, start + length))
                return blocks
            blocks.append((start, end))
            length -= end - start
            k += 1
            start = self.exons[k][0]


class ReadSimulator:
    """Draws reads from one seed; `records(count)` yields SAM lines, the same ones every time."""

    def __init__(self, genes, seed):
        rng = random.Random(seed)
        self.rng = rng
        self.pool = _base_pool(rng)
        self.qualities = _quality_templates(rng)
        self.contig_offset = {}
        for number, (name, _) in enumerate(ANNOTATED_CONTIGS + UNANNOTATED_CONTIGS):
            self.contig_offset[name] = rng.getrandbits(POOL_BITS) + number
        units, weights = [], []
        for gene in genes:
            # A quarter of the genes are silent; the others span orders of magnitude.
            level = 0.0 if rng.random() < 0.25 else rng.lognormvariate(0.0, 1.8)
            for number, exons in enumerate(gene.transcripts):
                units.append(Unit(gene, exons))
                weights.append(level * (0.6 if number == 0 else 0.2))
        self.units = units
        self.unit_weights = list(accumulate(weights))
        whole = [k for k, unit in enumerate(units) if unit.exons is unit.gene.transcripts[0]]
        self.genes = [units[k] for k in whole]
        self.gene_spans = [(unit.gene.start, unit.gene.end) for unit in self.genes]
        self.gene_weights = list(accumulate(weights[k] for k in whole))
        lengths = [length for name, length in ANNOTATED_CONTIGS]
        self.genome_weights = list(accumulate(lengths))
        self.extra_weights = list(accumulate(length for _, length in UNANNOTATED_CONTIGS))

    # Drawing places.

    def _pick(self, items, cumulative):
        return items[bisect_right(cumulative, self.rng.random() * cumulative[-1])]

    def _random_place(self, contigs, cumulative):
        """An unspliced alignment anywhere on one of `contigs`, weighted by length."""
        name, length = self._pick(contigs, cumulative)
        start = self.rng.randrange(length - 2 * READ_LENGTH)
        return name, [(start, start + READ_LENGTH)]

    def _pre_mrna_place(self):
        k = bisect_right(self.gene_weights, self.rng.random() * self.gene_weights[-1])
        unit, (begin, end) = self.genes[k], self.gene_spans[k]
        start = begin + self.rng.randrange(end - begin - READ_LENGTH)
        return unit, [(start, start + READ_LENGTH)]

    def _transcript_place(self, length=READ_LENGTH):
        unit = self._pick(self.units, self.unit_weights)
        return unit, unit.blocks(self.rng.randrange(unit.length - length + 1), length)

    def _other_place(self):
        """Where a multi-mapper's other alignments go: a paralog's exons or anywhere."""
        if self.rng.random() < 0.6:
            unit = self.units[self.rng.randrange(len(self.units))]
            if unit.length >= READ_LENGTH:
                return unit.contig, unit.blocks(self.rng.randrange(unit.length - READ_LENGTH + 1),
                                                READ_LENGTH)
        return self._random_place(ANNOTATED_CONTIGS, self.genome_weights)

    # Turning blocks into an alignment.

    def _ops(self, blocks, spliced_ok=True):
        """CIGAR operations for aligned blocks: N between them, short end anchors clipped."""
        rng = self.rng
        lead = trail = 0
        if len(blocks) > 1 and blocks[0][1] - blocks[0][0] < MIN_ANCHOR:
            lead = blocks[0][1] - blocks[0][0]
            blocks = blocks[1:]
        if len(blocks) > 1 and blocks[-1][1] - blocks[-1][0] < MIN_ANCHOR:
            trail = blocks[-1][1] - blocks[-1][0]
            blocks = blocks[:-1]
        if spliced_ok and rng.random() < ADAPTER_CLIP:
            clip = 3 + rng.randrange(18)
            first, last = blocks[0], blocks[-1]
            if rng.random() < 0.5 and first[1] - first[0] - clip >= MIN_ANCHOR:
                blocks = [(first[0] + clip, first[1]), *blocks[1:]]
                lead += clip
            elif last[1] - last[0] - clip >= MIN_ANCHOR:
                blocks = [*blocks[:-1], (last[0], last[1] - clip)]
                trail += clip
        ops = [(lead, "S")] if lead else []
        for k, (start, end) in enumerate(blocks):
            if k:
                ops.append((start - blocks[k - 1][1], "N"))
            ops.append((end - start, "M"))
        if spliced_ok and rng.random() < INDEL and ops[-1][0] >= 30:
            size = 1 + rng.randrange(3)
            left = 10 + rng.randrange(ops[-1][0] - 20)
            right = ops[-1][0] - left
            if rng.random() < 0.5:
                ops[-1:] = [(left, "M"), (size, "I"), (right - size, "M")]
            else:
                ops[-1:] = [(left, "M"), (size, "D"), (right, "M")]
        if trail:
            ops.append((trail, "S"))
        return blocks[0][0], ops

    def _sequence(self, contig, start, ops):
        """The read's bases: the genome's where it aligns, other bases where it does not."""
        pool, offset = self.pool, self.contig_offset[contig]
        mask = (1 << POOL_BITS) - 1
        parts, position = [], start
        for length, op in ops:
            if op == "M":
                at = (offset + position) & mask
                parts.append(pool[at: at + length])
                position += length
            elif op in "ND":
                position += length
            elif op in "SI":
                at = (offset + position + 7919) & mask
                parts.append(pool[at: at + length])
        return "".join(parts)

    # Reads.

    @staticmethod
    def _name(number, count):
        # Multiplying by an odd number permutes 0 .. 2**36 - 1: names look scattered, never repeat.
        spot = (number * 0x9E3779B1 + 0x5DEECE66D) & ((1 << 36) - 1)
        lane = 1 + 4 * number // max(count, 1)
        return (f"BNCH01:217:HBNCHDSXY:{lane}:{1101 + (spot >> 30)}:{(spot >> 15) & 0x7FFF}:"
                f"{spot & 0x7FFF}")

    def _quality(self, reverse):
        quality = self.qualities[self.rng.getrandbits(12)]
        return quality[::-1] if reverse else quality

    def records(self, count):
        """SAM lines of `count` reads; the same seed gives the same lines."""
        rng = self.rng
        for number in range(count):
            name = self._name(number, count)
            u = rng.random()
            if u < UNMAPPED:
                at = rng.getrandbits(POOL_BITS)
                yield (f"{name}\t4\t*\t0\t0\t*\t*\t0\t0\t{self.pool[at: at + READ_LENGTH]}\t"
                       f"{self._quality(False)}\tNH:i:0\tHI:i:0\tAS:i:0\tnM:i:0\tuT:A:1")
                continue
            strand = None
            if u < UNANNOTATED:
                contig, blocks = self._random_place(UNANNOTATED_CONTIGS, self.extra_weights)
            elif u < INTERGENIC:
                contig, blocks = self._random_place(ANNOTATED_CONTIGS, self.genome_weights)
            elif u < PRE_MRNA:
                unit, blocks = self._pre_mrna_place()
                contig, strand = unit.contig, unit.strand
            else:
                yield from self._transcript_read(name)
                continue
            reverse = (strand == "+") != (rng.random() < ANTISENSE) if strand else rng.random() < 0.5
            start, ops = self._ops(blocks, spliced_ok=False)
            yield from self._aligned(name, contig, start, ops, reverse)

    def _transcript_read(self, name):
        rng = self.rng
        chimeric = rng.random() < CHIMERIC
        clipped = 20 + rng.randrange(41) if chimeric else 0
        unit, blocks = self._transcript_place(READ_LENGTH - clipped)
        reverse = (unit.strand == "+") != (rng.random() < ANTISENSE)
        start, ops = self._ops(blocks, spliced_ok=not chimeric)
        if not chimeric:
            yield from self._aligned(name, unit.contig, start, ops, reverse)
            return
        if ops[-1][1] == "S":
            clipped += ops.pop()[0]
        ops.append((clipped, "S"))
        kept = READ_LENGTH - clipped
        sequence = self._sequence(unit.contig, start, ops)
        quality = self._quality(reverse)
        other, other_blocks = self._random_place(ANNOTATED_CONTIGS, self.genome_weights)
        other_start = other_blocks[0][0]
        other_reverse = rng.random() < 0.5
        mapq = 60 if rng.random() > LOW_MAPQ else rng.choice(LOW_MAPQS)
        primary_sa = (f"SA:Z:{other},{other_start + 1},{'-' if other_reverse else '+'},"
                      f"{kept}S{clipped}M,{mapq},0;")
        supplementary_sa = (f"SA:Z:{unit.contig},{start + 1},{'-' if reverse else '+'},"
                            f"{_cigar(ops)},60,0;")
        flag = 16 if reverse else 0
        yield (f"{name}\t{flag}\t{unit.contig}\t{start + 1}\t60\t{_cigar(ops)}\t*\t0\t0\t"
               f"{sequence}\t{quality}\tNH:i:1\tHI:i:1\tAS:i:{96 - clipped}\tnM:i:0\t{primary_sa}")
        flag = 2048 | (16 if other_reverse else 0)
        yield (f"{name}\t{flag}\t{other}\t{other_start + 1}\t{mapq}\t{kept}H{clipped}M\t*\t0\t0\t"
               f"{sequence[kept:]}\t{quality[kept:]}\tNH:i:1\tHI:i:1\tAS:i:{clipped - 2}\t"
               f"nM:i:0\t{supplementary_sa}")

    def _aligned(self, name, contig, start, ops, reverse):
        """The primary record and, for a multi-mapper, its secondary records."""
        rng = self.rng
        nh = 1
        if rng.random() < MULTI_MAPPED:
            nh = 2
            while nh < 20 and rng.random() < 0.45:
                nh += 1
        mapq = _mapq(nh)
        if nh == 1 and rng.random() < LOW_MAPQ:
            mapq = rng.choice(LOW_MAPQS)
        sequence = self._sequence(contig, start, ops)
        quality = self._quality(reverse)
        mismatches = rng.randrange(4) if rng.random() < 0.3 else 0
        score = 98 - 2 * mismatches - sum(n for n, op in ops if op in "SID")
        tags = f"AS:i:{score}\tnM:i:{mismatches}"
        yield (f"{name}\t{16 if reverse else 0}\t{contig}\t{start + 1}\t{mapq}\t{_cigar(ops)}\t"
               f"*\t0\t0\t{sequence}\t{quality}\tNH:i:{nh}\tHI:i:1\t{tags}")
        for hit in range(2, nh + 1):
            other, blocks = self._other_place()
            other_start, other_ops = self._ops(blocks, spliced_ok=False)
            flag = 256 | (16 if rng.random() < 0.5 else 0)
            yield (f"{name}\t{flag}\t{other}\t{other_start + 1}\t{mapq}\t{_cigar(other_ops)}\t"
                   f"*\t0\t0\t{sequence}\t{quality}\tNH:i:{nh}\tHI:i:{hit}\t{tags}")
