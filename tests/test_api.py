"""The Python API: counting one BAM by named options, and many into a matrix, in parallel."""

import pathlib
import pickle
import subprocess
import sys

import pytest

from dulse import workers
from dulse.quantify import (Annotation, BamError, Settings, Stats, count_bam, count_bams,
                            read_annotation)

GTF = "".join(
    f"{contig}\tsrc\texon\t{start}\t{end}\t.\t{strand}\t.\tgene_id \"{gene}\";\n"
    for contig, start, end, strand, gene in [
        ("chr1", 101, 200, "+", "G1"),
        ("chr1", 151, 300, "-", "G2"),
        ("chr1", 401, 500, "+", "G1"),
        ("chr2", 1001, 2000, "+", "G3"),
    ])

# chr1 is tid 0, chr2 tid 1, chrM (not annotated) tid 2; flag 16 = reverse.
RECORDS = [
    {"pos": 110, "cigar": "20M"},                        # G1 only
    {"pos": 410, "cigar": "20M", "flag": 16},            # G1, reverse read
    {"pos": 250, "cigar": "20M"},                        # G2 only
    {"pos": 160, "cigar": "20M"},                        # G1 and G2
    {"pos": 420, "cigar": "20M", "tags": [("NH", 2)]},   # G1, two places
    {"pos": 430, "cigar": "20M", "mapq": 5},             # G1, low quality
    {"tid": 1, "pos": 1500, "cigar": "20M", "tags": [("NH", 4)]},  # G3, four places
    {"tid": 1, "pos": 1600, "cigar": "20M", "tags": [("NH", 0)]},  # G3, NH 0
    {"tid": 2, "pos": 100, "cigar": "20M"},              # contig not annotated
    {"flag": 4, "tid": -1, "pos": -1, "cigar": None, "length": 20},  # unmapped
    {"flag": 256, "pos": 110, "cigar": "20M"},           # secondary
]


@pytest.fixture
def annotation(tmp_path):
    path = tmp_path / "genes.gtf"
    path.write_text(GTF)
    return read_annotation(str(path))


@pytest.mark.parametrize("options, counts, stats", [
    ({}, (3, 1, 1), (11, 9, 0, 2, 1, 0, 1, 5, 5.0)),
    ({"strandedness": "forward"}, (3, 0, 1), (11, 9, 0, 2, 1, 2, 0, 4, 4.0)),
    ({"strandedness": 1}, (3, 0, 1), (11, 9, 0, 2, 1, 2, 0, 4, 4.0)),
    ({"strandedness": "reverse"}, (1, 2, 0), (11, 9, 0, 2, 1, 3, 0, 3, 3.0)),
    ({"strandedness": 2}, (1, 2, 0), (11, 9, 0, 2, 1, 3, 0, 3, 3.0)),
    ({"min_mapq": 10}, (2, 1, 1), (11, 9, 1, 2, 1, 0, 1, 4, 4.0)),
    ({"multimapping": "unique-only"}, (3, 1, 0), (11, 9, 0, 3, 1, 0, 1, 4, 4.0)),
    ({"multimapping": "fraction"}, (3.5, 1, 1.25), (11, 9, 0, 0, 1, 0, 1, 7, 5.75)),
    ({"multimapping": "all"}, (4, 1, 2), (11, 9, 0, 0, 1, 0, 1, 7, 7.0)),
    ({"use_nh": False}, (4, 1, 2), (11, 9, 0, 0, 1, 0, 1, 7, 7.0)),
])
def test_named_options(bam, annotation, options, counts, stats):
    result = count_bam(bam(RECORDS), annotation, **options)
    assert result.counts == dict(zip(("G1", "G2", "G3"), counts))
    assert list(result.counts) == ["G1", "G2", "G3"]
    assert result.stats == stats
    assert isinstance(result.stats, Stats)
    assert result.stats.unmapped_secondary_supplementary == 2
    assert result.stats.assigned_weight == sum(result.counts.values())


def test_annotation_given_as_a_path(bam, tmp_path):
    path = tmp_path / "genes.gtf"
    path.write_text(GTF)
    assert count_bam(bam(RECORDS), path).counts == {"G1": 3.0, "G2": 1.0, "G3": 1.0}


@pytest.mark.parametrize("options", [
    {"strandedness": "stranded"}, {"strandedness": 3}, {"strandedness": True},
    {"min_mapq": -1}, {"min_mapq": 256}, {"min_mapq": 2.5}, {"min_mapq": True},
    {"multimapping": "none"}, {"multimapping": 2}, {"use_nh": 1},
])
def test_bad_options_are_refused(bam, annotation, options):
    path = bam(RECORDS)
    with pytest.raises(ValueError):
        count_bam(path, annotation, **options)
    with pytest.raises(ValueError):
        count_bams([path], annotation, **options)


@pytest.mark.parametrize("content", [None, b"", b"plain text, not a BAM file\n"])
def test_unusable_bam_is_a_bam_error_naming_the_file(tmp_path, annotation, content):
    path = tmp_path / "broken.bam"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(BamError) as excinfo:
        count_bam(path, annotation)
    named, _, reason = str(excinfo.value).partition(": ")
    assert named == str(path) and reason


def test_truncated_bam_is_a_bam_error(bam, annotation, tmp_path):
    data = open(bam([{"pos": 100 + k} for k in range(5000)]), "rb").read()
    path = tmp_path / "cut.bam"
    path.write_bytes(data[:len(data) // 2])
    with pytest.raises(BamError, match="cut.bam"):
        count_bam(path, annotation)


# Many files

@pytest.fixture(scope="module")
def dask_executor():
    distributed = pytest.importorskip("distributed")
    # Worker processes, so that the annotation and the results cross a process boundary.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client.get_executor()


def three_bams(bam):
    # The first file is the largest, so that in parallel it finishes last.
    return [
        bam([{"pos": 100 + k % 400, "cigar": "30M", "flag": 16 * (k % 2)}
             for k in range(30_000)]),
        bam(RECORDS),
        bam([{"tid": 1, "pos": 1000 + k, "tags": [("NH", 1 + k % 3)]} for k in range(50)]),
    ]


@pytest.mark.parametrize("runner", ["jobs=1", "jobs=2", "jobs=8", "dask"])
@pytest.mark.parametrize("options", [{}, {"strandedness": "reverse", "multimapping": "fraction"}])
def test_matrix_equals_single_files(bam, annotation, request, runner, options):
    paths = three_bams(bam)
    if runner == "dask":
        parallel = {"executor": request.getfixturevalue("dask_executor")}
    else:
        parallel = {"jobs": int(runner.split("=")[1])}
    calls = []
    matrix = count_bams(paths, annotation, progress=lambda n, r: calls.append((n, r.path)),
                        **parallel, **options)
    singles = [count_bam(path, annotation, **options) for path in paths]
    assert matrix.samples == tuple(paths)
    assert matrix.gene_ids == ("G1", "G2", "G3")
    for single, result in zip(singles, matrix.results):
        assert result.counts == single.counts
        assert result.stats == single.stats
    assert list(matrix.rows()) == [
        (gene, tuple(single.counts[gene] for single in singles)) for gene in ("G1", "G2", "G3")]
    assert sorted(calls) == list(enumerate(paths))


@pytest.mark.parametrize("runner", ["jobs=1", "jobs=2", "dask"])
def test_a_failing_file_stops_the_matrix(bam, annotation, tmp_path, request, runner):
    broken = tmp_path / "broken.bam"
    broken.write_text("not a BAM\n")
    paths = [bam(RECORDS), str(broken), bam(RECORDS)]
    if runner == "dask":
        parallel = {"executor": request.getfixturevalue("dask_executor")}
    else:
        parallel = {"jobs": int(runner.split("=")[1])}
    with pytest.raises(BamError, match=f"^{broken}: "):
        count_bams(paths, annotation, **parallel)


@pytest.mark.parametrize("bams, kwargs, error", [
    ([], {}, ValueError),
    (["a.bam", "b.bam", "a.bam"], {}, ValueError),
    (["a.bam"], {"jobs": 0}, ValueError),
    (["a.bam"], {"jobs": 2.0}, ValueError),
    (["a.bam"], {"jobs": 1025}, ValueError),
    (["a.bam"], {"jobs": 2, "executor": object()}, ValueError),
])
def test_bad_matrix_requests(annotation, bams, kwargs, error):
    with pytest.raises(error):
        count_bams(bams, annotation, **kwargs)


@pytest.mark.parametrize("as_given", [str, pathlib.Path])
def test_a_single_path_is_one_file(bam, annotation, as_given):
    path = bam(RECORDS)
    matrix = count_bams(as_given(path), annotation)
    assert matrix.samples == (path,)
    assert matrix.results[0].counts == count_bam(path, annotation).counts


@pytest.mark.parametrize("cpus", [1, 2])
def test_workers_are_no_more_than_the_cpus(bam, annotation, monkeypatch, cpus):
    started = []
    real_run = workers.run
    monkeypatch.setattr(workers, "usable_cpus", lambda: cpus)
    monkeypatch.setattr(workers, "run", lambda *args: started.append(args[3]) or real_run(*args))
    paths = [bam(RECORDS), bam(RECORDS[:4]), bam(RECORDS[4:])]
    matrix = count_bams(paths, annotation, jobs=8)
    assert started == ([] if cpus == 1 else [cpus])  # one CPU: counted here
    assert [result.counts for result in matrix.results] == [
        count_bam(path, annotation).counts for path in paths]


def test_results_and_settings_survive_pickling(bam, annotation):
    result = count_bam(bam(RECORDS), annotation, multimapping="fraction")
    copy = pickle.loads(pickle.dumps(result))
    assert (copy.path, copy.counts, copy.stats) == (result.path, result.counts, result.stats)
    settings = Settings("reverse", 10, "all", False)
    assert pickle.loads(pickle.dumps(settings)) == settings
    assert settings.replace(strandedness=1) == Settings("forward", 10, "all", False)
    restored = pickle.loads(pickle.dumps(annotation))
    assert isinstance(restored, Annotation) and restored.gene_index == annotation.gene_index


# pandas, when it is there and when it is not

def test_pandas_frames(bam, annotation):
    pandas = pytest.importorskip("pandas")
    paths = [bam(RECORDS), bam(RECORDS[:3])]
    matrix = count_bams(paths, annotation)
    frame = matrix.to_pandas()
    assert list(frame.index) == ["G1", "G2", "G3"]
    assert list(frame.columns) == paths
    assert frame.loc["G1", paths[0]] == 3.0 and frame.loc["G2", paths[1]] == 1.0
    stats = matrix.stats_to_pandas()
    assert list(stats.index) == list(Stats._fields)
    assert stats[paths[1]].tolist() == list(matrix.stats[paths[1]])
    assert isinstance(frame, pandas.DataFrame)


def test_package_works_without_pandas(bam, annotation, tmp_path):
    code = (
        "import sys\n"
        "import dulse.cli, dulse.quantify as q\n"
        "assert 'pandas' not in sys.modules, 'pandas imported eagerly'\n"
        "sys.modules['pandas'] = None\n"
        f"m = q.count_bams([{bam(RECORDS)!r}], q.read_annotation({annotation.path!r}))\n"
        "print(list(m.rows()))\n"
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
    assert lines[0] == "[('G1', (3.0,)), ('G2', (1.0,)), ('G3', (1.0,))]"
    assert lines[1].startswith("ImportError: pandas output needs pandas")
