"""The weight of a record from its NH tag."""

import array
import math

import pytest

from helpers import Record, entry, routine_names, run

INDEX = {"chr1": entry((0, 1000, "A", "+"))}


def weigh(fake, nh, multi_mode, use_nh_tag=True):
    """The weight one record ends with: its share of gene A, or 0.0 when discarded."""
    fake([Record([(100, 150)], nh=nh)])
    counts, stats = run("x.bam", ["A"], INDEX, multi_mode=multi_mode, use_nh_tag=use_nh_tag)
    assert stats[3] + stats[7] == 1
    return counts["A"]


@pytest.mark.parametrize("nh, weights", [
    # weight under multi_mode 0, 1, 2, 3, -1
    (None, (1.0, 1.0, 1.0, 1.0, 1.0)),
    (1, (1.0, 1.0, 1.0, 1.0, 1.0)),
    (0, (1.0, 0.0, 1.0, 1.0, 1.0)),
    (-4, (1.0, 0.0, 1.0, 1.0, 1.0)),
    (2, (0.0, 0.0, 0.5, 1.0, 1.0)),
    (3, (0.0, 0.0, 1 / 3, 1.0, 1.0)),
    (2**31 - 1, (0.0, 0.0, 1 / (2**31 - 1), 1.0, 1.0)),
    (2.9, (0.0, 0.0, 0.5, 1.0, 1.0)),
    (-0.5, (1.0, 0.0, 1.0, 1.0, 1.0)),
    ("3", (0.0, 0.0, 1 / 3, 1.0, 1.0)),
    (" 2 ", (0.0, 0.0, 0.5, 1.0, 1.0)),
    (b"2", (0.0, 0.0, 0.5, 1.0, 1.0)),
    ("three", (1.0,) * 5),
    ("", (1.0,) * 5),
    (float("nan"), (1.0,) * 5),
    (array.array("i", [2]), (1.0,) * 5),
    ([2], (1.0,) * 5),
    (True, (1.0,) * 5),
])
def test_weight_rule(fake, nh, weights):
    got = tuple(weigh(fake, nh, mode) for mode in (0, 1, 2, 3, -1))
    assert got == weights


def test_weight_off_never_reads_the_tag(fake):
    class Untouchable(Record):
        def has_tag(self, tag):
            raise AssertionError("has_tag called")

    fake([Untouchable([(100, 150)])] * 3)
    for mode in (0, 1, 2):
        counts, stats = run("x.bam", ["A"], INDEX, multi_mode=mode, use_nh_tag=False)
        assert counts["A"] == 3.0 and stats[3] == 0


def test_get_tag_only_after_has_tag(fake):
    class Absent(Record):
        def has_tag(self, tag):
            return None

        def get_tag(self, tag):
            raise AssertionError("get_tag called")

    assert weigh(fake, None, 0) == 1.0
    fake([Absent([(100, 150)], nh=5)])
    assert run("x.bam", ["A"], INDEX)[0]["A"] == 1.0


class BadInt:
    def __init__(self, error, *args):
        self.error = error
        self.args = args

    def __int__(self):
        raise self.error(*self.args)


class MyValueError(ValueError):
    pass


@pytest.mark.parametrize("nh", [BadInt(TypeError, "x"), BadInt(MyValueError, "x"),
                                BadInt(UnicodeDecodeError, "utf-8", b"", 0, 1, "bad")])
def test_type_and_value_errors_weigh_one(fake, nh):
    assert weigh(fake, nh, 0) == 1.0


@pytest.mark.parametrize("nh, error, message", [
    (2**31, OverflowError, "value too large to convert to int"),
    (-(2**31) - 1, OverflowError, "value too large to convert to int"),
    (2**64, OverflowError, "Python int too large to convert to C long"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    (str(2**31), OverflowError, "value too large to convert to int"),
    (BadInt(ZeroDivisionError, "int failed"), ZeroDivisionError, "int failed"),
])
@pytest.mark.parametrize("multi_mode", [0, 7])
def test_weight_failures(fake, nh, error, message, multi_mode):
    stand_in = fake([Record([(100, 150)], nh=nh)])
    with pytest.raises(error) as excinfo:
        run("x.bam", ["A"], INDEX, multi_mode=multi_mode)
    assert str(excinfo.value) == message
    assert routine_names(excinfo) == ["quantify_bam_fast", "_read_weight_fast"]
    assert stand_in.closes == 1


class Boom(Exception):
    pass


class Truthless:
    def __bool__(self):
        raise Boom("truth")


@pytest.mark.parametrize("method, result", [("has_tag", Boom("has")), ("has_tag", Truthless()),
                                            ("get_tag", Boom("get"))])
def test_tag_call_failures(fake, method, result):
    def failing(self, tag):
        if isinstance(result, Exception):
            raise result
        return result

    cls = type("Failing", (Record,), {method: failing})
    fake([cls([(100, 150)], nh=2)])
    with pytest.raises(Boom) as excinfo:
        run("x.bam", ["A"], INDEX)
    assert routine_names(excinfo) == ["quantify_bam_fast", "_read_weight_fast"]


# NH as BAM files carry it, through pysam.

@pytest.mark.parametrize("value, kind, weight", [
    (2, "c", 0.5), (2, "C", 0.5), (4, "s", 0.25), (4, "S", 0.25), (5, "i", 0.2), (5, "I", 0.2),
    (-3, "c", 1.0), (1, "C", 1.0), (2.9, "f", 0.5), (4.5, "d", 0.25),
    ("4", "A", 0.25), ("x", "A", 1.0), ("10", "Z", 0.1), ("x", "Z", 1.0), ("1A", "H", 1.0),
])
def test_nh_types_from_bam(bam, value, kind, weight):
    path = bam([{"pos": 100, "tags": [("NH", value, kind)]}])
    counts, stats = run(path, ["A"], INDEX, multi_mode=2)
    assert counts["A"] == weight


@pytest.mark.parametrize("value, weight", [
    (array.array("B", [0x34]), 0.25),          # int() parses the array's bytes: b"4"
    (array.array("b", [0x20, 0x32]), 0.5),     # b" 2"
    (array.array("H", [0x3233]), 1 / 32),      # b"32"
    (array.array("i", [2]), 1.0),              # b"\x02\x00\x00\x00" is no number
    (array.array("f", [2.0]), 1.0),
    (array.array("I", []), 1.0),
])
def test_nh_arrays_from_bam(bam, value, weight):
    path = bam([{"pos": 100, "tags": [("NH", value)]}])
    assert run(path, ["A"], INDEX, multi_mode=2)[0]["A"] == weight


@pytest.mark.parametrize("value, kind, error, message", [
    (2**32 - 1, "I", OverflowError, "value too large to convert to int"),
    (b"\xe9", "A", OverflowError, "%c arg not in range(0x110000)"),
    (b"\xff2", "Z", UnicodeDecodeError, None),
    (float("inf"), "f", OverflowError, "cannot convert float infinity to integer"),
    (-1e19, "d", OverflowError, "Python int too large to convert to C long"),
])
def test_nh_failures_from_bam(bam, value, kind, error, message):
    path = bam([{"pos": 100, "tags": [("NH", value, kind)]}])
    with pytest.raises(error) as excinfo:
        run(path, ["A"], INDEX)
    if message is not None:
        assert str(excinfo.value) == message
    assert routine_names(excinfo) == ["quantify_bam_fast", "_read_weight_fast"]


def test_nh_text_follows_pysams_error_handler(bam, monkeypatch):
    import pysam.libcutils
    path = bam([{"pos": 100, "tags": [("NH", b"\xff2", "Z")]}])
    previous = pysam.libcutils.set_encoding_error_handler("ignore")
    try:
        assert run(path, ["A"], INDEX, multi_mode=2)[0]["A"] == 0.5
    finally:
        pysam.libcutils.set_encoding_error_handler(previous)


def test_discarded_records_skip_assignment(fake):
    class NoBlocks(Record):
        def get_blocks(self):
            raise AssertionError("assigned a discarded record")

    fake([NoBlocks(nh=2), NoBlocks(nh=5)])
    counts, stats = run("x.bam", ["A"], INDEX, multi_mode=1)
    assert stats[3] == 2 and counts["A"] == 0.0


def test_float_nh_weight_exact(fake):
    assert weigh(fake, 7.99, 2) == 1.0 / 7
    assert math.isclose(weigh(fake, 3, 2), 0.3333333333333333, rel_tol=0, abs_tol=0)
