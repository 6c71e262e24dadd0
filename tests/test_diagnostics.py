"""Warnings about a run's setup, and how counts are written."""

import pytest

from dulse.quantify.diagnostics import naming_hint, wrong_strand
from dulse.quantify.outputs import format_count
from dulse.quantify.results import BamCounts, CountMatrix, Stats


def result(path, assigned, no_feature, ambiguous=0):
    total = assigned + no_feature + ambiguous
    stats = Stats(total, total, 0, 0, 0, no_feature, ambiguous, assigned, float(assigned))
    return BamCounts(path, {}, stats)


def matrix(*results):
    return CountMatrix((), results)


@pytest.mark.parametrize("files, strandedness, other_share, expected, recounted", [
    # The worst file is counted again with the other strand; far more assigned: a warning.
    ([("a", 5, 95), ("b", 80, 20), ("c", 3, 97)], "forward", 0.9,
     "c: 3.0% of the records that reached assignment were assigned as forward-stranded "
     "(-s 1), against 90.0% as reverse-stranded: the library is likely reverse-stranded; "
     "rerun with -s 2 (2 of 3 files have a low assigned share)", ["c"]),
    ([("a", 4, 96)], "reverse", 0.85, "rerun with -s 1", ["a"]),
    # An unstranded library: both strands about the same.
    ([("a", 40, 60)], "forward", 0.42, None, ["a"]),
    # A high share needs no second look; nor does an unstranded run or a nearly empty file.
    ([("a", 70, 30)], "forward", 0.99, None, []),
    ([("a", 1, 99)], "unstranded", 0.99, None, []),
    ([("a", 0, 9)], "forward", 0.99, None, []),
    # Far below, but by too little to matter.
    ([("a", 1, 99)], "forward", 0.05, None, ["a"]),
])
def test_wrong_strand(files, strandedness, other_share, expected, recounted):
    calls = []

    def recount(path, other):
        calls.append(path)
        assert other == {"forward": "reverse", "reverse": "forward"}[strandedness]
        return result(path, round(other_share * 1000), 1000 - round(other_share * 1000))

    message = wrong_strand(matrix(*(result(*f) for f in files)), strandedness, recount)
    assert calls == recounted
    if expected is None:
        assert message is None
    else:
        assert expected in message


@pytest.mark.parametrize("bam, annotation, hint", [
    (["chr1", "chr2", "chrM"], ["1", "2", "MT"], "the BAM names contigs 'chr1' where the "
                                                 "annotation has '1': add the 'chr' prefix"),
    (["1", "2"], ["chr1", "chr2", "chrX"], "the BAM names contigs '1' where the annotation has "
                                           "'chr1': remove the 'chr' prefix"),
    (["NC_000001.11"], ["chr1", "1"], "the BAM's contigs (NC_000001.11) and the annotation's "
                                      "(chr1, 1) have few names in common"),
    ([], ["a", "b", "c", "d"], "the BAM's contigs (none) and the annotation's (a, b, c, ...)"),
    # Most names already agree: no prefix advice.
    (["chr1", "chr2", "1"], ["chr1", "chr2", "chr3"], "have few names in common"),
])
def test_naming_hint(bam, annotation, hint):
    assert hint in naming_hint(bam, annotation)


@pytest.mark.parametrize("value, text", [
    (0.0, "0"), (3.0, "3"), (1e9, "1000000000"), (2.5, "2.5"), (1 / 3, "0.333333"),
    (0.25 + 0.5, "0.75"), (12345.125, "12345.125"),
])
def test_format_count(value, text):
    assert format_count(value) == text
