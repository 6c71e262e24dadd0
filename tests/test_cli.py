"""The dulse command, end to end: outputs parsed back and compared with the API's numbers."""

import io
import os
import subprocess
import sys

import pytest

from dulse import __version__
from dulse.cli import main
from dulse.quantify import count_bam, read_annotation

GTF = "".join(
    f"{contig}\tsrc\t{kind}\t{start}\t{end}\t.\t{strand}\t.\tgene_id \"{gene}\"; "
    f"gene_name \"name{gene}\";\n"
    for contig, kind, start, end, strand, gene in [
        ("chr1", "gene", 101, 500, "+", "G1"),
        ("chr1", "exon", 101, 200, "+", "G1"),
        ("chr1", "exon", 151, 300, "-", "G2"),
        ("chr1", "exon", 401, 500, "+", "G1"),
        ("chr2", "exon", 1001, 2000, "+", "G3"),
        ("chr2", "CDS", 1001, 1100, "+", "G3"),
    ])

RECORDS = [
    {"pos": 110, "cigar": "20M", "flag": 16},
    {"pos": 410, "cigar": "20M", "flag": 16},
    {"pos": 250, "cigar": "20M"},
    {"pos": 160, "cigar": "20M"},
    {"pos": 420, "cigar": "20M", "tags": [("NH", 2)]},
    {"pos": 430, "cigar": "20M", "mapq": 5},
    {"tid": 1, "pos": 1500, "cigar": "20M", "tags": [("NH", 4)]},
    {"tid": 2, "pos": 100, "cigar": "20M"},
    {"flag": 4, "tid": -1, "pos": -1, "cigar": None, "length": 20},
    {"flag": 256, "pos": 110, "cigar": "20M"},
    {"flag": 2048, "pos": 110, "cigar": "20M"},
    {"pos": 5000, "cigar": "20M"},
]


@pytest.fixture
def gtf(tmp_path):
    path = tmp_path / "genes.gtf"
    path.write_text(GTF)
    return str(path)


@pytest.fixture
def run(capsys):
    def invoke(*args):
        code = main([str(arg) for arg in args])
        out, err = capsys.readouterr()
        return code, out, err
    return invoke


def read_matrix(path):
    lines = open(path).read().splitlines()
    assert lines[0].startswith(f"# Program:dulse v{__version__}; Command:\"dulse\" \"count\"")
    header = lines[1].split("\t")
    assert header[:6] == ["Geneid", "Chr", "Start", "End", "Strand", "Length"]
    return header[6:], [line.split("\t") for line in lines[2:]]


def multiqc_summary(text):
    """The summary as MultiQC's featureCounts module reads it: sample -> {row: int, Total}."""
    samples, rows = [], {}
    for line in text.splitlines():
        fields = line.split("\t")
        if len(fields) < 2:
            continue
        if fields[0] == "Status":
            samples = fields[1:]
            continue
        rows[fields[0]] = [int(value) for value in fields[1:]]   # rows must be integers
    assert samples and "Assigned" in rows
    parsed = {}
    for column, sample in enumerate(samples):
        data = {name: values[column] for name, values in rows.items()}
        data["Total"] = sum(values[column] for values in rows.values())
        parsed[sample] = data
    return parsed


@pytest.mark.parametrize("options, api", [
    ([], {}),
    (["-s", "2"], {"strandedness": "reverse"}),
    (["-s", "reverse"], {"strandedness": "reverse"}),
    (["--stranded", "yes"], {"strandedness": "forward"}),
    (["-s", "1", "-Q", "10"], {"strandedness": "forward", "min_mapq": 10}),
    (["--multimapping", "fraction", "-j", "2"], {"multimapping": "fraction"}),
    (["--multimapping", "all", "-T", "3"], {"multimapping": "all"}),
    (["--ignore-nh"], {"use_nh": False}),
])
def test_matrix_and_summary_match_the_api(bam, gtf, tmp_path, run, options, api):
    paths = [bam(RECORDS), bam(RECORDS[3:]), bam(RECORDS[:2])]
    output = tmp_path / "counts.txt"
    code, out, err = run("count", "-a", gtf, *options, "-o", output, *paths)
    assert code == 0, err
    assert out == ""

    annotation = read_annotation(gtf)
    expected = [count_bam(path, annotation, **api) for path in paths]
    samples, rows = read_matrix(output)
    assert samples == paths
    assert [row[0] for row in rows] == ["G1", "G2", "G3"]
    for row in rows:
        assert [float(value) for value in row[6:]] == pytest.approx(
            [result.counts[row[0]] for result in expected], abs=1e-6)

    summary = multiqc_summary(open(f"{output}.summary").read())
    assert list(summary) == paths
    for path, result in zip(paths, expected):
        assert summary[path]["Total"] == result.stats.total_records
        assert summary[path]["Assigned"] == result.stats.assigned_records
        assert summary[path]["Unassigned_MappingQuality"] == result.stats.below_mapq
        assert summary[path]["Unassigned_NoFeatures"] == result.stats.no_feature
        assert summary[path]["Unassigned_Ambiguity"] == result.stats.ambiguous
    assert [name for name in os.listdir(tmp_path) if name.endswith(".part")] == []


def test_gene_columns(bam, gtf, tmp_path, run):
    output = tmp_path / "counts.txt"
    assert run("count", "-a", gtf, "-o", output, bam(RECORDS))[0] == 0
    _, rows = read_matrix(output)
    assert [row[:6] for row in rows] == [
        ["G1", "chr1;chr1", "101;401", "200;500", "+;+", "200"],
        ["G2", "chr1", "151", "300", "-", "150"],
        ["G3", "chr2", "1001", "2000", "+", "1000"],
    ]


def test_feature_type_and_gene_attribute(bam, gtf, tmp_path, run):
    output = tmp_path / "counts.txt"
    code, _, err = run("count", "-a", gtf, "-t", "CDS", "-g", "gene_name", "-o", output,
                       bam(RECORDS))
    assert code == 0, err
    _, rows = read_matrix(output)
    assert [row[:4] for row in rows] == [["nameG3", "chr2", "1001", "1100"]]


@pytest.mark.parametrize("to_file", [False, True])
def test_htseq_layout(bam, gtf, tmp_path, run, to_file):
    path = bam(RECORDS)
    output = tmp_path / "counts.tsv"
    target = ["-o", output] if to_file else []
    code, out, err = run("count", "-a", gtf, "--output-format", "htseq", *target, path)
    assert code == 0, err
    text = output.read_text() if to_file else out
    assert (out == "") == to_file
    rows = {line.split("\t")[0]: int(line.split("\t")[1]) for line in text.splitlines()}
    result = count_bam(path, read_annotation(gtf))
    stats = result.stats
    assert list(rows)[:3] == ["G1", "G2", "G3"]
    assert {gene: rows[gene] for gene in result.counts} == result.counts
    assert rows["__no_feature"] == stats.no_feature
    assert rows["__ambiguous"] == stats.ambiguous
    assert rows["__alignment_not_unique"] == stats.multimapping_discarded
    assert rows["__no_annotated_contig"] == stats.no_annotated_contig
    assert sum(rows.values()) == stats.total_records


def test_settings_and_per_file_lines_without_a_terminal(bam, gtf, tmp_path, run):
    paths = [bam(RECORDS), bam(RECORDS)]
    code, _, err = run("count", "-a", gtf, "-s", "reverse", "-o", tmp_path / "c.txt", *paths)
    assert code == 0
    assert "strandedness  reverse (-s 2)" in err
    assert "annotation: GTF, 3 genes" in err
    assert f"{paths[1]}: 12 records, " in err
    assert "\r" not in err and "counting:" not in err


@pytest.mark.parametrize("jobs, files, cpus, shown", [
    (8, 3, 2, "3, counted 2 at a time (-j 8, capped at the CPUs available)"),
    (8, 2, 4, "2, counted 2 at a time"),
    (1, 2, 4, "2, counted 1 at a time"),
])
def test_workers_used_are_shown(bam, gtf, tmp_path, run, monkeypatch, jobs, files, cpus, shown):
    monkeypatch.setattr("dulse.workers.usable_cpus", lambda: cpus)
    paths = [bam(RECORDS[number:]) for number in range(files)]
    code, _, err = run("count", "-a", gtf, "-j", jobs, "-o", tmp_path / "c.txt", *paths)
    assert code == 0, err
    assert f"  BAM files     {shown}\n" in err


def test_progress_line_on_a_terminal(bam, gtf, tmp_path, monkeypatch):
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert main(["count", "-a", gtf, "-o", str(tmp_path / "c.txt"), bam(RECORDS)]) == 0
    text = terminal.getvalue()
    assert "counting: 0 of 1 files done" in text
    assert "\r\x1b[K" in text


def test_version(run):
    with pytest.raises(SystemExit) as excinfo:
        run("--version")
    assert excinfo.value.code == 0


@pytest.mark.parametrize("args, message", [
    ([], "the following arguments are required: COMMAND"),
    (["count", "-o", "x.txt", "a.bam"], "the following arguments are required: -a"),
    (["count", "-a", "{gtf}", "-o", "x.txt"], "the following arguments are required: BAM"),
    (["count", "-a", "{gtf}", "-s", "3", "-o", "x.txt", "a.bam"], "must be 0/unstranded"),
    (["count", "-a", "{gtf}", "-Q", "256", "-o", "x.txt", "a.bam"], "from 0 to 255"),
    (["count", "-a", "{gtf}", "-j", "0", "-o", "x.txt", "a.bam"], "from 1 to 1024"),
    (["count", "-a", "{gtf}", "-j", "1025", "-o", "x.txt", "a.bam"], "from 1 to 1024"),
    (["count", "-a", "{gtf}", "-j", "99999999999999999999", "-o", "x.txt", "a.bam"],
     "from 1 to 1024"),
    (["count", "-a", "{gtf}", "-F", "BED", "-o", "x.txt", "a.bam"], "one of GTF, GFF3, SAF"),
    (["count", "-a", "{gtf}", "--strand", "1", "-o", "x.txt", "a.bam"], "unrecognized"),
    (["count", "-a", "{gtf}", "{bam}"], "needs an output file: -o FILE"),
    (["count", "-a", "{gtf}", "-o", "x.txt", "{bam}", "{bam}"], "given more than once"),
    (["count", "-a", "{gtf}", "-o", "{bam}", "{bam}"], "would overwrite an input"),
    (["count", "-a", "{gtf}", "-o", "{folder}", "{bam}"], "is a folder"),
])
def test_bad_usage_exits_2(bam, gtf, tmp_path, args, message):
    values = {"gtf": gtf, "bam": bam(RECORDS), "folder": str(tmp_path)}
    argv = [arg.format(**values) for arg in args]
    done = subprocess.run([sys.executable, "-m", "dulse", *argv], capture_output=True,
                          text=True, cwd=tmp_path)
    assert done.returncode == 2
    assert message in done.stderr
    assert "Traceback" not in done.stderr
    assert done.stderr.count("error:") == 1
    assert not (tmp_path / "x.txt").exists()


@pytest.mark.parametrize("case, message", [
    ("missing bam", "absent.bam: no such file"),
    ("folder bam", "is a folder, not a file"),
    ("broken bam", "broken.bam: "),
    ("missing annotation", "absent.gtf: no such file"),
    ("malformed annotation", "bad.gtf line 2: end 5 is before start 10"),
    ("no output folder", "nowhere/counts.txt: cannot write here"),
])
def test_failed_input_exits_1_and_keeps_old_outputs(bam, gtf, tmp_path, case, message):
    good = bam(RECORDS)
    bad_gtf = tmp_path / "bad.gtf"
    bad_gtf.write_text(GTF.splitlines(keepends=True)[0] +
                       "chr1\tsrc\texon\t10\t5\t.\t+\t.\tgene_id \"X\";\n")
    broken = tmp_path / "broken.bam"
    broken.write_text("not a BAM\n")
    (tmp_path / "sub").mkdir()
    annotation, bams, output = gtf, [good, bam(RECORDS[:3])], tmp_path / "counts.txt"
    bams[1:] = {
        "missing bam": [tmp_path / "absent.bam"],
        "folder bam": [tmp_path / "sub"],
        "broken bam": [broken],
    }.get(case, bams[1:])
    if case == "missing annotation":
        annotation = tmp_path / "absent.gtf"
    if case == "malformed annotation":
        annotation = bad_gtf
    if case == "no output folder":
        output = tmp_path / "nowhere" / "counts.txt"
    else:
        output.write_text("earlier results\n")
        (tmp_path / "counts.txt.summary").write_text("earlier summary\n")

    done = subprocess.run([sys.executable, "-m", "dulse", "count", "-a", str(annotation),
                           "-o", str(output), *map(str, bams)], capture_output=True, text=True,
                          cwd=tmp_path)
    assert done.returncode == 1
    error_lines = [line for line in done.stderr.splitlines() if "error:" in line]
    assert len(error_lines) == 1 and message in error_lines[0]
    assert "Traceback" not in done.stderr
    if case != "no output folder":
        assert output.read_text() == "earlier results\n"
        assert (tmp_path / "counts.txt.summary").read_text() == "earlier summary\n"
    leftovers = [name for name in os.listdir(tmp_path) if name.endswith(".part")]
    assert leftovers == []


def test_features_without_a_gene(bam, gtf, tmp_path, run):
    with open(gtf, "a") as handle:
        handle.write("chr1\tsrc\texon\t601\t700\t.\t+\t.\ttranscript_id \"T9\";\n")
    output = tmp_path / "c.txt"
    code, _, err = run("count", "-a", gtf, "-o", output, bam(RECORDS))
    assert code == 1
    assert "line 7: the exon has no gene_id attribute (--missing-gene skip leaves" in err
    code, _, err = run("count", "-a", gtf, "--missing-gene", "skip", "-o", output, bam(RECORDS))
    assert code == 0
    assert "dulse: warning: " in err and "left out 1 feature whose gene is unknown" in err
    assert [row[0] for row in read_matrix(output)[1]] == ["G1", "G2", "G3"]


def test_interrupt_leaves_no_output(bam, gtf, tmp_path, run, monkeypatch):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr("dulse.cli.count_bams", interrupted)
    code, _, err = run("count", "-a", gtf, "-o", tmp_path / "counts.txt", bam(RECORDS))
    assert code == 130
    assert "interrupted" in err
    assert sorted(os.listdir(tmp_path)) == ["genes.gtf", "input0.bam"]


@pytest.mark.parametrize("annotation_contig, bam_contig, hint", [
    ("1", "chr1", "add the 'chr' prefix to the annotation's contig names"),
    ("chr1", "1", "remove the 'chr' prefix from the annotation's contig names"),
    ("scaffold_7", "chr1", "have few names in common"),
])
def test_contig_names_warning(bam, tmp_path, run, annotation_contig, bam_contig, hint):
    gtf = tmp_path / "genes.gtf"
    gtf.write_text(f"{annotation_contig}\tsrc\texon\t101\t500\t.\t+\t.\tgene_id \"G1\";\n")
    contigs = ((bam_contig, 100_000), ("chrM", 16_569))
    path = bam([{"pos": 100 + k} for k in range(20)] + [{"tid": 1, "pos": 5}], contigs)
    code, _, err = run("count", "-a", gtf, "-o", tmp_path / "c.txt", path)
    assert code == 0
    assert "dulse: warning: the BAM file has most mapped records on contigs the annotation " \
           "lacks" in err
    assert hint in err


@pytest.mark.parametrize("strandedness, warned", [
    ("1", "the library is likely reverse-stranded; rerun with -s 2"),
    ("2", None),
    ("0", None),
])
def test_strand_warning(bam, gtf, tmp_path, run, strandedness, warned):
    # Reverse-stranded reads: on G1 (+) and G3 (+) the reads are reverse.
    records = ([{"pos": 410 + k % 50, "cigar": "30M", "flag": 16} for k in range(60)] +
               [{"tid": 1, "pos": 1100 + k, "flag": 16} for k in range(40)] +
               [{"pos": 420, "cigar": "30M"}])
    code, _, err = run("count", "-a", gtf, "-s", strandedness, "-o", tmp_path / "c.txt",
                       bam(records))
    assert code == 0
    if warned:
        assert warned in err
    else:
        assert "dulse: warning" not in err


def test_installed_entry_point_and_module_agree(bam, gtf, tmp_path):
    paths = [bam(RECORDS), bam(RECORDS[:4])]
    script = os.path.join(os.path.dirname(sys.executable), "dulse")
    outputs = []
    for command in ([script], [sys.executable, "-m", "dulse"]):
        output = tmp_path / f"counts{len(outputs)}.txt"
        done = subprocess.run([*command, "count", "-a", gtf, "-j", "2", "-o", str(output),
                               *paths], capture_output=True, text=True, cwd=tmp_path)
        assert done.returncode == 0, done.stderr
        outputs.append(open(f"{output}.summary").read())
    assert outputs[0] == outputs[1]
    version = subprocess.run([script, "--version"], capture_output=True, text=True,
                             cwd=tmp_path)
    assert version.stdout.strip() == f"dulse {__version__}"
