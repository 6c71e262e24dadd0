"""The engine's feature index (dulse._engine.FeatureIndex) against a brute-force scan: every
feature overlapping [start, end) of a contig, with the length of the overlap, in the index's
order (by start, then in featureCounts' order of one contig's features, fc_model.feature_order)."""

import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fc_model
from dulse._engine import FeatureIndex

STRANDS = {"+": ord("+"), "-": ord("-"), ".": ord(".")}


def build(contigs, rows, n_genes=None):
    """An index of rows (contig number, start, end, strand, gene); 0-based, end exclusive."""
    columns = list(zip(*rows)) if rows else [(), (), (), (), ()]
    contig, start, end, strand, gene = columns
    if n_genes is None:
        n_genes = max(gene, default=-1) + 1
    return FeatureIndex(list(contigs), numpy.array(contig, numpy.int32),
                        numpy.array(start, numpy.int32), numpy.array(end, numpy.int32),
                        numpy.array([STRANDS[s] for s in strand], numpy.uint8),
                        numpy.array(gene, numpy.int32), n_genes)


def index_order(rows, contig):
    """The rows of the contig's features in the index's order."""
    on_contig = [number for number, row in enumerate(rows) if row[0] == contig]
    return [on_contig[k] for k in fc_model.feature_order([rows[n][1] for n in on_contig])]


def brute_force(rows, ordered, start, end):
    """Of the rows `ordered`, those sharing at least one base with [start, end), as (row, bases
    shared)."""
    return [(number, min(rows[number][2], end) - max(rows[number][1], start))
            for number in ordered if max(rows[number][1], start) < min(rows[number][2], end)]


N_CONTIGS = 3


@st.composite
def feature_rows(draw):
    """Features on three contigs (the last often empty): mostly short, some long enough to span
    most others, many nested or sharing a start; sometimes hundreds on one contig, so that the
    index's tree is deeper than its scanned leaves. Large sets come from a seeded generator."""
    count = draw(st.sampled_from((0, 1, 2, 5, 30, 400)))
    rng = draw(st.randoms(use_true_random=False))
    rows = []
    for _ in range(count):
        contig = rng.choice((0, 0, 0, 1, 1, 2))
        start = rng.randint(0, 3000)
        kind = rng.randint(0, 9)
        length = (rng.randint(2000, 100_000) if kind == 0 else
                  rng.randint(1, 3) if kind == 1 else rng.randint(1, 400))
        if kind == 2 and rows:  # the same start as another feature
            contig, start = rows[-1][0], rows[-1][1]
        rows.append((contig, start, start + length, rng.choice("+-."), rng.randint(0, 9)))
    if rows and draw(st.booleans()):  # features nested in the first one
        contig, start, end, _, _ = rows[0]
        for _ in range(rng.randint(1, 20)):
            inner = rng.randint(start, end - 1)
            rows.append((contig, inner, rng.randint(inner + 1, end), "+", 0))
    return rows


QUERIES = st.tuples(st.integers(-1, N_CONTIGS),
                    st.one_of(st.integers(-5, 3500), st.integers(-5, 105_000)),
                    st.one_of(st.integers(0, 600), st.integers(0, 110_000))).map(lambda q: (q[0], q[1], q[1] + q[2]))


@settings(max_examples=100, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(feature_rows(), st.lists(QUERIES, min_size=1, max_size=40), st.data())
def test_overlaps_match_a_scan(rows, queries, data):
    index = build(["chr1", "chr2", "empty"], rows, n_genes=10)
    assert index.n_features == len(rows)
    # Queries at the edges of features: the base before, the first, the last, the one after.
    for _ in range(min(len(rows), 10)):
        contig, start, end, _, _ = data.draw(st.sampled_from(rows))
        edge = data.draw(st.sampled_from((start - 1, start, end - 1, end)))
        queries.append((contig, edge, edge + data.draw(st.integers(0, 3))))
    orders = {contig: index_order(rows, contig) for contig in {query[0] for query in queries}}
    for contig, start, end in queries:
        ordered = orders[contig]
        assert index.overlaps(contig, start, end) == brute_force(rows, ordered, start, end), (
            contig, start, end)


def test_a_large_index_answers_as_a_scan():
    """120,000 features: arrays of several MiB, far beyond the small cases above."""
    rng = numpy.random.default_rng(7)
    n = 120_000
    contig = rng.integers(0, 2, n, dtype=numpy.int32)
    start = rng.integers(0, 5_000_000, n, dtype=numpy.int32)
    end = start + rng.integers(1, 600, n, dtype=numpy.int32)
    gene = rng.integers(0, 1000, n, dtype=numpy.int32)
    index = FeatureIndex(["a", "b"], contig, start, end, numpy.full(n, ord("+"), numpy.uint8),
                         gene, 1000)
    for c, first in zip(rng.integers(0, 2, 300), rng.integers(0, 5_000_000, 300)):
        last = int(first) + int(rng.integers(1, 2000))
        hit = (contig == c) & (start < last) & (end > first)
        expected = sorted(zip(numpy.flatnonzero(hit).tolist(),
                              (numpy.minimum(end[hit], last) - numpy.maximum(start[hit], first)).tolist()))
        assert sorted(index.overlaps(int(c), int(first), last)) == expected


@pytest.mark.parametrize("length", [8191, 8192, 8193, 60_000])
def test_features_about_the_longest_kept_short(length):
    """A feature of about the length up to which features are walked rather than searched in a
    tree, followed by small ones that it covers: the walk must reach it from any of them."""
    rows = [(0, 1000, 1000 + length, "+", 0)]
    rows += [(0, start, start + 50, "-", 1) for start in range(1000, 1000 + length + 200, 700)]
    rows += [(0, 999, 1000, "+", 1), (0, 1000 + length, 1001 + length, ".", 1)]
    index = build(["a"], rows)
    ordered = index_order(rows, 0)
    for start in (998, 999, 1000, 1500, 1000 + length - 1, 1000 + length, 1000 + length + 100):
        for width in (1, 2, 80):
            assert index.overlaps(0, start, start + width) == brute_force(
                rows, ordered, start, start + width), (start, width)


def test_whole_contig_answers_every_feature_in_order():
    rows = [(0, 50, 60, "+", 1), (0, 10, 20, "-", 0), (0, 10, 15, ".", 2), (0, 0, 100_000, "+", 1),
            (1, 5, 6, "+", 0)]
    index = build(["a", "b"], rows)
    assert index.overlaps(0, 0, 1 << 30) == [(3, 100_000), (1, 10), (2, 5), (0, 10)]
    assert index.overlaps(1, 0, 1 << 30) == [(4, 1)]


@pytest.mark.parametrize("contig, start, end", [
    (-1, 0, 100), (2, 0, 100), (1 << 30, 0, 100),  # contigs outside the index
    (1, 0, 100),                                   # a contig without features
    (0, 30, 30), (0, 40, 30),                      # empty ranges
    (0, 20, 25), (0, 0, 10),                       # between and before the features
])
def test_queries_that_find_nothing(contig, start, end):
    index = build(["a", "b"], [(0, 10, 20, "+", 0), (0, 25, 35, "-", 0)])
    assert index.overlaps(contig, start, end) == []


def test_no_features_at_all():
    index = build(["a"], [], n_genes=0)
    assert index.n_features == 0
    assert index.overlaps(0, 0, 1 << 30) == []


ONE = numpy.array([0], numpy.int32)
TWO = numpy.array([0, 0], numpy.int32)
PLUS = numpy.array([ord("+")], numpy.uint8)
BAD_INDEXES = {
    "contig beyond the names": (["a"], [1], [0], [5], [0], 1),
    "negative contig": (["a"], [-1], [0], [5], [0], 1),
    "gene beyond n_genes": (["a"], [0], [0], [5], [1], 1),
    "negative gene": (["a"], [0], [0], [5], [-1], 1),
    "negative start": (["a"], [0], [-1], [5], [0], 1),
    "empty feature": (["a"], [0], [5], [5], [0], 1),
    "end before start": (["a"], [0], [10], [5], [0], 1),
    "no contig names": ([], [0], [0], [5], [0], 1),
    "start shorter than contig": (["a"], [0, 0], [0], [5, 6], [0, 0], 1),
    "gene shorter than contig": (["a"], [0, 0], [0, 1], [5, 6], [0], 1),
}


@pytest.mark.parametrize("names, contig, start, end, gene, n_genes", BAD_INDEXES.values(),
                         ids=BAD_INDEXES.keys())
def test_bad_features_are_refused(names, contig, start, end, gene, n_genes):
    arrays = [numpy.array(values, numpy.int32) for values in (contig, start, end)]
    strand = numpy.full(len(contig), ord("+"), numpy.uint8)
    with pytest.raises(ValueError):
        FeatureIndex(names, *arrays, strand, numpy.array(gene, numpy.int32), n_genes)


@pytest.mark.parametrize("arrays, error", [
    ((ONE, ONE, numpy.array([5.0]), PLUS, ONE), TypeError),      # floats for ends
    ((ONE, ONE, ONE + 5, PLUS, numpy.array([0], numpy.int64)), TypeError),  # int64 genes
    ((ONE, numpy.zeros((1, 1), numpy.int32), ONE + 5, PLUS, ONE), ValueError),  # 2-D starts
    ((ONE, ONE, ONE + 5, numpy.array([ord("+")] * 2, numpy.uint8), ONE), ValueError),
    ((TWO, ONE, ONE + 5, PLUS, ONE), ValueError),
])
def test_bad_arrays_are_refused(arrays, error):
    with pytest.raises(error):
        FeatureIndex(["a"], *arrays, 1)


def test_negative_gene_count_is_refused():
    empty = numpy.array([], numpy.int32)
    with pytest.raises(ValueError):
        FeatureIndex(["a"], empty, empty, empty, numpy.array([], numpy.uint8), empty, -1)
