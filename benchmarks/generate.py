"""Writes the benchmark data set, or reuses it when it is already there.

    python benchmarks/generate.py [--reads 2M] [--fragments 1M] [--data benchmarks/data] [--seed N]

Files, in the data folder:
    genes.gtf, genes.saf          the annotation (about 20,000 genes; the same for every size)
    header-only.bam               the alignment header and no records
    reads-N.unsorted.bam          N single-end reads in aligner output order
    reads-N.sorted.bam            the same records, coordinate-sorted
    pairs-N.unsorted.bam          N paired-end fragments in aligner output order
    pairs-N.sorted.bam            the same records, coordinate-sorted
    pairs-N.byname.bam            the same records, sorted by name (samtools sort -n)
    *.done                        what a finished set was made from; a set is reused only when its
                                  stamp matches and its files are there
Everything is written with pysam, sorting included, so the bytes depend only on the seed and the
pysam version, not on the tools installed. Files appear under their final names only when complete.
"""

import argparse
import functools
import json
import multiprocessing
import os
import sys
import time
from pathlib import Path

import pysam

from genome import ALL_CONTIGS, make_genes, write_gtf, write_saf
from pairs import PairSimulator
from reads import ReadSimulator

# Bumped whenever a change to the generator changes its output: the single-end reads (and the
# annotation), and the paired-end fragments.
GENERATOR_VERSION = 1
PAIRS_VERSION = 1
DEFAULT_SEED = 20_231_117
DEFAULT_DATA = Path(__file__).resolve().parent / "data"
SORT_MEMORY = "768M"

# The annotation and every read set come from the same genes; draw them once per process.
genes_for_seed = functools.lru_cache(maxsize=2)(make_genes)


def header(sort_order):
    return {
        "HD": {"VN": "1.6", "SO": sort_order},
        "SQ": [{"SN": name, "LN": length} for name, length in ALL_CONTIGS],
        "PG": [{"ID": "bench-aligner", "PN": "bench-aligner", "VN": str(GENERATOR_VERSION)}],
    }


def _stamp(kind, seed, **extra):
    return {"kind": kind, "version": GENERATOR_VERSION, "seed": seed, "pysam": pysam.__version__,
            **extra}


def _is_done(stamp_path, stamp, paths):
    try:
        found = json.loads(Path(stamp_path).read_text())
    except (OSError, ValueError):
        return False
    return found == stamp and all(Path(p).is_file() for p in paths)


def _partial(path):
    return Path(f"{path}.partial")


def annotation_paths(data):
    data = Path(data)
    return {"gtf": data / "genes.gtf", "saf": data / "genes.saf",
            "header_only": data / "header-only.bam"}


def read_paths(data, reads):
    data = Path(data)
    return {"unsorted": data / f"reads-{reads}.unsorted.bam",
            "sorted": data / f"reads-{reads}.sorted.bam"}


def pair_paths(data, fragments):
    data = Path(data)
    return {"unsorted": data / f"pairs-{fragments}.unsorted.bam",
            "sorted": data / f"pairs-{fragments}.sorted.bam",
            "byname": data / f"pairs-{fragments}.byname.bam"}


def ensure_annotation(data, seed):
    paths = annotation_paths(data)
    stamp_path = Path(data) / "genes.done"
    stamp = _stamp("annotation", seed)
    if _is_done(stamp_path, stamp, paths.values()):
        return paths, False
    stamp_path.unlink(missing_ok=True)
    genes = genes_for_seed(seed)
    write_gtf(genes, _partial(paths["gtf"]))
    write_saf(genes, _partial(paths["saf"]))
    with pysam.AlignmentFile(str(_partial(paths["header_only"])), "wb",
                             header=header("coordinate")):
        pass
    for path in paths.values():
        os.replace(_partial(path), path)
    stamp_path.write_text(json.dumps(stamp))
    return paths, True


def write_unsorted(path, genes, reads, seed, threads):
    simulator = ReadSimulator(genes, seed + 1)
    records = 0
    with pysam.AlignmentFile(str(path), "wb", header=header("unsorted"), threads=threads) as out:
        bam_header = out.header
        from_sam = pysam.AlignedSegment.fromstring
        for line in simulator.records(reads):
            out.write(from_sam(line, bam_header))
            records += 1
    return records


def _write_sam_text(simulator, count, sam_header, descriptor):
    """In a child process: the simulator's SAM text into a pipe."""
    try:
        with os.fdopen(descriptor, "w", encoding="ascii", buffering=1 << 20) as pipe:
            pipe.write(sam_header)
            lines = simulator.records(count)
            while True:
                chunk = [line for _, line in zip(range(4096), lines)]
                if not chunk:
                    break
                pipe.write("\n".join(chunk))
                pipe.write("\n")
    except BaseException:
        os._exit(1)


def write_unsorted_pairs(path, genes, fragments, seed, threads):
    """Fragments in aligner order. The SAM text is drawn in a child process while this one
    parses and compresses it (htslib reading SAM beats a record object per line)."""
    simulator = PairSimulator(genes, seed + 2)
    template = header("unsorted")
    read_end, write_end = os.pipe()
    child = multiprocessing.get_context("fork").Process(
        target=_write_sam_text, args=(simulator, fragments,
                                      str(pysam.AlignmentHeader.from_dict(template)), write_end))
    child.start()
    os.close(write_end)
    records = 0
    try:
        with os.fdopen(read_end, "rb") as pipe, pysam.AlignmentFile(pipe, "r") as text, \
                pysam.AlignmentFile(str(path), "wb", header=template, threads=threads) as out:
            for record in text:
                out.write(record)
                records += 1
    finally:
        child.join()
    if child.exitcode != 0:
        raise RuntimeError(f"the fragment simulator failed (exit code {child.exitcode})")
    return records


def sort_bam(source, target, threads, by_name=False):
    # samtools sort (inside pysam) breaks ties by input order, so the output is one and the same
    # whatever the thread count and memory.
    pysam.sort("--no-PG", *(["-n"] if by_name else []), "-@", str(max(threads - 1, 0)),
               "-m", SORT_MEMORY, "-T", f"{target}.tmp", "-o", str(target), str(source),
               catch_stdout=False)


def ensure_reads(data, reads, seed, threads=2, log=print):
    paths = read_paths(data, reads)
    stamp_path = Path(data) / f"reads-{reads}.done"
    stamp = _stamp("reads", seed, reads=reads)
    if _is_done(stamp_path, stamp, paths.values()):
        return paths, False
    stamp_path.unlink(missing_ok=True)
    genes = genes_for_seed(seed)
    began = time.perf_counter()
    records = write_unsorted(_partial(paths["unsorted"]), genes, reads, seed, threads)
    written = time.perf_counter()
    log(f"wrote {reads} reads ({records} records) unsorted in {written - began:.1f} s")
    sort_bam(_partial(paths["unsorted"]), _partial(paths["sorted"]), threads)
    log(f"sorted in {time.perf_counter() - written:.1f} s")
    for path in paths.values():
        os.replace(_partial(path), path)
    stamp_path.write_text(json.dumps(stamp))
    return paths, True


def ensure_pairs(data, fragments, seed, threads=2, log=print):
    paths = pair_paths(data, fragments)
    stamp_path = Path(data) / f"pairs-{fragments}.done"
    stamp = _stamp("pairs", seed, fragments=fragments, pairs_version=PAIRS_VERSION)
    if _is_done(stamp_path, stamp, paths.values()):
        return paths, False
    stamp_path.unlink(missing_ok=True)
    genes = genes_for_seed(seed)
    began = time.perf_counter()
    records = write_unsorted_pairs(_partial(paths["unsorted"]), genes, fragments, seed, threads)
    written = time.perf_counter()
    log(f"wrote {fragments} fragments ({records} records) unsorted in {written - began:.1f} s")
    sort_bam(_partial(paths["unsorted"]), _partial(paths["sorted"]), threads)
    sorted_at = time.perf_counter()
    sort_bam(_partial(paths["unsorted"]), _partial(paths["byname"]), threads, by_name=True)
    log(f"sorted by coordinate in {sorted_at - written:.1f} s, by name in "
        f"{time.perf_counter() - sorted_at:.1f} s")
    for path in paths.values():
        os.replace(_partial(path), path)
    stamp_path.write_text(json.dumps(stamp))
    return paths, True


def read_count(text):
    """'2000000', '2M', '500k' -> an int of at least 1."""
    text = text.strip().lower().replace("_", "")
    scale = {"k": 1_000, "m": 1_000_000}.get(text[-1:], 1)
    try:
        value = int(float(text[:-1] if scale > 1 else text) * scale)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a read count: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("the read count must be at least 1")
    return value


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--reads", type=read_count, action="append",
                        help="single-end reads per set, e.g. 2000000 or 2M (repeatable; "
                             "default 2M unless only --fragments is given)")
    parser.add_argument("--fragments", type=read_count, action="append",
                        help="paired-end fragments per set, e.g. 1M (repeatable; default 1M "
                             "unless only --reads is given)")
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help="data folder")
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--threads", type=int, default=2,
                        help="compression threads (the bytes do not depend on it)")
    args = parser.parse_args(argv)
    args.data.mkdir(parents=True, exist_ok=True)
    paths, made = ensure_annotation(args.data, args.seed)
    print(f"{'wrote' if made else 'reusing'} {paths['gtf']}")
    if not args.reads and not args.fragments:
        args.reads, args.fragments = [2_000_000], [1_000_000]
    for reads in args.reads or []:
        paths, made = ensure_reads(args.data, reads, args.seed, args.threads)
        print(f"{'wrote' if made else 'reusing'} {paths['sorted']} and {paths['unsorted']}")
    for fragments in args.fragments or []:
        paths, made = ensure_pairs(args.data, fragments, args.seed, args.threads)
        print(f"{'wrote' if made else 'reusing'} {', '.join(str(p) for p in paths.values())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
