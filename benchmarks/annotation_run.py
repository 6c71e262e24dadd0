"""Times dulse's annotation reader against featureCounts reading the same annotation.

    python benchmarks/annotation_run.py [--repeat 3] [--data benchmarks/data]

Two annotations: the benchmark's own genes.gtf (20,000 genes) and a GENCODE-sized GTF written
by gencode_like.py (60,000 genes, about 1.5 million exon lines), both made once and reused.
featureCounts -T 1 counts a header-only BAM against each, which is its time and memory for
reading the annotation; dulse reads it with read_annotation in a fresh process. Each runs
`--repeat` times, taking turns, and the best run is shown: wall time and peak resident size of
the process. For dulse the process reads the annotation, then computes featurecounts_columns():
its peak is the one right after reading; the call's own time, and the columns' time and the
peak after them, are shown beside.
"""

import argparse
import json
import shutil
import sys
import tempfile
from pathlib import Path

import gencode_like
from generate import DEFAULT_DATA, DEFAULT_SEED, ensure_annotation
from run import _warm, run_process

HERE = Path(__file__).resolve().parent
GENCODE_STAMP = {"kind": "gencode-like", "version": 1, "seed": 20_240_501, "genes": 60_000}


def ensure_gencode_like(data):
    path = Path(data) / "gencode-like.gtf"
    stamp_path = Path(data) / "gencode-like.done"
    try:
        if json.loads(stamp_path.read_text()) == GENCODE_STAMP and path.is_file():
            return path
    except (OSError, ValueError):
        pass
    stamp_path.unlink(missing_ok=True)
    print(f"writing {path} (about a minute)", flush=True)
    gencode_like.write(path, GENCODE_STAMP["genes"], GENCODE_STAMP["seed"])
    stamp_path.write_text(json.dumps(GENCODE_STAMP))
    return path


def best(runs, key):
    return min(run[key] for run in runs) if runs else None


def measure(gtf, header_only, repeat, scratch):
    feature_counts = shutil.which("featureCounts")
    legs = {"dulse": [sys.executable, str(HERE / "annotation_leg.py"), str(gtf)]}
    if feature_counts:
        legs["featureCounts"] = [feature_counts, "-T", "1", "-a", str(gtf), "-o",
                                 str(scratch / "counts.txt"), str(header_only)]
    runs = {name: [] for name in legs}
    _warm(gtf)
    for _ in range(repeat):
        for name, argv in legs.items():
            wall, peak_kib, out = run_process(argv)
            run = {"wall": wall, "peak_mb": peak_kib / 1024}
            if name == "dulse":
                run.update(json.loads(out.strip().splitlines()[-1]))
                run["wall"] -= run["columns_seconds"]
            runs[name].append(run)
    return runs


def report(title, runs):
    dulse, tool = runs["dulse"], runs.get("featureCounts", [])
    facts = dulse[0]
    print(f"\n{title}: {facts['genes']:,} genes, {facts['features']:,} features")
    print(f"  {'':16}{'wall s':>8}{'peak MB':>9}{'read s':>8}{'columns s':>11}"
          f"{'then peak MB':>14}")
    wall, peak = best(dulse, "wall"), best(dulse, "read_peak_mb")
    print(f"  {'dulse':16}{wall:8.2f}{peak:9.1f}{best(dulse, 'read_seconds'):8.2f}"
          f"{best(dulse, 'columns_seconds'):11.3f}{best(dulse, 'columns_peak_mb'):14.1f}")
    if tool:
        print(f"  {'featureCounts':16}{best(tool, 'wall'):8.2f}{best(tool, 'peak_mb'):9.1f}")
        print(f"  dulse / featureCounts: time {wall / best(tool, 'wall'):.2f}, "
              f"peak memory {peak / best(tool, 'peak_mb'):.2f} (whole processes, dulse's "
              f"without the columns)")
    else:
        print("  featureCounts is not installed")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    args.data.mkdir(parents=True, exist_ok=True)
    paths, _ = ensure_annotation(args.data, DEFAULT_SEED)
    gencode = ensure_gencode_like(args.data)
    with tempfile.TemporaryDirectory() as scratch:
        for title, gtf in (("genes.gtf", paths["gtf"]), ("gencode-like.gtf", gencode)):
            report(title, measure(gtf, paths["header_only"], args.repeat, Path(scratch)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
