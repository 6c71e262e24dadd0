"""dulse htseq-count against htseq-count, end to end, on the benchmark's single-end and paired sets.

    python benchmarks/htseq_leg.py [--reads 2000000] [--fragments 1000000] [--subset 200000]

htseq-count takes about 50 microseconds a record, so it runs on the first --subset records of
each file and on the header alone; its time for the whole file is the header run (reading the
annotation) plus the subset's counting scaled per record. On the subset both programs must write
the same table (for pairs, dulse with --pairs-as-1.99, the rules of the installed 1.99.2). dulse
runs on the whole file, on one thread and on --threads. Sets: reads-N.sorted.bam (single-end,
-s reverse), pairs-N.byname.bam (-r name) and pairs-N.sorted.bam (-r pos), with -s reverse; a
set whose file is missing is skipped (generate.py writes them).
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEFAULT_DATA = HERE / "data"


def run(argv, stdout=subprocess.PIPE):
    began = time.perf_counter()
    done = subprocess.run(argv, stdout=stdout, stderr=subprocess.PIPE, text=True,
                          cwd=tempfile.gettempdir())
    wall = time.perf_counter() - began
    if done.returncode != 0:
        raise RuntimeError(f"{argv[0]} exited with {done.returncode}: "
                           f"{done.stderr.strip().splitlines()[-3:]}")
    return wall, done.stdout


def records_in(bam):
    return int(subprocess.run(["samtools", "view", "-c", str(bam)], capture_output=True,
                              text=True, check=True).stdout)


def subset(bam, count, folder):
    """The header and the first `count` records of bam, as a BAM file."""
    target = Path(folder) / f"{Path(bam).stem}.first{count}.bam"
    view = subprocess.Popen(["samtools", "view", "-h", str(bam)], stdout=subprocess.PIPE)
    head = subprocess.Popen(["head", "-n", str(count + 200_000)], stdin=view.stdout,
                            stdout=subprocess.PIPE)
    view.stdout.close()
    lines, kept = [], 0
    for line in head.stdout:
        if not line.startswith(b"@"):
            if kept == count:
                break
            kept += 1
        lines.append(line)
    head.stdout.close()
    head.wait()
    view.wait()
    subprocess.run(["samtools", "view", "-b", "-o", str(target), "-"], input=b"".join(lines),
                   check=True)
    return target, kept


def best(repeat, argv):
    times, out = [], None
    for _ in range(repeat):
        wall, out = run(argv)
        times.append(wall)
    return min(times), out


def leg(name, bam, options, gtf, header_only, args, folder):
    dulse = [args.python, "-m", "dulse", "htseq-count", "-q", *options]
    peer = ["htseq-count", "-q", *options]
    total = records_in(bam)
    small, kept = subset(bam, args.subset, folder)
    peer_small, peer_table = best(1, [*peer, str(small), str(gtf)])
    peer_header, _ = best(1, [*peer, str(header_only), str(gtf)])
    check = ["--pairs-as-1.99"] if name != "single-end" else []
    _, dulse_table = run([*dulse, *check, str(small), str(gtf)])
    same = dulse_table == peer_table
    peer_full = peer_header + (peer_small - peer_header) * total / kept
    one, _ = best(args.repeat, [*dulse, str(bam), str(gtf)])
    many, _ = best(args.repeat, [*dulse, "-n", str(args.threads), str(bam), str(gtf)])
    return dict(name=name, records=total, subset=kept, peer_small=peer_small,
                peer_header=peer_header, peer_full=peer_full, one=one, many=many, same=same)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--reads", type=int, default=2_000_000)
    parser.add_argument("--fragments", type=int, default=1_000_000)
    parser.add_argument("--subset", type=int, default=200_000)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--python", default=sys.executable)
    args = parser.parse_args(argv)
    for tool in ("htseq-count", "samtools"):
        if shutil.which(tool) is None:
            parser.error(f"{tool} is not installed")
    gtf, header_only = args.data / "genes.gtf", args.data / "header-only.bam"
    sets = [("single-end", args.data / f"reads-{args.reads}.sorted.bam", ["-s", "reverse"]),
            ("pairs by name", args.data / f"pairs-{args.fragments}.byname.bam",
             ["-s", "reverse", "-r", "name"]),
            ("pairs by position", args.data / f"pairs-{args.fragments}.sorted.bam",
             ["-s", "reverse", "-r", "pos"])]
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for name, bam, options in sets:
            if not bam.exists() or not gtf.exists():
                print(f"{name}: {bam} is missing (benchmarks/generate.py writes it)",
                      file=sys.stderr)
                continue
            rows.append(leg(name, bam, options, gtf, header_only, args, folder))
    print(f"{'set':<18} {'records':>10} {'htseq-count':>12} {'dulse -n 1':>11} {'ratio':>7} "
          f"{f'dulse -n {args.threads}':>11} {'ratio':>7}  same table on the subset")
    for row in rows:
        print(f"{row['name']:<18} {row['records']:>10,} {row['peer_full']:>11.1f}s "
              f"{row['one']:>10.2f}s {row['peer_full'] / row['one']:>6.1f}x "
              f"{row['many']:>10.2f}s {row['peer_full'] / row['many']:>6.1f}x  "
              f"{'yes' if row['same'] else 'NO'} ({row['subset']:,} records: htseq-count "
              f"{row['peer_small']:.1f}s, {row['peer_header']:.1f}s of it the annotation)")
    return 0 if all(row["same"] for row in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
