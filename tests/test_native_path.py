"""Our own BAM decoder and the native index against pysam's record objects: for the same file
and index, the same counts to the bit, the same counters, and the same failures."""

import array
import math
import os
import struct

import pysam
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from dulse.quantify import _core_fast
from helpers import CONTIGS, Entry, FdProbe, Forwarding, entry, write_bam

GENE_POOL = ["G0", "G1", "G2", "G3", "G4", 7, b"G6"]
IN_COUNTS = ["G0", "G1", "G2", "G3", 7, b"G6"]  # G4 is unknown to counts


def outcome(path, gene_ids, gene_index, options, forced):
    """What one call gives: ("ok", counts items, stats) or ("error", type, message)."""
    saved = _core_fast.pysam
    if forced:
        _core_fast.pysam = Forwarding()
    try:
        counts, stats = _core_fast.quantify_bam_fast(path, gene_ids, gene_index, *options)
    except Exception as error:  # noqa: BLE001 - the failure itself is compared
        return ("error", type(error), str(error))
    finally:
        _core_fast.pysam = saved
    # Floats compared by their bits, so that 0.1 + 0.2 in another order would differ.
    return ("ok", [(k, struct.pack("<d", v)) for k, v in counts.items()],
            stats[:8], struct.pack("<d", stats[8]))


def both_paths(path, gene_ids, gene_index, options, expect_native=True):
    probe = FdProbe(path, gene_index)
    native = outcome(path, gene_ids, probe, options, forced=False)
    if expect_native:
        assert probe.open_count == 2, "the native reader was not used"
    objects = outcome(path, gene_ids, gene_index, options, forced=True)
    assert native == objects
    return native


# Random records.

CIGAR_OPS = "MIDNSHP=X"
NH_TAGS = st.one_of(
    st.none(),
    st.tuples(st.integers(-128, 127), st.just("c")),
    st.tuples(st.integers(0, 255), st.just("C")),
    st.tuples(st.integers(-32768, 32767), st.just("s")),
    st.tuples(st.integers(0, 65535), st.just("S")),
    st.tuples(st.integers(-(2**31), 2**31 - 1), st.just("i")),
    st.tuples(st.integers(0, 2**32 - 1), st.just("I")),
    st.tuples(st.sampled_from([0, 1, 2, 3, 7]), st.sampled_from("cCsSiI")),
    st.tuples(st.floats(width=32, allow_nan=True, allow_infinity=True), st.just("f")),
    st.tuples(st.floats(allow_nan=True, allow_infinity=True), st.just("d")),
    st.tuples(st.sampled_from([2.5, -0.9, 1e10, 3e9, -2.2e9, 9.3e18, -9.3e18]), st.just("d")),
    st.tuples(st.sampled_from(list("0123456789 x+")), st.just("A")),
    st.tuples(st.sampled_from(["3", " 4", "1_0", "x", "", "2147483648", "٣", "0x1", "-2"]),
              st.sampled_from("ZH")),
    st.tuples(st.sampled_from([b"\xff3", b"\xc3\xa9"]), st.just("Z")),
    st.tuples(st.builds(lambda code, values: array.array(code, values),
                        st.sampled_from("bBhHiI"), st.lists(st.integers(0, 60), max_size=3)),
              st.none()),
)


@st.composite
def cigars(draw):
    ops = draw(st.lists(st.tuples(st.integers(1, 400), st.sampled_from(CIGAR_OPS)), max_size=6))
    return "".join(f"{n}{op}" for n, op in ops) or None


@st.composite
def records(draw):
    flag = draw(st.integers(0, 0xFFF))
    unmapped = flag & 0x4
    tid = draw(st.sampled_from([-1, 0, 0, 1, 2])) if not unmapped else draw(st.sampled_from([-1, 0]))
    pos = draw(st.one_of(st.integers(0, 3000), st.sampled_from([-1, 2**31 - 200, 2**31 - 1])))
    nh = draw(NH_TAGS)
    tags = [] if nh is None else [("NH", nh[0]) if nh[1] is None else ("NH", nh[0], nh[1])]
    if draw(st.booleans()):
        tags.insert(0, ("XS", draw(st.integers(0, 100))))
    return {"flag": flag, "tid": tid, "pos": pos, "mapq": draw(st.integers(0, 255)),
            "cigar": draw(cigars()), "tags": tags, "length": None}


@st.composite
def indexes(draw):
    index = {}
    for name in draw(st.lists(st.sampled_from(["chr1", "chr2", "chrM", "chrX"]), unique=True)):
        if draw(st.integers(0, 9)) == 0:
            index[name] = None
            continue
        intervals = draw(st.lists(st.tuples(
            st.integers(-5, 3000), st.integers(-5, 3200), st.sampled_from(GENE_POOL),
            st.sampled_from(["+", "-", "."])), max_size=12))
        index[name] = entry(*intervals)
    return index


OPTIONS = st.tuples(st.sampled_from([0, 1, 2, 3]), st.sampled_from([-1, 0, 1, 30, 256]),
                    st.sampled_from([0, 1, 2, 3]), st.booleans())


@settings(max_examples=300, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(st.lists(records(), max_size=30), indexes(), OPTIONS,
       st.sampled_from([IN_COUNTS, GENE_POOL, ["G1"]]))
def test_same_answers_on_both_paths(tmp_path, reads, index, options, gene_ids):
    path = write_bam(tmp_path / "random.bam", reads)
    both_paths(path, gene_ids, index, options)


def test_native_path_is_taken_for_plain_bam(tmp_path):
    path = write_bam(tmp_path / "a.bam", [{"pos": 100}])
    result = both_paths(path, ["A"], {"chr1": entry((0, 500, "A", "+"))}, (0, 0, 0, True))
    assert result[0] == "ok" and result[2][7] == 1


@pytest.mark.parametrize("mode", ["w", "wc"])
def test_sam_and_cram_stay_on_pysam(tmp_path, mode):
    header = {"SQ": [{"SN": name, "LN": length} for name, length in CONTIGS]}
    path = str(tmp_path / ("a.sam" if mode == "w" else "a.cram"))
    kwargs = {}
    if mode == "wc":
        reference = tmp_path / "ref.fa"
        reference.write_text("".join(f">{n}\n{'A' * l}\n" for n, l in CONTIGS))
        pysam.faidx(str(reference))
        kwargs["reference_filename"] = str(reference)
    with pysam.AlignmentFile(path, mode, header=header, **kwargs) as out:
        segment = pysam.AlignedSegment(out.header)
        segment.query_name, segment.reference_id, segment.reference_start = "r", 0, 100
        segment.cigarstring, segment.query_sequence = "10M", "A" * 10
        out.write(segment)
    if mode == "wc":
        os.environ["REF_PATH"] = ""
    probe = FdProbe(path, {"chr1": entry((0, 500, "A", "+"))})
    counts, stats = _core_fast.quantify_bam_fast(path, ["A"], probe, 0, 0, 0, True)
    assert probe.open_count == 1
    assert counts == {"A": 1.0}


def test_cg_tag_cigar_counts_as_pysam_counts(tmp_path):
    ops = 70_000
    cigar = "1M1N" * (ops // 2) + "1M"
    reads = [{"pos": 10, "cigar": cigar}]
    path = write_bam(tmp_path / "long.bam", reads)
    with pysam.AlignmentFile(path) as check:
        assert len(next(iter(check)).cigartuples) == ops + 1
    index = {"chr1": entry((0, 100, "A", "+"), (60_000, 90_000, "B", "-"))}
    result = both_paths(path, ["A", "B"], index, (0, 0, 0, True))
    assert result[2][6] == 1  # one record spanning both genes


@pytest.mark.parametrize("entry_kind", ["namedtuple-like", "property", "list", "short"])
def test_entries_that_are_not_plain(tmp_path, entry_kind):
    reads = [{"pos": p, "cigar": "20M"} for p in (50, 150, 250, 950)]
    path = write_bam(tmp_path / "a.bam", reads)
    good = entry((0, 100, "A", "+"), (140, 300, "B", "-"))
    if entry_kind == "namedtuple-like":
        class Odd:
            intervals = property(lambda self: good.intervals)
            starts = property(lambda self: good.starts)
            prefix_max_ends = property(lambda self: good.prefix_max_ends)
        odd = Odd()
    elif entry_kind == "property":
        odd = Entry(good.intervals, good.starts, good.prefix_max_ends)
        odd.intervals = tuple(list(iv) if i == 0 else iv for i, iv in enumerate(good.intervals))
    elif entry_kind == "list":
        odd = Entry(list(good.intervals), good.starts, good.prefix_max_ends)
    else:
        odd = Entry(((0, 100, "A"),) + good.intervals[1:], good.starts, good.prefix_max_ends)
    index = {"chr1": odd, "chr2": entry((0, 100, "A", "+"))}
    both_paths(path, ["A", "B"], index, (0, 0, 0, True))


def test_entry_replaced_by_python_code_mid_run(tmp_path):
    # A non-plain entry on chr2 rewrites the plain entry of chr1 while it is queried; the records
    # of chr1 that follow must see the new intervals, as they do through pysam's objects.
    reads = []
    for i in range(6):
        reads.append({"tid": 0, "pos": 100})
        reads.append({"tid": 1, "pos": 100})
    path = write_bam(tmp_path / "a.bam", reads)

    def make_index():
        plain = entry((0, 500, "A", "+"))

        class Rewriting:
            @property
            def intervals(self):
                plain.intervals = ((0, 500, "B", "+"),)
                return ((0, 500, "C", "+"),)

            starts = (0,)
            prefix_max_ends = (500,)

        return {"chr1": plain, "chr2": Rewriting()}

    native = outcome(path, ["A", "B", "C"], make_index(), (0, 0, 0, True), forced=False)
    objects = outcome(path, ["A", "B", "C"], make_index(), (0, 0, 0, True), forced=True)
    assert native == objects
    assert dict((k, struct.unpack("<d", v)[0]) for k, v in native[1]) == {"A": 1.0, "B": 5.0,
                                                                         "C": 6.0}


def test_gene_missing_from_counts(tmp_path):
    path = write_bam(tmp_path / "a.bam", [{"pos": 600}, {"pos": 100}])
    result = both_paths(path, ["B"], {"chr1": entry((0, 500, "A", "+"))}, (0, 0, 0, True))
    assert result == ("error", KeyError, "'A'")


def test_unhashable_keys_of_counts(tmp_path):
    class Gene:
        def __init__(self, name):
            self.name = name

        def __hash__(self):
            return hash(self.name)

        def __eq__(self, other):
            return isinstance(other, Gene) and other.name == self.name

    path = write_bam(tmp_path / "a.bam", [{"pos": 100}] * 3)
    index = {"chr1": entry((0, 500, Gene("A"), "+"))}
    result = both_paths(path, [Gene("A")], index, (0, 0, 2, True))
    assert result[0] == "ok" and result[2][7] == 3


def test_read_errors_match_pysam(tmp_path):
    path = write_bam(tmp_path / "a.bam", [{"pos": p} for p in range(0, 5000, 7)])
    data = open(path, "rb").read()
    cut = tmp_path / "cut.bam"
    for keep in (len(data) - 28 - 5, len(data) // 2, 200):
        cut.write_bytes(data[:keep] + data[-28:])  # a file that still ends with the EOF block
        result = both_paths(str(cut), ["A"], {"chr1": entry((0, 500, "A", "+"))},
                            (0, 0, 0, True), expect_native=False)
        assert result[0] == "error" and issubclass(result[1], OSError)


def test_runs_on_the_callers_thread(tmp_path):
    path = write_bam(tmp_path / "a.bam", [{"pos": 100}] * 100)
    tasks = lambda: len(os.listdir("/proc/self/task"))  # noqa: E731
    before = tasks()

    class Probe(FdProbe):
        def items(self):
            self.tasks = tasks()
            return super().items()

    probe = Probe(path, {"chr1": entry((0, 500, "A", "+"))})
    _core_fast.quantify_bam_fast(path, ["A"], probe, 0, 0, 0, True)
    assert probe.open_count == 2
    assert probe.tasks == before == tasks()


def test_references_added_by_the_header_text(tmp_path):
    # The binary list names chr1 only, the text adds chr2: after a lookup by name pysam accepts
    # records on chr2 (reference id 1), and so must our reader.
    import bam_bytes
    text = "@HD\tVN:1.6\n@SQ\tSN:chr1\tLN:5000\n@SQ\tSN:chr2\tLN:5000\n"
    raw = bam_bytes.header(refs=(("chr1", 5000),), text=text)
    raw += b"".join(bam_bytes.record(tid=tid, pos=100) for tid in (0, 1, 1))
    path = tmp_path / "grown.bam"
    path.write_bytes(bam_bytes.bgzf(raw))
    index = {"chr1": entry((0, 500, "A", "+")), "chr2": entry((0, 500, "B", "+"))}
    result = both_paths(str(path), ["A", "B"], index, (0, 0, 0, True))
    assert result[0] == "ok"
    assert dict((k, struct.unpack("<d", v)[0]) for k, v in result[1]) == {"A": 1.0, "B": 2.0}
    # Without any lookup by name the header stays as it is, and both paths fail alike.
    result = both_paths(str(path), ["A"], {}, (0, 0, 0, True))
    assert result == ("error", OSError, "error -3 while reading file")


def _nh_case(aux):
    import bam_bytes
    return bam_bytes.bgzf(bam_bytes.header() + bam_bytes.record(pos=100, aux=aux))


@pytest.mark.parametrize("aux, expected", [
    pytest.param(lambda b: b.array_tag("NH", "s", [], count=2**31), ("error", MemoryError, ""),
                 id="array-count-2^31"),
    pytest.param(lambda b: b.array_tag("NH", "A", [0x33]), ValueError, id="array-bad-subtype"),
    pytest.param(lambda b: b"NHBd" + struct.pack("<I", 1) + bytes(8), ValueError,
                 id="array-d-subtype"),
    pytest.param(lambda b: b"XXq\x00" + b.tag("NH", "C", 2), 1.0, id="corrupt-before-nh"),
    pytest.param(lambda b: b.tag("NH", "C", 2) + b"XXq\x00", 0.5, id="corrupt-after-nh"),
    pytest.param(lambda b: b"NHZ3", 1.0, id="text-without-nul"),
    pytest.param(lambda b: b.tag("NH", "A", b"\xb3"), ("error", OverflowError,
                                                    "%c arg not in range(0x110000)"),
                 id="char-above-ascii"),
    pytest.param(lambda b: b.tag("NH", "Z", b"\xff3"), UnicodeDecodeError, id="invalid-utf8"),
])
def test_hand_made_nh_tags(tmp_path, aux, expected):
    import bam_bytes
    path = tmp_path / "nh.bam"
    path.write_bytes(_nh_case(aux(bam_bytes)))
    result = both_paths(str(path), ["A"], {"chr1": entry((0, 500, "A", "+"))}, (0, 0, 2, True))
    if isinstance(expected, float):
        assert result[0] == "ok"
        assert struct.unpack("<d", result[1][0][1])[0] == expected
    elif isinstance(expected, tuple):
        assert result == expected
    else:
        assert result[:2] == ("error", expected)
