"""The benchmark runner: the inflater it reports, the legs timing dulse's engine and command line
against featureCounts, the comparison of their results, and the ratios and verdicts it prints."""

import random
import shutil
import sys
from pathlib import Path

import pysam
import pytest

import fc_peer
import sam_strategies as S
from dulse import _engine, count_bam
from dulse.api import feature_index
from dulse.quantify.annotation import read_annotation
from dulse.settings import Settings
from engine_peer import engine_settings
from fc_model import FIRST, MATE_UNMAPPED, PAIRED, SECONDARY, Options, SamRecord
from libraries import mapped_pair, random_library

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"
CONTIGS = (("chr1", 20_000), ("chr2", 20_000))
FEATURE_COUNTS = shutil.which("featureCounts")


@pytest.fixture
def inflater(monkeypatch):
    monkeypatch.syspath_prepend(str(BENCHMARKS))
    import inflater as module
    return module


@pytest.fixture(scope="module")
def bench():
    """The runner's modules, imported from their folder as the scripts import each other."""
    sys.path.insert(0, str(BENCHMARKS))
    try:
        import legs
        import run
        yield run, legs
    finally:
        sys.path.remove(str(BENCHMARKS))


def test_the_build_records_its_inflater(inflater):
    from dulse.quantify import _build
    said = inflater.module_inflater(sys.executable)
    assert said == _build.INFLATER
    assert said.startswith(("libdeflate (static, ", "libdeflate (shared, ", "zlib"))


@pytest.mark.parametrize("python", ["no-such-interpreter", "false"])
def test_an_interpreter_that_cannot_import_the_module_gives_unknown(inflater, tmp_path, python):
    # A missing interpreter, and one that fails without printing anything.
    python = shutil.which(python) or str(tmp_path / python)
    assert inflater.module_inflater(python) == "unknown (the module could not be imported)"


# A tiny data set: three genes, a reverse-stranded library, single-end reads and pairs.

GTF = [
    ("chr1", 100, 200, "+", "GA"), ("chr1", 300, 400, "+", "GA"),
    ("chr1", 1_000, 1_300, "-", "GB"), ("chr1", 1_200, 1_500, "+", "GC"),
    ("chr2", 500, 900, "-", "GD"),
]


def _write_gtf(path):
    with open(path, "w", encoding="ascii") as out:
        for contig, start, end, strand, gene in GTF:
            out.write(f'{contig}\tt\texon\t{start}\t{end}\t.\t{strand}\t.\tgene_id "{gene}"; '
                      f'transcript_id "{gene}.1";\n')


def _write(path, lines):
    header = {"HD": {"VN": "1.6", "SO": "unsorted"},
              "SQ": [{"SN": name, "LN": length} for name, length in CONTIGS]}
    with pysam.AlignmentFile(str(path), "wb", header=header) as out:
        for line in lines:
            out.write(pysam.AlignedSegment.fromstring(line, out.header))
    return path


def _read(name, flag, contig, pos, cigar, mate_contig="*", mate_pos=0, tlen=0, tags="NH:i:1"):
    length = sum(int(n) for n, op in _ops(cigar) if op in "MIS")
    return (f"{name}\t{flag}\t{contig}\t{pos}\t60\t{cigar}\t{mate_contig}\t{mate_pos}\t{tlen}\t"
            f"{'A' * length}\t{'F' * length}\t{tags}")


def _ops(cigar):
    number = ""
    for character in cigar:
        if character.isdigit():
            number += character
        else:
            yield number, character
            number = ""


SINGLE = [
    _read("s1", 16, "chr1", 120, "50M"),            # GA, reverse strand: counts with -s 2
    _read("s2", 0, "chr1", 120, "50M"),             # GA's strand: not with -s 2
    _read("s3", 16, "chr1", 150, "30M120N40M"),     # spliced over GA's two exons
    _read("s4", 0, "chr1", 1_050, "50M"),           # GB on "-"
    _read("s5", 16, "chr1", 1_220, "50M"),          # GC on "+"; GB's strand is wrong
    _read("s6", 0, "chr1", 5_000, "50M"),           # no feature
    _read("s7", 16, "chr1", 120, "50M", tags="NH:i:2"),
    _read("s8", 4, "*", 0, "*"),
]
PAIRS = [
    # read 1 on the reverse strand over GA's second exon, read 2 forward over its first
    _read("p1", 83, "chr1", 320, "50M", "=", 130, -240),
    _read("p1", 163, "chr1", 130, "50M", "=", 320, 240),
    _read("p2", 99, "chr1", 1_020, "50M", "=", 1_150, 180),    # GB on "-": read 1 forward
    _read("p2", 147, "chr1", 1_150, "50M", "=", 1_020, -180),
    _read("p3", 73, "chr2", 600, "50M", "=", 600, 0),          # mate unmapped
    _read("p3", 133, "chr2", 600, "*", "=", 600, 0),
    _read("p4", 65, "chr1", 1_400, "50M", "chr2", 700, 0),     # mates on two contigs
    _read("p4", 145, "chr2", 700, "50M", "chr1", 1_400, 0),
    _read("p5", 77, "*", 0, "*"),
    _read("p5", 141, "*", 0, "*"),
]


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    folder = tmp_path_factory.mktemp("tiny")
    _write_gtf(folder / "genes.gtf")
    return {"gtf": folder / "genes.gtf", "header_only": _write(folder / "header-only.bam", []),
            "single": _write(folder / "single.bam", SINGLE),
            "pairs": _write(folder / "pairs.bam", PAIRS), "folder": folder}


def _engine_result(tiny, paired, strand=2):
    annotation = read_annotation(tiny["gtf"])
    options = {"paired": True, "count_fragments": True} if paired else {}
    settings = Settings(strandedness=strand, **options)
    found = _engine.count_file(str(tiny["pairs" if paired else "single"]),
                               feature_index(annotation), **settings.engine_arguments())
    return annotation, found


# The legs.

@pytest.mark.parametrize("paired", [False, True])
def test_the_engine_leg_reports_the_engines_result_of_one_call(bench, tiny, paired):
    run, legs = bench
    bam = tiny["pairs" if paired else "single"]
    leg = legs.engine_leg(sys.executable, bam, tiny["gtf"], paired, 2, 0)
    run.measure([leg], 1)
    assert leg.failed is None
    annotation, found = _engine_result(tiny, paired)
    assert leg.result == {
        "summary": found["summary"], "genes": len(annotation.gene_ids),
        "counts": legs.counts_digest(zip(annotation.gene_ids, found["counts"][2].tolist()))}
    assert leg.records == found["records"] == len(PAIRS if paired else SINGLE)
    assert leg.pending_peak == found["pending_peak"]
    assert leg.best > 0 and leg.best_cpu > 0 and leg.before_kib > 0 and leg.index_seconds > 0


@pytest.mark.parametrize("paired", [False, True])
def test_dulse_counts_output_is_read_back_into_the_engines_result(bench, tiny, tmp_path, paired):
    run, legs = bench
    bam = tiny["pairs" if paired else "single"]
    cli = legs.cli_leg(sys.executable, bam, tiny["gtf"], paired, 2, 0, tmp_path, "-t")
    engine = legs.engine_leg(sys.executable, bam, tiny["gtf"], paired, 2, 0)
    run.measure([cli, engine], 1)
    assert cli.failed is None and engine.failed is None
    assert cli.result == engine.result
    assert cli.result["summary"]["Assigned"] > 0
    assert [line.startswith("dulse") for line in run._same_as_featurecounts(
        [_peer_with(legs, engine.result), cli, engine])] == [True, True]


@pytest.mark.skipif(FEATURE_COUNTS is None, reason="featureCounts is not installed")
@pytest.mark.parametrize("paired", [False, True])
def test_featurecounts_legs_time_the_counting_and_read_its_outputs(bench, tiny, tmp_path, paired):
    run, legs = bench
    bam = tiny["pairs" if paired else "single"]
    timed = legs.tool_legs(bam, tiny, paired, 2, 0, tmp_path, "-t")
    engine = legs.engine_leg(sys.executable, bam, tiny["gtf"], paired, 2, 0)
    run.measure(timed + [engine], 1)
    header_only = next(leg for leg in timed if leg.hidden)
    peer = next(leg for leg in timed if leg.role == legs.PEER)
    # featureCounts refuses -p on a file without pairs: the header-only run goes without it.
    assert header_only.failed is None and "-p" not in header_only.argv
    assert peer.failed is None and ("-p" in peer.argv) == paired
    assert peer.best == peer.whole_best - header_only.whole_best
    assert peer.best_cpu == peer.cpu_times[0] - header_only.cpu_times[0]
    assigned = engine.result["summary"]["Assigned"]
    assert run._same_as_featurecounts(timed + [engine]) == [
        f"dulse engine = featureCounts: Assigned {assigned}, all 14 summary rows and the counts "
        f"of all 4 genes equal"]


# The comparison with featureCounts, the tables and the verdicts, on made-up measurements.

def _peer_with(legs, result):
    peer = legs.Leg("featureCounts", [], None, role=legs.PEER)
    peer.result = result
    return peer


RESULT = {"summary": {"Assigned": 5, "Unassigned_Unmapped": 1, "Unassigned_NoFeatures": 2},
          "counts": "0123456789abcdef", "genes": 4}


@pytest.mark.parametrize("change, said", [
    ({"summary": {**RESULT["summary"], "Assigned": 6}}, "Assigned 6 (featureCounts 5)"),
    ({"summary": {**RESULT["summary"], "Unassigned_NoFeatures": 1}},
     "Unassigned_NoFeatures 1 (featureCounts 2)"),
    ({"summary": {"Assigned": 5, "Unassigned_Unmapped": 1}},
     "Unassigned_NoFeatures None (featureCounts 2)"),
    ({"summary": {**RESULT["summary"], "Unassigned_Extra": 0}},
     "Unassigned_Extra 0 (featureCounts None)"),
    ({"counts": "fedcba9876543210"}, "gene counts differ (4 genes, featureCounts 4)"),
    ({"genes": 3}, "gene counts differ (3 genes, featureCounts 4)"),
])
def test_a_difference_from_featurecounts_is_named(bench, change, said):
    run, legs = bench
    leg = legs.Leg("dulse engine", [], None, compared=True)
    leg.result = {**RESULT, **change}
    same = legs.Leg("dulse count", [], None, compared=True, role=legs.WHOLE)
    same.result = RESULT
    lines = run._same_as_featurecounts([_peer_with(legs, RESULT), leg, same])
    assert lines[0] == f"WARNING: dulse engine differs from featureCounts: {said}"
    assert lines[1].startswith("dulse count = featureCounts: Assigned 5, all 3 summary rows")


def _timed(legs, name, seconds, role=None, cpu=None, **facts):
    """A leg with two runs, the first the shorter; processor time half the wall time unless
    given."""
    leg = legs.Leg(name, [], None, role=role, compared=name.startswith("dulse"))
    leg.times = [seconds, seconds * 1.5]
    leg.cpu_times = [cpu or seconds / 2, (cpu or seconds / 2) * 1.2]
    for field, value in facts.items():
        setattr(leg, field, value)
    return leg


def _table_legs(legs, engine_seconds=1.2, fc_seconds=4.5, header_seconds=0.5):
    header_only = _timed(legs, "featureCounts, header only", header_seconds)
    header_only.hidden = True
    peer = _timed(legs, "featureCounts", fc_seconds, legs.PEER)
    peer.baseline = header_only
    return [
        _timed(legs, "dulse engine", engine_seconds, cpu=0.9, pending_peak=321, call_kib=2048),
        _timed(legs, "samtools view -c", 1.0, legs.FLOOR),
        header_only, peer,
        _timed(legs, "dulse count", 8.0, legs.WHOLE),
    ]


def test_the_table_shows_ratios_pending_mates_and_the_whole_runs_apart(bench):
    run, legs = bench
    rows = run.table("title", _table_legs(legs), 2_000_000).splitlines()
    engine = next(row.split() for row in rows if row.startswith("dulse engine"))
    # wall, cpu, Mrec/s, peak, before, call, pending, x samtools, fC / leg (4.0 s counting /
    # 1.2 s), obj / leg, then the ratios of processor times: 0.9 / 0.5 and 2.0 / 0.9
    assert engine[2:] == ["1.200", "0.900", "1.67", "0.0", "-", "2.0", "321", "1.20", "3.33",
                          "-", "1.80", "2.22"]
    peer = next(row.split() for row in rows if row.startswith("featureCounts"))
    assert peer[1:3] == ["4.000", "2.000"]  # the header-only run's 0.5 s and 0.25 s taken off
    assert not any(row.startswith("featureCounts, header only") for row in rows)
    whole = rows[rows.index("whole runs, annotation reading included:") + 1:]
    assert [row.split()[0:4] for row in whole] == [["dulse", "count", "8.000", "4.000"],
                                                  ["featureCounts", "4.500", "2.250", "0.44"]]
    # featureCounts' whole run over dulse count's: 4.5 / 8.0, in processor time 2.25 / 4.0
    assert whole[0].split()[-4:] == ["0.56", "-", "-", "0.56"]


@pytest.mark.parametrize("engine_seconds, fc_seconds, verdicts", [
    (1.2, 4.5, ["met", "met"]),       # 1.20x samtools, featureCounts 4.0 / 1.2 = 3.33
    (1.4, 5.0, ["MISSED", "met"]),    # 1.40x samtools, 4.5 / 1.4 = 3.21
    (1.25, 3.9, ["met", "MISSED"]),   # 1.25x samtools, 3.4 / 1.25 = 2.72
])
def test_the_targets_on_coordinate_sorted_pairs_are_judged_from_the_ratios(
        bench, engine_seconds, fc_seconds, verdicts):
    run, legs = bench
    tables = {"pairs-sorted": _table_legs(legs, engine_seconds, fc_seconds)}
    lines = run.target_lines(tables, memory_flat=True)
    assert [line.rsplit(": ", 1)[1] for line in lines] == verdicts + ["met"]
    assert f"x samtools {engine_seconds / 1.0:.2f}" in lines[0]
    assert f"featureCounts / dulse engine {(fc_seconds - 0.5) / engine_seconds:.2f}" in lines[1]


@pytest.mark.parametrize("native_seconds, verdict", [(1.05, "met"), (1.15, "MISSED")])
def test_the_single_end_target_is_judged_per_leg(bench, native_seconds, verdict):
    run, legs = bench
    table_legs = _table_legs(legs) + [_timed(legs, "native path", native_seconds)]
    lines = run.target_lines({"sorted": table_legs}, memory_flat=None)
    assert lines == [
        "single-end sorted, dulse engine x samtools 1.20 (processor time: 1.80) (at most 1.1): "
        "MISSED",
        f"single-end sorted, native path x samtools {native_seconds:.2f} (processor time: "
        f"{native_seconds:.2f}) (at most 1.1): {verdict}"]


@pytest.mark.parametrize("pending, least, verdict", [
    ((2458, 10009), (2406, 9835), True),     # as measured: a little above the fewest
    ((2406, 9835), (2406, 9835), True),
    ((2_000, 20_000), (1_000, 9_872), True),  # within its sweeps' bound, 2x + 256
    ((2_000, 20_001), (1_000, 9_872), False),
    ((2_405, 9835), (2406, 9835), False),    # fewer than any pairing holds: a disagreement
])
def test_memory_is_judged_by_the_reads_any_pairing_must_hold(bench, pending, least, verdict):
    run, legs = bench
    small = _timed(legs, "dulse engine", 0.3, call_kib=2_300, pending_peak=pending[0])
    large = _timed(legs, "dulse engine", 1.2, call_kib=4_700, pending_peak=pending[1])
    lines, judged = run.memory_lines(large, small, 4_000_000, 1_000_000, least)
    assert judged is verdict
    assert lines[1] == "  +2.3 MB for 4.0x the records"
    assert f"{least[0]} and {least[1]}" in lines[2]
    assert run.memory_lines(large, small, 4_000_000, 1_000_000)[1] is None


# The fewest reads a one-pass pairing must hold, which the engine's pending peak is judged by.

@pytest.fixture(scope="module")
def open_pairs():
    sys.path.insert(0, str(BENCHMARKS))
    try:
        import open_pairs as module
        yield module
    finally:
        sys.path.remove(str(BENCHMARKS))


def _lonely(name, pos, mate_pos, mate_unmapped=False):
    """Read 1 alone at `pos`, its mate said to lie at `mate_pos` (or flagged unmapped)."""
    flag = PAIRED | FIRST | (MATE_UNMAPPED if mate_unmapped else 0)
    return SamRecord(name, flag, "chr1", pos, 60, "50M", "chr1", mate_pos, 0)


@pytest.mark.parametrize("records, fewest", [
    (mapped_pair("a", 100, 300) + mapped_pair("b", 150, 200), 2),      # nested
    (mapped_pair("a", 100, 150) + mapped_pair("b", 200, 250), 1),      # one after the other
    # a mate on the next contig is waited for to that contig
    (mapped_pair("a", 100, 50, "chr1", "chr2") + mapped_pair("b", 200, 250), 2),
    # a mate that never comes is let go once the file passes its place
    ([_lonely("a", 100, 150)] + mapped_pair("b", 200, 250), 1),
    # a mate flagged unmapped may come at the end, unplaced
    ([_lonely("a", 100, 150, mate_unmapped=True)] + mapped_pair("b", 200, 250), 2),
    # pairs apart by their HI tag, although named alike
    (mapped_pair("a", 100, 300, tags=(("NH", 2), ("HI", 1)))
     + mapped_pair("a", 150, 350, tags=(("NH", 2), ("HI", 2)), extra=SECONDARY), 2),
])
def test_the_fewest_reads_held_follow_the_pairs_open_across_a_position(
        open_pairs, tmp_path, records, fewest):
    path = fc_peer.write_sam(tmp_path / "sorted.sam", S.coordinate_sorted(records), "coordinate",
                             S.CONTIG_LENGTHS)
    assert open_pairs.least_held(path) == fewest


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_the_engine_holds_at_least_the_fewest_and_at_most_its_sweeps_allow(
        bench, open_pairs, tmp_path, seed):
    run, _ = bench
    records = S.coordinate_sorted(random_library(random.Random(seed), 4000))
    path = fc_peer.write_sam(tmp_path / "sorted.sam", records, "coordinate", S.CONTIG_LENGTHS)
    fewest = open_pairs.least_held(path)
    genes = read_annotation(fc_peer.write_saf(tmp_path / "genes.saf", fc_peer.features(
        ("gA", "chr1", 1, 2000, "+"), ("gB", "chr2", 500, 3000, "-"))))
    found = count_bam(path, genes, engine_settings(Options(paired=True, count_read_pairs=True)))
    assert fewest > 50
    assert fewest <= found.pending_peak <= (run.PENDING_SWEEP_FACTOR * fewest
                                            + run.PENDING_SWEEP_SLACK)
