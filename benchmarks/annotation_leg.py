"""One timed read of an annotation file by dulse, in a process of its own; prints one JSON line.

    python benchmarks/annotation_leg.py ANNOTATION

The read is timed alone, and so is the first call of featurecounts_columns() after it (the
Chr, Start, End, Strand and Length columns of featureCounts' counts file); the process's peak
resident size is taken after each.
"""

import json
import sys
import time

from dulse.annotation import read_annotation


def _peak_kib():
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def main(argv):
    began = time.perf_counter()
    annotation = read_annotation(argv[0])
    read = time.perf_counter() - began
    read_peak = _peak_kib()
    began = time.perf_counter()
    columns = annotation.featurecounts_columns()
    layout = time.perf_counter() - began
    print(json.dumps({"read_seconds": read, "read_peak_mb": read_peak / 1024,
                      "columns_seconds": layout, "columns_peak_mb": _peak_kib() / 1024,
                      "genes": len(columns), "features": int(annotation.features.start.size)}))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
