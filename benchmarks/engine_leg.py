"""One timed call of dulse's counting engine, in a process of its own; prints one JSON line.

    python benchmarks/engine_leg.py {single,pairs} BAM GTF STRAND MAPQ [THREADS]

single   featureCounts' default rules for single-end reads (-s STRAND -Q MAPQ)
pairs    paired-end fragments, as featureCounts -p --countReadPairs -s STRAND -Q MAPQ

The annotation is read by the package's reader and the engine's feature index built from it
before the clock starts (their time is reported beside the call's); the time is that of
dulse._engine.count_file alone. The call's memory is its peak resident size minus the resident
size just before it (the kernel's high-water mark is reset first, where it allows it).
"""

import gc
import json
import sys
import time

from dulse import _engine
from dulse.api import feature_index
from dulse.quantify.annotation import read_annotation
from dulse.settings import STRANDEDNESS_NAMES, Settings

from memory import cpu_seconds, release_free_memory, reset_peak, status_kib
from legs import counts_digest

MODES = {
    "single": {},
    "pairs": {"paired": True, "count_fragments": True},
}


def main(argv):
    mode, bam, gtf = argv[:3]
    strand, mapq = (int(value) for value in argv[3:5])
    threads = int(argv[5]) if len(argv) > 5 else 1
    if mode not in MODES:
        raise SystemExit(f"unknown mode {mode!r}")
    settings = Settings(strandedness=STRANDEDNESS_NAMES[strand], min_mapq=mapq, **MODES[mode])
    began = time.perf_counter()
    annotation = read_annotation(gtf)
    index = feature_index(annotation)
    index_seconds = time.perf_counter() - began
    arguments = settings.engine_arguments()
    gc.collect()
    release_free_memory()
    before = status_kib("VmRSS")
    setup_peak = status_kib("VmHWM")
    peak_reset = reset_peak()
    cpu = cpu_seconds()
    began = time.perf_counter()
    found = _engine.count_file(bam, index, threads=threads, **arguments)
    seconds = time.perf_counter() - began
    cpu = cpu_seconds() - cpu
    peak = status_kib("VmHWM")
    counts = found["counts"][strand]
    print(json.dumps({
        "seconds": seconds, "cpu_seconds": cpu, "index_seconds": index_seconds,
        "rss_before_kib": before,
        "call_peak_kib": peak, "peak_reset": peak_reset,
        "process_peak_kib": max(setup_peak, peak), "records": found["records"],
        "pending_peak": found["pending_peak"], "sort_order": found["sort_order"],
        "summary": found["summary"],
        "counts": counts_digest(zip(annotation.gene_ids, counts.tolist())),
        "genes": len(annotation.gene_ids),
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
