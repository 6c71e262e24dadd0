"""The native annotation reader against the plain-Python model (the reader it replaced), on
generated GTF, GFF3 and SAF files: the same genes, intervals, warnings and errors.

The files stay within what both readers take the same way: GTF attributes written GTF's way,
GFF3's written GFF3's way, no quotes inside values, ASCII text.
"""

import gzip
import warnings

import annotation_model as model
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from dulse.annotation import read_annotation
from dulse.errors import AnnotationError

INT32_MAX = 2**31 - 1

contigs = st.sampled_from(["chr1", "chr2", "3", "chrM"])
coordinates = st.one_of(
    st.integers(1, 500).map(str),
    st.sampled_from(["0", "007", "x", "-3", "1.5", "", str(INT32_MAX), str(INT32_MAX + 1),
                     "99999999999999999999"]))
strands = st.sampled_from("+-.") | st.sampled_from(["?", "*", ""])
types = st.sampled_from(["exon", "exon", "exon", "CDS", "gene", "transcript"])
words = st.text("abcAB01_.", min_size=1, max_size=6)
line_ends = st.sampled_from(["\n", "\n", "\r\n", "\r"])


@st.composite
def interval(draw):
    if draw(st.integers(0, 9)) == 0:
        return draw(coordinates), draw(coordinates)
    start = draw(st.integers(1, 400))
    return str(start), str(start + draw(st.integers(0, 60)))


@st.composite
def gtf_attributes(draw):
    parts = []
    gene = draw(st.one_of(st.none(), st.sampled_from(["G1", "G2", "G 3", "g4", ""])))
    if gene is not None:
        parts.append(draw(st.sampled_from([f'gene_id "{gene}"', f"gene_id {gene}"]))
                     if " " not in gene and gene else f'gene_id "{gene}"')
    for _ in range(draw(st.integers(0, 2))):
        key = draw(st.sampled_from(["transcript_id", "gene_name", "note", "my_gene_id"]))
        value = draw(st.text("ab c;1", max_size=6))
        parts.insert(draw(st.integers(0, len(parts))), f'{key} "{value}"')
    separator = draw(st.sampled_from(["; ", ";", " ; "]))
    return separator.join(parts) + draw(st.sampled_from(["", ";", "; "]))


@st.composite
def gtf_file(draw):
    lines = []
    for _ in range(draw(st.integers(1, 25))):
        kind = draw(st.integers(0, 19))
        if kind == 0:
            lines.append("#" + draw(st.text("ab #", max_size=5)))
        elif kind == 1:
            lines.append(draw(st.sampled_from(["", "  ", "\t"])))
        elif kind == 2:
            lines.append("\t".join(draw(st.lists(words, min_size=1, max_size=8))))
        else:
            start, end = draw(interval())
            lines.append("\t".join([draw(contigs | st.just("")), "src", draw(types), start, end,
                                    ".", draw(strands), ".", draw(gtf_attributes())]))
    return lines


percent_ids = st.sampled_from(["g1", "g2", "t1", "t2", "t%3B1", "e%2C1", "%41x", "caf%C3%A9",
                               "bad%C3", "%zz", "g%"])


@st.composite
def gff3_attributes(draw):
    parts = []
    if draw(st.booleans()):
        parts.append(f"ID={draw(percent_ids)}")
    if draw(st.integers(0, 2)):
        parents = draw(st.lists(percent_ids | st.just("nowhere"), min_size=1, max_size=3))
        parts.append("Parent=" + ",".join(parents) + draw(st.sampled_from(["", ","])))
    for key in ("gene_id", "Name", "transcript_id"):
        if draw(st.integers(0, 3)) == 0:
            parts.append(f"{key}={draw(st.sampled_from(['A', 'B', 'c d', '', 'x%20y']))}")
    if draw(st.integers(0, 30)) == 0:
        parts.append(draw(st.sampled_from(["oops", ".", " ", "ID"])))
    order = draw(st.permutations(parts))
    return ";".join(order) if order else "."


@st.composite
def gff3_file(draw):
    lines = [draw(st.sampled_from(["##gff-version 3", "", "#!x"]))]
    for _ in range(draw(st.integers(1, 25))):
        kind = draw(st.integers(0, 19))
        if kind == 0:
            lines.append(draw(st.sampled_from(["#c", "", "chr1\tsrc\texon\t1"])))
        else:
            start, end = draw(interval())
            kind = draw(st.sampled_from(["exon", "exon", "gene", "mRNA", "CDS"]))
            lines.append("\t".join([draw(contigs), "src", kind, start, end, ".", draw(strands),
                                    ".", draw(gff3_attributes())]))
    if draw(st.integers(0, 9)) == 0:
        lines += ["##FASTA", ">chr1", "ACGT"]
    return lines


@st.composite
def saf_file(draw):
    lines = [draw(st.sampled_from(["GeneID\tChr\tStart\tEnd\tStrand", "geneid\tchr\tstart\tend\t"
                                   "strand\textra", "#comment", ""]))]
    for _ in range(draw(st.integers(1, 25))):
        if draw(st.integers(0, 14)) == 0:
            lines.append(draw(st.sampled_from(["", "A\tchr1\t1\t10", "#x", " "])))
            continue
        start, end = draw(interval())
        gene = draw(st.sampled_from(["A", "B", "C", "", "geneid"]))
        row = [gene, draw(contigs), start, end, draw(strands)]
        lines.append("\t".join(row + draw(st.lists(words, max_size=2))))
    return lines


def write(path, lines, ends, compress):
    data = "".join(line + ends for line in lines).encode()
    path.write_bytes(gzip.compress(data) if compress else data)
    return str(path)


def outcome(reader, path, **options):
    """What a reader makes of a file: its result in plain terms, or its error."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            annotation = reader(path, **options)
        except AnnotationError as error:
            return ("error", str(error), getattr(error, "gene_missing", False))
    return ("read", annotation.file_format, annotation.gene_ids,
            {contig: entry.intervals for contig, entry in annotation.gene_index.items()},
            [(contig, entry.starts, entry.prefix_max_ends)
             for contig, entry in annotation.gene_index.items()],
            [str(w.message) for w in caught])


def agree(path, **options):
    expected = outcome(model.read_annotation, path, **options)
    assert outcome(read_annotation, path, **options) == expected
    return expected


options = st.fixed_dictionaries({
    "missing_gene": st.sampled_from(["error", "skip"]),
    "compress": st.booleans(),
    "ends": line_ends,
})
slow = settings(max_examples=250, deadline=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture,
                                       HealthCheck.too_slow])


@slow
@given(gtf_file(), options, st.sampled_from([None, "GTF", "gtf"]),
       st.sampled_from(["exon", "CDS"]), st.sampled_from(["gene_id", "transcript_id"]))
def test_gtf(tmp_path, lines, chosen, file_format, feature_type, gene_attribute):
    path = write(tmp_path / "genes.gtf", lines, chosen["ends"], chosen["compress"])
    agree(path, file_format=file_format, feature_type=feature_type,
          gene_attribute=gene_attribute, missing_gene=chosen["missing_gene"])


@slow
@given(gff3_file(), options, st.sampled_from([None, "GFF3"]),
       st.sampled_from(["gene_id", "Name", "ID", "transcript_id"]))
def test_gff3(tmp_path, lines, chosen, file_format, gene_attribute):
    path = write(tmp_path / "genes.gff3", lines, chosen["ends"], chosen["compress"])
    agree(path, file_format=file_format, gene_attribute=gene_attribute,
          missing_gene=chosen["missing_gene"])


@slow
@given(saf_file(), options, st.sampled_from([None, "SAF"]))
def test_saf(tmp_path, lines, chosen, file_format):
    path = write(tmp_path / "genes.saf", lines, chosen["ends"], chosen["compress"])
    agree(path, file_format=file_format, missing_gene=chosen["missing_gene"])


@slow
@given(st.one_of(gtf_file(), gff3_file(), saf_file()),
       st.sampled_from(["genes.gtf", "genes.gff3.gz", "genes.saf", "genes.txt", "genes"]))
def test_format_told_from_content_or_name(tmp_path, lines, name):
    path = write(tmp_path / name, lines, "\n", name.endswith(".gz"))
    agree(path, missing_gene="skip")


@pytest.mark.parametrize("name", ["demo.gtf"])
def test_shipped_annotation(name):
    from importlib.resources import files
    path = str(files("dulse") / "data" / name)
    assert agree(path)[0] == "read"
