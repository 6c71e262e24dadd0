"""The benchmark's genome and gene annotation: human-like contigs and about 20,000 genes.

Everything here is drawn from one `random.Random`, using only the draws whose results are stable
across Python versions (random(), getrandbits, randrange on ints, lognormvariate), so the same seed
gives the same genes, and therefore the same files, on every machine.
"""

import random
from dataclasses import dataclass, field

# GRCh38 primary assembly lengths: the annotated contigs.
ANNOTATED_CONTIGS = (
    ("chr1", 248_956_422), ("chr2", 242_193_529), ("chr3", 198_295_559),
    ("chr4", 190_214_555), ("chr5", 181_538_259), ("chr6", 170_805_979),
    ("chr7", 159_345_973), ("chr8", 145_138_636), ("chr9", 138_394_717),
    ("chr10", 133_797_422), ("chr11", 135_086_622), ("chr12", 133_275_309),
    ("chr13", 114_364_328), ("chr14", 107_043_718), ("chr15", 101_991_189),
    ("chr16", 90_338_345), ("chr17", 83_257_441), ("chr18", 80_373_285),
    ("chr19", 58_617_616), ("chr20", 64_444_167), ("chr21", 46_709_983),
    ("chr22", 50_818_468), ("chrX", 156_040_895), ("chrY", 57_227_415),
    ("chrM", 16_569),
)

# Contigs of the alignment header that the annotation does not mention, as with an annotation
# that covers the primary assembly only.
UNANNOTATED_CONTIGS = (
    ("chr1_KI270706v1_random", 175_055), ("chr14_GL000009v2_random", 201_709),
    ("chrUn_KI270742v1", 186_739), ("chrUn_GL000220v1", 161_802), ("chrEBV", 171_823),
)

ALL_CONTIGS = ANNOTATED_CONTIGS + UNANNOTATED_CONTIGS

GENE_COUNT = 20_000
MITOCHONDRIAL_GENES = 13
# Gene density per megabase, relative to the average; gene-rich and gene-poor chromosomes.
DENSITY = {"chr17": 2.0, "chr19": 3.0, "chr22": 1.6, "chr1": 1.4, "chr11": 1.3,
           "chr13": 0.5, "chr18": 0.6, "chr4": 0.6, "chrY": 0.15, "chrX": 0.7}
ANTISENSE_SHARE = 0.04   # genes placed across the 3' end of another gene, on the other strand
NESTED_SHARE = 0.02      # genes placed inside an intron of another gene
MIN_TRANSCRIPT_LENGTH = 300
EDGE = 20_000            # no gene this close to a contig end


@dataclass
class Gene:
    """One gene: its transcripts are lists of 0-based half-open exons, ascending."""
    gene_id: str
    name: str
    contig: str
    strand: str
    transcripts: list = field(default_factory=list)

    @property
    def start(self):
        return min(t[0][0] for t in self.transcripts)

    @property
    def end(self):
        return max(t[-1][1] for t in self.transcripts)

    def exons(self):
        """The distinct exons of all transcripts, ascending."""
        return sorted({exon for transcript in self.transcripts for exon in transcript})


def _bounded_lognormal(rng, median, sigma, low, high):
    value = int(rng.lognormvariate(0.0, sigma) * median)
    return min(max(value, low), high)


def _exon_chain(rng, start, exon_count):
    """Exons from `start` onwards: longer first and last exons (UTRs), short internal ones."""
    exons, position = [], start
    for number in range(exon_count):
        if number == 0 or number == exon_count - 1:
            length = _bounded_lognormal(rng, 130, 0.5, 60, 4_000)
        else:
            length = _bounded_lognormal(rng, 100, 0.35, 25, 1_000)
        exons.append((position, position + length))
        position += length + _bounded_lognormal(rng, 1_600, 1.3, 70, 250_000)
    total = sum(end - begin for begin, end in exons)
    if total < MIN_TRANSCRIPT_LENGTH:
        begin, end = exons[-1]
        exons[-1] = (begin, end + MIN_TRANSCRIPT_LENGTH - total)
    return exons


def _transcripts(rng, exons):
    """The full transcript and up to two others that skip internal exons."""
    transcripts = [list(exons)]
    if len(exons) >= 4:
        for _ in range(rng.randrange(3)):
            skipped = {rng.randrange(1, len(exons) - 1) for _ in range(1 + rng.randrange(2))}
            transcripts.append([e for k, e in enumerate(exons) if k not in skipped])
    return transcripts


def _exon_count(rng):
    count = 2
    while count < 40 and rng.random() < 0.86:
        count += 1
    return count


def _fits(exons, length):
    return exons[-1][1] <= length - EDGE


def _genes_per_contig(total):
    weights = {name: length * DENSITY.get(name, 1.0)
               for name, length in ANNOTATED_CONTIGS if name != "chrM"}
    scale = total / sum(weights.values())
    shares = {name: int(weight * scale) for name, weight in weights.items()}
    # Hand the rounding remainder to the largest contigs, in a fixed order.
    for name in sorted(weights, key=lambda n: -weights[n])[: total - sum(shares.values())]:
        shares[name] += 1
    return shares


def _mitochondrial_genes(rng):
    """Small single-exon genes packed along chrM, neighbours overlapping by a few bases."""
    genes, position = [], 600
    for number in range(MITOCHONDRIAL_GENES):
        length = 200 + rng.randrange(1_200)
        start = max(position - rng.randrange(40), 0)
        strand = "-" if number % 5 == 4 else "+"
        genes.append(Gene("", "", "chrM", strand, [[(start, start + length)]]))
        position = start + length
    return genes


def make_genes(seed, total=GENE_COUNT):
    """The gene list, ordered by contig (header order) then start; gene IDs follow that order."""
    rng = random.Random(seed)
    lengths = dict(ANNOTATED_CONTIGS)
    placed = {name: [] for name, _ in ANNOTATED_CONTIGS}
    placed["chrM"] = _mitochondrial_genes(rng)
    ordinary = total - MITOCHONDRIAL_GENES
    extra = int(ordinary * (ANTISENSE_SHARE + NESTED_SHARE))
    for contig, count in _genes_per_contig(ordinary - extra).items():
        for _ in range(count):
            while True:
                start = EDGE + rng.randrange(lengths[contig] - 2 * EDGE)
                exons = _exon_chain(rng, start, _exon_count(rng))
                if _fits(exons, lengths[contig]):
                    break
            strand = "+" if rng.random() < 0.5 else "-"
            placed[contig].append(Gene("", "", contig, strand, _transcripts(rng, exons)))
    hosts = [gene for name, _ in ANNOTATED_CONTIGS if name != "chrM" for gene in placed[name]]
    antisense = int(ordinary * ANTISENSE_SHARE)
    for number in range(extra):
        host = hosts[rng.randrange(len(hosts))]
        other = "-" if host.strand == "+" else "+"
        if number < antisense:
            # Starts inside the host's last exon or last intron and runs past its end.
            last = host.transcripts[0][-1]
            start = last[0] - rng.randrange(2_000) + rng.randrange(last[1] - last[0])
            strand = other
        else:
            introns = [(a[1], b[0]) for a, b in zip(host.transcripts[0], host.transcripts[0][1:])]
            begin, end = max(introns, key=lambda iv: iv[1] - iv[0])
            if end - begin < 5_000:
                start = host.end + 1_000 + rng.randrange(5_000)
            else:
                start = begin + 500 + rng.randrange(end - begin - 4_000)
            strand = other if rng.random() < 0.5 else host.strand
        exons = _exon_chain(rng, start, 2 + rng.randrange(4))
        while not _fits(exons, lengths[host.contig]):
            exons = _exon_chain(rng, host.start, 2)
        placed[host.contig].append(Gene("", "", host.contig, strand, _transcripts(rng, exons)))
    genes = []
    for name, _ in ANNOTATED_CONTIGS:
        genes.extend(sorted(placed[name], key=lambda g: (g.start, g.end, g.strand)))
    for number, gene in enumerate(genes, 1):
        gene.gene_id = f"BNCG{number:011d}"
        gene.name = f"BG{number}"
    return genes


def write_gtf(genes, path):
    """Gene, transcript and exon lines, 1-based closed coordinates, per gene in order."""
    transcript_number = 0
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.write("#!genome-build bench-GRCh38-like\n")
        for gene in genes:
            gene_attrs = (f'gene_id "{gene.gene_id}"; gene_name "{gene.name}"; '
                          f'gene_biotype "protein_coding";')
            out.write(f"{gene.contig}\tbench\tgene\t{gene.start + 1}\t{gene.end}\t.\t"
                      f"{gene.strand}\t.\t{gene_attrs}\n")
            for transcript in gene.transcripts:
                transcript_number += 1
                attrs = f'{gene_attrs[:-1]}; transcript_id "BNCT{transcript_number:011d}";'
                out.write(f"{gene.contig}\tbench\ttranscript\t{transcript[0][0] + 1}\t"
                          f"{transcript[-1][1]}\t.\t{gene.strand}\t.\t{attrs}\n")
                ordered = transcript if gene.strand == "+" else transcript[::-1]
                for number, (start, end) in enumerate(ordered, 1):
                    out.write(f"{gene.contig}\tbench\texon\t{start + 1}\t{end}\t.\t"
                              f"{gene.strand}\t.\t{attrs} exon_number \"{number}\";\n")


def write_saf(genes, path):
    """The distinct exons of each gene in the simplified annotation format, 1-based closed."""
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.write("GeneID\tChr\tStart\tEnd\tStrand\n")
        for gene in genes:
            for start, end in gene.exons():
                out.write(f"{gene.gene_id}\t{gene.contig}\t{start + 1}\t{end}\t{gene.strand}\n")
