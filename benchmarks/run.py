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
tools it is the process's wall time. Peak is the process's peak resident size; "call adds" is the
call's peak resident size minus the resident size just before the call.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from generate import DEFAULT_DATA, DEFAULT_SEED, ensure_annotation, ensure_reads, read_count
from inflater import module_inflater, samtools_inflater
from legs import describe_baselines, module_legs, tool_legs

HERE = Path(__file__).resolve().parent


def _warm(path):
    with open(path, "rb") as data:
        while data.read(1 << 22):
            pass


def run_process(argv):
    """-> (wall seconds, peak RSS in KiB, stdout text); raises RuntimeError on failure."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        began = time.perf_counter()
        process = subprocess.Popen(argv, stdout=out, stderr=err, cwd=HERE)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - began
        process.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        if process.returncode != 0:
            message = err.read().decode(errors="replace").strip().splitlines()[-5:]
            raise RuntimeError(f"{argv[0]} exited with {process.returncode}: "
                               + " | ".join(message))
        return wall, usage.ru_maxrss, out.read().decode(errors="replace")


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


def table(title, legs, records):
    by_name = {leg.name: leg for leg in legs if leg.best is not None}
    floor = by_name.get("samtools view -c")
    peer = by_name.get("featureCounts -T 1")
    lines = [title,
             f"{'leg':<18} {'wall s':>7} {'Mrec/s':>7} {'peak MB':>8} {'call MB':>8} "
             f"{'x samtools':>10} {'fC / leg':>9} {'obj / leg':>9}"]
    objects = by_name.get("pysam objects")
    for leg in legs:
        if leg.best is None:
            lines.append(f"{leg.name:<18} failed: {leg.failed}")
            continue
        seconds = leg.best
        lines.append(
            f"{leg.name:<18} {seconds:>7.3f} {_fmt(records / seconds / 1e6 if records else None):>7} "
            f"{leg.peak_kib / 1024:>8.1f} {_fmt(leg.call_kib / 1024 if leg.call_kib is not None else None, 1):>8} "
            f"{_fmt(seconds / floor.best if floor else None):>10} "
            f"{_fmt(peer.best / seconds if peer else None):>9} "
            f"{_fmt(objects.best / seconds if objects and leg.module else None):>9}")
    return "\n".join(lines)


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

    args.data.mkdir(parents=True, exist_ok=True)
    annotation, _ = ensure_annotation(args.data, args.seed)
    bams, _ = ensure_reads(args.data, args.reads, args.seed)
    inflater = module_inflater(args.python)
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
            describe_baselines(legs)
            records = next((leg.records for leg in legs if leg.records), None)
            title = (f"\n{bam.name}: {records or '?'} records, {bam.stat().st_size / 1e6:.0f} MB, "
                     f"best of {args.repeat}")
            print(table(title, [leg for leg in legs if not leg.hidden], records))
            for leg in legs:
                if leg.note:
                    print(f"  {leg.name}: {leg.note}")
            agreement = _agreement(legs)
            if agreement:
                print(agreement)
    return 0


if __name__ == "__main__":
    sys.exit(main())
