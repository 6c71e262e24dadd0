"""Times `dulse count` against `featureCounts -T 1` under the options that cost more per read.

    python benchmarks/fc_options_leg.py --reads 2000000 [--data benchmarks/data] [--repeat 3]

Each leg runs both programs with the same options on the coordinate-sorted read set written by
generate.py (which must have run), each whole run in a fresh process, taking turns, and keeps
the best wall time of each. The counts files (but for their command line) and the summaries of
the two must be the same, and with -R BAM the records and their XS/XN/XT tags too; a leg that
differs is reported as such. The target: dulse at least 2.5 times as fast.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DEFAULT_DATA = Path(__file__).resolve().parent / "data"
TARGET = 2.5

LEGS = {
    "-O --fraction": ["-O", "--fraction", "-s", "2"],
    "--largestOverlap": ["--largestOverlap", "-s", "2"],
    "-f -O": ["-f", "-O", "-s", "2"],
    "--minOverlap 20 --fracOverlap 0.5": ["--minOverlap", "20", "--fracOverlap", "0.5",
                                          "-s", "2"],
    "-R BAM": ["-R", "BAM", "-s", "2"],
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


def leg(options, bam, annotation, repeat):
    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        local = folder / bam.name
        os.symlink(bam, local)
        best = {"featureCounts": float("inf"), "dulse": float("inf")}
        for _ in range(repeat):
            for program in best:
                output = f"{program}.txt"
                rpath = folder / program
                rpath.mkdir(exist_ok=True)
                extra = ["--Rpath", str(rpath)] if "-R" in options else []
                base = (["featureCounts", "-T", "1"] if program == "featureCounts"
                        else dulse_command() + ["-T", "1"])
                command = base + ["-a", str(annotation), "-o", output, *options, *extra,
                                  local.name]
                best[program] = min(best[program], run(command, folder))
        same = outputs(folder, "featureCounts.txt") == outputs(folder, "dulse.txt")
        if same and "-R" in options:
            written = f"{local.name}.featureCounts.bam"
            same = (assignments(folder / "featureCounts" / written)
                    == assignments(folder / "dulse" / written))
        return best, same


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
    print(f"{bam.name}: dulse count -T 1 against featureCounts -T 1, best of {args.repeat}")
    print(f"{'leg':38s} {'featureCounts':>14s} {'dulse':>8s} {'ratio':>7s}  outputs")
    failed = False
    for label in args.legs or LEGS:
        best, same = leg(LEGS[label], bam, annotation, args.repeat)
        ratio = best["featureCounts"] / best["dulse"]
        verdict = "same" if same else "DIFFER"
        failed = failed or not same or ratio < TARGET
        print(f"{label:38s} {best['featureCounts']:13.2f}s {best['dulse']:7.2f}s "
              f"{ratio:6.2f}x  {verdict}{'' if ratio >= TARGET else '  (below target)'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
