"""Measures dulse against the decoding floor and featureCounts on the benchmark data set.

    python benchmarks/run.py [--reads 2M] [--set sorted --set unsorted] [--repeat 3]

For each file, every leg runs in a fresh process, the legs taking turns, `--repeat` times; the
table shows each leg's best (shortest) run, the one least disturbed by the rest of the machine.
Legs:
  native path      quantify_bam_fast as installed (its own BAM decoder where it has one)
  pysam objects    the same call forced onto pysam's record objects
  decoder alone    the native path with an empty index: every record read, nothing counted
  samtools view -c one thread; htslib's time to decode the file, the floor (when installed)
  featureCounts    -T 1 with the GTF, minus its time on a header-only BAM, i.e. without
                   reading the annotation (when installed)
For the module legs the time is that of the call alone, the index being built before it; for the
tools it is the process's wall time. Peak is the process's peak resident size; "before" is the
resident size just before the call (interpreter, pysam, the index) and "call" what the call adds
to it at its peak.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from generate import DEFAULT_DATA, DEFAULT_SEED, ensure_annotation, ensure_reads, read_count
from inflater import module_inflater, samtools_inflater
from legs import describe_untimed_work, module_legs, tool_legs

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
    """-> (wall seconds, peak RSS in KiB, stdout text); raises RuntimeError on failure."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        began = time.perf_counter()
        process = subprocess.Popen(argv, stdout=out, stderr=err, cwd=HERE)
        watch = PeakWatch(process.pid)
        watch.start()
        # Reaping by wait4 here: until then the pid cannot be reused under the watch.
        _, status, _ = os.wait4(process.pid, 0)
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
        return wall, watch.peak_kib, out.read().decode(errors="replace")


def measure(legs, repeat):
    """Runs every leg `repeat` times, taking turns; keeps each leg's shortest run."""
    for _ in range(repeat):
        for leg in legs:
            if leg.failed:
                continue
            try:
                leg.record(*run_process(leg.argv))
            except (RuntimeError, ValueError) as error:
                leg.failed = str(error)


def _fmt(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def _mb(kib):
    return None if kib is None else kib / 1024


COLUMNS = (("leg", 18), ("wall s", 7), ("Mrec/s", 7), ("peak MB", 8), ("before MB", 9),
           ("call MB", 8), ("x samtools", 10), ("fC / leg", 8), ("obj / leg", 9))


def table(title, legs, records):
    """One row per leg; ratios are times: x samtools = leg / samtools, the others = them / leg."""
    by_name = {leg.name: leg for leg in legs if leg.best is not None}
    floor = by_name.get("samtools view -c")
    peer = by_name.get("featureCounts -T 1")
    objects = by_name.get("pysam objects")
    lines = [title, "  ".join(f"{name:<{width}}" if k == 0 else f"{name:>{width}}"
                              for k, (name, width) in enumerate(COLUMNS))]
    for leg in legs:
        if leg.best is None:
            lines.append(f"{leg.name:<18}  failed: {leg.failed}")
            continue
        seconds = leg.best
        cells = [
            f"{seconds:.3f}",
            _fmt(records / seconds / 1e6 if records else None),
            _fmt(_mb(leg.peak_kib), 1),
            _fmt(_mb(leg.before_kib), 1),
            _fmt(_mb(leg.call_kib), 1),
            _fmt(seconds / floor.best if floor else None),
            _fmt(peer.best / seconds if peer else None),
            _fmt(objects.best / seconds if objects and leg.module else None),
        ]
        lines.append("  ".join([f"{leg.name:<18}"] + [f"{cell:>{width}}" for cell, (_, width)
                                                        in zip(cells, COLUMNS[1:])]))
    return "\n".join(lines)


def _record_counts(legs):
    """A warning when the legs that count records do not find the same number."""
    found = {leg.name: leg.records for leg in legs if leg.records is not None}
    if len(set(found.values())) > 1:
        return "WARNING: record counts differ: " + ", ".join(f"{k} {v}" for k, v in found.items())
    return None


def _agreement(legs):
    """A line saying whether the two counting paths gave the same result."""
    results = {leg.name: leg.result for leg in legs if leg.result is not None and leg.counting}
    if len(results) < 2:
        return None
    if len({(tuple(r["raw_stats"]), r["counts"]) for r in results.values()}) == 1:
        stats = next(iter(results.values()))["raw_stats"]
        return f"native and pysam-object paths agree: raw_stats {tuple(stats)}"
    details = "; ".join(f"{name}: {r['raw_stats']} counts {r['counts']}"
                        for name, r in results.items())
    return f"WARNING: the counting paths disagree: {details}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reads", type=read_count, default=2_000_000)
    parser.add_argument("--set", dest="sets", action="append", choices=("sorted", "unsorted"),
                        help="which files (repeatable; default both)")
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--strand", type=int, default=0, choices=(0, 1, 2))
    parser.add_argument("--mapq", type=int, default=0)
    parser.add_argument("--python", default=sys.executable,
                        help="interpreter with dulse installed (default: this one)")
    args = parser.parse_args(argv)
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    if os.sep in args.python:
        args.python = os.path.abspath(args.python)  # the legs run in this script's folder

    args.data.mkdir(parents=True, exist_ok=True)
    annotation, _ = ensure_annotation(args.data, args.seed)
    bams, _ = ensure_reads(args.data, args.reads, args.seed)
    inflater = module_inflater(args.python)
    print(f"{_machine()}; legs run by {args.python}")
    print(f"dulse inflater: {inflater}; samtools: {samtools_inflater()}")
    print(f"counting: strand_mode {args.strand}, mapq_min {args.mapq}, NH-tagged multi-mappers "
          f"discarded (multi_mode 0, use_nh_tag true); featureCounts -s {args.strand} "
          f"-Q {args.mapq}")
    with tempfile.TemporaryDirectory() as scratch:
        for name in args.sets or ["sorted", "unsorted"]:
            bam = bams[name]
            _warm(bam)
            _warm(annotation["gtf"])
            legs = (module_legs(args.python, bam, annotation["gtf"], args.strand, args.mapq)
                    + tool_legs(bam, annotation, args.strand, args.mapq, Path(scratch)))
            measure(legs, args.repeat)
            describe_untimed_work(legs)
            records = next((leg.records for leg in legs if leg.records), None)
            title = (f"\n{bam.name}: {records or '?'} records, {bam.stat().st_size / 1e6:.0f} MB, "
                     f"best of {args.repeat}")
            print(table(title, [leg for leg in legs if not leg.hidden], records))
            for leg in legs:
                if leg.note:
                    print(f"  {leg.name}: {leg.note}")
            for line in (_record_counts(legs), _agreement(legs)):
                if line:
                    print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
