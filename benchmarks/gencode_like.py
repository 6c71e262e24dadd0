"""Writes a GTF the size and shape of GENCODE's human annotation, for timing annotation readers.

    python benchmarks/gencode_like.py OUT.gtf [--genes 60000] [--seed N]

About 60,000 genes on the GRCh38 primary contigs (protein-coding ones with many transcripts,
lncRNAs and pseudogenes with few), 250,000 transcripts and 1.5 million exon lines (an exon
shared by several transcripts is written once per transcript, as GENCODE does), with CDS, UTR,
start and stop codon lines for the coding transcripts and GENCODE's long attribute columns:
about 3 million lines and 1.3 GB. The same seed gives the same bytes on every run. The file
appears under its name only when complete.
"""

import argparse
import os
import random
import sys
from pathlib import Path

from genome import ANNOTATED_CONTIGS

BIOTYPES = (  # (gene type, share of genes, transcripts: low, high)
    ("protein_coding", 0.33, 1, 14),
    ("lncRNA", 0.31, 1, 6),
    ("processed_pseudogene", 0.17, 1, 1),
    ("unprocessed_pseudogene", 0.04, 1, 2),
    ("misc_RNA", 0.15, 1, 1),
)
TAGS = ('tag "basic"; tag "Ensembl_canonical";', 'tag "basic";', 'tag "CCDS";', "")


def _biotype(rng):
    draw = rng.random()
    for name, share, low, high in BIOTYPES:
        if draw < share:
            return name, low, high
        draw -= share
    return BIOTYPES[-1][0], BIOTYPES[-1][2], BIOTYPES[-1][3]


def _exon_pool(rng, start, count):
    exons, position = [], start
    for _ in range(count):
        length = int(rng.lognormvariate(4.9, 0.6)) + 20
        exons.append((position, position + length))
        position += length + int(rng.lognormvariate(7.5, 1.2)) + 50
    return exons


def _transcripts(rng, pool, count):
    """Runs of the gene's exons, some skipping one; an alternative first or last end."""
    chosen = []
    for number in range(count):
        if number == 0 or len(pool) < 3:
            exons = list(pool)
        else:
            first = rng.randrange(max(len(pool) // 3, 1))
            last = rng.randrange(max(len(pool) * 2 // 3, first + 1), len(pool))
            exons = pool[first:last + 1]
            if len(exons) > 3 and rng.random() < 0.5:
                del exons[rng.randrange(1, len(exons) - 1)]
        if rng.random() < 0.3:
            begin, end = exons[-1]
            exons[-1] = (begin, end + rng.randrange(1, 400))
        chosen.append(exons)
    return chosen


def _coding(exons, strand):
    """CDS pieces, UTRs and the codons of a coding transcript: the first and last 60 bases of
    the spliced transcript are UTR."""
    ordered = exons if strand == "+" else exons[::-1]
    total = sum(end - start for start, end in exons)
    if total < 200:
        return [], [], None, None
    lo, hi = 60, total - 60   # transcript offsets of the CDS
    cds, utr, offset = [], [], 0
    for start, end in ordered:
        length = end - start
        a, b = max(lo - offset, 0), min(hi - offset, length)
        if strand == "+":
            inside = (start + a, start + b) if a < b else None
        else:
            inside = (end - b, end - a) if a < b else None
        if inside is None:
            utr.append((start, end))
        else:
            cds.append(inside)
            if inside[0] > start:
                utr.append((start, inside[0]))
            if inside[1] < end:
                utr.append((inside[1], end))
        offset += length
    first, last = (cds[0], cds[-1])
    if strand == "+":
        start_codon, stop_codon = (first[0], first[0] + 3), (last[1] - 3, last[1])
    else:
        start_codon, stop_codon = (first[1] - 3, first[1]), (last[0], last[0] + 3)
    return cds, utr, start_codon, stop_codon


def write(path, genes, seed):
    rng = random.Random(seed)
    weights = [length for _, length in ANNOTATED_CONTIGS]
    placed = []
    for _ in range(genes):
        contig, length = rng.choices(ANNOTATED_CONTIGS, weights)[0]
        placed.append((contig, rng.randrange(10_000, max(length - 3_000_000, 20_000))))
    order = {name: number for number, (name, _) in enumerate(ANNOTATED_CONTIGS)}
    placed.sort(key=lambda item: (order[item[0]], item[1]))
    partial = Path(f"{path}.partial")
    transcript_number = exon_lines = 0
    with open(partial, "w", encoding="ascii", newline="\n") as out:
        out.write("##description: GENCODE-like annotation for benchmarks\n##provider: dulse\n"
                  "##format: gtf\n")
        lines = []
        for number, (contig, start) in enumerate(placed, 1):
            biotype, low, high = _biotype(rng)
            strand = "+" if rng.random() < 0.5 else "-"
            if biotype == "protein_coding":
                exon_count = min(2 + int(rng.expovariate(1 / 9)), 80)
            elif biotype == "lncRNA":
                exon_count = min(2 + int(rng.expovariate(1 / 3)), 20)
            else:
                exon_count = 1
            pool = _exon_pool(rng, start, exon_count)
            transcripts = _transcripts(rng, pool, rng.randint(low, high))
            gene_id = f"ENSG{number:011d}.{rng.randint(1, 20)}"
            gene_attrs = (f'gene_id "{gene_id}"; gene_type "{biotype}"; gene_name '
                          f'"GN{number}"; level {rng.randint(1, 3)}; hgnc_id "HGNC:{number}"; '
                          f'havana_gene "OTTHUMG{number:011d}.{rng.randint(1, 9)}";')
            g_start = min(t[0][0] for t in transcripts)
            g_end = max(t[-1][1] for t in transcripts)
            lines.append(f"{contig}\tHAVANA\tgene\t{g_start + 1}\t{g_end}\t.\t{strand}\t.\t"
                         f"{gene_attrs}\n")
            for exons in transcripts:
                transcript_number += 1
                attrs = (f'{gene_attrs[:-1]}; transcript_id "ENST{transcript_number:011d}.'
                         f'{rng.randint(1, 9)}"; transcript_type "{biotype}"; transcript_name '
                         f'"GN{number}-{transcript_number % 1000:03d}"; '
                         f'transcript_support_level "{rng.randint(1, 5)}"; {rng.choice(TAGS)}')
                attrs = attrs.rstrip()
                lines.append(f"{contig}\tHAVANA\ttranscript\t{exons[0][0] + 1}\t{exons[-1][1]}"
                             f"\t.\t{strand}\t.\t{attrs}\n")
                ordered = exons if strand == "+" else exons[::-1]
                for rank, (begin, end) in enumerate(ordered, 1):
                    lines.append(f"{contig}\tHAVANA\texon\t{begin + 1}\t{end}\t.\t{strand}\t.\t"
                                 f'{attrs} exon_number {rank}; exon_id "ENSE{begin:011d}.1";\n')
                exon_lines += len(exons)
                if biotype != "protein_coding" or rng.random() < 0.35:
                    continue
                cds, utr, start_codon, stop_codon = _coding(exons, strand)
                for kind, pieces in (("CDS", cds), ("UTR", utr)):
                    for begin, end in pieces:
                        lines.append(f"{contig}\tHAVANA\t{kind}\t{begin + 1}\t{end}\t.\t{strand}"
                                     f"\t0\t{attrs}\n")
                for kind, codon in (("start_codon", start_codon), ("stop_codon", stop_codon)):
                    if codon is not None:
                        lines.append(f"{contig}\tHAVANA\t{kind}\t{codon[0] + 1}\t{codon[1]}\t.\t"
                                     f"{strand}\t0\t{attrs}\n")
            if len(lines) > 100_000:
                out.writelines(lines)
                lines.clear()
        out.writelines(lines)
    os.replace(partial, path)
    return transcript_number, exon_lines


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--genes", type=int, default=60_000)
    parser.add_argument("--seed", type=int, default=20_240_501)
    args = parser.parse_args(argv)
    transcripts, exons = write(args.out, args.genes, args.seed)
    print(f"wrote {args.out}: {args.genes} genes, {transcripts} transcripts, {exons} exon lines")
    return 0


if __name__ == "__main__":
    sys.exit(main())
