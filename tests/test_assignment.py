"""Gene assignment: the overlap query over a contig's intervals, the strand rule, the blocks."""

import collections

import pytest

from helpers import Entry, Record, entry, routine_names, run

# The worked example: four intervals, three genes.
EXAMPLE = entry((100, 200, "G1", "+"), (150, 300, "G2", "-"), (220, 260, "G3", "+"),
                (400, 500, "G1", "+"))
GENES = ["G1", "G2", "G3", "A", "B"]


def assign(fake, blocks, index_entry, strand_mode=0, reverse=False, genes=GENES):
    """(counts of assigned genes, outcome) for one record with the given blocks."""
    fake([Record(blocks, reverse=reverse)])
    counts, stats = run("x.bam", genes, {"chr1": index_entry}, strand_mode=strand_mode)
    no_feature, ambiguous, assigned = stats[5:8]
    if ambiguous:
        return "ambiguous"
    if no_feature:
        return None
    assert assigned == 1
    (gene,) = [g for g, v in counts.items() if v]
    return gene


@pytest.mark.parametrize("blocks, expected", [
    ([(250, 270)], "ambiguous"),           # G3 then G2
    ([(300, 400)], None),                  # the prefix maximum 300 stops the scan at once
    ([(410, 420)], "G1"),
    ([(100, 120), (450, 460)], "G1"),      # one gene through two blocks and two intervals
    ([(410, 420), (280, 290)], "ambiguous"),  # G1 in the first block, G2 in the last
    ([(200, 210)], "G2"),                  # G1 ends at 200: no overlap
    ([(50, 100)], None),                   # ends where G1 starts
    ([(199, 200)], "ambiguous"),           # G1 [100,200) and G2 [150,300)
    ([(500, 600)], None),
    ([], None),
    ([(260, 260), (5, 5)], None),          # empty blocks are skipped
])
def test_overlap_unstranded(fake, blocks, expected):
    assert assign(fake, blocks, EXAMPLE) == expected


@pytest.mark.parametrize("strand_mode, reverse, expected", [
    (1, False, "G3"), (1, True, "G2"), (2, False, "G2"), (2, True, "G3"),
    (0, True, "ambiguous"), (3, False, None), (-1, True, None),
])
def test_strand_modes(fake, strand_mode, reverse, expected):
    assert assign(fake, [(250, 270)], EXAMPLE, strand_mode, reverse) == expected


@pytest.mark.parametrize("strand, passes", [
    # whether a forward record passes under modes 0, 1, 2
    ("+", (True, True, False)), ("-", (True, False, True)), (".", (True, False, True)),
    (None, (True, False, True)), ("++", (True, False, True)), (b"+", (True, False, True)),
])
def test_strand_of_other_values(fake, strand, passes):
    got = tuple(assign(fake, [(10, 20)], entry((0, 100, "A", strand)), mode) == "A"
                for mode in (0, 1, 2))
    assert got == passes


def test_modes_outside_range_never_read_orientation(fake):
    class NoOrientation(Record):
        @property
        def is_reverse(self):
            raise AssertionError("orientation read")

        @is_reverse.setter
        def is_reverse(self, value):
            pass

    for mode in (0, 3, -1):
        fake([NoOrientation([(10, 20)])])
        stats = run("x.bam", ["A"], {"chr1": entry((0, 100, "A", "+"))}, strand_mode=mode)[1]
        assert stats[7] == (1 if mode == 0 else 0)


def test_orientation_read_per_overlapping_interval(fake):
    reads = []

    class Counting(Record):
        @property
        def is_reverse(self):
            reads.append(1)
            return False

        @is_reverse.setter
        def is_reverse(self, value):
            pass

    fake([Counting([(10, 20)])])
    index = entry((0, 100, "A", "-"), (5, 50, "A", "-"), (60, 70, "B", "+"))
    run("x.bam", ["A", "B"], {"chr1": index}, strand_mode=1)
    assert len(reads) == 2


def test_first_gene_object_is_kept(fake):
    class Gene(str):
        pass

    first, second = Gene("A"), Gene("A")
    index = entry((0, 100, first, "+"), (5, 50, second, "+"))
    fake([Record([(10, 20)])])
    counts = run("x.bam", ["A"], {"chr1": index})[0]
    assert counts == {"A": 1.0}


def test_scan_stops_at_prefix_maximum(fake):
    # The interval at position 0 is malformed; the scan must not reach it.
    index = Entry(((0, 50, "X"), (100, 150, "B", "+")), (0, 100), (50, 150))
    assert assign(fake, [(120, 130)], index) == "B"


def test_scan_passes_contained_interval(fake):
    index = entry((0, 1000, "A", "+"), (100, 150, "B", "+"))
    assert assign(fake, [(500, 600)], index) == "A"


def test_search_excludes_starts_at_block_end(fake):
    index = Entry(((10, 40, "A", "+"), (20, 30, None), (20, 30, None), (30, 40, None)),
                  (10, 20, 20, 30), (40, 40, 40, 40))
    assert assign(fake, [(15, 20)], index) == "A"


def test_ambiguity_stops_before_the_rest(fake):
    # Intervals further left, and later blocks, are malformed but never looked at.
    index = Entry(([], (10, 50, "A", "+"), (20, 60, "B", "+")), (0, 10, 20), (5, 50, 60))
    assert assign(fake, [(30, 40), "not a block"], index) == "ambiguous"


@pytest.mark.parametrize("start, end", [(200, 100), (150, 150)])
def test_interval_without_positions_never_overlaps(fake, start, end):
    index = entry((start, end, "A", "+"))
    assert assign(fake, [(50, 300)], index) is None
    assert assign(fake, [(120, 180)], index) is None


def test_float_coordinates_truncate(fake):
    assert assign(fake, [(10.7, 20)], entry((99.9, 200, "A", "+"))) is None
    assert assign(fake, [(98, 99.9)], entry((99.9, 200, "A", "+"))) is None  # [98,99) [99,200)
    assert assign(fake, [(98.5, 99.99)], entry((99.2, 200, "A", "+"))) is None
    assert assign(fake, [(98, 100.5)], entry((99.9, 200, "A", "+"))) == "A"


def test_unbounded_ints_in_search_aids(fake):
    huge = 2**80
    index = Entry(((-10, 20, "A", "+"), (30, 40, "B", "+")), (-huge, 30), (20, huge))
    assert assign(fake, [(10, 15)], index) == "A"


class ListLike:
    """A block object read through subscription."""

    def __init__(self, *items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("blocks", [
    ((10, 20),), [[10, 20]], [ListLike(10, 20)], iter([(10, 20)]), [{0: 10, 1: 20}],
    collections.deque([(10, 20)]),
])
def test_block_forms(fake, blocks):
    fake([Record(blocks)])
    assert run("x.bam", ["A"], {"chr1": entry((0, 100, "A", "+"))})[0] == {"A": 1.0}


def test_block_list_mutated_during_walk(fake):
    blocks = [(10, 20), (500, 600)]

    class Shrinking:
        def __eq__(self, other):
            del blocks[1:]
            return other == "+"

        __hash__ = object.__hash__

    index = entry((0, 100, "A", Shrinking()), (550, 560, "B", "+"))
    fake([Record(blocks)])
    assert run("x.bam", ["A", "B"], {"chr1": index}, strand_mode=1)[0] == {"A": 1.0, "B": 0.0}


def test_empty_block_list_never_touches_the_index(fake):
    assert assign(fake, [], "not an entry") is None
    assert assign(fake, None, "not an entry") is None
    assert assign(fake, [(5, 5), (9, 3)], "not an entry") is None


class Boom(Exception):
    pass


class Truthless:
    def __bool__(self):
        raise Boom("truth")


def fails(fake, blocks, index_entry, strand_mode=0, reverse=False, genes=GENES):
    stand_in = fake([Record(blocks, reverse=reverse)])
    with pytest.raises(Exception) as excinfo:
        run("x.bam", genes, {"chr1": index_entry}, strand_mode=strand_mode)
    assert stand_in.closes == 1
    return excinfo


ASSIGN = ["quantify_bam_fast", "_assign_alignment_to_gene_fast"]
QUERY = ASSIGN + ["_genes_overlapping_block_fast"]
SHORT = "tuple index out of range"


@pytest.mark.parametrize("blocks, error, message", [
    (Truthless(), Boom, "truth"),
    (5, TypeError, "'int' object is not iterable"),
    ([(10,)], IndexError, SHORT),
    ([[10]], IndexError, "list index out of range"),
    ([ListLike(10)], IndexError, SHORT),
    ([(10, "20")], TypeError, "an integer is required"),
    ([(2**31, 2**31 + 5)], OverflowError, "value too large to convert to int"),
    ([None], TypeError, "'NoneType' object is not subscriptable"),
])
def test_block_failures(fake, blocks, error, message):
    excinfo = fails(fake, blocks, EXAMPLE)
    assert excinfo.type is error and str(excinfo.value) == message
    assert routine_names(excinfo) == ASSIGN


def test_get_blocks_failure(fake):
    class NoBlocks(Record):
        def get_blocks(self):
            raise Boom("get_blocks")

    fake([NoBlocks()])
    with pytest.raises(Boom) as excinfo:
        run("x.bam", GENES, {"chr1": EXAMPLE})
    assert routine_names(excinfo) == ASSIGN


class NamedInterval(collections.namedtuple("NamedInterval", "start end gene strand")):
    pass


class TupleSub(tuple):
    pass


@pytest.mark.parametrize("index_entry, error, message", [
    ({"intervals": (), "starts": (), "prefix_max_ends": ()}, AttributeError, None),
    (Entry([], (), ()), TypeError, "Expected tuple, got list"),
    (Entry((), TupleSub(), ()), TypeError, "Expected tuple, got TupleSub"),
    (Entry((), (), [5]), TypeError, "Expected tuple, got list"),
    (Entry((NamedInterval(0, 100, "A", "+"),), (0,), (100,)), TypeError,
     "Expected tuple, got NamedInterval"),
    (Entry(([0, 100, "A", "+"],), (0,), (100,)), TypeError, "Expected tuple, got list"),
    (Entry(None, (0,), (100,)), TypeError, "'NoneType' object is not subscriptable"),
    (Entry((None,), (0,), (100,)), TypeError, "'NoneType' object is not subscriptable"),
    (Entry(((0, 100, "A", "+"),), (0,), None), TypeError,
     "'NoneType' object is not subscriptable"),
    (Entry((("0", 100, "A", "+"),), (0,), (100,)), TypeError, "an integer is required"),
    (Entry(((2**31, 100, "A", "+"),), (0,), (100,)), OverflowError,
     "value too large to convert to int"),
    (Entry(((0, 100, "A", "+"),), (0,), ("x",)), TypeError,
     "'<=' not supported between instances of 'str' and 'int'"),
    (Entry(((0, 100, ["unhashable"], "+"),), (0,), (100,)), TypeError,
     "unhashable type: 'list'"),
    # Malformed shapes are read only as far as they go.
    (Entry(((0, 100, "A", "+"),), (0,), ()), IndexError, SHORT),
    (Entry((), (0,), (100,)), IndexError, SHORT),
    (Entry(((0, 100, "A"),), (0,), (100,)), IndexError, SHORT),
    (Entry(((0,),), (0,), (100,)), IndexError, SHORT),
    (Entry(((),), (0,), (100,)), IndexError, SHORT),
])
def test_query_failures(fake, index_entry, error, message):
    excinfo = fails(fake, [(10, 20)], index_entry)
    assert excinfo.type is error
    if message is not None:
        assert str(excinfo.value) == message
    assert routine_names(excinfo) == QUERY


@pytest.mark.parametrize("starts, error, message", [
    (None, TypeError, "object of type 'NoneType' has no len()"),
    (("x",), TypeError, "'<' not supported between instances of 'str' and 'int'"),
    ((Truthless(),), TypeError, None),
])
def test_search_failures(fake, starts, error, message):
    excinfo = fails(fake, [(10, 20)], Entry(((0, 100, "A", "+"),), starts, (100,)))
    assert excinfo.type is error
    if message is not None:
        assert str(excinfo.value) == message
    assert routine_names(excinfo) == QUERY + ["_bisect_left"]


def test_comparison_result_without_truth(fake):
    class Start(int):
        def __lt__(self, other):
            return Truthless()

    excinfo = fails(fake, [(10, 20)], Entry(((0, 100, "A", "+"),), (Start(0),), (100,)))
    assert excinfo.type is Boom
    assert routine_names(excinfo) == QUERY + ["_bisect_left"]


@pytest.mark.parametrize("strand, reverse", [(Truthless(), False)])
def test_strand_rule_failures(fake, strand, reverse):
    class BadEq:
        def __eq__(self, other):
            raise Boom("eq")

        def __ne__(self, other):
            return Truthless()

    for mode, value in ((1, BadEq()), (2, BadEq())):
        excinfo = fails(fake, [(10, 20)], entry((0, 100, "A", value)), strand_mode=mode)
        assert excinfo.type is Boom
        assert routine_names(excinfo) == QUERY + ["_strand_matches"]


def test_orientation_failure(fake):
    class BadOrientation(Record):
        is_reverse = property(lambda self: Truthless(), lambda self, value: None)

    fake([BadOrientation([(10, 20)])])
    with pytest.raises(Boom) as excinfo:
        run("x.bam", ["A"], {"chr1": entry((0, 100, "A", "+"))}, strand_mode=2)
    assert routine_names(excinfo) == QUERY + ["_strand_matches"]


def test_unvisited_malformed_parts_raise_nothing(fake):
    index = Entry(None, (), None)  # no intervals: the search ends the query first
    assert assign(fake, [(10, 20)], index) is None
    index = Entry(([], (0, 10, "A", "+")), (0, 500), (10, 510))  # [] at 0 never reached
    assert assign(fake, [(100, 200)], index) is None


# Blocks as pysam derives them from real CIGAR strings.

@pytest.mark.parametrize("pos, cigar, expected", [
    (90, "20M", "G1"),                      # [90,110)
    (90, "5M100N5M", "ambiguous"),          # [90,95) nothing; [195,200) G1 and G2
    (90, "5M200N5M", "G2"),                 # [295,300)
    (150, "2S10M", "ambiguous"),            # [150,160): G1 and G2
    (250, "10M5I10M", "G2"),                # [250,260) [260,270)
    (410, "5M10D5M", "G1"),                 # deletion advances the position
    (410, "5=3X", "G1"),
    (300, "50H10P20N50M", "G1"),            # H and P do nothing, N advances: [320,370)
    (120, "10S", None),                     # no aligned block at all
])
def test_blocks_from_cigar(bam, pos, cigar, expected):
    path = bam([{"pos": pos, "cigar": cigar}])
    index = {"chr1": entry((100, 200, "G1", "+"), (150, 300, "G2", "-"), (320, 500, "G1", "+"))}
    counts, stats = run(path, ["G1", "G2"], index)
    got = "ambiguous" if stats[6] else (None if stats[5] else
                                       next(g for g, v in counts.items() if v))
    assert got == expected


@pytest.mark.parametrize("flag, strand_mode, expected", [
    (0, 1, "P"), (16, 1, "M"), (0, 2, "M"), (16, 2, "P"), (0, 0, "ambiguous"), (16, 0, "ambiguous"),
])
def test_strand_from_bam_flags(bam, flag, strand_mode, expected):
    path = bam([{"pos": 100, "cigar": "30M", "flag": flag}])
    index = {"chr1": entry((0, 500, "P", "+"), (50, 200, "M", "-"))}
    counts, stats = run(path, ["P", "M"], index, strand_mode=strand_mode)
    got = "ambiguous" if stats[6] else next(g for g, v in counts.items() if v)
    assert got == expected
