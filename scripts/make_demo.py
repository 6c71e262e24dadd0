"""Writes the demo annotation and BAM files shipped in dulse/data.

    python scripts/make_demo.py [--out DIR]

Everything comes from a fixed seed, so the files are the same on every run: a GTF of twelve
genes on chr1 and chr2 (two of them overlapping on opposite strands, one with two transcripts)
and two single-end, reverse-stranded RNA-seq samples of 75-base reads, sorted by position,
with spliced, intronic, intergenic, multi-mapping (NH 2, with a secondary record), unmapped
and mitochondrial reads (chrM is not in the annotation). Count them with `-s 2`.
"""

import argparse
import os
import random

import pysam

CONTIGS = (("chr1", 30_000), ("chr2", 20_000), ("chrM", 16_569))
READ_LENGTH = 75
SEED = 20240611

# gene ID, gene name, contig, strand, transcripts (each a list of 1-based inclusive exons)
GENES = (
    ("DMO0001", "alpha", "chr1", "+", [[(1_001, 1_400), (2_001, 2_300), (3_001, 3_500)]]),
    ("DMO0002", "beta", "chr1", "-", [[(4_001, 4_900)]]),
    ("DMO0003", "gamma", "chr1", "+", [[(6_001, 6_250), (7_001, 7_400)],
                                       [(6_001, 6_250), (6_801, 6_900), (7_001, 7_400)]]),
    ("DMO0004", "delta", "chr1", "-", [[(9_001, 9_500), (10_001, 10_600)]]),
    ("DMO0005", "epsilon", "chr1", "+", [[(10_401, 11_200)]]),  # overlaps delta, other strand
    ("DMO0006", "zeta", "chr1", "+", [[(14_001, 14_300), (15_001, 15_300), (16_001, 16_800)]]),
    ("DMO0007", "eta", "chr1", "-", [[(20_001, 21_000)]]),
    ("DMO0008", "theta", "chr1", "+", [[(24_001, 24_400), (25_001, 25_700)]]),
    ("DMO0009", "iota", "chr2", "-", [[(1_001, 1_800), (3_001, 3_300)]]),
    ("DMO0010", "kappa", "chr2", "+", [[(6_001, 6_700)]]),
    ("DMO0011", "lambda", "chr2", "+", [[(10_001, 10_300), (11_001, 11_900)]]),
    ("DMO0012", "mu", "chr2", "-", [[(15_001, 16_500)]]),
)

# Relative expression per sample; sample B has zeta up and theta down.
EXPRESSION = {
    "a": (40, 25, 30, 20, 15, 10, 35, 30, 20, 5, 12, 8),
    "b": (40, 25, 30, 20, 15, 60, 35, 4, 20, 5, 12, 8),
}
READS_PER_SAMPLE = 4_000


def write_gtf(path):
    with open(path, "w") as out:
        out.write("#!genome-build dulse-demo\n")
        for gene_id, name, contig, strand, transcripts in GENES:
            start = min(s for exons in transcripts for s, _ in exons)
            end = max(e for exons in transcripts for _, e in exons)
            gene = f'gene_id "{gene_id}"; gene_name "{name}"; gene_biotype "protein_coding";'
            out.write(f"{contig}\tdemo\tgene\t{start}\t{end}\t.\t{strand}\t.\t{gene}\n")
            for number, exons in enumerate(transcripts, 1):
                tx = f'{gene} transcript_id "{gene_id.replace("DMO", "DMOT")}.{number}";'
                out.write(f"{contig}\tdemo\ttranscript\t{exons[0][0]}\t{exons[-1][1]}\t.\t"
                          f"{strand}\t.\t{tx}\n")
                for exon_number, (s, e) in enumerate(exons, 1):
                    out.write(f"{contig}\tdemo\texon\t{s}\t{e}\t.\t{strand}\t.\t{tx} "
                              f"exon_number {exon_number};\n")


def spliced_read(rng, exons):
    """(0-based start, CIGAR) of a read drawn along the spliced transcript."""
    blocks = [(s - 1, e) for s, e in exons]
    length = sum(e - s for s, e in blocks)
    offset = rng.randint(0, max(0, length - READ_LENGTH))
    cigar, start, remaining, previous_end = [], None, READ_LENGTH, None
    for s, e in blocks:
        if offset >= e - s:
            offset -= e - s
            continue
        begin = s + offset
        offset = 0
        take = min(remaining, e - begin)
        if start is None:
            start = begin
        else:
            cigar.append(f"{begin - previous_end}N")
        cigar.append(f"{take}M")
        remaining -= take
        previous_end = begin + take
        if remaining == 0:
            break
    if remaining:  # a transcript shorter than a read: soft-clip the rest
        cigar.append(f"{remaining}S")
    return start, "".join(cigar)


def sample_records(rng, weights):
    contig_length = dict(CONTIGS)
    total_weight = sum(weights)
    records = []
    for number in range(READS_PER_SAMPLE):
        name = f"read{number:05d}"
        kind = rng.random()
        if kind < 0.03:
            records.append(dict(name=name, unmapped=True))
            continue
        if kind < 0.06:
            start = rng.randint(0, contig_length["chrM"] - READ_LENGTH)
            records.append(dict(name=name, contig="chrM", start=start, cigar="75M",
                                reverse=rng.random() < 0.5))
            continue
        if kind < 0.12:  # intergenic or intronic
            contig = rng.choice(("chr1", "chr2"))
            start = rng.randint(0, contig_length[contig] - READ_LENGTH)
            records.append(dict(name=name, contig=contig, start=start, cigar="75M",
                                reverse=rng.random() < 0.5))
            continue
        pick = rng.uniform(0, total_weight)
        for index, weight in enumerate(weights):
            pick -= weight
            if pick <= 0:
                break
        _, _, contig, strand, transcripts = GENES[index]
        start, cigar = spliced_read(rng, rng.choice(transcripts))
        # A reverse-stranded library: the read lies on the strand opposite to the gene's.
        reverse = strand == "+"
        if rng.random() < 0.02:
            reverse = not reverse
        record = dict(name=name, contig=contig, start=start, cigar=cigar, reverse=reverse)
        if kind > 0.95:  # a multi-mapper: this primary plus a secondary elsewhere
            record.update(nh=2, mapq=3)
            other = rng.choice(("chr1", "chr2"))
            records.append(dict(name=name, contig=other, start=rng.randint(0, 10_000),
                                cigar="75M", reverse=reverse, nh=2, mapq=3, secondary=True))
        records.append(record)
    return records


def write_bam(path, records):
    header = {"HD": {"VN": "1.6", "SO": "coordinate"},
              "SQ": [{"SN": name, "LN": length} for name, length in CONTIGS]}
    order = {name: number for number, (name, _) in enumerate(CONTIGS)}
    mapped = sorted((r for r in records if not r.get("unmapped")),
                    key=lambda r: (order[r["contig"]], r["start"], r["name"]))
    unmapped = [r for r in records if r.get("unmapped")]
    with pysam.AlignmentFile(path, "wb", header=header) as out:
        for record in mapped + unmapped:
            segment = pysam.AlignedSegment(out.header)
            segment.query_name = record["name"]
            segment.query_sequence = "A" * READ_LENGTH
            segment.query_qualities = pysam.qualitystring_to_array("I" * READ_LENGTH)
            if record.get("unmapped"):
                segment.flag = 4
                segment.reference_id = -1
                segment.reference_start = -1
            else:
                segment.flag = ((16 if record["reverse"] else 0) |
                                (256 if record.get("secondary") else 0))
                segment.reference_id = order[record["contig"]]
                segment.reference_start = record["start"]
                segment.cigarstring = record["cigar"]
                segment.mapping_quality = record.get("mapq", 255)
                segment.set_tag("NH", record.get("nh", 1), "i")
            out.write(segment)


def main(argv=None):
    default = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "dulse", "data")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.normpath(default))
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    write_gtf(os.path.join(args.out, "demo.gtf"))
    for number, (sample, weights) in enumerate(sorted(EXPRESSION.items())):
        rng = random.Random(SEED + number)
        write_bam(os.path.join(args.out, f"demo_{sample}.bam"), sample_records(rng, weights))
    print(f"wrote demo.gtf, demo_a.bam and demo_b.bam to {args.out}")


if __name__ == "__main__":
    main()
