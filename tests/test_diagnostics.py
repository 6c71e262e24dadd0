"""The warning for contig names that the alignment files and the annotation spell differently
(chr1 against 1): given when most reads that reached the features lie on contigs the annotation
lacks, naming the fix."""

import pytest

import fc_peer
from dulse import Settings, count_bams, read_annotation
from dulse.cli import main
from dulse.diagnostics import contig_mismatch, naming_hint
from fc_model import SamRecord
from libraries import mapped_pair


def reads(contig, count, start=100):
    return [SamRecord(f"{contig}.{n}", 0, contig, start + n, 60, "50M") for n in range(count)]


def sam(path, records, contigs):
    return str(fc_peer.write_sam(path, records, lengths=dict.fromkeys(contigs, 100_000)))


def saf(path, contigs):
    rows = [(f"G{n}", contig, 50, 900, "+") for n, contig in enumerate(contigs)]
    return str(fc_peer.write_saf(path, fc_peer.features(*rows)))


CASES = {
    # annotation contigs, alignment contigs, the fix named
    "annotation without chr": (["1", "2", "MT"], ["chr1", "chr2", "chrM"],
                               "the BAM names contigs 'chr1' where the annotation has '1': add "
                               "the 'chr' prefix to the annotation's contig names"),
    "alignments without chr": (["chr1", "chr2", "chrX"], ["1", "2", "X"],
                               "the BAM names contigs '1' where the annotation has 'chr1': "
                               "remove the 'chr' prefix from the annotation's contig names"),
    "unrelated names": (["scaffold_1", "scaffold_2"], ["NC_000001.11", "NC_000002.12"],
                        "the BAM's contigs (NC_000001.11, NC_000002.12) and the annotation's "
                        "(scaffold_1, scaffold_2) have few names in common"),
}


@pytest.mark.parametrize("ours, theirs, fix", CASES.values(), ids=CASES.keys())
@pytest.mark.parametrize("layout", [[], ["-p", "--countReadPairs"]], ids=["reads", "pairs"])
def test_contig_names_warning_names_the_fix(tmp_path, capsys, monkeypatch, ours, theirs, fix,
                                            layout):
    monkeypatch.chdir(tmp_path)
    if layout:
        records = [record for contig, count in ((theirs[0], 30), (theirs[1], 10))
                   for n in range(count)
                   for record in mapped_pair(f"{contig}.{n}", 100 + n, 300 + n, contig)]
    else:
        records = reads(theirs[0], 30) + reads(theirs[1], 10)
    path = sam(tmp_path / "reads.sam", records, theirs)
    status = main(["count", *layout, "-a", saf(tmp_path / "genes.saf", ours), "-o", "c.txt",
                   path])
    err = capsys.readouterr().err
    assert status == 0, err
    warnings = [line for line in err.splitlines() if line.startswith("dulse: warning:")]
    assert len(warnings) == 1
    assert ("the file has most mapped reads on contigs the annotation lacks "
            f"({path}: 100%)") in warnings[0]
    assert fix in warnings[0]


@pytest.mark.parametrize("annotated, elsewhere, warned", [
    (30, 0, False),    # every read on an annotated contig
    (30, 20, False),   # a minority elsewhere (chrM, decoys): no warning
    (20, 21, True),    # most elsewhere
])
def test_warned_only_when_most_reads_miss(tmp_path, annotated, elsewhere, warned):
    genes = read_annotation(saf(tmp_path / "genes.saf", ["chr1"]))
    path = sam(tmp_path / "reads.sam", reads("chr1", annotated) + reads("chrM", elsewhere),
               ["chr1", "chrM"])
    message = contig_mismatch(count_bams(path, genes, Settings()), genes)
    assert (message is not None) == warned
    if warned:
        assert f"({path}: {elsewhere / (annotated + elsewhere):.0%})" in message
        assert "have few names in common" in message


def test_several_files_worst_named(tmp_path):
    genes = read_annotation(saf(tmp_path / "genes.saf", ["1", "2"]))
    paths = [sam(tmp_path / "good.sam", reads("1", 20), ["1", "2"]),
             sam(tmp_path / "half.sam", reads("1", 10) + reads("chr2", 30), ["1", "chr2"]),
             sam(tmp_path / "bad.sam", reads("chr1", 10) + reads("chr2", 30), ["chr1", "chr2"])]
    message = contig_mismatch(count_bams(paths, genes, Settings()), genes)
    assert message.startswith("2 of 3 files have most mapped reads on contigs the annotation "
                              f"lacks ({paths[2]}: 100%); ")
    assert "add the 'chr' prefix to the annotation's contig names" in message


@pytest.mark.parametrize("bam, annotation, hint", [
    (["chr1", "chr2", "chrM"], ["1", "2", "MT"], "add the 'chr' prefix"),
    (["1", "2"], ["chr1", "chr2", "chrX"], "remove the 'chr' prefix"),
    (["chr1", "chr2", "1"], ["chr1", "chr2", "chr3"], "have few names in common"),
    ([], ["a", "b", "c", "d"], "the BAM's contigs (none) and the annotation's (a, b, c, ...)"),
])
def test_naming_hint(bam, annotation, hint):
    """Most names agreeing already (the third case) is no prefix problem."""
    assert hint in naming_hint(bam, annotation)
