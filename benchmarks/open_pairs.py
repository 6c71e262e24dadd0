"""The fewest reads any exact one-pass pairing must hold at once on a coordinate-sorted BAM file.

    python benchmarks/open_pairs.py FILE.bam

Pairing without temporary files has to keep each read (or what it counted) from the time it is
met until its mate arrives, or until the file has passed the mate's place, when no mate can come
any more (a mate flagged unmapped may come unplaced at the end of the file: its read waits to
the end; a read whose mate's place is already behind it waits for nothing). The most reads
open in that sense at once is the least any such pairing can hold: the engine's pending peak
is measured against it. It grows with the depth of the file (more pairs open across each
position) and with its pairs whose mate lies on a later contig.

Written independently of the engine, with pysam: two records are mates when they carry the
same name and HI tag, one is read 1 and the other read 2, and they agree on both mates' places
(nowhere for an unmapped mate). The result is kept beside the file (FILE.open), as the file's
size and time it was computed from, and reused while those stay the same.
"""

import heapq
import json
import sys
from pathlib import Path

_UNPLACED = 1 << 62  # after every placed record: the unplaced ones come last


def _place(tid, pos):
    return _UNPLACED if tid < 0 else (tid << 32) + pos


def _key(record):
    own = (-2, -2) if record.is_unmapped else (record.reference_id, record.reference_start)
    mate = (-2, -2) if record.mate_is_unmapped else (record.next_reference_id,
                                                     record.next_reference_start)
    hi = record.get_tag("HI") if record.has_tag("HI") else None
    places = own + mate if record.is_read1 else mate + own
    return (record.query_name, *places, hi)


def least_held(path):
    """The most reads open at once in the coordinate-sorted SAM or BAM file `path` (see above)."""
    import pysam

    waiting = set()
    expiries = []  # (the place after which a read's mate cannot come, its key)
    peak = 0
    with pysam.AlignmentFile(str(path), check_sq=False) as bam:
        for record in bam.fetch(until_eof=True):
            here = _place(record.reference_id, record.reference_start)
            while expiries and expiries[0][0] < here:
                waiting.discard(heapq.heappop(expiries)[1])
            if not record.is_paired or record.is_read1 == record.is_read2:
                continue
            key = _key(record)
            if key in waiting:
                waiting.remove(key)
                continue
            due = _UNPLACED if record.mate_is_unmapped else _place(record.next_reference_id,
                                                                   record.next_reference_start)
            if due < here:
                continue
            waiting.add(key)
            heapq.heappush(expiries, (due, key))
            peak = max(peak, len(waiting))
    return peak


def cached_least_held(path):
    """least_held(path), computed once per version of the file."""
    path = Path(path)
    stat = path.stat()
    stamp = {"size": stat.st_size, "mtime_ns": stat.st_mtime_ns}
    cache = path.with_suffix(".open")
    try:
        kept = json.loads(cache.read_text())
        if kept.get("file") == stamp:
            return kept["least_held"]
    except (OSError, ValueError, KeyError, AttributeError):
        pass
    peak = least_held(path)
    cache.write_text(json.dumps({"file": stamp, "least_held": peak}))
    return peak


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip().split("\n")[2].strip())
    print(least_held(sys.argv[1]))
