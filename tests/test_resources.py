"""Repeated calls leave no references, memory or file descriptors behind."""

import gc
import os
import tracemalloc

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


def traced_growth(call, repeats):
    """Bytes of Python-allocated memory still held after `repeats` more calls."""
    for _ in range(20):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(repeats):
            call()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


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
    growth = traced_growth(call, 300)
    assert open_fds() == fds
    # A single leaked object per call would hold 300 x 16 bytes or more.
    assert growth < 4096, f"{growth} bytes still held after 300 calls"
