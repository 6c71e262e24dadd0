"""Times read_annotation on a generated GENCODE-like GTF of about 1.5 million lines.

    python scripts/time_annotation.py [--lines N] [--keep PATH]

The file mixes gene, transcript, exon, CDS, UTR and codon lines with long attribute columns, as
a human GENCODE release does; about 40 percent of the lines are exons.
"""

import argparse
import os
import random
import sys
import tempfile
import time


def write_gtf(path, lines_wanted, seed=7):
    rng = random.Random(seed)
    written = 0
    gene_number = 0
    with open(path, "w") as out:
        out.write("##description: generated for timing\n##format: gtf\n")
        while written < lines_wanted:
            gene_number += 1
            contig = f"chr{rng.randint(1, 22)}"
            strand = rng.choice("+-")
            gene_start = rng.randint(1, 200_000_000)
            gene_id = f'ENSG{gene_number:011d}.{rng.randint(1, 20)}'
            base = (f'gene_id "{gene_id}"; gene_type "protein_coding"; '
                    f'gene_name "GENE{gene_number}"; level 2; hgnc_id "HGNC:{gene_number}";')
            exons_per_transcript = rng.randint(2, 12)
            transcripts = rng.randint(1, 6)
            gene_end = gene_start + exons_per_transcript * 2_000
            out.write(f"{contig}\tHAVANA\tgene\t{gene_start}\t{gene_end}\t.\t{strand}\t.\t"
                      f"{base}\n")
            written += 1
            for t in range(transcripts):
                tx = (f'{base[:-1]}; transcript_id "ENST{gene_number:09d}{t:02d}.1"; '
                      f'transcript_type "protein_coding"; transcript_name "GENE{gene_number}-'
                      f'{t:03d}"; tag "basic"; transcript_support_level "1";')
                out.write(f"{contig}\tHAVANA\ttranscript\t{gene_start}\t{gene_end}\t.\t{strand}"
                          f"\t.\t{tx}\n")
                written += 1
                for e in range(exons_per_transcript):
                    start = gene_start + e * 2_000 + rng.randint(0, 300)
                    end = start + rng.randint(50, 1_200)
                    attrs = f'{tx} exon_number {e + 1}; exon_id "ENSE{gene_number:08d}{e:03d}";'
                    out.write(f"{contig}\tHAVANA\texon\t{start}\t{end}\t.\t{strand}\t.\t"
                              f"{attrs}\n")
                    out.write(f"{contig}\tHAVANA\tCDS\t{start}\t{end}\t.\t{strand}\t0\t"
                              f"{attrs}\n")
                    written += 2
                out.write(f"{contig}\tHAVANA\tUTR\t{gene_start}\t{gene_start + 40}\t.\t"
                          f"{strand}\t.\t{tx}\n")
                out.write(f"{contig}\tHAVANA\tstart_codon\t{gene_start + 41}\t"
                          f"{gene_start + 43}\t.\t{strand}\t0\t{tx}\n")
                written += 2
    return written


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=1_500_000)
    parser.add_argument("--keep", help="write the GTF here and keep it")
    args = parser.parse_args(argv)

    from dulse.quantify.annotation import read_annotation

    with tempfile.TemporaryDirectory() as scratch:
        path = args.keep or os.path.join(scratch, "timing.gtf")
        lines = write_gtf(path, args.lines)
        size = os.path.getsize(path) / 2**20
        for attempt in range(3):
            began, cpu = time.perf_counter(), time.process_time()
            annotation = read_annotation(path)
            seconds, cpu = time.perf_counter() - began, time.process_time() - cpu
            print(f"run {attempt + 1}: {lines:,} lines ({size:.0f} MiB): {seconds:.2f} s "
                  f"({cpu:.2f} s CPU), {annotation!r}", file=sys.stdout)


if __name__ == "__main__":
    main()
