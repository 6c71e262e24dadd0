"""Shared test helpers: BAM files written with pysam, interval indexes, stand-ins for pysam."""

import os
import traceback

import pysam
import pytest
from dulse.quantify import _core_fast

CONTIGS = (("chr1", 100_000), ("chr2", 50_000), ("chrM", 16_569))


def require_peer(installed, name):
    """Skips the calling test where the peer program `name` is not installed; fails it under
    CI, which installs the peers."""
    if installed:
        return
    if os.environ.get("CI") == "true":
        pytest.fail(f"{name} is not installed")
    pytest.skip(f"{name} is not installed")


class Entry:
    """A ContigEntry: the three tuples of one contig's interval index."""

    __slots__ = ("intervals", "starts", "prefix_max_ends")

    def __init__(self, intervals, starts, prefix_max_ends):
        self.intervals = intervals
        self.starts = starts
        self.prefix_max_ends = prefix_max_ends


def entry(*intervals):
    """A well-formed ContigEntry from (start, end, gene, strand) tuples, in any order."""
    ordered = tuple(sorted(intervals, key=lambda iv: iv[0]))
    ends, running = [], None
    for interval in ordered:
        running = interval[1] if running is None else max(running, interval[1])
        ends.append(running)
    return Entry(ordered, tuple(iv[0] for iv in ordered), tuple(ends))


def write_bam(path, records, contigs=CONTIGS):
    """Writes records given as dicts (flag, tid, pos, cigar, mapq, tags, length) to a BAM file."""
    header = {"HD": {"VN": "1.6", "SO": "unsorted"},
              "SQ": [{"SN": name, "LN": length} for name, length in contigs]}
    with pysam.AlignmentFile(str(path), "wb", header=header) as out:
        for number, spec in enumerate(records):
            segment = pysam.AlignedSegment(out.header)
            segment.query_name = spec.get("name", f"read{number}")
            segment.flag = spec.get("flag", 0)
            segment.reference_id = spec.get("tid", 0)
            segment.reference_start = spec.get("pos", 0)
            segment.mapping_quality = spec.get("mapq", 60)
            cigar = spec.get("cigar", "50M")
            length = spec.get("length")
            if cigar is not None:
                segment.cigarstring = cigar
                if length is None:
                    length = segment.infer_query_length()
            length = length or 0
            segment.query_sequence = "A" * length if length else None
            if length:
                segment.query_qualities = pysam.qualitystring_to_array("I" * length)
            for tag, value, *kind in spec.get("tags", ()):
                segment.set_tag(tag, value, *kind)
            out.write(segment)
    return str(path)


def run(path, gene_ids, gene_index, strand_mode=0, mapq_min=0, multi_mode=0, use_nh_tag=True):
    return _core_fast.quantify_bam_fast(path, gene_ids, gene_index, strand_mode, mapq_min,
                                        multi_mode, use_nh_tag)


def routine_names(excinfo):
    """The module's traceback entries of a raised exception, outermost first."""
    frames = traceback.extract_tb(excinfo.value.__traceback__)
    return [frame.name.rsplit(".", 1)[1] for frame in frames
            if frame.name.startswith("dulse.quantify._core_fast.")]


class Forwarding:
    """A stand-in module whose AlignmentFile is pysam's: the records then come through pysam's
    record objects, since the module reads natively only through the pysam it imported."""

    AlignmentFile = staticmethod(lambda path, mode: pysam.AlignmentFile(path, mode))


class FdProbe:
    """A gene_index whose items() notes how many descriptors of this process have `path` open:
    two while the module reads the file with its own decoder, one when pysam alone reads it."""

    def __init__(self, path, index):
        self.path = os.path.realpath(path)
        self.index = index
        self.open_count = None

    def items(self):
        fds = "/proc/self/fd"
        self.open_count = sum(1 for fd in os.listdir(fds)
                              if os.path.realpath(os.path.join(fds, fd)) == self.path)
        return list(self.index.items())


# Stand-ins for pysam, for the paths that a real file cannot reach.

class Record:
    """A record object answering the attributes and calls of pysam's AlignedSegment."""

    def __init__(self, blocks=((100, 150),), *, unmapped=False, secondary=False,
                 supplementary=False, mapq=60, tid=0, reverse=False, nh=None):
        self.is_unmapped = unmapped
        self.is_secondary = secondary
        self.is_supplementary = supplementary
        self.mapping_quality = mapq
        self.reference_id = tid
        self.is_reverse = reverse
        self.blocks = blocks
        self.nh = nh

    def get_blocks(self):
        return self.blocks if not isinstance(self.blocks, tuple) else list(self.blocks)

    def has_tag(self, tag):
        assert tag == "NH"
        return self.nh is not None

    def get_tag(self, tag):
        assert tag == "NH"
        return self.nh


class File:
    """An open alignment file over a list of records; logs the calls the run makes."""

    def __init__(self, records, tids, log, close_error=None):
        self.records = records
        self.tids = tids
        self.log = log
        self.close_error = close_error

    def get_tid(self, name):
        self.log.append(("get_tid", name))
        return self.tids.get(name, -1)

    def fetch(self, **kwargs):
        self.log.append(("fetch", kwargs))
        return iter(self.records)

    def close(self):
        self.log.append(("close",))
        if self.close_error is not None:
            # A fresh exception each time, so that tracebacks do not pile up on one object.
            raise type(self.close_error)(*self.close_error.args)


class Pysam:
    """A module-like stand-in whose AlignmentFile opens a File."""

    def __init__(self, records=(), tids=None, close_error=None):
        self.records = list(records)
        self.tids = {"chr1": 0, "chr2": 1} if tids is None else tids
        self.close_error = close_error
        self.log = []

    def AlignmentFile(self, path, mode):  # noqa: N802 - pysam's name
        self.log.append(("open", path, mode))
        return File(self.records, self.tids, self.log, self.close_error)

    @property
    def closes(self):
        return sum(1 for call in self.log if call[0] == "close")
