"""The Python API: Settings, count_bam and count_bams (one by one, on threads, in worker
processes, on a Dask cluster), the results and their pandas frames."""

import pathlib
import pickle
import random
import subprocess
import sys

import numpy
import pytest

import fc_peer
from helpers import write_bam
from dulse import (Annotation, BamError, CountMatrix, FileCounts, Settings, count_bam,
                   count_bams, read_annotation)
from dulse.results import SUMMARY_ROWS
from fc_model import FIRST, MATE_REVERSE, PAIRED, REVERSE, SECOND, SamRecord

# --------------------------------------------------------------------------------------------
# Settings

PAIRED_ONLY = ("count_fragments", "both_ends_mapped", "exclude_chimeric",
               "check_fragment_length")
BOOLEAN = ("paired", "multi_mapping", "fraction", "primary_only", "multi_overlap",
           "ignore_duplicates", "count_secondary", "count_supplementary") + PAIRED_ONLY
WHOLE = ("min_fragment_length", "max_fragment_length", "min_mapq", "max_m_operations",
         "read_shift_size")


@pytest.mark.parametrize("field", BOOLEAN)
@pytest.mark.parametrize("value", [1, 0, "yes", None])
def test_switches_take_only_booleans(field, value):
    with pytest.raises(TypeError, match=field):
        Settings(**{"paired": True, field: value})


@pytest.mark.parametrize("field", WHOLE)
@pytest.mark.parametrize("value", [-1, 2.0, "10", True, None])
def test_numbers_take_only_whole_numbers(field, value):
    with pytest.raises(ValueError, match=field):
        Settings(**{field: value})


@pytest.mark.parametrize("changes", [
    {"min_mapq": 256}, {"max_m_operations": 0}, {"read_shift_type": "Upstream"},
    {"read_shift_type": 0},
    {"paired": True, "min_fragment_length": 601},
    {"paired": True, "min_fragment_length": 100, "max_fragment_length": 99},
])
def test_numbers_out_of_range(changes):
    with pytest.raises(ValueError):
        Settings(**changes)


@pytest.mark.parametrize("field", PAIRED_ONLY)
def test_pair_options_need_paired(field):
    # -P needs -B as well, as featureCounts has it.
    needed = {"both_ends_mapped": True} if field == "check_fragment_length" else {}
    with pytest.raises(ValueError, match=f"{field} needs paired=True"):
        Settings(**{field: True}, **needed)
    assert getattr(Settings(paired=True, **{field: True}, **needed), field) is True


@pytest.mark.parametrize("changes, message", [
    ({"check_fragment_length": True}, "needs both_ends_mapped"),
    ({"count_fragments": True, "long_reads": True}, "long_reads counts reads, not fragments"),
])
def test_options_that_do_not_go_together(changes, message):
    with pytest.raises(ValueError, match=message):
        Settings(paired=True, **changes)


@pytest.mark.parametrize("given, meant", [
    ("unstranded", "unstranded"), ("forward", "forward"), ("reverse", "reverse"),
    (0, "unstranded"), (1, "forward"), (2, "reverse"), ("auto", "auto"),
])
def test_strandedness_by_name_or_number(given, meant):
    assert Settings(strandedness=given).strandedness == meant
    assert Settings(strandedness=given) == Settings(strandedness=meant)


@pytest.mark.parametrize("given", ["stranded", "yes", 3, -1, True, 1.0, "1", None, "Forward"])
def test_strandedness_refused(given):
    with pytest.raises(ValueError, match="strandedness"):
        Settings(strandedness=given)


def test_settings_replace_validates_and_pickles():
    settings = Settings(paired=True, count_fragments=True, strandedness=2, min_mapq=10)
    assert settings.replace(min_mapq=20).min_mapq == 20
    with pytest.raises(ValueError):
        settings.replace(paired=False)
    assert pickle.loads(pickle.dumps(settings)) == settings


# --------------------------------------------------------------------------------------------
# Files to count

GENES = fc_peer.features(("gA", "chr1", 100, 600, "+"), ("gB", "chr1", 500, 900, "-"),
                         ("gC", "chr2", 100, 2000, "+"), ("gD", "chr1", 3000, 3500, "-"))


def library(rng, pairs, reverse_share=0.9):
    """Read pairs on chr1 and chr2, mostly of a reverse-stranded library, NH 1 or 2."""
    records = []
    for number in range(pairs):
        contig = rng.choice(("chr1", "chr2", "chrU"))
        pos1 = rng.randint(1, 4000)
        pos2 = pos1 + rng.randint(0, 300)
        reverse1 = rng.random() < reverse_share
        nh = rng.choice((1, 1, 1, 2))
        tags = (("NH", nh),)
        flag1 = PAIRED | FIRST | (REVERSE if reverse1 else MATE_REVERSE)
        flag2 = PAIRED | SECOND | (MATE_REVERSE if reverse1 else REVERSE)
        records += [SamRecord(f"p{number}", flag1, contig, pos1, rng.choice((5, 60)), "50M",
                              contig, pos2, pos2 + 50 - pos1, tags),
                    SamRecord(f"p{number}", flag2, contig, pos2, rng.choice((5, 60)), "50M",
                              contig, pos1, pos1 - pos2 - 50, tags)]
    return records


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """An annotation and three files (BAM, SAM, BAM) of different sizes, the first the largest
    so that in parallel it finishes last."""
    folder = tmp_path_factory.mktemp("api")
    rng = random.Random(5)
    paths = []
    for number, pairs in enumerate((30_000, 40, 500)):
        sam = fc_peer.write_sam(folder / f"sample{number}.sam", library(rng, pairs), "unsorted",
                                {"chr1": 5000, "chr2": 5000, "chrU": 5000})
        paths.append(str(sam if number == 1 else fc_peer.write_bam(sam, folder /
                                                                   f"sample{number}.bam")))
    annotation = fc_peer.write_saf(folder / "genes.saf", GENES)
    return read_annotation(annotation), paths


@pytest.fixture
def genes(files):
    return files[0]


@pytest.fixture
def paths(files):
    return files[1]


FRAGMENTS = Settings(paired=True, count_fragments=True, strandedness="reverse",
                     multi_mapping=True, fraction=True)


def same(a, b):
    """Two FileCounts from the same file and settings."""
    assert a.path == b.path
    assert a.counts.tolist() == b.counts.tolist()
    assert a.summary == b.summary
    assert a.strandedness == b.strandedness
    assert a.strand_check.by_rule == b.strand_check.by_rule
    assert a.records == b.records


def test_options_override_settings(genes, paths):
    assert count_bam(paths[1], genes, FRAGMENTS, min_mapq=10).summary == count_bam(
        paths[1], genes, FRAGMENTS.replace(min_mapq=10)).summary
    by_keywords = count_bam(paths[1], genes, paired=True, count_fragments=True,
                            strandedness=2, multi_mapping=True, fraction=True)
    same(by_keywords, count_bam(paths[1], genes, FRAGMENTS))
    assert count_bam(paths[1], genes, FRAGMENTS, min_mapq=10).summary != (
        count_bam(paths[1], genes, FRAGMENTS).summary)


def test_annotation_given_as_a_path(genes, paths):
    same(count_bam(paths[2], genes.path, FRAGMENTS), count_bam(paths[2], genes, FRAGMENTS))
    matrix = count_bams(paths[1:], genes.path, FRAGMENTS)
    assert matrix.gene_ids == genes.gene_ids == ("gA", "gB", "gC", "gD")


@pytest.mark.parametrize("call, error", [
    (lambda genes, paths: count_bam(paths[0], genes, {"paired": True}), TypeError),
    (lambda genes, paths: count_bam(paths[0], genes.gene_index), TypeError),
    (lambda genes, paths: count_bam(open, genes), TypeError),
    (lambda genes, paths: count_bam(paths[0], genes, bogus=True), TypeError),
    (lambda genes, paths: count_bams([], genes), ValueError),
    (lambda genes, paths: count_bams([paths[0], paths[1], paths[0]], genes), ValueError),
    (lambda genes, paths: count_bams(paths, genes, jobs=0), ValueError),
    (lambda genes, paths: count_bams(paths, genes, threads=2.0), ValueError),
    (lambda genes, paths: count_bams(paths, genes, jobs=2, threads=2), ValueError),
    (lambda genes, paths: count_bams(paths, genes, [FRAGMENTS] * 2), ValueError),
], ids=["settings as a dict", "gene index as annotation", "a function as path",
        "unknown option", "no files", "a file twice", "jobs=0", "threads=2.0",
        "jobs and threads", "too few settings"])
def test_bad_requests(genes, paths, call, error):
    with pytest.raises(error):
        call(genes, paths)


@pytest.fixture(scope="module")
def dask_executor():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client.get_executor()


RUNNERS = ["one by one", "threads=2", "jobs=2", "dask"]


def runner(name, request):
    if name == "dask":
        return {"executor": request.getfixturevalue("dask_executor")}
    if name == "one by one":
        return {}
    key, value = name.split("=")
    return {key: int(value)}


@pytest.mark.parametrize("name", RUNNERS)
def test_matrix_equals_files_counted_one_by_one(genes, paths, request, name):
    calls = []
    matrix = count_bams(paths, genes, FRAGMENTS, progress=lambda n, r: calls.append((n, r)),
                        **runner(name, request))
    singles = [count_bam(path, genes, FRAGMENTS) for path in paths]
    assert isinstance(matrix, CountMatrix)
    assert matrix.samples == tuple(paths)
    assert matrix.counts.shape == (4, 3)
    for column, single in enumerate(singles):
        same(matrix.files[column], single)
        assert matrix.counts[:, column].tolist() == single.counts.tolist()
        assert matrix.summaries[single.path] == single.summary
        assert matrix.column(single.path) == dict(zip(genes.gene_ids, single.counts.tolist()))
    assert sorted(number for number, _ in calls) == [0, 1, 2]
    for number, result in calls:
        same(result, singles[number])


@pytest.mark.parametrize("name", RUNNERS)
def test_one_settings_per_file(genes, paths, request, name):
    per_file = [FRAGMENTS, FRAGMENTS.replace(strandedness="forward"),
                FRAGMENTS.replace(count_fragments=False, fraction=False)]
    matrix = count_bams(paths, genes, per_file, **runner(name, request))
    for result, path, settings in zip(matrix.files, paths, per_file):
        same(result, count_bam(path, genes, settings))
    assert matrix.files[1].strandedness == "forward"


@pytest.mark.parametrize("name", RUNNERS)
def test_a_failing_file_stops_the_matrix(genes, paths, tmp_path, request, name):
    broken = tmp_path / "broken.bam"
    broken.write_bytes(open(paths[0], "rb").read()[:5000])
    with pytest.raises(BamError) as failed:
        count_bams([paths[1], str(broken), paths[2]], genes, FRAGMENTS, **runner(name, request))
    assert str(failed.value).startswith(f"{broken}: ")
    assert failed.value.kind == "unreadable"


def test_a_single_path_is_one_file(genes, paths):
    matrix = count_bams(paths[2], genes, FRAGMENTS)
    assert matrix.samples == (paths[2],)
    same(matrix.files[0], count_bam(paths[2], genes, FRAGMENTS))


@pytest.mark.parametrize("content, kind", [
    (b"plain text, not alignments\n", "unusable"),
    (b"\x1f\x8b\x08\x04" + bytes(30), "unusable"),
    (b"BAM\x01" + bytes(8), "unusable"),
], ids=["text", "damaged gzip", "raw BAM"])
def test_unusable_file_is_a_bam_error_naming_it(tmp_path, genes, content, kind):
    path = tmp_path / "input.bam"
    path.write_bytes(content)
    with pytest.raises(BamError) as refused:
        count_bam(path, genes)
    assert str(refused.value).startswith(f"{path}: ")
    assert refused.value.kind == kind


def test_missing_file_and_folder(tmp_path, genes):
    with pytest.raises(BamError, match=f"^{tmp_path}/absent.bam: No such file"):
        count_bam(tmp_path / "absent.bam", genes)
    with pytest.raises(BamError, match=f"^{tmp_path}: "):
        count_bam(tmp_path, genes)


def test_empty_file_is_refused(tmp_path, genes):
    path = tmp_path / "empty.bam"
    path.write_bytes(b"")
    with pytest.raises(BamError, match=f"^{path}: an empty file"):
        count_bam(path, genes)


# --------------------------------------------------------------------------------------------
# Results


def test_results_survive_pickling(genes, paths):
    matrix = count_bams(paths[1:], genes, FRAGMENTS)
    copy = pickle.loads(pickle.dumps(matrix))
    assert copy.samples == matrix.samples and copy.gene_ids == matrix.gene_ids
    for restored, result in zip(copy.files, matrix.files):
        assert isinstance(restored, FileCounts)
        same(restored, result)
        assert restored.details == result.details
        assert restored.pending_peak == result.pending_peak
    error = pickle.loads(pickle.dumps(BamError("x.bam: bad", kind="out-of-order")))
    assert (str(error), error.kind) == ("x.bam: bad", "out-of-order")
    restored = pickle.loads(pickle.dumps(genes))
    assert isinstance(restored, Annotation) and restored.gene_index == genes.gene_index


def test_summary_adds_up(genes, paths):
    for result in count_bams(paths, genes, FRAGMENTS).files:
        assert tuple(result.summary) == SUMMARY_ROWS
        pairs = result.records // 2
        assert result.total == pairs  # every fragment in one row
        assert result.assigned == result.summary["Assigned"]


def test_pandas_frames(genes, paths):
    pandas = pytest.importorskip("pandas")
    matrix = count_bams(paths, genes, FRAGMENTS)
    frame = matrix.to_pandas()
    assert isinstance(frame, pandas.DataFrame)
    assert list(frame.index) == list(genes.gene_ids)
    assert list(frame.columns) == paths
    assert numpy.array_equal(frame.to_numpy(), matrix.counts)
    summary = matrix.summary_to_pandas()
    assert list(summary.index) == list(SUMMARY_ROWS)
    assert list(summary.columns) == paths
    for path in paths:
        assert summary[path].tolist() == [matrix.summaries[path][row] for row in SUMMARY_ROWS]


def test_package_works_without_pandas(genes, paths, tmp_path):
    code = (
        "import sys\n"
        "sys.modules['pandas'] = None\n"
        "import dulse, dulse.cli\n"
        f"m = dulse.count_bams([{paths[1]!r}], {genes.path!r}, dulse.Settings(paired=True))\n"
        "print(m.counts.tolist())\n"
        "try:\n"
        "    m.to_pandas()\n"
        "except ImportError as error:\n"
        "    print('ImportError:', error)\n"
    )
    # Run from elsewhere than the repository, whose sources lack the built module.
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    expected = count_bams([paths[1]], genes, Settings(paired=True)).counts.tolist()
    assert lines[0] == str(expected)
    assert lines[1] == "ImportError: this needs pandas: pip install pandas"


def test_pandas_is_not_imported_eagerly(tmp_path):
    done = subprocess.run([sys.executable, "-c", "import sys, dulse, dulse.cli; "
                           "print('pandas' in sys.modules, 'distributed' in sys.modules)"],
                          capture_output=True, text=True, cwd=tmp_path)
    assert done.stdout.split() == ["False", "False"], done.stderr


class _ScatteringExecutor:
    """An executor with a cluster client behind it, as a Dask client's get_executor() has: what
    is scattered once stands for itself in the tasks."""

    def __init__(self):
        from concurrent.futures import ThreadPoolExecutor

        self.pool = ThreadPoolExecutor(2)
        self.scattered = []
        executor = self

        class Client:
            def scatter(self, data, broadcast=False):
                executor.scattered.append((data, broadcast))
                return ("scattered", len(executor.scattered) - 1)

        self._client = Client()

    def submit(self, function, path, annotation, *rest):
        if isinstance(annotation, tuple) and annotation[0] == "scattered":
            annotation = self.scattered[annotation[1]][0]
        return self.pool.submit(function, path, annotation, *rest)


def test_the_annotation_is_scattered_once_to_a_cluster(genes, paths):
    executor = _ScatteringExecutor()
    matrix = count_bams(paths, genes, FRAGMENTS, executor=executor)
    assert executor.scattered == [(genes, True)]
    assert [f.summary for f in matrix.files] == [
        count_bam(path, genes, FRAGMENTS).summary for path in paths]
