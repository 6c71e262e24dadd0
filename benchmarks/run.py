"""Measures dulse against the decoding floor and featureCounts on the benchmark data sets.

    python benchmarks/run.py [--reads 2M] [--fragments 1M] [--set pairs-sorted ...] [--repeat 3]

For each file, every leg runs in a fresh process, the legs taking turns, `--repeat` times; the
table shows each leg's best (shortest) run, the one least disturbed by the rest of the machine.
Files (--set): the single-end reads coordinate-sorted ("sorted") and in aligner order
("unsorted"); the paired-end fragments coordinate-sorted ("pairs-sorted"), sorted by name
("pairs-byname") and, when asked for, in aligner order ("pairs-unsorted").
Legs:
  native path      quantify_bam_fast as installed (its own BAM decoder where it has one);
                   single-end files only
  pysam objects    the same call forced onto pysam's record objects; single-end files only
  decoder alone    the native path with an empty index: every record read, nothing counted
  dulse engine     dulse._engine.count_file with featureCounts' rules and options: -s 2 on
                   single-end files, -p --countReadPairs -s 2 on paired ones
  samtools view -c one thread; htslib's time to decode the file, the floor (when installed)
  featureCounts    -T 1 with the same options and the GTF, minus its time on a header-only BAM,
                   i.e. without reading the annotation (when installed)
  dulse count      the command line with featureCounts' options, the whole run (annotation
                   reading included), shown beside featureCounts' whole run
For the module and engine legs the time is that of the call alone, the index being built before
it; for the tools it is the process's wall time. Beside it, the processor time (user and system)
of the call or the process, and the ratios of those: on a machine that is not idle they move
less than wall times do. Peak is the process's peak resident size;
"before" is the resident size just before the call (interpreter, pysam, the index), "call" what
the call adds to it at its peak, and "pending" the most mates the engine held at once waiting for
their mate. The engine's and dulse count's summary rows and gene counts are compared with
featureCounts' own. On the coordinate-sorted pairs the engine also counts a smaller set
(--small-fragments), and its pending peak on both is set beside the fewest reads any one-pass
pairing must hold (open_pairs.py): its memory grows only with those, not with the file.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from generate import (DEFAULT_DATA, DEFAULT_SEED, ensure_annotation, ensure_pairs, ensure_reads,
                      read_count)
from inflater import module_crc32, module_inflater, samtools_inflater
from legs import (FLOOR, OBJECTS, PEER, WHOLE, cli_leg, count_options, describe_untimed_work,
                  engine_leg, module_legs, tool_legs)
from memory import host_ticks, stolen_share
from open_pairs import cached_least_held

HERE = Path(__file__).resolve().parent


def _machine():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as info:
            model = next((line.split(":", 1)[1].strip() for line in info
                          if line.startswith("model name")), model)
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} CPUs"


def _load():
    try:
        return " ".join(f"{value:.2f}" for value in os.getloadavg())
    except OSError:
        return "unknown"


def _warm(path):
    with open(path, "rb") as data:
        while data.read(1 << 22):
            pass


def _high_water_kib(pid):
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return 0


class PeakWatch(threading.Thread):
    """Follows a process's resident high-water mark until told to stop.

    The kernel's own figure for a finished child (ru_maxrss) cannot serve: it keeps the high-water
    mark of the memory the child was forked with, that is, this process's.
    """

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peak_kib = 0
        self.done = threading.Event()

    def run(self):
        while not self.done.wait(0.005):
            self.peak_kib = max(self.peak_kib, _high_water_kib(self.pid))


def run_process(argv):
    """-> (wall seconds, peak RSS in KiB, stdout text, processor seconds); raises RuntimeError
    on failure."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        began = time.perf_counter()
        process = subprocess.Popen(argv, stdout=out, stderr=err, cwd=HERE)
        watch = PeakWatch(process.pid)
        watch.start()
        # Reaping by wait4 here: until then the pid cannot be reused under the watch.
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - began
        watch.done.set()
        watch.join()
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        if process.returncode != 0:
            message = err.read().decode(errors="replace").strip().splitlines()[-5:]
            raise RuntimeError(f"{argv[0]} exited with {process.returncode}: "
                               + " | ".join(message))
        return (wall, watch.peak_kib, out.read().decode(errors="replace"),
                usage.ru_utime + usage.ru_stime)


def measure(legs, repeat):
    """Runs every leg `repeat` times, taking turns; keeps each leg's shortest run."""
    for _ in range(repeat):
        for leg in legs:
            if leg.failed:
                continue
            try:
                leg.record(*run_process(leg.argv))
            except (RuntimeError, ValueError, KeyError, OSError) as error:
                leg.failed = str(error)


def _fmt(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def _mb(kib):
    return None if kib is None else kib / 1024


COLUMNS = (("leg", 18), ("wall s", 7), ("cpu s", 6), ("Mrec/s", 7), ("peak MB", 8),
           ("before MB", 9), ("call MB", 8), ("pending", 8), ("x samtools", 10), ("fC / leg", 8),
           ("obj / leg", 9), ("cpu x sam", 9), ("cpu fC/leg", 10))

# Ratios: targets on the coordinate-sorted pairs (counting phase) and the single-end files.
PAIRS_MAX_X_SAMTOOLS = 1.3
PAIRS_MIN_FC_OVER_DULSE = 3.0
SINGLE_MAX_X_SAMTOOLS = 1.1
# The engine lets go of the reads whose mate can no longer come in sweeps, each when its table
# has grown to twice what the last left and 256 more: it holds at most that many.
PENDING_SWEEP_FACTOR = 2
PENDING_SWEEP_SLACK = 256


def by_role(legs, role):
    return next((leg for leg in legs if leg.role == role and leg.best is not None), None)


def ratios(leg, legs, field="best"):
    """(x samtools, featureCounts / leg) for one leg's best time (`field` best_cpu: processor
    time): the first the leg's / samtools', the second featureCounts' (counting phase) / the
    leg's."""
    floor, peer = by_role(legs, FLOOR), by_role(legs, PEER)
    seconds = getattr(leg, field)
    floor_seconds = getattr(floor, field) if floor else None
    peer_seconds = getattr(peer, field) if peer else None
    return (seconds / floor_seconds if floor_seconds and seconds else None,
            peer_seconds / seconds if peer_seconds and seconds else None)


def _row(name, cells):
    return "  ".join([f"{name:<{COLUMNS[0][1]}}"] + [f"{cell:>{width}}" for cell, (_, width)
                                                    in zip(cells, COLUMNS[1:])])


def table(title, legs, records):
    """One row per leg; ratios are times: x samtools = leg / samtools, the others = them / leg.
    The whole runs (dulse count, featureCounts with its annotation reading) come apart, below."""
    objects = by_role(legs, OBJECTS)
    lines = [title, "  ".join(f"{name:<{width}}" if k == 0 else f"{name:>{width}}"
                              for k, (name, width) in enumerate(COLUMNS))]
    for leg in legs:
        if leg.hidden or leg.role == WHOLE:
            continue
        if leg.best is None:
            lines.append(f"{leg.name:<18}  failed: {leg.failed}")
            continue
        seconds = leg.best
        x_samtools, fc_over = ratios(leg, legs)
        cpu_x_samtools, cpu_fc_over = ratios(leg, legs, "best_cpu")
        lines.append(_row(leg.name, [
            f"{seconds:.3f}",
            _fmt(leg.best_cpu, 3),
            _fmt(records / seconds / 1e6 if records else None),
            _fmt(_mb(leg.peak_kib), 1),
            _fmt(_mb(leg.before_kib), 1),
            _fmt(_mb(leg.call_kib), 1),
            "-" if leg.pending_peak is None else str(leg.pending_peak),
            _fmt(x_samtools),
            _fmt(fc_over),
            _fmt(objects.best / seconds if objects and leg.module else None),
            _fmt(cpu_x_samtools),
            _fmt(cpu_fc_over),
        ]))
    whole = [leg for leg in legs if leg.role == WHOLE]
    peer = next((leg for leg in legs if leg.role == PEER), None)
    if whole or peer:
        lines.append("whole runs, annotation reading included:")
    peer_whole = peer.whole_best if peer else None
    peer_whole_cpu = min(peer.cpu_times) if peer and peer.cpu_times else None
    for leg in whole + [peer]:
        if leg is None:
            continue
        seconds = leg.whole_best
        if seconds is None:
            lines.append(f"{leg.name:<18}  failed: {leg.failed}")
            continue
        cpu = min(leg.cpu_times) if leg.cpu_times else None
        lines.append(_row(leg.name, [
            f"{seconds:.3f}", _fmt(cpu, 3), _fmt(records / seconds / 1e6 if records else None),
            _fmt(_mb(leg.peak_kib), 1), "-", "-", "-", "-",
            _fmt(peer_whole / seconds if peer_whole else None), "-", "-",
            _fmt(peer_whole_cpu / cpu if peer_whole_cpu and cpu else None)]))
    return "\n".join(lines)


def _record_counts(legs):
    """A warning when the legs that count records do not find the same number."""
    found = {leg.name: leg.records for leg in legs if leg.records is not None}
    if len(set(found.values())) > 1:
        return "WARNING: record counts differ: " + ", ".join(f"{k} {v}" for k, v in found.items())
    return None


def _agreement(legs):
    """A line saying whether the module's two counting paths gave the same result."""
    results = {leg.name: leg.result for leg in legs if leg.result is not None and leg.counting}
    if len(results) < 2:
        return None
    if len({(tuple(r["raw_stats"]), r["counts"]) for r in results.values()}) == 1:
        stats = next(iter(results.values()))["raw_stats"]
        return f"native and pysam-object paths agree: raw_stats {tuple(stats)}"
    details = "; ".join(f"{name}: {r['raw_stats']} counts {r['counts']}"
                        for name, r in results.items())
    return f"WARNING: the counting paths disagree: {details}"


def _same_as_featurecounts(legs):
    """Lines saying whether dulse's summary rows and gene counts are featureCounts' own."""
    peer = next((leg for leg in legs if leg.role == PEER), None)
    if peer is None or peer.result is None:
        return []
    expected = peer.result
    lines = []
    for leg in legs:
        if not leg.compared or leg.result is None:
            continue
        found = leg.result
        rows = [name for name in expected["summary"]
                if found["summary"].get(name) != expected["summary"][name]]
        rows += [name for name in found["summary"] if name not in expected["summary"]]
        if not rows and found["counts"] == expected["counts"] \
                and found["genes"] == expected["genes"]:
            lines.append(f"{leg.name} = featureCounts: Assigned {expected['summary']['Assigned']}, "
                         f"all {len(expected['summary'])} summary rows and the counts of all "
                         f"{expected['genes']} genes equal")
            continue
        differences = [f"{name} {found['summary'].get(name)} (featureCounts "
                       f"{expected['summary'].get(name)})" for name in rows]
        if found["counts"] != expected["counts"] or found["genes"] != expected["genes"]:
            differences.append(f"gene counts differ ({found['genes']} genes, featureCounts "
                               f"{expected['genes']})")
        lines.append(f"WARNING: {leg.name} differs from featureCounts: " + "; ".join(differences))
    return lines


def memory_lines(large, small, large_records, small_records, least=None):
    """What the engine's call adds to the resident size on two files of the same kind, and its
    pending peaks against `least`, the fewest reads any one-pass pairing holds at once on each
    (small, large; see open_pairs.py). The verdict: on both files the engine holds no more than
    its sweeps allow beyond those, whatever the file's size; None when not measured."""
    if large is None or small is None or large.best is None or small.best is None:
        return ["memory: not measured (a leg failed)"], None
    if large.call_kib is None or small.call_kib is None:
        return ["memory: not measured (this kernel cannot reset the resident high-water "
                "mark)"], None
    growth = large.call_kib - small.call_kib
    times = large_records / small_records if large_records and small_records else 0
    lines = [
        f"memory of the engine's call on coordinate-sorted pairs: "
        f"{small_records or '?'} records: call {_mb(small.call_kib):.1f} MB, pending peak "
        f"{small.pending_peak}; {large_records or '?'} records: call {_mb(large.call_kib):.1f} MB, "
        f"pending peak {large.pending_peak}",
        f"  {_mb(growth):+.1f} MB for {times:.1f}x the records",
    ]
    if least is None or small.pending_peak is None or large.pending_peak is None:
        return lines, None
    held = (small.pending_peak, large.pending_peak)
    within = all(fewest <= peak <= PENDING_SWEEP_FACTOR * fewest + PENDING_SWEEP_SLACK
                 for peak, fewest in zip(held, least))
    lines.append(
        f"  the fewest reads any one-pass pairing must hold at once (the pairs open across a "
        f"position): {least[0]} and {least[1]}, {least[1] / max(least[0], 1):.1f}x; the engine "
        f"holds {held[0] / max(least[0], 1):.2f}x and {held[1] / max(least[1], 1):.2f}x that")
    return lines, within


def verdict(ok):
    return "met" if ok else "MISSED"


def target_lines(tables, memory_flat):
    """Each target, the ratio measured and whether it is met, judged on wall times; the ratio of
    processor times is given beside, for a machine that was not idle."""
    lines = []
    pairs = tables.get("pairs-sorted")
    if pairs is not None:
        engine = next((leg for leg in pairs if leg.name == "dulse engine"), None)
        x_samtools, fc_over = ratios(engine, pairs) if engine and engine.best else (None, None)
        cpu_x, cpu_over = ratios(engine, pairs, "best_cpu") if engine else (None, None)
        if x_samtools is not None:
            lines.append(f"coordinate-sorted pairs, dulse engine x samtools {x_samtools:.2f}"
                         f"{_cpu_note(cpu_x)} (at most {PAIRS_MAX_X_SAMTOOLS}): "
                         f"{verdict(x_samtools <= PAIRS_MAX_X_SAMTOOLS)}")
        if fc_over is not None:
            lines.append(f"coordinate-sorted pairs, featureCounts / dulse engine {fc_over:.2f}"
                         f"{_cpu_note(cpu_over)} (at least {PAIRS_MIN_FC_OVER_DULSE}): "
                         f"{verdict(fc_over >= PAIRS_MIN_FC_OVER_DULSE)}")
        if memory_flat is not None:
            lines.append(f"coordinate-sorted pairs, memory independent of the file's size "
                         f"beyond the pairs open across a position (pending peak within "
                         f"{PENDING_SWEEP_FACTOR}x + {PENDING_SWEEP_SLACK} of the fewest, on both "
                         f"sizes): {verdict(memory_flat)}")
    for name in ("sorted", "unsorted"):
        legs = tables.get(name)
        if legs is None:
            continue
        for leg in legs:
            if leg.name in ("native path", "dulse engine") and leg.best is not None:
                x_samtools, _ = ratios(leg, legs)
                cpu_x, _ = ratios(leg, legs, "best_cpu")
                if x_samtools is not None:
                    lines.append(f"single-end {name}, {leg.name} x samtools {x_samtools:.2f}"
                                 f"{_cpu_note(cpu_x)} (at most {SINGLE_MAX_X_SAMTOOLS}): "
                                 f"{verdict(x_samtools <= SINGLE_MAX_X_SAMTOOLS)}")
    return lines


def _cpu_note(ratio):
    return "" if ratio is None else f" (processor time: {ratio:.2f})"


SETS = ("sorted", "unsorted", "pairs-sorted", "pairs-byname", "pairs-unsorted")
DEFAULT_SETS = ("sorted", "unsorted", "pairs-sorted", "pairs-byname")


def legs_for(name, bam, python, annotation, strand, mapq, scratch, threads):
    """The legs timed on one file."""
    paired = name.startswith("pairs-")
    gtf = annotation["gtf"]
    tag = f"-{name}"
    modules = module_legs(python, bam, gtf, strand, mapq,
                          modes=("decoder",) if paired else ("native", "objects", "decoder"))
    engines = [engine_leg(python, bam, gtf, paired, strand, mapq)]
    if threads > 1:
        engines.append(engine_leg(python, bam, gtf, paired, strand, mapq, threads))
    return (modules + engines
            + tool_legs(bam, annotation, paired, strand, mapq, scratch, tag, threads)
            + [cli_leg(python, bam, gtf, paired, strand, mapq, scratch, tag)])


THREADS_MIN_SPEEDUP = 1.8
THREADS_MIN_X_PEER = 2.0


def machine_scaling(bam, threads, repeat):
    """What the machine gives `threads` jobs at once: `threads` copies of `samtools view -c`
    (one thread each) started together, against one alone, taking turns `repeat` times; the
    best of each. -> the throughput factor (threads x alone / together), or None without
    samtools. Two threads of one program cannot beat it: it measures the cores themselves
    (a shared core, a clock that drops when both are busy), not any program's parallelism."""
    samtools = shutil.which("samtools")
    if samtools is None or threads < 2:
        return None
    argv = [samtools, "view", "-c", "-@0", str(bam)]
    alone = together = float("inf")
    for _ in range(repeat):
        began = time.perf_counter()
        if subprocess.run(argv, stdout=subprocess.DEVNULL).returncode != 0:
            return None
        alone = min(alone, time.perf_counter() - began)
        began = time.perf_counter()
        running = [subprocess.Popen(argv, stdout=subprocess.DEVNULL) for _ in range(threads)]
        if any(process.wait() != 0 for process in running):
            return None
        together = min(together, time.perf_counter() - began)
    return threads * alone / together


def thread_lines(name, legs, threads, scaling=None):
    """How the engine scales: its time on one thread over its time on `threads`, and
    featureCounts' time on as many threads over the engine's; beside them what the machine
    gives as many single-threaded jobs at once (machine_scaling)."""
    by_name = {leg.name: leg for leg in legs if leg.best is not None}
    one, many = by_name.get("dulse engine"), by_name.get(f"dulse engine -T {threads}")
    peer = by_name.get(f"featureCounts -T {threads}")
    if one is None or many is None:
        return []
    speedup = one.best / many.best
    machine = ("" if scaling is None else
               f"; {threads} samtools at once gave {scaling:.2f}x the throughput of one")
    lines = [f"{name}: dulse engine -T 1 / -T {threads} {speedup:.2f} (at least "
             f"{THREADS_MIN_SPEEDUP}): {verdict(speedup >= THREADS_MIN_SPEEDUP)}{machine}"]
    if peer is not None:
        ratio = peer.best / many.best
        lines.append(f"{name}: featureCounts -T {threads} / dulse engine -T {threads} "
                     f"{ratio:.2f} (at least {THREADS_MIN_X_PEER}): "
                     f"{verdict(ratio >= THREADS_MIN_X_PEER)}")
    return lines


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reads", type=read_count, default=2_000_000,
                        help="single-end reads of the set timed (default 2M)")
    parser.add_argument("--fragments", type=read_count, default=1_000_000,
                        help="paired-end fragments of the set timed (default 1M)")
    parser.add_argument("--small-fragments", type=read_count,
                        help="fragments of the smaller set the engine's memory is compared on "
                             "(default: a quarter of --fragments)")
    parser.add_argument("--set", dest="sets", action="append", choices=SETS,
                        help=f"which files (repeatable; default {', '.join(DEFAULT_SETS)})")
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--strand", type=int, default=2, choices=(0, 1, 2),
                        help="featureCounts' -s (default 2: the libraries are reverse-stranded)")
    parser.add_argument("--mapq", type=int, default=0)
    parser.add_argument("--threads", type=int, default=2,
                        help="threads of the threaded legs, dulse's and featureCounts' (1: none)")
    parser.add_argument("--python", default=sys.executable,
                        help="interpreter with dulse installed (default: this one)")
    args = parser.parse_args(argv)
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    if os.sep in args.python:
        args.python = os.path.abspath(args.python)  # the legs run in this script's folder
    sets = list(dict.fromkeys(args.sets or DEFAULT_SETS))
    small_fragments = args.small_fragments or max(args.fragments // 4, 1)

    args.data.mkdir(parents=True, exist_ok=True)
    annotation, _ = ensure_annotation(args.data, args.seed)
    bams = {}
    if any(not name.startswith("pairs-") for name in sets):
        reads, _ = ensure_reads(args.data, args.reads, args.seed)
        bams.update(reads)
    if any(name.startswith("pairs-") for name in sets):
        pairs, _ = ensure_pairs(args.data, args.fragments, args.seed)
        bams.update({f"pairs-{kind}": path for kind, path in pairs.items()})
    small = None
    if "pairs-sorted" in sets:
        small = ensure_pairs(args.data, small_fragments, args.seed)[0]["sorted"]
    inflater = module_inflater(args.python)
    print(f"{_machine()}; legs run by {args.python}; load average {_load()}")
    print(f"dulse inflater: {inflater}, CRC32 by {module_crc32(args.python)}; samtools: "
          f"{samtools_inflater()}")
    print(f"counting module: strand_mode {args.strand}, mapq_min {args.mapq}, NH-tagged "
          f"multi-mappers discarded (multi_mode 0, use_nh_tag true)")
    single, paired = (" ".join(count_options(p, args.strand, args.mapq)) for p in (False, True))
    print(f"dulse engine, dulse count and featureCounts: {single} on single-end reads, {paired} "
          f"on pairs")
    tables = {}
    scalings = {}
    with tempfile.TemporaryDirectory() as scratch:
        for name in sets:
            bam = bams[name]
            _warm(bam)
            _warm(annotation["gtf"])
            legs = legs_for(name, bam, args.python, annotation, args.strand, args.mapq,
                            Path(scratch), args.threads)
            ticks = host_ticks()
            measure(legs, args.repeat)
            stolen = stolen_share(ticks, host_ticks())
            scalings[name] = machine_scaling(bam, args.threads, args.repeat)
            describe_untimed_work(legs)
            tables[name] = legs
            records = next((leg.records for leg in legs if leg.records), None)
            title = (f"\n{bam.name}: {records or '?'} records, {bam.stat().st_size / 1e6:.0f} MB, "
                     f"best of {args.repeat}; CPU time taken by the host while they ran: {stolen}")
            print(table(title, legs, records))
            for leg in legs:
                if leg.note:
                    print(f"  {leg.name}: {leg.note}")
            for line in [_record_counts(legs), _agreement(legs), *_same_as_featurecounts(legs)]:
                if line:
                    print(line)
        memory_flat = None
        if small is not None:
            _warm(small)
            small_leg = engine_leg(args.python, small, annotation["gtf"], True, args.strand,
                                   args.mapq)
            measure([small_leg], args.repeat)
            large = next(leg for leg in tables["pairs-sorted"] if leg.name == "dulse engine")
            print()
            least = (cached_least_held(small), cached_least_held(bams["pairs-sorted"]))
            lines, memory_flat = memory_lines(large, small_leg, large.records, small_leg.records,
                                              least)
            print("\n".join(lines))
    print(f"\ntargets (load average {_load()}):")
    print("\n".join(f"  {line}" for line in target_lines(tables, memory_flat)))
    for name, legs in tables.items():
        for line in thread_lines(name, legs, args.threads, scalings.get(name)):
            print(f"  {line}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
