"""Repeated calls leave no references, memory or file descriptors behind."""

import gc
import os
import sys

import pytest

from helpers import Entry, Record, entry, run

INDEX = {"chr1": entry((100, 200, "G1", "+"), (150, 300, "G2", "-"), (400, 500, "G1", "+"))}
RECORDS = [
    {"pos": 100, "cigar": "20M", "tags": [("NH", 2)]},
    {"pos": 250, "cigar": "10M", "flag": 16},
    {"pos": 410, "cigar": "5M100N5M", "tags": [("NH", "x", "Z")]},
    {"flag": 4, "tid": -1, "pos": -1, "cigar": None, "length": 5},
    {"tid": 1, "pos": 5},
]


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def block_growth(call, repeats):
    """Memory blocks still allocated by the interpreter after `repeats` more calls: the smaller
    growth of two windows in a row, since interpreter caches may grow now and then, while a
    leak of even one object per call grows by `repeats` blocks in every window."""
    for _ in range(50):
        call()
    growths = []
    for _window in range(2):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(repeats):
            call()
        gc.collect()
        growths.append(sys.getallocatedblocks() - before)
    return min(growths)


def expect_failure(error, *args, **kwargs):
    def call():
        with pytest.raises(error):
            run(*args, **kwargs)
    return call


@pytest.fixture
def path(bam):
    return bam(RECORDS)


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
@pytest.mark.parametrize("case", ["success", "missing file", "index none", "key error",
                                  "query error", "weight error", "close error"])
def test_no_growth(path, fake, tmp_path, case):
    if case == "success":
        call = lambda: run(path, ["G1", "G2"], INDEX, multi_mode=2)  # noqa: E731
    elif case == "missing file":
        call = expect_failure(OSError, str(tmp_path / "absent.bam"), ["G1"], INDEX)
    elif case == "index none":
        call = expect_failure(AttributeError, path, ["G1"], None)
    elif case == "key error":
        call = expect_failure(KeyError, path, ["G2"], INDEX)
    elif case == "query error":
        call = expect_failure(IndexError, path, ["G1"], {"chr1": Entry(((0, 900, "G1"),),
                                                                       (0,), (900,))})
    else:
        if case == "weight error":
            stand_in = fake([Record([(100, 150)], nh=2**40)] * 3)
            failing = expect_failure(OverflowError, "x.bam", ["G1"], INDEX)
        else:
            stand_in = fake([Record([(100, 150)], nh=2)] * 3, close_error=RuntimeError("close"))
            failing = expect_failure(RuntimeError, "x.bam", ["G1"], INDEX)

        def call():
            stand_in.log.clear()  # the stand-in's own log of calls would grow otherwise
            failing()

    fds = open_fds()
    growth = block_growth(call, 500)
    assert open_fds() == fds
    assert growth < 150, f"{growth} more memory blocks after 500 calls"
