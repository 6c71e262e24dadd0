"""Times `dulse count` against `featureCounts` under the options that cost more per read.

    python benchmarks/fc_options_leg.py --reads 2000000 [--data benchmarks/data] [--repeat 3]

Each leg runs both programs with the same options (-T 1 unless the leg gives -T) on the
coordinate-sorted read set written by generate.py (which must have run), each whole run in a
fresh process, taking turns, and keeps the best wall time of each. Each program also runs on the header-only file with the same
options: what that costs (start-up, the annotation, the outputs' set-up) taken from the whole
run leaves the counting phase, on which the target is judged, as for the engine's benchmark.
The counts files (but for their command line) and the summaries of the two must be the same,
and with -R BAM the records and their XS/XN/XT tags too (in the same order, but on several
threads, where featureCounts writes them in an order of its threads' making); a leg that
differs is reported as such. The target: dulse's counting at least 2.5 times as fast.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from inflater import module_deflater
from memory import host_ticks, stolen_share

DEFAULT_DATA = Path(__file__).resolve().parent / "data"
TARGET = 2.5

LEGS = {
    "-O --fraction": ["-O", "--fraction", "-s", "2"],
    "--largestOverlap": ["--largestOverlap", "-s", "2"],
    "-f -O": ["-f", "-O", "-s", "2"],
    "--minOverlap 20 --fracOverlap 0.5": ["--minOverlap", "20", "--fracOverlap", "0.5",
                                          "-s", "2"],
    "-R BAM": ["-R", "BAM", "-s", "2"],
    "-R BAM -T 2": ["-R", "BAM", "-s", "2", "-T", "2"],
}


def dulse_command():
    return [sys.executable, "-m", "dulse", "count"]


def run(command, folder):
    began = time.perf_counter()
    done = subprocess.run(command, cwd=folder, capture_output=True, text=True)
    elapsed = time.perf_counter() - began
    if done.returncode != 0:
        raise RuntimeError(f"{command[0]} failed: {done.stderr.strip().splitlines()[-1:]}")
    return elapsed


def outputs(folder, name):
    counts = (folder / name).read_text().splitlines()[1:]
    summary = (folder / (name + ".summary")).read_text()
    return counts, summary


def assignments(path):
    """The records of a -R BAM file with their assignment tags, in file order."""
    import pysam

    with pysam.AlignmentFile(str(path), check_sq=False) as source:
        return [(record.to_string()) for record in source]


def leg(options, bam, header_only, annotation, repeat):
    """The best whole-run times of both programs, on the reads and on the header alone, and
    whether their outputs on the reads are the same."""
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        local = folder / bam.name
        os.symlink(bam, local)
        os.symlink(header_only, folder / header_only.name)
        best = {(program, target): float("inf") for program in ("featureCounts", "dulse")
                for target in (local.name, header_only.name)}
        for _ in range(repeat):
            for program, target in best:
                output = f"{program}.txt" if target == local.name else f"{program}-header.txt"
                rpath = folder / program
                rpath.mkdir(exist_ok=True)
                extra = ["--Rpath", str(rpath)] if "-R" in options else []
                base = ["featureCounts"] if program == "featureCounts" else dulse_command()
                threads = [] if "-T" in options else ["-T", "1"]
                command = base + [*threads, "-a", str(annotation), "-o", output, *options,
                                  *extra, target]
                best[program, target] = min(best[program, target], run(command, folder))
        same = outputs(folder, "featureCounts.txt") == outputs(folder, "dulse.txt")
        if same and "-R" in options:
            written = f"{local.name}.featureCounts.bam"
            theirs = assignments(folder / "featureCounts" / written)
            ours = assignments(folder / "dulse" / written)
            if "-T" in options:
                # featureCounts on several threads writes the records in an order of its
                # threads' making; dulse keeps the file's order on any number.
                theirs, ours = sorted(theirs), sorted(ours)
            same = theirs == ours
        whole = {program: best[program, local.name] for program in ("featureCounts", "dulse")}
        counting = {program: best[program, local.name] - best[program, header_only.name]
                    for program in ("featureCounts", "dulse")}
        return whole, counting, same


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reads", type=int, default=2_000_000)
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--legs", nargs="*", choices=list(LEGS), help="the legs to run (all)")
    args = parser.parse_args(argv)
    if shutil.which("featureCounts") is None:
        parser.error("featureCounts is not installed")
    bam = (args.data / f"reads-{args.reads}.sorted.bam").resolve()
    annotation = (args.data / "genes.gtf").resolve()
    if not bam.is_file() or not annotation.is_file():
        parser.error(f"no {bam.name} in {args.data}: run benchmarks/generate.py first")
    header_only = (args.data / "header-only.bam").resolve()
    print(f"{bam.name}: dulse count against featureCounts, -T 1 unless the leg gives -T, best "
          f"of {args.repeat}; counting = whole run - run on {header_only.name}; stolen = CPU "
          f"time the virtual machine's host took while the leg ran")
    print(f"dulse compresses the BAM it writes with {module_deflater(sys.executable)}")
    print(f"{'leg':36s} {'featureCounts':>13s} {'dulse':>7s} {'ratio':>6s} "
          f"{'counting: fC':>13s} {'dulse':>7s} {'ratio':>6s}  outputs  stolen")
    failed = False
    for label in args.legs or LEGS:
        ticks = host_ticks()
        whole, counting, same = leg(LEGS[label], bam, header_only, annotation, args.repeat)
        stolen = stolen_share(ticks, host_ticks())
        ratio = whole["featureCounts"] / whole["dulse"]
        counting_ratio = counting["featureCounts"] / counting["dulse"]
        verdict = "same" if same else "DIFFER"
        failed = failed or not same or counting_ratio < TARGET
        print(f"{label:36s} {whole['featureCounts']:12.2f}s {whole['dulse']:6.2f}s "
              f"{ratio:5.2f}x {counting['featureCounts']:12.2f}s {counting['dulse']:6.2f}s "
              f"{counting_ratio:5.2f}x  {verdict}  {stolen:>5s}"
              f"{'' if counting_ratio >= TARGET else '  (below target)'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
