"""The annotation reader: GTF, GFF3 and SAF files into the gene list and interval index."""

import gzip
import os
import pickle
import subprocess
import sys
import textwrap
import tracemalloc
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from dulse.quantify.annotation import read_annotation
from dulse.quantify.errors import AnnotationError, AnnotationWarning

INT32_MAX = 2**31 - 1


def gtf(contig, start, end, strand="+", gene="G1", feature="exon", extra=""):
    attributes = f'gene_id "{gene}"; {extra}' if gene is not None else extra
    return f"{contig}\tsrc\t{feature}\t{start}\t{end}\t.\t{strand}\t.\t{attributes}\n"


def gff3(contig, start, end, strand="+", feature="exon", **attributes):
    column = ";".join(f"{key}={value}" for key, value in attributes.items()) or "."
    return f"{contig}\tsrc\t{feature}\t{start}\t{end}\t.\t{strand}\t.\t{column}\n"


@pytest.fixture
def write(tmp_path):
    def make(text, name="genes.gtf", compress=False):
        path = tmp_path / name
        data = text.encode() if isinstance(text, str) else text
        path.write_bytes(gzip.compress(data) if compress else data)
        return str(path)
    return make


def intervals(annotation):
    return {contig: entry.intervals for contig, entry in annotation.gene_index.items()}


def check_invariants(annotation):
    for entry in annotation.gene_index.values():
        assert type(entry.intervals) is tuple
        assert type(entry.starts) is tuple
        assert type(entry.prefix_max_ends) is tuple
        assert all(type(interval) is tuple and len(interval) == 4 for interval in entry.intervals)
        assert list(entry.starts) == sorted(entry.starts)
        assert entry.starts == tuple(interval[0] for interval in entry.intervals)
        running = []
        for _, end, _, _ in entry.intervals:
            running.append(max(end, running[-1]) if running else end)
        assert entry.prefix_max_ends == tuple(running)
        for start, end, gene, strand in entry.intervals:
            assert type(start) is int and type(end) is int and 0 <= start < end <= INT32_MAX
            assert type(gene) is str and gene in annotation.gene_ids
            assert strand in ("+", "-")


# Coordinates and ordering

@pytest.mark.parametrize("start, end, expected", [
    (1, 1, (0, 1)),
    (1, 10, (0, 10)),
    (500, 500, (499, 500)),
    (INT32_MAX, INT32_MAX, (INT32_MAX - 1, INT32_MAX)),
])
def test_gtf_coordinates_become_zero_based_half_open(write, start, end, expected):
    annotation = read_annotation(write(gtf("chr1", start, end)))
    assert intervals(annotation) == {"chr1": (expected + ("G1", "+"),)}


def test_unsorted_overlapping_genes_on_several_contigs(write):
    text = "".join([
        "#!genome-build test\n",
        gtf("chr2", 300, 400, "-", "B"),
        gtf("chr1", 500, 600, "+", "C"),
        gtf("chr1", 100, 200, "+", "A", feature="gene"),
        gtf("chr1", 100, 250, "+", "A"),
        gtf("chr1", 200, 550, "-", "B"),
        gtf("chr2", 10, 20, "+", "A"),
    ])
    annotation = read_annotation(write(text))
    assert annotation.gene_ids == ("B", "C", "A")
    assert list(annotation.gene_index) == ["chr2", "chr1"]
    assert intervals(annotation) == {
        "chr2": ((9, 20, "A", "+"), (299, 400, "B", "-")),
        "chr1": ((99, 250, "A", "+"), (199, 550, "B", "-"), (499, 600, "C", "+")),
    }
    assert annotation.gene_index["chr1"].prefix_max_ends == (250, 550, 600)
    check_invariants(annotation)


@pytest.mark.parametrize("features, expected", [
    # Overlapping and touching intervals of one gene and strand merge.
    ([(100, 200, "+", "A"), (150, 300, "+", "A")], [(99, 300, "A", "+")]),
    ([(100, 200, "+", "A"), (201, 300, "+", "A")], [(99, 300, "A", "+")]),
    ([(100, 200, "+", "A"), (100, 200, "+", "A")], [(99, 200, "A", "+")]),
    ([(100, 400, "+", "A"), (150, 200, "+", "A")], [(99, 400, "A", "+")]),
    # A gap of one base, another gene or another strand keeps them apart.
    ([(100, 200, "+", "A"), (202, 300, "+", "A")], [(99, 200, "A", "+"), (201, 300, "A", "+")]),
    ([(100, 200, "+", "A"), (150, 300, "+", "B")], [(99, 200, "A", "+"), (149, 300, "B", "+")]),
    ([(100, 200, "+", "A"), (150, 300, "-", "A")], [(99, 200, "A", "+"), (149, 300, "A", "-")]),
    # Merging reaches across an interval of another gene in between.
    ([(100, 200, "+", "A"), (120, 130, "+", "B"), (190, 260, "+", "A")],
     [(99, 260, "A", "+"), (119, 130, "B", "+")]),
    # An unstranded feature stands on both strands.
    ([(100, 200, ".", "A")], [(99, 200, "A", "+"), (99, 200, "A", "-")]),
])
def test_merging(write, features, expected):
    text = "".join(gtf("chr1", s, e, strand, gene) for s, e, strand, gene in features)
    annotation = read_annotation(write(text))
    assert sorted(annotation.gene_index["chr1"].intervals) == sorted(expected)
    check_invariants(annotation)


def test_layout_describes_each_gene(write):
    text = "".join([
        gtf("chr1", 100, 200, "+", "A"),
        gtf("chr2", 1, 10, ".", "B"),
        gtf("chr1", 150, 300, "+", "A"),
        gtf("chr1", 1000, 1009, "-", "A"),
    ])
    layouts = read_annotation(write(text)).layout()
    assert [layout.gene_id for layout in layouts] == ["A", "B"]
    a, b = layouts
    assert (a.contigs, a.starts, a.ends, a.strands, a.length) == (
        ("chr1", "chr1"), (100, 1000), (300, 1009), ("+", "-"), 201 + 10)
    assert (b.contigs, b.starts, b.ends, b.strands, b.length) == (("chr2",), (1,), (10,), (".",), 10)
    # Bases shared by intervals on the two strands count once.
    text = gtf("chr1", 100, 199, "+", "A") + gtf("chr1", 150, 249, "-", "A")
    assert read_annotation(write(text)).layout()[0].length == 150


# GTF attributes and choices

@pytest.mark.parametrize("attributes, gene", [
    ('gene_id "G1"; transcript_id "T1";', "G1"),
    ('transcript_id "T1"; gene_id "G1";', "G1"),
    ('transcript_id "T1";gene_id "G 1"', "G 1"),
    ("gene_id G1; transcript_id T1;", "G1"),
    ('my_gene_id "X"; gene_id "G1";', "G1"),
    ('note "a; b"; gene_id "G1";', "G1"),
])
def test_gtf_attribute_forms(write, attributes, gene):
    line = f"chr1\tsrc\texon\t1\t10\t.\t+\t.\t{attributes}\n"
    assert read_annotation(write(line)).gene_ids == (gene,)


def test_feature_type_and_attribute_are_chosen(write):
    text = (gtf("chr1", 1, 100, gene="G1", feature="CDS", extra='gene_name "alpha";') +
            gtf("chr1", 1, 50, gene="G2", extra='gene_name "beta";'))
    annotation = read_annotation(write(text), feature_type="CDS", gene_attribute="gene_name")
    assert annotation.gene_ids == ("alpha",)
    assert intervals(annotation) == {"chr1": ((0, 100, "alpha", "+"),)}


@pytest.mark.parametrize("line, message", [
    ("chr1\tsrc\texon\t1\t10\t.\t+\n", "line 2: expected 9 tab-separated columns, found 7"),
    ("chr1 src exon 1 10 . + . gene_id \"A\";\n", "line 2: expected 9 tab-separated columns"),
    (gtf("chr1", "x", 10), "line 2: start and end must be whole numbers"),
    (gtf("chr1", 1, "1.5"), "line 2: start and end must be whole numbers"),
    (gtf("chr1", 0, 10), "line 2: start must be at least 1"),
    (gtf("chr1", -3, 10), "line 2: start and end must be whole numbers"),
    (gtf("chr1", 10, 9), "line 2: end 9 is before start 10"),
    (gtf("chr1", 1, INT32_MAX + 1), f"line 2: end {INT32_MAX + 1} is beyond"),
    (gtf("chr1", 1, 10, "*"), "line 2: strand must be +, - or ., not '*'"),
    (gtf("", 1, 10), "line 2: the contig name is empty"),
    (gtf("chr1", 1, 10, gene=None, extra='transcript_id "T";'), "line 2: the exon has no gene_id"),
    (gtf("chr1", 1, 10, gene=""), "line 2: the exon has no gene_id"),
])
def test_malformed_gtf_lines_name_file_and_line(write, line, message):
    path = write(gtf("chr1", 1, 10) + line + gtf("chr1", 20, 30))
    with pytest.raises(AnnotationError) as excinfo:
        read_annotation(path, file_format="GTF")
    assert str(excinfo.value).startswith(path)
    assert message in str(excinfo.value)


def test_lines_of_other_types_are_checked_for_columns_only(write):
    text = gtf("chr1", "x", "y", feature="gene") + gtf("chr1", 1, 10)
    assert read_annotation(write(text)).gene_ids == ("G1",)
    with pytest.raises(AnnotationError, match="line 1: expected 9"):
        read_annotation(write("chr1\tgene\n" + gtf("chr1", 1, 10)), file_format="GTF")


def test_missing_gene_skipped_with_one_warning(write):
    text = (gtf("chr1", 1, 10, gene=None, extra='transcript_id "T";') + gtf("chr1", 20, 30) +
            gtf("chr1", 40, 50, gene=None))
    path = write(text)
    with pytest.warns(AnnotationWarning) as record:
        annotation = read_annotation(path, missing_gene="skip")
    assert len(record) == 1
    assert "left out 2 features" in str(record[0].message)
    assert "first at line 1" in str(record[0].message)
    assert intervals(annotation) == {"chr1": ((19, 30, "G1", "+"),)}
    with pytest.raises(AnnotationError, match="line 1"):
        read_annotation(path)


def test_skipping_never_hides_a_malformed_line(write):
    with pytest.raises(AnnotationError, match="line 1: end 1 is before start 5"):
        read_annotation(write(gtf("chr1", 5, 1)), missing_gene="skip")


def test_comments_blank_lines_and_crlf(write):
    text = "#comment\n\n" + gtf("chr1", 1, 10).replace("\n", "\r\n") + "\n#end\n"
    annotation = read_annotation(write(text))
    assert intervals(annotation) == {"chr1": ((0, 10, "G1", "+"),)}


def test_no_matching_feature_lists_the_types_present(write):
    text = gtf("chr1", 1, 10, feature="CDS") + gtf("chr1", 1, 10, feature="gene")
    with pytest.raises(AnnotationError, match=r"no 'exon' features .*: CDS, gene\)"):
        read_annotation(write(text))


def test_gzipped_file_reads_the_same(write):
    text = gtf("chr1", 100, 200, "+", "A") + gtf("chr2", 1, 5, "-", "B")
    plain = read_annotation(write(text))
    packed = read_annotation(write(text, "genes.gtf.gz", compress=True))
    assert packed.gene_ids == plain.gene_ids
    assert packed.gene_index == plain.gene_index


@pytest.mark.parametrize("data, message", [
    ((gtf("chr1", 1, 10) * 3000 + gtf("chr1", 1, 10, gene="caf\xe9")).encode("latin-1"),
     "line 3001: not UTF-8 text"),
    (gzip.compress(gtf("chr1", 1, 10).encode() * 50)[:-12], "cannot read"),
    (b"\x1f\x8b" + b"not gzip at all", "cannot read"),
])
def test_undecodable_files(write, data, message):
    with pytest.raises(AnnotationError, match=message):
        read_annotation(write(data), file_format="GTF")


@pytest.mark.parametrize("make_path, message", [
    (lambda tmp: str(tmp / "absent.gtf"), "absent.gtf: cannot read: No such file"),
    (lambda tmp: str(tmp), "cannot read: Is a directory"),
])
def test_unreadable_paths(tmp_path, make_path, message):
    with pytest.raises(AnnotationError, match=message):
        read_annotation(make_path(tmp_path))


# GFF3

GFF3_GENE = "".join([
    "##gff-version 3\n",
    gff3("chr1", 100, 200, Parent="tx1,tx2"),   # children may come before their parents
    gff3("chr1", 100, 900, feature="gene", ID="gene1", gene_id="ENSG1", Name="Alpha"),
    gff3("chr1", 100, 900, feature="mRNA", ID="tx1", Parent="gene1", transcript_id="T1"),
    gff3("chr1", 100, 900, feature="mRNA", ID="tx2", Parent="gene1", transcript_id="T2"),
    gff3("chr1", 800, 900, Parent="tx2", Name="exon2"),
    gff3("chr1", 850, 950, "-", feature="gene", ID="gene%3B2"),
    gff3("chr1", 850, 950, "-", Parent="gene%3B2", transcript_id="T3"),
    "##FASTA\n>chr1\nACGT\n",
])


@pytest.mark.parametrize("attribute, genes, left_out", [
    ("gene_id", ("ENSG1", "gene;2"), 0),          # on the gene, else the gene's ID
    ("Name", ("Alpha",), 1),                      # on the gene (not the exon's own Name)
    ("ID", ("gene1", "gene;2"), 0),
    ("transcript_id", ("T1", "T2", "T3"), 0),     # on the exon or its parent
])
def test_gff3_parent_chains_name_the_gene(write, attribute, genes, left_out):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        annotation = read_annotation(write(GFF3_GENE, "genes.gff3"), gene_attribute=attribute,
                                     missing_gene="skip")
    assert annotation.gene_ids == genes
    assert [str(w.message).count("left out 1 feature ") for w in caught] == [1] * left_out
    check_invariants(annotation)


def test_gff3_intervals(write):
    annotation = read_annotation(write(GFF3_GENE, "genes.gff3"))
    assert intervals(annotation) == {"chr1": (
        (99, 200, "ENSG1", "+"), (799, 900, "ENSG1", "+"), (849, 950, "gene;2", "-"))}


def test_gff3_feature_with_parents_in_two_genes_is_in_both(write):
    text = "".join([
        gff3("chr1", 1, 100, feature="gene", ID="gA"),
        gff3("chr1", 1, 100, feature="gene", ID="gB"),
        gff3("chr1", 10, 20, Parent="gB,gA,gB"),
    ])
    annotation = read_annotation(write(text, "x.gff3"))
    assert annotation.gene_ids == ("gB", "gA")
    assert intervals(annotation) == {"chr1": ((9, 20, "gB", "+"), (9, 20, "gA", "+"))}


@pytest.mark.parametrize("lines, message", [
    ([gff3("chr1", 1, 10, Parent="nowhere")], "line 1: its Parent 'nowhere' is not defined"),
    ([gff3("chr1", 1, 10, feature="mRNA", ID="t1", Parent="t2"),
      gff3("chr1", 1, 10, feature="mRNA", ID="t2", Parent="t1"),
      gff3("chr1", 1, 10, Parent="t1")], "line 3: the Parent chain through 't.' is a loop"),
    ([gff3("chr1", 1, 10, ID="e1", Parent="e1")], "line 1: the Parent chain through 'e1'"),
    (["chr1\tsrc\texon\t1\t10\t.\t+\t.\tID=e1;oops\n"], "line 1: attribute 'oops' is not key"),
    (["chr1\tsrc\texon\t1\t10\t.\t+\n"], "line 1: expected 9 tab-separated columns"),
    ([gff3("chr1", 1, 10)], "line 1: no gene_id attribute on the exon or its gene"),
])
def test_malformed_gff3(write, lines, message):
    with pytest.raises(AnnotationError, match=message):
        read_annotation(write("".join(lines), "x.gff3"))


def test_gff3_long_chain_and_skipped_orphans(write):
    depth = 5000
    lines = [gff3("chr1", 1, 10, feature="gene", ID="n0")]
    lines += [gff3("chr1", 1, 10, feature="part", ID=f"n{k}", Parent=f"n{k - 1}")
              for k in range(1, depth)]
    lines += [gff3("chr1", 1, 10, Parent=f"n{depth - 1}"), gff3("chr1", 5, 20, Parent="lost")]
    with pytest.warns(AnnotationWarning, match="left out 1 feature "):
        annotation = read_annotation(write("".join(lines), "x.gff3"), missing_gene="skip")
    assert intervals(annotation) == {"chr1": ((0, 10, "n0", "+"),)}


# SAF and format detection

@pytest.mark.parametrize("header", ["", "GeneID\tChr\tStart\tEnd\tStrand\n",
                                    "geneid\tchr\tstart\tend\tstrand\textra\n"])
def test_saf(write, header):
    text = header + "A\tchr1\t1\t10\t+\nB\tchr2\t7\t7\t-\textra\nA\tchr1\t5\t20\t.\n"
    annotation = read_annotation(write(text, "genes.saf"))
    assert annotation.gene_ids == ("A", "B")
    assert intervals(annotation) == {
        "chr1": ((0, 20, "A", "+"), (4, 20, "A", "-")),
        "chr2": ((6, 7, "B", "-"),),
    }


@pytest.mark.parametrize("line, message", [
    ("A\tchr1\t1\t10\n", "line 2: expected 5 tab-separated columns, found 4"),
    ("A\tchr1\tone\t10\t+\n", "line 2: start and end must be whole numbers"),
    ("\tchr1\t1\t10\t+\n", "line 2: the gene ID is empty"),
    ("GeneID\tChr\tStart\tEnd\tStrand\n", "line 2: start and end must be whole numbers"),
])
def test_malformed_saf(write, line, message):
    with pytest.raises(AnnotationError, match=message):
        read_annotation(write("A\tchr1\t1\t10\t+\n" + line, "genes.saf"))


@pytest.mark.parametrize("text, name, expected", [
    (gtf("chr1", 1, 10), "genes.txt", "GTF"),
    (gtf("chr1", 1, 10), "genes.gff3", "GTF"),          # the content wins over the name
    (gff3("chr1", 1, 10, ID="g", gene_id="g"), "genes.gtf", "GFF3"),
    ("##gff-version 3\n" + gff3("chr1", 1, 10, ID="g"), "genes", "GFF3"),
    ("A\tchr1\t1\t10\t+\n", "genes.gtf", "SAF"),
])
def test_format_detection(write, text, name, expected):
    assert read_annotation(write(text, name)).file_format == expected


@pytest.mark.parametrize("name", ["genes.gtf", "genes.GFF3.gz", "genes.saf"])
def test_name_decides_when_content_does_not(write, name):
    path = write("# nothing but comments\n", name, compress=name.endswith(".gz"))
    with pytest.raises(AnnotationError, match="no .*features"):
        read_annotation(path)


def test_undetectable_format_and_bad_arguments(write):
    with pytest.raises(AnnotationError, match="cannot tell whether this is GTF, GFF3 or SAF"):
        read_annotation(write("# empty\n", "genes.txt"))
    path = write(gtf("chr1", 1, 10))
    for kwargs in ({"file_format": "BED"}, {"missing_gene": "ignore"}, {"feature_type": ""}):
        with pytest.raises(ValueError):
            read_annotation(path, **kwargs)


@pytest.mark.parametrize("argument, value, wanted", [
    ("file_format", 3, "a str or None"), ("feature_type", 5, "a str or a sequence of str"),
    ("feature_type", [b"exon"], "a str or a sequence of str"),
    ("gene_attribute", b"gene_id", "a str or a sequence of str"), ("missing_gene", None, "a str"),
])
def test_arguments_of_the_wrong_type(write, argument, value, wanted):
    path = write(gtf("chr1", 1, 10))
    with pytest.raises(TypeError, match=f"^{argument} must be {wanted}, not "
                                        f"{type(value).__name__}$"):
        read_annotation(path, **{argument: value})


# Every index the reader builds keeps the invariants and covers exactly what the file said.

feature = st.tuples(st.sampled_from(["chr1", "chr2", "3"]), st.integers(1, 400),
                    st.integers(0, 60), st.sampled_from("+-."), st.sampled_from("ABCDE"))


@settings(max_examples=150, deadline=None)
@given(st.lists(feature, min_size=1, max_size=40))
def test_index_keeps_invariants_and_coverage(tmp_path_factory, features):
    path = tmp_path_factory.mktemp("prop") / "genes.gtf"
    path.write_text("".join(gtf(c, s, s + n, strand, g) for c, s, n, strand, g in features))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        annotation = read_annotation(str(path))
    check_invariants(annotation)
    assert annotation.gene_ids == tuple(dict.fromkeys(g for *_, g in features))

    expected = set()
    for contig, start, length, strand, gene in features:
        for position in range(start - 1, start + length):
            for s in ("+", "-") if strand == "." else (strand,):
                expected.add((contig, position, gene, s))
    covered = set()
    for contig, entry in annotation.gene_index.items():
        for start, end, gene, strand in entry.intervals:
            covered.update((contig, position, gene, strand) for position in range(start, end))
    assert covered == expected


# Accepted now: both attribute styles in any format, a byte-order mark, track and browser
# lines, quotes escaped inside quoted values.

@pytest.mark.parametrize("text, name, options, genes", [
    ("##gff-version 2\n" + gtf("chr1", 1, 10, gene=None, extra="gene_id=G1; transcript_id=T1"),
     "genes.gtf", {}, ("G1",)),
    (gtf("chr1", 1, 10, gene=None, extra='gene_id = "G1";'), "genes.gtf", {}, ("G1",)),
    ("##gff-version 3\n" + gff3("chr1", 1, 10, feature="gene", ID="g1").replace("ID=g1", 'ID "g1"')
     + gff3("chr1", 1, 5, Parent="g1").replace("Parent=g1", "Parent g1"), "x.gff3", {}, ("g1",)),
    (gff3("chr1", 1, 10, ID="e1", Name='"a;b"'), "x.gff3", {"gene_attribute": "Name"}, ("a;b",)),
    ("\ufeff" + gtf("chr1", 1, 10), "genes.gtf", {}, ("G1",)),
    ("\ufeff##gff-version 3\n" + gff3("chr1", 1, 10, ID="g"), "genes", {}, ("g",)),
    ("\ufeffGeneID\tChr\tStart\tEnd\tStrand\nA\tchr1\t1\t10\t+\n", "x.saf", {}, ("A",)),
    ("track name=genes\nbrowser position chr1:1-100\n" + gtf("chr1", 1, 10) + "track\n",
     "genes.gtf", {}, ("G1",)),
    ("browser hide all\nA\tchr1\t1\t10\t+\n", "genes.txt", {}, ("A",)),
    (gtf("chr1", 1, 10, gene='a\\"b'), "genes.gtf", {}, ('a"b',)),
    (gtf("chr1", 1, 10, gene="a\\\\b"), "genes.gtf", {}, ("a\\b",)),
    (gtf("chr1", 1, 10, gene=None, extra='note "x; gene_id \\"Y\\""; gene_id "G1";'),
     "genes.gtf", {}, ("G1",)),
])
def test_newly_accepted(write, text, name, options, genes):
    assert read_annotation(write(text, name), **options).gene_ids == genes


@pytest.mark.parametrize("data, line", [
    (gtf("chr1", 1, 10) + gtf("chr1", 1, 10, gene="G\x00"), 2),
    (gtf("chr\x01", 1, 10), 1),
    ("#note\x7f\n" + gtf("chr1", 1, 10), 1),
    (gtf("chr1", 1, 10) * 2 + "# page\x0cbreak\n", 3),
    ("A\tchr1\t1\t10\t+\nB\x1b\tchr1\t1\t10\t+\n", 2),
])
@pytest.mark.parametrize("compress", [False, True])
def test_control_characters_are_refused_with_their_line(write, data, line, compress):
    with pytest.raises(AnnotationError, match=rf"line {line}: contains the control character "
                                              rf"0x[0-9a-f]{{2}}$"):
        read_annotation(write(data, "genes.txt", compress=compress))


@pytest.mark.parametrize("text, name", [
    (gtf("chr1", 1, 10) + gtf("chr1", 1, 10, gene="a\tb"), "x.gtf"),
    (gff3("chr1", 1, 10) + gff3("chr1", 1, 10, ID="a%09b"), "x.gff3"),
    (gff3("chr1", 1, 10, ID="a%0Ab"), "x.gff3"),
])
def test_gene_ids_with_control_characters_are_refused(write, text, name):
    with pytest.raises(AnnotationError, match=r"line \d: gene ID 'a\\[tn]b' contains a tab"):
        read_annotation(write(text, name), missing_gene="skip")


# Read once, as a stream. Were a FIFO opened twice, or the interpreter lock held while the
# reader waits for a pipe, these would hang: they run in a child process with a time limit.

def run_isolated(code, *args):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            capture_output=True, text=True, timeout=60, cwd="/")
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.parametrize("compress", [False, True])
@pytest.mark.parametrize("file_format", [None, "GTF"])
def test_fifo_is_read_once(tmp_path, compress, file_format):
    text = "".join(gtf(c, s, s + 9, "+", f"G{s % 7}") for c in ("chr1", "chr2")
                   for s in range(1, 30_000, 7))
    source = tmp_path / "source"
    source.write_bytes(gzip.compress(text.encode()) if compress else text.encode())
    found = run_isolated("""
        import os, sys, threading
        from dulse.annotation import read_annotation
        source, fifo, file_format = sys.argv[1], sys.argv[2], sys.argv[3] or None
        os.mkfifo(fifo)
        def feed():
            with open(source, "rb") as data, open(fifo, "wb") as out:
                out.write(data.read())
        threading.Thread(target=feed, daemon=True).start()
        annotation = read_annotation(fifo, file_format=file_format)
        print(annotation.file_format, len(annotation.gene_ids), len(annotation.features.start))
    """, source, tmp_path / "genes", file_format or "")
    plain = tmp_path / "plain.gtf"
    plain.write_text(text)
    expected = read_annotation(plain)
    assert found.split() == ["GTF", str(len(expected.gene_ids)),
                             str(len(expected.features.start))]


def test_reading_lets_other_threads_run():
    # The writer is a Python thread: it fills the pipe only while the reader waits for data
    # without the interpreter lock.
    found = run_isolated("""
        import os, threading
        from dulse.annotation import read_annotation
        reader_end, writer_end = os.pipe()
        line = b"chr1\\tsrc\\texon\\t1\\t10\\t.\\t+\\t.\\tgene_id \\"G1\\";\\n"
        def write_all():
            with os.fdopen(writer_end, "wb") as out:
                for _ in range(200):
                    out.write(line * 1000)
        threading.Thread(target=write_all, daemon=True).start()
        print(len(read_annotation(f"/dev/fd/{reader_end}").features.start))
    """)
    assert found.strip() == "200000"


@pytest.mark.parametrize("data, expected", [
    # bgzip writes many members; zero bytes may pad the end.
    (gzip.compress(gtf("chr1", 1, 10).encode()) + gzip.compress(gtf("chr2", 5, 9).encode()),
     ("chr1", "chr2")),
    (gzip.compress(gtf("chr1", 1, 10).encode()) + b"\x00" * 1000, ("chr1",)),
    # A line longer than the reader's buffer.
    (gtf("chr1", 1, 10, extra=f'note "{"n" * 3_000_000}";').encode(), ("chr1",)),
])
def test_streams_of_several_shapes(write, data, expected):
    assert read_annotation(write(data, "genes.gtf")).contigs == expected


def test_gzip_followed_by_other_bytes(write):
    data = gzip.compress(gtf("chr1", 1, 10).encode()) + b"trailing text"
    with pytest.raises(AnnotationError, match="cannot read: bad gzip data"):
        read_annotation(write(data))


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_failures_leave_no_descriptor_open(write):
    paths = [write(gtf("chr1", 5, 1), "a.gtf"), write(gzip.compress(b"x" * 100)[:-9], "b.gtf"),
             write(gtf("chr1", 1, 10, gene=None), "c.gtf"), write("# only\n", "d.txt"),
             write(gff3("chr1", 1, 10, Parent="p"), "e.gff3")]
    before = open_descriptors()
    for _ in range(3):
        for path in paths:
            with pytest.raises(AnnotationError):
                read_annotation(path)
    assert open_descriptors() == before


# Selections: several feature types, gene IDs of several attributes, extra attributes

def test_several_feature_types(write):
    text = (gtf("chr1", 1, 10, gene="A") + gtf("chr1", 20, 30, gene="B", feature="CDS") +
            gtf("chr1", 40, 50, gene="C", feature="gene"))
    annotation = read_annotation(write(text), feature_type=["exon", "CDS"])
    assert annotation.gene_ids == ("A", "B")
    with pytest.raises(AnnotationError, match=r"no 'UTR' or 'start_codon' features with a gene "
                                              r"\(feature types in the file: CDS, exon, gene\)"):
        read_annotation(write(text), feature_type=("UTR", "start_codon"))


@pytest.mark.parametrize("text, name, message", [
    (gtf("chr1", 1, 10, extra='exon_number "1";') + gtf("chr1", 20, 30, extra='exon_number "2";'),
     "x.gtf", None),
    (gtf("chr1", 1, 10, extra='exon_number "1";') + gtf("chr1", 20, 30),
     "x.gtf", "line 2: the exon has no exon_number attribute"),
    (gff3("chr1", 1, 100, feature="gene", ID="G1") +
     gff3("chr1", 1, 10, Parent="G1", exon_number="1") +
     gff3("chr1", 20, 30, Parent="G1", exon_number="2"), "x.gff3", None),
    (gff3("chr1", 1, 100, feature="gene", ID="G1") + gff3("chr1", 1, 10, Parent="G1"),
     "x.gff3", "line 2: no exon_number attribute on the exon or its gene"),
])
def test_gene_ids_of_several_attributes(write, text, name, message):
    path = write(text, name)
    options = {"gene_attribute": ["gene_id", "exon_number"]}
    if message is not None:
        with pytest.raises(AnnotationError, match=message):
            read_annotation(path, **options)
        return
    annotation = read_annotation(path, **options)
    assert annotation.gene_ids == ("G1:1", "G1:2")
    assert intervals(annotation) == {"chr1": ((0, 10, "G1:1", "+"), (19, 30, "G1:2", "+"))}


def test_extra_attributes_of_gff3_come_from_the_feature_its_parent_or_gene(write):
    text = "".join([
        gff3("chr1", 1, 100, feature="gene", ID="g1", gene_name="alpha", level="1"),
        gff3("chr1", 1, 100, feature="mRNA", ID="t1", Parent="g1", level="2", biotype="pc"),
        gff3("chr1", 1, 10, Parent="t1", level="3"),
        gff3("chr1", 50, 60, Parent="t1"),
    ])
    annotation = read_annotation(write(text, "x.gff3"),
                                 extra_attributes=["gene_name", "level", "biotype", "none"])
    assert annotation.extra_attributes == {"gene_name": ("alpha",), "level": ("3;2",),
                                           "biotype": ("pc",), "none": ("NA",)}
    assert annotation.htseq_attributes == {"gene_name": ("alpha",), "level": ("2",),
                                           "biotype": ("pc",), "none": ("",)}


def test_saf_has_no_extra_attributes(write):
    with pytest.raises(AnnotationError, match="a SAF file has no attributes"):
        read_annotation(write("A\tchr1\t1\t10\t+\n", "x.saf"), extra_attributes=["gene_name"])


@pytest.mark.parametrize("options, error, argument", [
    ({"path": 5}, TypeError, "path"),
    ({"feature_type": 5}, TypeError, "feature_type"),
    ({"gene_attribute": ["gene_id", 3]}, TypeError, "gene_attribute"),
    ({"extra_attributes": 3}, TypeError, "extra_attributes"),
    ({"file_format": 3}, TypeError, "file_format"),
    ({"missing_gene": None}, TypeError, "missing_gene"),
    ({"feature_type": []}, ValueError, "feature_type"),
    ({"gene_attribute": ("gene_id", "")}, ValueError, "gene_attribute"),
    ({"extra_attributes": [""]}, ValueError, "extra_attributes"),
])
def test_bad_arguments_name_themselves(write, options, error, argument):
    options = {"path": write(gtf("chr1", 1, 10)), **options}
    with pytest.raises(error, match=argument):
        read_annotation(options.pop("path"), **options)


# The annotation itself: arrays, and how it travels

def test_features_are_arrays_in_file_order(write):
    text = (gtf("chr2", 5, 9, "-", "B") + gtf("chr1", 1, 10, ".", "A") +
            gtf("chr2", 1, 3, "?", "A"))
    annotation = read_annotation(write(text))
    assert annotation.contigs == ("chr2", "chr1") and annotation.gene_ids == ("B", "A")
    features = annotation.features
    assert features._fields == ("contig", "start", "end", "strand", "gene")
    assert [array.dtype.name for array in features] == ["int32", "int32", "int32", "uint8",
                                                        "int32"]
    assert [array.tolist() for array in features] == [
        [0, 1, 0], [4, 0, 0], [9, 10, 3], [ord("-"), ord("."), ord(".")], [0, 1, 1]]
    assert annotation.interval_count == 5


@pytest.mark.parametrize("name, text", [
    ("genes.gtf", "".join(gtf(f"chr{n % 3}", n, n + 50, "+-."[n % 3], f"G{n % 997}")
                          for n in range(1, 40_000, 2))),
    ("x.gff3", GFF3_GENE),
])
def test_pickles_to_its_arrays(write, name, text):
    annotation = read_annotation(write(text, name), extra_attributes=["transcript_id"])
    data = pickle.dumps(annotation)
    rows = len(annotation.features.start)
    # 17 bytes a row for the features, 4 for the extra attribute's value: arrays, no objects.
    assert len(data) < 24 * rows + 30 * len(annotation.gene_ids) + 2000
    again = pickle.loads(data)
    assert (again.gene_ids, again.contigs, again.path, again.file_format) == (
        annotation.gene_ids, annotation.contigs, annotation.path, annotation.file_format)
    assert [a.tolist() for a in again.features] == [a.tolist() for a in annotation.features]
    assert again.extra_attributes == annotation.extra_attributes
    assert again.htseq_attributes == annotation.htseq_attributes
    assert (again.feature_attribute("transcript_id").tolist()
            == annotation.feature_attribute("transcript_id").tolist())
    assert again.gene_index == annotation.gene_index
    assert again.featurecounts_columns() == annotation.featurecounts_columns()


def test_reading_makes_no_object_per_feature(write):
    path = write("".join(gtf("chr1", n, n + 9, "+", f"G{n % 100}") for n in range(1, 200_001)))
    tracemalloc.start()
    try:
        annotation = read_annotation(path)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert len(annotation.features.start) == 200_000
    assert peak < 200_000  # bytes: for the names, not the rows
