"""The record loop: filters and counters, counts, the TidTable, and closing the file."""

import pytest

from dulse.quantify import _core_fast
from helpers import File, Pysam, Record, entry, routine_names, run

GENES = ["G1", "G2", "G3"]
INDEX = {
    "chr1": entry((100, 200, "G1", "+"), (150, 300, "G2", "-"), (220, 260, "G3", "+"),
                  (400, 500, "G1", "+")),
    "chr2": entry((1000, 2000, "G3", "-")),
}
ZERO_STATS = (0,) * 8 + (0.0,)


def invariants_hold(stats):
    total, primary, below, discarded, no_contig, no_feature, ambiguous, assigned, _ = stats
    return total >= primary == below + discarded + no_contig + no_feature + ambiguous + assigned


def test_empty_file(bam):
    assert run(bam([]), GENES, INDEX) == ({"G1": 0.0, "G2": 0.0, "G3": 0.0}, ZERO_STATS)


def test_each_outcome_counted_once(bam):
    records = [
        {"flag": 4, "tid": -1, "pos": -1, "cigar": None, "length": 10},  # unmapped
        {"flag": 0x100, "pos": 100},                  # secondary
        {"flag": 0x800, "pos": 100},                  # supplementary
        {"flag": 0x900, "pos": 100},                  # both: still one record set aside
        {"pos": 100, "mapq": 2},                      # below quality
        {"tid": 2, "pos": 100},                       # chrM: not in the index
        {"pos": 100, "tags": [("NH", 3)]},            # discarded multi-mapper
        {"pos": 600},                                 # no feature
        {"pos": 250, "cigar": "20M"},                 # G2 and G3: ambiguous
        {"pos": 410, "cigar": "20M"},                 # G1
        {"pos": 160, "cigar": "10M50N20M", "flag": 16},  # G2 only: 160-170, 220-240 hits G3 too
        {"tid": 1, "pos": 1500, "cigar": "30M"},      # G3 on chr2
    ]
    counts, stats = run(bam(records), GENES, INDEX, mapq_min=3)
    assert stats == (12, 8, 1, 1, 1, 1, 2, 2, 2.0)
    assert counts == {"G1": 1.0, "G2": 0.0, "G3": 1.0}
    assert invariants_hold(stats)


def test_all_unmapped_touch_nothing_else(fake):
    class Unmapped:
        is_unmapped = True

        def __getattr__(self, name):
            raise AssertionError(f"{name} read from an unmapped record")

    fake([Unmapped(), Unmapped()])
    assert run("x.bam", GENES, INDEX)[1] == (2,) + ZERO_STATS[1:]


@pytest.mark.parametrize("mapq_min, below", [(-5, 0), (0, 0), (30, 1), (31, 2), (256, 3)])
def test_mapq_threshold(bam, mapq_min, below):
    records = [{"pos": 600, "mapq": q} for q in (30, 0, 255)]
    stats = run(bam(records), GENES, INDEX, mapq_min=mapq_min)[1]
    assert stats[2] == below
    assert stats[5] == 3 - below


def test_weights_accumulate_in_file_order(bam):
    records = [{"pos": 410, "cigar": "20M", "tags": [("NH", nh)]} for nh in (1, 2, 3, 3, 7)]
    counts, stats = run(bam(records), GENES, INDEX, multi_mode=2)
    expected = 0.0
    for nh in (1, 2, 3, 3, 7):
        expected += 1.0 / nh
    assert counts["G1"] == expected
    assert stats[7:] == (5, expected)


@pytest.mark.parametrize("gene_ids, keys", [
    (lambda: ["G3", "G1", "G3", "G2"], ["G3", "G1", "G2"]),
    (lambda: "G1", ["G", "1"]),
    (lambda: iter(["G2", "G1"]), ["G2", "G1"]),
    (lambda: {"G1": None, "G9": None}, ["G1", "G9"]),
])
def test_counts_keys(bam, gene_ids, keys):
    counts = run(bam([{"pos": 600}]), gene_ids(), INDEX)[0]
    assert list(counts) == keys
    assert all(type(v) is float for v in counts.values())


@pytest.mark.parametrize("gene_ids", [5, [["unhashable"]]])
def test_counts_from_bad_gene_ids(fake, gene_ids):
    stand_in = fake()
    with pytest.raises(TypeError):
        run("x.bam", gene_ids, INDEX)
    assert stand_in.log == []


def test_unknown_gene_fails_after_close(bam, monkeypatch):
    path = bam([{"pos": 600}, {"pos": 410, "cigar": "20M"}])
    with pytest.raises(KeyError) as excinfo:
        run(path, ["G2"], INDEX)
    assert excinfo.value.args == ("G1",)
    assert routine_names(excinfo) == ["quantify_bam_fast"]


def test_unknown_tuple_gene_keyerror_carries_the_gene(fake):
    fake([Record([(100, 150)])])
    gene = ("a", "tuple")
    with pytest.raises(KeyError) as excinfo:
        run("x.bam", [], {"chr1": entry((0, 1000, gene, "+"))})
    assert excinfo.value.args == (gene,)


@pytest.mark.parametrize("index, no_contig", [
    ({}, 3),
    ({"chr1": None}, 3),
    ({"chr9": INDEX["chr1"]}, 3),           # a contig the header lacks
    ({"chr1": INDEX["chr1"]}, 1),           # chr2's record has no entry
])
def test_records_without_entry(bam, index, no_contig):
    records = [{"pos": 410, "cigar": "20M"}, {"pos": 600}, {"tid": 1, "pos": 5}]
    stats = run(bam(records), GENES, index)[1]
    assert stats[4] == no_contig


def test_empty_index_never_weighs(fake):
    class NoTags(Record):
        def has_tag(self, tag):
            raise AssertionError("weighed a record without an index entry")

    fake([NoTags(), NoTags(tid=-1)])
    assert run("x.bam", GENES, {})[1][4] == 2


def test_later_contig_with_same_tid_wins(fake):
    fake([Record([(100, 150)])], tids={"a": 0, "b": 0})
    index = {"a": entry((0, 1000, "A", "+")), "b": entry((0, 1000, "B", "+"))}
    assert run("x.bam", ["A", "B"], index)[0] == {"A": 0.0, "B": 1.0}


def test_reference_id_is_looked_up_unchanged(fake):
    # The TidTable is a dict keyed by ints: an equal key (True == 1) finds the entry.
    fake([Record([(100, 150)], tid=True), Record([(100, 150)], tid=1.0), Record(tid=None)])
    index = {"chr2": entry((0, 1000, "A", "+"))}
    assert run("x.bam", ["A"], index)[1][4:8] == (1, 0, 0, 2)


class Items:
    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return self.pairs


@pytest.mark.parametrize("pairs, error, message", [
    ([("chr1", INDEX["chr1"], 3)], ValueError, "too many values to unpack (expected 2)"),
    ([("chr1",)], ValueError, "need more than 1 value to unpack"),
    ([()], ValueError, "need more than 0 values to unpack"),
    ([iter(["chr1"])], ValueError, "need more than 1 value to unpack"),
    ([iter(["chr1", None, None])], ValueError, "too many values to unpack (expected 2)"),
    ([5], TypeError, "'int' object is not iterable"),
    (5, TypeError, "'int' object is not iterable"),
])
def test_items_unpacking_errors(fake, pairs, error, message):
    stand_in = fake([Record()])
    with pytest.raises(error) as excinfo:
        run("x.bam", GENES, Items(pairs))
    assert message in str(excinfo.value)
    assert stand_in.closes == 1
    assert ("fetch", {"until_eof": True}) not in stand_in.log


def test_items_pairs_of_any_iterable(fake):
    fake([Record([(100, 150)])])
    index = Items([["chr1", entry((0, 1000, "A", "+"))], iter(["chr2", None])])
    assert run("x.bam", ["A"], index)[0] == {"A": 1.0}


def test_dict_subclass_goes_through_items(fake):
    class Index(dict):
        def items(self):
            return [("chr1", entry((0, 1000, "B", "+")))]

    fake([Record([(100, 150)])])
    assert run("x.bam", ["A", "B"], Index(chr1=entry((0, 1000, "A", "+"))))[0]["B"] == 1.0


def test_gene_index_none_closes_then_raises(fake):
    stand_in = fake([Record()])
    with pytest.raises(AttributeError) as excinfo:
        run("x.bam", GENES, None)
    assert str(excinfo.value) == "'NoneType' object has no attribute 'items'"
    assert stand_in.log == [("open", "x.bam", "rb"), ("close",)]


def test_gene_index_without_items(fake):
    stand_in = fake()
    with pytest.raises(AttributeError, match="items"):
        run("x.bam", GENES, [("chr1", None)])
    assert stand_in.closes == 1


def test_dict_changing_size_during_walk(fake):
    index = {"chr1": None, "chr2": None}

    class Mutating(File):
        def get_tid(self, name):
            index["chr3"] = None
            return 0

    stand_in = fake()
    stand_in.AlignmentFile = lambda path, mode: Mutating([], {}, stand_in.log)
    with pytest.raises(RuntimeError) as excinfo:
        run("x.bam", GENES, index)
    assert str(excinfo.value) == "dictionary changed size during iteration"
    assert stand_in.closes == 1


@pytest.mark.parametrize("tid, error, message", [
    ("0", TypeError, "an integer is required"),
    (2**31, OverflowError, "value too large to convert to int"),
    (ZeroDivisionError("get_tid failed"), ZeroDivisionError, "get_tid failed"),
])
def test_get_tid_failures(fake, tid, error, message):
    stand_in = fake()

    class Failing(File):
        def get_tid(self, name):
            if isinstance(tid, Exception):
                raise tid
            return tid

    stand_in.AlignmentFile = lambda path, mode: Failing([], {}, stand_in.log)
    with pytest.raises(error) as excinfo:
        run("x.bam", GENES, {"chr1": None})
    assert str(excinfo.value) == message
    assert stand_in.closes == 1


def test_get_tid_float_truncates(fake):
    fake([Record([(100, 150)])], tids={"chr1": 0.9})
    assert run("x.bam", ["A"], {"chr1": entry((0, 1000, "A", "+"))})[0] == {"A": 1.0}


def test_missing_pysam_global(monkeypatch):
    monkeypatch.delattr(_core_fast, "pysam")
    with pytest.raises(NameError) as excinfo:
        run("x.bam", GENES, INDEX)
    assert str(excinfo.value) == "name 'pysam' is not defined"


def test_pysam_found_among_builtins(monkeypatch):
    import builtins
    stand_in = Pysam()
    monkeypatch.delattr(_core_fast, "pysam")
    monkeypatch.setattr(builtins, "pysam", stand_in, raising=False)
    assert run("x.bam", GENES, {})[1] == ZERO_STATS
    assert stand_in.closes == 1


def test_open_failure_is_pysams_and_closes_nothing(tmp_path):
    with pytest.raises((OSError, ValueError)) as excinfo:
        run(str(tmp_path / "missing.bam"), GENES, None)
    # gene_index None would raise AttributeError after opening; the open failure comes first
    assert not isinstance(excinfo.value, AttributeError)
    assert routine_names(excinfo) == ["quantify_bam_fast"]


class Boom(Exception):
    pass


class Raising:
    """A record attribute that raises when read."""

    def __init__(self, attribute):
        self.attribute = attribute

    def __get__(self, obj, owner=None):
        raise Boom(self.attribute)

    def __set__(self, obj, value):
        pass


@pytest.mark.parametrize("attribute", ["is_unmapped", "is_secondary", "is_supplementary",
                                       "mapping_quality", "reference_id"])
def test_record_property_failure_after_many_records(fake, attribute):
    failing = type("Failing", (Record,), {attribute: Raising(attribute)})
    stand_in = fake([Record([(100, 150)])] * 50 + [failing()])
    with pytest.raises(Boom) as excinfo:
        run("x.bam", ["A"], {"chr1": entry((0, 1000, "A", "+"))})
    assert excinfo.value.args == (attribute,)
    assert stand_in.closes == 1
    assert routine_names(excinfo) == ["quantify_bam_fast"]


class BadBool:
    def __bool__(self):
        raise Boom("truth")


@pytest.mark.parametrize("kwargs", [{"unmapped": BadBool()}, {"secondary": BadBool()},
                                    {"supplementary": BadBool()}, {"mapq": "60"},
                                    {"tid": []}])
def test_record_value_failures(fake, kwargs):
    stand_in = fake([Record(**kwargs)])
    with pytest.raises((Boom, TypeError)):
        run("x.bam", ["A"], {"chr1": entry((0, 1000, "A", "+"))})
    assert stand_in.closes == 1


def test_fetch_iteration_failure(fake):
    def records():
        yield Record([(100, 150)])
        raise OSError("truncated file")

    stand_in = fake()
    stand_in.records = records()
    with pytest.raises(OSError, match="truncated file"):
        run("x.bam", ["A"], {"chr1": entry((0, 1000, "A", "+"))})
    assert stand_in.closes == 1


def test_close_failure_on_normal_path(fake):
    fake([Record([(100, 150)])], close_error=Boom("close"))
    with pytest.raises(Boom) as excinfo:
        run("x.bam", ["A"], {"chr1": entry((0, 1000, "A", "+"))})
    assert excinfo.value.args == ("close",)
    assert excinfo.value.__context__ is None


def test_close_failure_while_failing(fake):
    stand_in = fake([Record(mapq="x")], close_error=Boom("close"))
    with pytest.raises(Boom) as excinfo:
        run("x.bam", ["A"], {})
    assert excinfo.value.args == ("close",)
    first = excinfo.value.__context__
    assert isinstance(first, TypeError)
    assert "'<' not supported" in str(first)
    assert stand_in.closes == 1


def test_failure_keeps_its_own_traceback(fake):
    def records():
        yield Record()
        raise Boom("deep")

    stand_in = fake()
    stand_in.records = records()
    with pytest.raises(Boom) as excinfo:
        run("x.bam", ["A"], {})
    names = [frame.name for frame in __import__("traceback").extract_tb(excinfo.value.__traceback__)]
    assert "records" in names
    assert names[-1] != "close"


def test_result_is_fresh_each_call(bam):
    path = bam([{"pos": 410, "cigar": "20M"}])
    first = run(path, GENES, INDEX)
    second = run(path, GENES, INDEX)
    assert first == second
    assert first[0] is not second[0]
    assert type(first[1]) is tuple and len(first[1]) == 9
    assert [type(v) for v in first[1]] == [int] * 8 + [float]
