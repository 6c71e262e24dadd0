"""The native BAM decoder reads well-formed files exactly as pysam does: every flag, CIGAR
operation, position, NH type and aux layout, in whatever BGZF blocks the bytes arrive."""

import array
import ast
import gzip
import random
import struct
import subprocess
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import bam_bytes as bb
from decoder_compare import assert_same, decoder_view, dump_tools, written  # noqa: F401
from helpers import write_bam


@pytest.fixture(params=["libdeflate", "zlib"])
def tool(request, dump_tools):  # noqa: F811
    return dump_tools(request.param)


CIGARS = ["50M", "10S30M10S", "5H10M2I10M3D5M5H", "10=2X8=", "10M1000N10M", "5M2P5M",
          "3S4M2I1D3N2=1X2P4M3H", "1I", "7D", "20N", "1S"]


def test_every_flag_with_every_cigar_op(tool, tmp_path):
    flags = list(range(4096)) + [0x1000, 0x4004, 0x8010, 0xFFFF]
    specs = [{"flag": flag, "tid": flag % 3 - 1, "pos": flag * 7, "mapq": flag % 256,
              "cigar": CIGARS[flag % len(CIGARS)], "tags": [("NH", flag % 5, "C")]}
             for flag in flags]
    specs.append({"cigar": None, "length": 0})
    specs.append({"cigar": None, "length": 12, "flag": 4})
    view = assert_same(tool, write_bam(tmp_path / "flags.bam", specs))
    assert len(view.records) == len(specs) and view.status == -1


@pytest.mark.parametrize("pos, cigar", [
    (-1, "10M"),                    # pysam: the first block starts at 4294967295
    (-1, "5M2D5M"),
    (0, "10M"),
    (2**31 - 1, "1M"),
    (2**31 - 5, "10M"),             # an end above 2^31 - 1
    (2**31 - 1, "1M" + "268435455N1M" * 20),  # past 2^32: the arithmetic wraps
    (2**31 - 1, "268435455M" * 17),
])
def test_positions_near_the_32_bit_limits(tool, tmp_path, pos, cigar):
    cig = bb.cigar_ops(cigar)
    data = bb.bam([bb.record(pos=pos, cigar=cig, l_qseq=0),
                   bb.record(pos=pos, cigar=cig, tid=-1, flag=4, l_qseq=0)])
    view = assert_same(tool, written(tmp_path, data))
    assert len(view.records) == 2


NH_VALUES = [
    (v, t) for t, values in {
        "c": [-128, -1, 0, 1, 127], "C": [0, 1, 2, 255], "s": [-32768, -2, 32767],
        "S": [0, 65535], "i": [-2**31, -1, 0, 2**31 - 1], "I": [0, 3, 2**31, 2**32 - 1],
        "f": [2.9, -0.0, 1e-45, float("inf"), 3.4e38], "d": [2.9, -1e308, 5e-324],
        "A": ["x", "0"], "Z": ["", "1", "12", "h\u00e9llo \u20ac"], "H": ["1AE3", ""],
    }.items() for v in values
] + [(array.array(code, [1, 2]), None) for code in "bBhHiIf"]


@pytest.mark.parametrize("value, kind", NH_VALUES)
def test_nh_values_written_by_pysam(tool, tmp_path, value, kind):
    nh = ("NH", value, kind) if kind else ("NH", value)
    specs = [{"tags": [nh]}, {"tags": [("XA", "x", "Z"), nh, ("ZZ", 5, "i")]}]
    assert_same(tool, write_bam(tmp_path / "nh.bam", specs))


@pytest.mark.parametrize("subtype, values", [
    ("c", [-128, 0, 127]), ("C", [0, 255]), ("s", [-32768, 7]), ("S", [65535]),
    ("i", [-2**31, 2**31 - 1]), ("I", [2**32 - 1, 0]), ("f", [2.5, -1.0]), ("c", []),
])
def test_nh_arrays_of_every_subtype(tool, tmp_path, subtype, values):
    data = bb.bam([bb.record(aux=bb.array_tag("NH", subtype, values)),
                   bb.record(aux=bb.tag("AB", "c", 1) + bb.array_tag("NH", subtype, values))])
    assert_same(tool, written(tmp_path, data))


@pytest.mark.parametrize("field", [
    bb.tag("NH", "A", b"\x80"),          # pysam: OverflowError
    bb.tag("NH", "A", b"\xff"),
    bb.tag("NH", "A", b"\x00"),
    bb.tag("NH", "A", b"\x7f"),
    bb.tag("NH", "Z", b"\xff"),          # invalid UTF-8: UnicodeDecodeError
    bb.tag("NH", "Z", b"ok\xc0\x80"),    # overlong
    bb.tag("NH", "Z", b"\xed\xa0\x80"),  # a surrogate
    bb.tag("NH", "Z", b"\xf4\x90\x80\x80"),  # above U+10FFFF
    bb.tag("NH", "Z", b"\xe2\x82"),      # cut short
    bb.tag("NH", "H", "\U0010ffff\u07ff\x7f"),
    bb.array_tag("NH", "d", list(struct.pack("<d", 1.0))),  # valid to htslib, not to pysam
    bb.array_tag("NH", "A", list(b"ab")),
    bb.array_tag("NH", "Z", list(range(90)), count=1),  # Z elements take 90 bytes each
    bb.array_tag("NH", "B", list(range(66)), count=1),
    bb.array_tag("NH", "s", [1, 2, 3], count=2),        # a shorter count leaves stray bytes
], ids=lambda f: f.hex())
def test_nh_values_pysam_cannot_write(tool, tmp_path, field):
    data = bb.bam([bb.record(aux=field), bb.record(aux=field + bb.tag("XX", "i", 9)),
                   bb.record(aux=bb.tag("XX", "Z", "a") + field)])
    assert_same(tool, written(tmp_path, data))


NH1 = bb.tag("NH", "C", 1)


@pytest.mark.parametrize("aux", [
    b"", b"N", b"NH", b"NHC",               # too short to hold a field
    NH1 + b"X", NH1 + b"XY",                # one or two stray bytes are ignored
    b"X" + NH1, b"XY" + NH1,                # ... but not before the tag
    b"XYq\x01" + NH1,                       # an unknown type letter
    bb.tag("XY", "Z", "abc")[:-1] + NH1,    # a Z without its NUL runs into the NH field
    NH1 + bb.tag("XY", "Z", "abc")[:-1],
    bb.tag("NH", "Z", "3")[:-1],            # the tag itself without its NUL
    bb.tag("NH", "H", "")[:-1],
    NH1[:-1], bb.tag("NH", "i", 5)[:-2],    # a fixed value cut short
    bb.tag("XY", "i", 5)[:-1] + NH1,
    bb.array_tag("XY", "i", [1, 2], count=3) + NH1,   # an array longer than the area
    bb.array_tag("NH", "I", [4], count=2),
    bb.array_tag("XY", "I", [], count=2**30) + NH1,   # 4 * 2^30 wraps to 0 bytes in htslib
    bb.array_tag("NH", "S", [], count=2**31),
    b"XYB\x00" + struct.pack("<I", 0) + NH1,          # a subtype of unknown size
    b"XYBc\x01\x00" + NH1,                            # a count cut short
    bb.tag("NH", "c", -3) + NH1,            # the first of two NH fields counts
    bb.tag("nh", "C", 3) + bb.tag("HN", "C", 3),
], ids=lambda a: a.hex() or "empty")
def test_aux_areas_malformed_or_unusual(tool, tmp_path, aux):
    data = bb.bam([bb.record(aux=aux), bb.record(aux=aux, cigar="")])
    assert_same(tool, written(tmp_path, data))


def test_cigar_of_more_than_65535_ops_lives_in_the_cg_tag(tool, tmp_path):
    ops = [(0, 1), (1, 1), (3, 2)] * 25000 + [(7, 3)]
    cigar = "".join(f"{n}{'MIDNSHP=X'[op]}" for op, n in ops)
    specs = [{"cigar": cigar, "tags": [("NH", 2, "C")]},
             {"cigar": cigar, "pos": 2**31 - 200_000, "tags": [("XA", "yz", "Z"), ("NH", 2, "i")]},
             {"cigar": "10M"}]
    view = assert_same(tool, write_bam(tmp_path / "long.bam", specs))
    blocks = ast.literal_eval(view.records[0].split(" ", 3)[3].rsplit(" ", 1)[0])
    assert len(blocks) == 25001


def _placeholder(l_qseq):
    return struct.pack("<I", l_qseq << 4 | 4) + bb.cigar_ops("3N")


CG = bb.array_tag("CG", "I", [10 << 4 | 0, 5 << 4 | 3, 6 << 4 | 0, 2 << 4 | 4])


@pytest.mark.parametrize("overrides", [
    {"aux": NH1 + CG + bb.tag("XB", "i", 4)},     # moved; NH before and a field after stay
    {"aux": CG + NH1},
    {"aux": bb.array_tag("CG", "i", [10 << 4, 5 << 4 | 3, 8 << 4]) + NH1},
    {"aux": CG + NH1, "tid": -1},                 # an unplaced record keeps its placeholder
    {"aux": CG + NH1, "pos": -1},
    {"aux": bb.array_tag("CG", "S", [1, 2]) + NH1},   # not B:I, left alone
    {"aux": bb.tag("CG", "Z", "10M") + NH1},
    {"aux": bb.array_tag("CG", "I", [18 << 4]) + NH1},   # fewer ops than the placeholder
    {"aux": NH1 + b"XYq"},                        # corrupt aux behind a placeholder: -4
    {"aux": bb.tag("XY", "Z", "a")[:-1] + CG},    # runs to the end: CG is absent
    {"aux": CG + NH1, "flag": 4},
], ids=str)
def test_cigar_moved_from_cg_as_htslib_moves_it(tool, tmp_path, overrides):
    fields = {"cigar": _placeholder(18), "l_qseq": 18} | overrides
    data = bb.bam([bb.record(**fields), bb.record(aux=NH1)])
    assert_same(tool, written(tmp_path, data))


def _pysam_stream(tmp_path, count=300):
    specs = [{"pos": i * 11, "cigar": CIGARS[i % len(CIGARS)], "flag": (i * 37) % 4096,
              "name": "q" * (1 + i % 200), "tags": [("NH", i, "i"), ("XZ", "z" * (i % 90), "Z")]}
             for i in range(count)]
    return bb.inflate(Path(write_bam(tmp_path / "src.bam", specs)).read_bytes())


@pytest.mark.parametrize("layout", ["every 1000", "every 37", "every 4093", "single bytes",
                                    "random", "empty blocks", "one big block"])
def test_records_across_bgzf_blocks(tool, tmp_path, layout):
    stream = _pysam_stream(tmp_path)
    rng = random.Random(layout)
    cuts = {
        "every 1000": range(1000, len(stream), 1000),
        "every 37": range(37, len(stream), 37),
        "every 4093": range(4093, len(stream), 4093),
        "single bytes": range(1, min(len(stream), 3000)),
        "random": sorted(rng.sample(range(1, len(stream)), 400)),
        "empty blocks": [c for c in range(500, len(stream), 500) for _ in range(rng.randint(1, 3))]
                        + [0, 0, len(stream)],
        "one big block": [],
    }[layout]
    view = assert_same(tool, written(tmp_path, bb.bgzf(stream, cuts=cuts)))
    assert len(view.records) == 300 and view.status == -1


@pytest.mark.parametrize("change", ["no extra field", "other subfield", "longer extra field",
                                    "one plain member for the rest", "plain members, small"])
def test_gzip_members_without_the_bgzf_field(tool, tmp_path, change):
    """A later gzip header that is not BGZF's turns the rest of the file into plain gzip."""
    stream = _pysam_stream(tmp_path)
    head = bb.bgzf_block(stream[:5000])
    rest = stream[5000:]
    if change.startswith("plain members"):
        tail = b"".join(gzip.compress(rest[i:i + 7000]) for i in range(0, len(rest), 7000))
    elif change == "one plain member for the rest":
        tail = gzip.compress(rest) + bb.EOF_BLOCK
    else:
        blocks = bb.bgzf(rest, block_size=9000)
        end = bb.block_offsets(blocks)[1]
        second = bytes(blocks[:end])
        if change == "no extra field":
            second = second[:3] + b"\x00" + second[4:10] + second[18:]
        elif change == "other subfield":
            second = second[:12] + b"XY" + second[14:]
        else:
            second = second[:10] + b"\x0a\x00" + second[12:18] + b"AB\x00\x00" + second[18:]
        tail = second + blocks[end:]
    view = assert_same(tool, written(tmp_path, head + tail))
    assert len(view.records) == 300 and view.status == -1


def test_counts_records_in_count_mode(tool, tmp_path):
    path = write_bam(tmp_path / "c.bam", [{"pos": i} for i in range(1234)])
    out = subprocess.run([str(tool), "--count", path], capture_output=True, text=True).stdout
    assert out.splitlines()[1:] == ["records 1234", "status -1"]


# Random files of random records: any field value pysam's reader accepts or rejects.

def _random_record(draw):
    ops = draw(st.lists(st.tuples(st.integers(0, 15), st.integers(0, 2**28 - 1) | st.integers(0, 9)),
                        max_size=8))
    cig = b"".join(struct.pack("<I", n << 4 | op) for op, n in ops)
    qlen = bb.query_length(cig)
    l_qseq = draw(st.sampled_from([qlen, qlen, 0, qlen + 1])) if qlen < 300 else 0
    nh = draw(st.sampled_from([
        b"", NH1, bb.tag("NH", "i", draw(st.integers(-2**31, 2**31 - 1))),
        bb.tag("NH", "I", draw(st.integers(0, 2**32 - 1))),
        bb.tag("NH", "f", draw(st.floats(width=32, allow_nan=False))),
        bb.tag("NH", "Z", draw(st.binary(max_size=4)).replace(b"\x00", b"")),
        bb.tag("NH", "A", draw(st.binary(min_size=1, max_size=1))),
        bb.array_tag("NH", draw(st.sampled_from("cCsSiIf")), [1, 2]),
    ]))
    aux = draw(st.permutations([nh, bb.tag("XS", "Z", "q"), draw(st.binary(max_size=3))]))
    return bb.record(
        flag=draw(st.integers(0, 0xFFFF)), tid=draw(st.integers(-2, 2)),
        pos=draw(st.sampled_from([-1, 0, 5, 2**31 - 1]) | st.integers(-2**31, 2**31 - 1)),
        mapq=draw(st.integers(0, 255)), cigar=cig, l_qseq=l_qseq if qlen < 300 else 0,
        mtid=draw(st.integers(-2, 2)), aux=b"".join(aux),
        name=draw(st.sampled_from([b"r", b"abc", b"abcdefg"])))


@st.composite
def _random_file(draw):
    records = [_random_record(draw) for _ in range(draw(st.integers(1, 6)))]
    stream = bb.header() + b"".join(records)
    cuts = draw(st.lists(st.integers(1, len(stream) - 1), max_size=5))
    return bb.bgzf(stream, cuts=cuts)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=_random_file())
def test_random_records(tool, tmp_path, data):
    assert_same(tool, written(tmp_path, data, "random.bam"))


def test_refuses_what_it_does_not_read_itself(tool, tmp_path):
    """Files the decoder leaves to pysam: missing, not a regular file, not BGZF at the start,
    or named so that htslib would open something else than the file of that name."""
    plain = written(tmp_path, gzip.compress(bb.header() + bb.record(aux=NH1)), "plain.bam")
    assert decoder_view(tool, plain).open_code == -3
    assert decoder_view(tool, tmp_path).open_code == -2
    assert decoder_view(tool, tmp_path / "missing.bam").open_code == -1
    good = bb.bam([bb.record(aux=NH1)])
    for name, opened in [("ab:c.bam", "-7"), ("x.bam##idx##x.bai", "-7"), ("-", "-7"),
                         ("a:b.bam", "0")]:   # one letter before ':' is no scheme to htslib
        written(tmp_path, good, name)
        done = subprocess.run([str(tool), name], cwd=tmp_path, capture_output=True, text=True)
        assert done.stdout.split()[:2] == ["open", opened]
