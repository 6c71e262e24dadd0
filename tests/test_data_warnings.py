"""What counting notices in a file it can count: damaged optional fields and a missing
end-of-file block are counted as the peers count them, and said once per file."""

import warnings

import pytest

import bam_bytes
from dulse import DataWarning, count_bam, count_bams, read_annotation

REFS = (("chr1", 10_000),)


@pytest.fixture
def annotation(tmp_path):
    path = tmp_path / "genes.saf"
    path.write_text("GeneID\tChr\tStart\tEnd\tStrand\nG1\tchr1\t1\t5000\t+\n")
    return read_annotation(path, file_format="SAF")


def records(damaged):
    good = bam_bytes.tag("NH", "C", 1)
    # An unknown type letter before NH: the walk through the fields stops there.
    bad = b"XXq\x01" + good
    return [bam_bytes.record(name=f"r{n}".encode(), pos=100 + n,
                             aux=bad if n < damaged else good) for n in range(10)]


def counted(path, annotation, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = count_bam(path, annotation, **options)
    return result, [str(w.message) for w in caught if issubclass(w.category, DataWarning)]


@pytest.mark.parametrize("damaged", [0, 1, 4])
@pytest.mark.parametrize("threads", [1, 2])
def test_damaged_tags_are_counted_and_said(tmp_path, annotation, damaged, threads):
    path = tmp_path / "tags.bam"
    path.write_bytes(bam_bytes.bam(records(damaged), refs=REFS, block_size=200))
    result, said = counted(str(path), annotation, threads=threads)
    assert result.summary["Assigned"] == 10
    assert [note for note in said if "optional fields" in note] == (
        [f"{path}: {damaged:,} records have damaged optional fields before NH or HI; those "
         f"tags were taken as absent, as htslib reads them (samtools view rejects such "
         f"records)"] if damaged else [])


@pytest.mark.parametrize("eof", [True, False])
def test_a_missing_end_of_file_block_is_said(tmp_path, annotation, eof):
    path = tmp_path / "cut.bam"
    path.write_bytes(bam_bytes.bam(records(0), refs=REFS, eof=eof))
    result, said = counted(str(path), annotation)
    assert result.summary["Assigned"] == 10
    assert any("end-of-file block" in note for note in said) == (not eof)


def test_matrix_warns_for_each_file(tmp_path, annotation):
    paths = []
    for name, eof in (("a.bam", False), ("b.bam", True), ("c.bam", False)):
        paths.append(tmp_path / name)
        paths[-1].write_bytes(bam_bytes.bam(records(0), refs=REFS, eof=eof))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        count_bams(paths, annotation, threads=2)
    said = sorted(str(w.message).split(":")[0] for w in caught
                  if issubclass(w.category, DataWarning))
    assert said == [str(paths[0]), str(paths[2])]
