"""What the outputs say of each gene, against the installed peers: featureCounts' Chr, Start,
End, Strand and Length columns and its --extraAttributes (per gene and, with -f, per feature
row), htseq-count's gene IDs made of several attributes (-i, repeated) and its
--additional-attr."""

import random
import shutil
import subprocess

import pysam
import pytest

from dulse.annotation import read_annotation
from dulse.outputs.featurecounts import feature_columns

FEATURE_COUNTS = shutil.which("featureCounts")
HTSEQ_COUNT = shutil.which("htseq-count")
CONTIGS = ["chrB", "chrA", "chrC", "7"]


@pytest.fixture(scope="module")
def header_only(tmp_path_factory):
    path = tmp_path_factory.mktemp("bam") / "header-only.bam"
    header = {"HD": {"VN": "1.6", "SO": "coordinate"},
              "SQ": [{"SN": name, "LN": 1_000_000} for name in CONTIGS]}
    with pysam.AlignmentFile(str(path), "wb", header=header):
        pass
    return str(path)


def random_rows(seed, genes, spread, types=("exon",)):
    """Feature rows in shuffled order: (contig, start, end, strand, gene, type, name), with
    repeated rows, starts that tie (spread small) and genes on several contigs and strands."""
    rng = random.Random(seed)
    rows = []
    for number in range(genes):
        for _ in range(rng.choice([1, 2, 3, 6, 15])):
            start = rng.randint(1, spread) * 10
            row = (rng.choice(CONTIGS), start, start + rng.randint(0, 80), rng.choice("+-."),
                   f"G{number}", rng.choice(types),
                   rng.choice(["x", "y", "x;y", "", None] if number % 3 else ["n"]))
            rows += [row] * rng.choice([1, 1, 1, 2])
    rng.shuffle(rows)
    return rows


def gtf_text(rows):
    lines = []
    for contig, start, end, strand, gene, kind, name in rows:
        extra = "" if name is None else f' gene_name "{name}";'
        lines.append(f'{contig}\tsrc\t{kind}\t{start}\t{end}\t.\t{strand}\t.\t'
                     f'gene_id "{gene}";{extra}\n')
    return "".join(lines)


def saf_text(rows):
    return "GeneID\tChr\tStart\tEnd\tStrand\n" + "".join(
        f"{gene}\t{contig}\t{start}\t{end}\t{strand}\n"
        for contig, start, end, strand, gene, _, _ in rows)


def feature_counts(annotation, bam, out, *options):
    subprocess.run([FEATURE_COUNTS, "-T", "1", "-a", annotation, "-o", out, *options, bam],
                   check=True, capture_output=True)
    with open(out) as counts:
        return [line.rstrip("\n").split("\t") for line in counts][2:]


CASES = [
    # seed, genes, spread of starts (x10 bases), feature types in the file, -t
    (1, 300, 60, ("exon",), "exon"),             # many tied starts
    (2, 200, 100_000, ("exon",), "exon"),        # distinct starts
    (3, 400, 5, ("exon", "CDS", "gene"), "exon,CDS"),
    (4, 40, 3, ("exon",), "exon"),               # a few long runs of equal starts
]


@pytest.mark.skipif(FEATURE_COUNTS is None, reason="featureCounts is not installed")
@pytest.mark.parametrize("feature_level", [False, True], ids=["genes", "features"])
@pytest.mark.parametrize("seed, genes, spread, kinds, chosen", CASES)
def test_featurecounts_columns_and_extra_attributes(tmp_path, header_only, seed, genes, spread,
                                                    kinds, chosen, feature_level):
    gtf = tmp_path / "genes.gtf"
    gtf.write_text(gtf_text(random_rows(seed, genes, spread, kinds)))
    rows = feature_counts(str(gtf), header_only, str(tmp_path / "fc.txt"), "-t", chosen,
                          "--extraAttributes", "gene_name", *(["-f"] if feature_level else []))
    annotation = read_annotation(gtf, feature_type=chosen.split(","),
                                 extra_attributes=["gene_name"])
    if feature_level:
        ids = [annotation.gene_ids[number] for number in annotation.features.gene.tolist()]
        columns, names = feature_columns(annotation), annotation.feature_attribute("gene_name")
    else:
        ids, columns = annotation.gene_ids, annotation.featurecounts_columns()
        names = annotation.extra_attributes["gene_name"]
    ours = [[gene, *line.split("\t"), name] for gene, line, name in zip(ids, columns, names)]
    assert ours == [row[:7] for row in rows]


@pytest.mark.skipif(FEATURE_COUNTS is None, reason="featureCounts is not installed")
@pytest.mark.parametrize("seed, spread", [(5, 40), (6, 100_000)])
def test_featurecounts_columns_of_saf(tmp_path, header_only, seed, spread):
    saf = tmp_path / "genes.saf"
    saf.write_text(saf_text(random_rows(seed, 300, spread)))
    rows = feature_counts(str(saf), header_only, str(tmp_path / "fc.txt"), "-F", "SAF")
    annotation = read_annotation(saf)
    assert [[gene, *columns.split("\t")] for gene, columns in
            zip(annotation.gene_ids, annotation.featurecounts_columns())] == \
        [row[:6] for row in rows]


def htseq_rows(seed, genes):
    """GTF rows where every exon has gene_id, exon_number and gene_name (htseq-count stops at
    one without an -i attribute); the additional attributes vary within a gene."""
    rng = random.Random(seed)
    lines = []
    for number in range(genes):
        for exon in range(rng.randint(1, 4)):
            start = rng.randint(1, 5000)
            tag = f' tag "{rng.choice(["a", "b"])}";' if rng.random() < 0.6 else ""
            lines.append(f'{rng.choice(CONTIGS)}\tsrc\texon\t{start}\t{start + 50}\t.\t'
                         f'{rng.choice("+-")}\t.\tgene_id "G{number}"; exon_number '
                         f'"{rng.randint(1, 2)}"; gene_name "N{rng.randint(1, 3)}";{tag}\n')
    rng.shuffle(lines)
    return "".join(lines)


def htseq_count(gtf, bam, *options):
    found = subprocess.run([HTSEQ_COUNT, "-s", "no", *options, bam, gtf], check=True,
                           capture_output=True, text=True).stdout
    return [line.split("\t") for line in found.splitlines() if not line.startswith("__")]


@pytest.mark.skipif(HTSEQ_COUNT is None, reason="htseq-count is not installed")
@pytest.mark.parametrize("seed", [1, 2])
def test_htseq_gene_ids_of_several_attributes_and_additional_attributes(tmp_path, header_only,
                                                                       seed):
    gtf = tmp_path / "genes.gtf"
    gtf.write_text(htseq_rows(seed, 150))
    rows = htseq_count(str(gtf), header_only, "-i", "gene_id", "-i", "exon_number",
                       "--additional-attr", "gene_name", "--additional-attr", "tag")
    annotation = read_annotation(gtf, gene_attribute=["gene_id", "exon_number"],
                                 extra_attributes=["gene_name", "tag"])
    extra = annotation.htseq_attributes
    ours = sorted([gene, name, tag, "0"] for gene, name, tag in
                  zip(annotation.gene_ids, extra["gene_name"], extra["tag"]))
    assert ours == rows
