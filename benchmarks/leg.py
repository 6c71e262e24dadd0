"""One timed call of quantify_bam_fast, in a process of its own; prints one JSON line.

    python benchmarks/leg.py {native,objects,decoder} BAM GTF STRAND MAPQ MULTI USE_NH

native   the module as installed, with the real pysam: its fastest path for a BAM on disk
objects  the module's pysam is a stand-in that forwards to pysam, which keeps it on the path
         that reads pysam's record objects
decoder  the native path with an empty index and no NH weighting: every record is read and
         nothing is counted

The index is read by the package's annotation reader before the clock starts (its time is reported
beside the call's). The call's memory is its peak resident size minus the
resident size just before it (the kernel's high-water mark is reset first, where it allows it).
"""

import gc
import hashlib
import json
import sys
import time
import types

import pysam
from dulse.quantify import _core_fast
from dulse.quantify.annotation import read_annotation

from memory import cpu_seconds, release_free_memory, reset_peak, status_kib


def _digest(counts):
    text = "\n".join(f"{gene}\t{value!r}" for gene, value in counts.items())
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def main(argv):
    mode, bam, gtf = argv[:3]
    strand, mapq, multi, use_nh = (int(value) for value in argv[3:7])
    began = time.perf_counter()
    if mode == "decoder":
        gene_ids, gene_index, strand, mapq, multi, use_nh = [], {}, 0, 0, 0, 0
    else:
        annotation = read_annotation(gtf)
        gene_ids, gene_index = annotation.gene_ids, annotation.gene_index
    index_seconds = time.perf_counter() - began
    if mode == "objects":
        _core_fast.pysam = types.SimpleNamespace(
            AlignmentFile=lambda *args, **kwargs: pysam.AlignmentFile(*args, **kwargs))
    elif mode not in ("native", "decoder"):
        raise SystemExit(f"unknown mode {mode!r}")
    gc.collect()
    release_free_memory()
    before = status_kib("VmRSS")
    setup_peak = status_kib("VmHWM")
    peak_reset = reset_peak()
    cpu = cpu_seconds()
    began = time.perf_counter()
    counts, raw_stats = _core_fast.quantify_bam_fast(bam, gene_ids, gene_index, strand, mapq,
                                                     multi, bool(use_nh))
    seconds = time.perf_counter() - began
    cpu = cpu_seconds() - cpu
    peak = status_kib("VmHWM")
    print(json.dumps({
        "seconds": seconds, "cpu_seconds": cpu, "index_seconds": index_seconds,
        "rss_before_kib": before, "call_peak_kib": peak,
        "peak_reset": peak_reset, "process_peak_kib": max(setup_peak, peak),
        "raw_stats": list(raw_stats), "counts": _digest(counts),
        "genes": len(gene_ids), "contigs": len(gene_index),
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
