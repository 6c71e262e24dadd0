"""dulse htseq-count beyond what htseq-count 1.99.2 can check: the 2.x rule for pairs without an
aligned read 1, the same table on any number of threads, --nonunique random, how a paired file
is told, the outputs by extension, and refusals with one line."""

import os
import shutil
import subprocess
import sys
import tempfile

import numpy
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import fc_peer
import htseq_peer
import sam_strategies as S
from fc_model import SamRecord
from test_threads import uncompressed_bam, written
from dulse import HtseqSettings, count_bam, count_bams, read_htseq_annotation
from dulse.errors import BamError

EXAMPLES = int(os.environ.get("THREAD_EXAMPLES", "8"))
examples = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))

FEATURES = fc_peer.features(
    ("g1", "chr1", 1, 400, "+"), ("g2", "chr1", 300, 900, "-"), ("g3", "chr1", 950, 1500, "+"),
    ("g3", "chr1", 1600, 1800, "+"), ("g4", "chr2", 1, 1000, "+"), ("g5", "chr2", 200, 600, "-"),
    ("g6", "chr2", 900, 1800, "-"))


def dulse(*arguments):
    # Run away from the repository, whose dulse/ would shadow the installed package.
    done = subprocess.run([sys.executable, "-m", "dulse", "htseq-count", *arguments],
                          cwd=tempfile.gettempdir(), capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


@pytest.fixture
def folder(tmp_path):
    fc_peer.write_gtf(tmp_path / "genes.gtf", FEATURES)
    return tmp_path


def table(folder, records, *options, sort_order="unsorted"):
    fc_peer.write_sam(folder / "in.sam", records, sort_order, S.CONTIG_LENGTHS)
    status, out, err = dulse("-q", *options, str(folder / "in.sam"), str(folder / "genes.gtf"))
    assert status == 0, err
    return dict(line.split("\t") for line in out.splitlines())


# Read 1 unaligned (or missing) and read 2 on g1, on the strand read 2 of a forward pair has.
WITHOUT_READ_1 = {
    "read 1 unaligned": [SamRecord("p", 0x1 | 0x4 | 0x40 | 0x20, "chr1", 100, 0, "*", "chr1", 100),
                         SamRecord("p", 0x1 | 0x8 | 0x10 | 0x80, "chr1", 100, 60, "50M", "chr1",
                                   100)],
    "read 1 missing": [SamRecord("p", 0x1 | 0x10 | 0x80, "chr1", 100, 60, "50M", "chr1", 500)],
}


@pytest.mark.parametrize("case", WITHOUT_READ_1)
@pytest.mark.parametrize("order", ["name", "pos"])
def test_a_pair_without_read_1_counts_by_read_2(folder, case, order):
    records = WITHOUT_READ_1[case]
    # The unaligned read 1 has MAPQ 0, which -a 10 would hold against the pair.
    now = table(folder, records, "-r", order, "-a", "0")
    then = table(folder, records, "-r", order, "-a", "0", "--pairs-as-1.99")
    assert (now["g1"], now["__not_aligned"]) == ("1", "0")
    assert (then["g1"], then["__not_aligned"]) == ("0", "1")
    if htseq_peer.available():
        status, out, _ = htseq_peer.run_htseq(_peer_folder(folder, records), ["-r", order,
                                                                              "-a", "0"])
        assert status == 0 and dict(line.split("\t") for line in out.splitlines()) == then


def _peer_folder(folder, records):
    peer = folder / "peer"
    htseq_peer.write_inputs(peer, records, FEATURES, "unsorted", S.CONTIG_LENGTHS)
    return peer


GROUPS = {
    "single-end fraction": HtseqSettings(nonunique="fraction", stranded="no", min_aqual=0),
    "single-end random": HtseqSettings(nonunique="random", mode="intersection-nonempty"),
    "pairs by name, fraction": HtseqSettings(nonunique="fraction", order="name",
                                             secondary_alignments="score"),
    "pairs by position, all": HtseqSettings(nonunique="all", order="pos", stranded="reverse",
                                            supplementary_alignments="score", min_aqual=0),
    "pairs by position, random": HtseqSettings(nonunique="random", order="pos",
                                               mode="intersection-strict"),
}


def key(result):
    return (result.counts.tobytes(), tuple(result.summary.items()), result.records,
            None if result.details["float_genes"] is None
            else result.details["float_genes"].tobytes())


@pytest.mark.parametrize("group", GROUPS)
@examples
@given(records=st.one_of(S.paired_end_reads(min_templates=10, max_templates=40,
                                            single_end_records=False),
                         S.single_end_reads(min_reads=10, max_reads=60)),
       order=st.sampled_from(("aligner", "name", "coordinate", "shuffled")),
       block_size=st.integers(10, 150), data=st.data())
def test_threads_count_what_one_thread_counts(tmp_path_factory, group, records, order,
                                              block_size, data):
    folder = tmp_path_factory.mktemp("threads")
    fc_peer.write_gtf(folder / "genes.gtf", FEATURES)
    annotation = read_htseq_annotation(folder / "genes.gtf")
    sort_order, ordered = dict(zip(("aligner", "name", "coordinate", "shuffled"),
                                   S.file_orders(records, data.draw(st.randoms())))).get(order)
    stream = uncompressed_bam(folder, ordered, sort_order)
    path = written(folder, stream, list(range(block_size, len(stream), block_size)))
    chosen = GROUPS[group]
    expected = key(count_bam(path, annotation, chosen))
    for threads in (2, 3):
        assert key(count_bam(path, annotation, chosen, threads=threads)) == expected


@pytest.mark.parametrize("block_size", [20, 33, 47, 61])
def test_names_that_alternate_stay_apart_on_threads(tmp_path, block_size):
    # Two names taking turns, read 1 and read 2 in turn for each: by name, htseq-count pairs
    # no two of them, so every read is __not_aligned alone, however the file is cut into
    # chunks (many of which begin and end with the same name).
    fc_peer.write_gtf(tmp_path / "genes.gtf", FEATURES)
    annotation = read_htseq_annotation(tmp_path / "genes.gtf")
    records = [SamRecord("ab"[n % 2], 0x1 | 0x4 | 0x8 | (0x40 if n // 2 % 2 else 0x80), None, 0,
                         0, "*") for n in range(400)]
    stream = uncompressed_bam(tmp_path, records, "unsorted")
    path = written(tmp_path, stream, list(range(block_size, len(stream), block_size)))
    for threads in (1, 2, 3):
        result = count_bam(path, annotation, HtseqSettings(), threads=threads)
        assert result.summary["__not_aligned"] == len(records), threads


@examples
@given(records=S.single_end_reads(min_reads=10, max_reads=60), seed=st.integers(0, 2**64 - 1))
def test_random_gives_each_read_to_one_of_its_genes(tmp_path_factory, records, seed):
    folder = tmp_path_factory.mktemp("random")
    fc_peer.write_gtf(folder / "genes.gtf", FEATURES)
    fc_peer.write_sam(folder / "in.sam", records, "unsorted", S.CONTIG_LENGTHS)
    annotation = read_htseq_annotation(folder / "genes.gtf", stranded=False)
    path = str(folder / "in.sam")
    counted = {mode: count_bam(path, annotation, HtseqSettings(nonunique=mode, stranded="no",
                                                               random_seed=seed))
               for mode in ("none", "all", "fraction", "random")}
    random = counted["random"].counts
    assert numpy.all(counted["none"].counts <= random) and numpy.all(random <= counted["all"].counts)
    assert random.sum() == pytest.approx(counted["fraction"].counts.sum())
    again = count_bam(path, annotation, HtseqSettings(nonunique="random", stranded="no",
                                                      random_seed=seed))
    assert again.counts.tobytes() == random.tobytes()
    assert counted["random"].summary == counted["all"].summary


def test_a_file_is_paired_when_its_first_record_is(folder):
    pair = [SamRecord("p", 0x1 | 0x40 | 0x20, "chr1", 100, 60, "50M", "chr1", 200, 150),
            SamRecord("p", 0x1 | 0x80 | 0x10, "chr1", 200, 60, "50M", "chr1", 100, -150)]
    single = [SamRecord("s", 0, "chr1", 100, 60, "50M")]
    # A single-end first record: every record is counted alone, read 2 on its own strand.
    alone = table(folder, single + pair)
    assert (alone["g1"], alone["__no_feature"]) == ("2", "1")
    fc_peer.write_sam(folder / "mixed.sam", pair + single, "unsorted", S.CONTIG_LENGTHS)
    status, out, err = dulse(str(folder / "mixed.sam"), str(folder / "genes.gtf"))
    assert status == 1 and out == ""
    assert err.strip().splitlines()[-1].startswith(f"dulse: error: {folder / 'mixed.sam'}: "
                                                   f"record 3 is single-end")


def test_outputs_by_extension(folder):
    records = [SamRecord(f"r{n}", 0, "chr1", 10 + 37 * n, 60, "40M") for n in range(40)]
    fc_peer.write_sam(folder / "in.sam", records, "unsorted", S.CONTIG_LENGTHS)
    inputs = [str(folder / "in.sam"), str(folder / "genes.gtf")]
    status, text, err = dulse("-q", "--additional-attr", "transcript_id", *inputs)
    assert status == 0, err
    assert dulse("-q", "--additional-attr", "transcript_id", "-c", str(folder / "t.tsv"),
                 *inputs)[0] == 0
    assert (folder / "t.tsv").read_text() == text
    (folder / "a.tsv").write_text("head\n")
    assert dulse("-q", "--additional-attr", "transcript_id", "-c", str(folder / "a.tsv"),
                 "--append-output", *inputs)[0] == 0
    assert (folder / "a.tsv").read_text() == "head\n" + text
    header = dulse("-q", "--with-header", *inputs)[1].splitlines()[0]
    assert header == "\t".join(["", inputs[0]])
    rows = [line.split("\t") for line in text.splitlines()]
    expected = numpy.array([float(row[-1]) for row in rows])

    scipy_io = pytest.importorskip("scipy.io")
    assert dulse("-q", "-c", str(folder / "c.mtx"), *inputs)[0] == 0
    assert numpy.array_equal(numpy.asarray(scipy_io.mmread(str(folder / "c.mtx")).todense())[:, 0], expected)
    anndata = pytest.importorskip("anndata")
    assert dulse("-q", "--counts-output-sparse", "--additional-attr", "transcript_id", "-c",
                 str(folder / "c.h5ad"), *inputs)[0] == 0
    frame = anndata.read_h5ad(folder / "c.h5ad")
    assert list(frame.var_names) == [row[0] for row in rows]
    assert list(frame.var["transcript_id"]) == [row[1] for row in rows]
    assert numpy.array_equal(frame.X.toarray()[0], expected)


def test_to_anndata_carries_genes_and_samples(folder):
    anndata = pytest.importorskip("anndata")
    records = [SamRecord(f"r{n}", 0, "chr1", 10 + 37 * n, 60, "40M") for n in range(40)]
    fc_peer.write_sam(folder / "in.sam", records, "unsorted", S.CONTIG_LENGTHS)
    annotation = read_htseq_annotation(folder / "genes.gtf", additional_attributes=["gene_id"])
    matrix = count_bams([str(folder / "in.sam")], annotation, HtseqSettings())
    frame = matrix.to_anndata(annotation)
    assert isinstance(frame, anndata.AnnData) and frame.shape == (1, len(annotation.gene_ids))
    assert numpy.array_equal(frame.X[0], matrix.counts[:, 0])
    assert list(frame.var["chromosome"]) == list(annotation.chromosomes)
    assert frame.obs["__no_feature"].iloc[0] == matrix.files[0].summary["__no_feature"]


BAD_ANNOTATIONS = {
    "no strand while stranded": ('chr1\tt\texon\t1\t100\t.\t.\t.\tgene_id "g1";\n', [],
                                 "line 1: feature g1 has no strand"),
    "no id attribute": ('chr1\tt\texon\t1\t100\t.\t+\t.\tgene_name "x";\n', [],
                        "line 1: the exon has no gene_id attribute"),
    "bad coordinates": ('chr1\tt\texon\t100\t1\t.\t+\t.\tgene_id "g1";\n', [],
                        "line 1: start and end"),
    "few columns": ('chr1\tt\texon\t1\t100\n', [], "line 1: expected 9"),
}


@pytest.mark.parametrize("case", BAD_ANNOTATIONS)
def test_bad_annotations_fail_with_one_line(tmp_path, case):
    text, options, message = BAD_ANNOTATIONS[case]
    (tmp_path / "bad.gtf").write_text(text)
    fc_peer.write_sam(tmp_path / "in.sam", [SamRecord("r", 0, "chr1", 10, 60, "40M")])
    status, out, err = dulse(*options, str(tmp_path / "in.sam"), str(tmp_path / "bad.gtf"))
    assert status == 1 and out == ""
    assert err.strip() == f"dulse: error: {tmp_path / 'bad.gtf'} {message}" or \
        (err.count("\n") == 1 and message in err), err


@pytest.mark.parametrize("options, message", [
    (["-o", "a.sam", "-o", "b.sam"], "give one -o per alignment file: 1 file(s), 2 -o"),
    (["--feature-query", "gene_name = x"], "--feature-query must read"),
    (["--append-output"], "--append-output needs -c FILE"),
])
def test_refused_command_lines(folder, options, message):
    fc_peer.write_sam(folder / "in.sam", [SamRecord("r", 0, "chr1", 10, 60, "40M")])
    status, out, err = dulse(*options, str(folder / "in.sam"), str(folder / "genes.gtf"))
    assert status == 2 and out == "" and message in err and err.count("\n") == 1


def test_a_missing_file_fails_without_a_half_written_output(folder):
    (folder / "out.tsv").write_text("earlier\n")
    status, _, err = dulse("-c", str(folder / "out.tsv"), str(folder / "absent.bam"),
                           str(folder / "genes.gtf"))
    assert status == 1 and "absent.bam" in err and err.count("\n") <= 2
    assert (folder / "out.tsv").read_text() == "earlier\n"
    assert sorted(path.name for path in folder.iterdir()) == ["genes.gtf", "out.tsv"]


def test_feature_query_keeps_one_gene(folder):
    records = [SamRecord(f"r{n}", 0, "chr1", 10 + 37 * n, 60, "40M") for n in range(40)]
    counts = table(folder, records, "--feature-query", 'gene_id == "g3"')
    everything = table(folder, records)
    assert [gene for gene in counts if not gene.startswith("__")] == ["g3"]
    assert counts["g3"] == everything["g3"]


def test_a_kind_not_scored_is_set_aside_in_read_2_too(folder):
    # A secondary read 2 on g1 (its mate unmapped, absent), supplementary alignments scored:
    # --secondary-alignments ignore sets it aside; 1.99.2 looks at read 1 only and calls the
    # pair without read 1 __not_aligned.
    records = [SamRecord("p", 0x1 | 0x8 | 0x10 | 0x80 | 0x100, "chr1", 100, 60, "50M", "chr1",
                         100)]
    options = ("--supplementary-alignments", "score")
    now = table(folder, records, *options)
    then = table(folder, records, *options, "--pairs-as-1.99")
    assert all(value == "0" for value in now.values())
    assert then["__not_aligned"] == "1"
    if htseq_peer.available():
        status, out, _ = htseq_peer.run_htseq(_peer_folder(folder, records), list(options))
        assert status == 0 and dict(line.split("\t") for line in out.splitlines()) == then


def test_multiqc_reports_the_assigned_share(folder):
    # MultiQC's htseq module takes the genes' rows as assigned and every row as the total.
    multiqc = shutil.which("multiqc", path=os.path.dirname(sys.executable)) or \
        shutil.which("multiqc")
    if multiqc is None:
        pytest.skip("multiqc is not installed")
    records = [SamRecord(f"r{n}", 16 if n % 5 == 0 else 0, "chr1" if n % 7 else "chrU",
                         10 + 37 * n, 60 if n % 9 else 3, "40M") for n in range(60)]
    records.append(SamRecord("u", 0x4, None, 0, 0, "*"))
    fc_peer.write_sam(folder / "in.sam", records, "unsorted", S.CONTIG_LENGTHS)
    reports = folder / "reports"
    reports.mkdir()
    status, _, err = dulse("-q", "-c", str(reports / "sample.counts.txt"), str(folder / "in.sam"),
                           str(folder / "genes.gtf"))
    assert status == 0, err
    rows = dict(line.split("\t") for line in (reports / "sample.counts.txt").read_text()
                .splitlines())
    assigned = sum(int(value) for gene, value in rows.items() if not gene.startswith("__"))
    total = sum(int(value) for value in rows.values())
    done = subprocess.run([multiqc, "-m", "htseq", "-f", "-o", str(folder / "multiqc"),
                           "--data-format", "tsv", str(reports)], capture_output=True, text=True,
                          cwd=tempfile.gettempdir())
    assert done.returncode == 0, done.stderr[-500:]
    table = (folder / "multiqc" / "multiqc_data" / "multiqc_htseq.txt").read_text().splitlines()
    header, values = table[0].split("\t"), table[1].split("\t")
    found = dict(zip(header, values))
    assert float(found["assigned"]) == assigned > 0
    assert float(found["percent_assigned"]) == pytest.approx(100 * assigned / total)
    assert float(found["not_aligned"]) == 1
