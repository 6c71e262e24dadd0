"""Damaged BAM files: the native decoder fails where pysam's iterator fails, with the same code
(-2 "truncated file", -3 and -4 "error N while reading file"), after the same records, and
never crashes. Every case also runs under AddressSanitizer."""

import random
import struct
import zlib
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import bam_bytes as bb
from decoder_compare import assert_same, dump_tools, written  # noqa: F401 - fixture
from helpers import write_bam

# pysam's AlignmentFile complains from its destructor when htslib fails to close a damaged file.
pytestmark = pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")


@pytest.fixture(params=["libdeflate", "zlib", "asan"])
def tool(request, dump_tools):  # noqa: F811
    return dump_tools(request.param)


NH1 = bb.tag("NH", "C", 1)
GOOD = bb.record(aux=NH1)


@pytest.mark.parametrize("bad", [
    bb.record(block_len=31), bb.record(block_len=0), bb.record(block_len=-5),
    bb.record(block_len=32),
    bb.record(l_qname=0),
    bb.record(l_qseq=-1, cigar=""),
    bb.record(n_cigar=200),                       # more CIGAR than the record holds
    bb.record(cigar="10M", l_qseq=11),            # query length differs from the CIGAR's
    bb.record(cigar="10M", l_qseq=9, flag=4),     # ... which an unmapped record may
    bb.record(cigar="10M", l_qseq=0),
    bb.record(cigar="", l_qseq=7),
    bb.record(cigar=[(9, 5), (15, 2), ("M", 3)], l_qseq=3),   # unknown ops consume nothing
    bb.record(name=b"abcd", nul=False),           # a name without its NUL is mended
    bb.record(name=b"abc", nul=False),
    bb.record(name=b"abcdefg", nul=False, l_qname=4),
    bb.record(tid=2), bb.record(tid=-2), bb.record(mtid=2), bb.record(mtid=-2),
    bb.record(tid=-1, pos=-1), bb.record(tid=2, l_qname=0),   # length checks come first
    bb.record(aux=NH1)[:-1],                      # the file ends inside the record
    bb.record(aux=NH1)[:20], bb.record(aux=NH1)[:3], b"\x00",
    bb.record(aux=NH1, block_len=10_000_000),
    bb.record(aux=NH1, block_len=2**31 - 1),      # a length that promises 2 GiB
], ids=lambda r: r.hex()[:64])
def test_records_with_bad_lengths_or_ids(tool, tmp_path, bad):
    data = bb.bam([GOOD, bad, GOOD])
    assert_same(tool, written(tmp_path, data))


def _pysam_file(tmp_path, count=200):
    specs = [{"pos": i * 13, "cigar": ["30M", "5S20M200N5M"][i % 2], "name": "n" * (1 + i % 50),
              "tags": [("NH", 1 + i % 3, "C"), ("XS", "a" * (i % 40), "Z")]}
             for i in range(count)]
    stream = bb.inflate(Path(write_bam(tmp_path / "src.bam", specs)).read_bytes())
    return stream, bb.bgzf(stream, block_size=3001)


def test_cut_compressed_file_at_many_offsets(tool, tmp_path):
    _, data = _pysam_file(tmp_path)
    starts = bb.block_offsets(data)
    offsets = sorted({0, 5, 17, 18, 19, *range(20, len(data), 97),
                      *(s + d for s in starts for d in (-1, 0, 1, 18, 26))} - {len(data)})
    for offset in offsets:
        if 0 <= offset < len(data):
            for tail in (b"", bb.EOF_BLOCK):
                assert_same(tool, written(tmp_path, data[:offset] + tail))


def test_cut_records_at_every_offset(tool, tmp_path):
    stream, _ = _pysam_file(tmp_path, count=4)
    for end in range(len(bb.header()) - 40, len(stream)):
        for cuts in ([], [end - 3] if end > 3 else []):
            assert_same(tool, written(tmp_path, bb.bgzf(stream[:end], cuts=cuts)))


def test_flipped_bytes_in_records(tool, tmp_path):
    stream, _ = _pysam_file(tmp_path, count=4)
    rng = random.Random(7)
    first = stream.index(b"BAM\x01") + 4
    for offset in range(first, len(stream)):
        for mask in rng.sample([0x01, 0x02, 0x10, 0x80, 0xFF, 0x7F], 2):
            damaged = bytearray(stream)
            damaged[offset] ^= mask
            assert_same(tool, written(tmp_path, bb.bgzf(bytes(damaged), cuts=[offset])))


def test_flipped_bytes_in_bgzf_blocks(tool, tmp_path):
    _, data = _pysam_file(tmp_path)
    starts = bb.block_offsets(data)
    rng = random.Random(11)
    positions = [p for s in starts[:3] for p in range(s, s + 18)]      # block headers
    positions += [s - d for s in starts[1:4] for d in range(1, 9)]      # CRC32 and ISIZE
    positions += rng.sample(range(len(data)), 60)                       # anywhere
    for position in positions:
        for mask in (0x01, 0x04, 0x80, 0xFF):
            damaged = bytearray(data)
            damaged[position] ^= mask
            # A first block that is not BGZF is left to pysam (which reads it as plain gzip).
            assert_same(tool, written(tmp_path, bytes(damaged)), may_refuse=position < 18)


@pytest.mark.parametrize("change", [
    "bad crc", "isize", "bsize small", "bsize 17", "bsize past the end", "deflate garbage",
    "stored block", "output over 64 KiB", "no eof block", "garbage after eof",
    "short garbage after eof", "eof block twice", "empty blocks at the start",
])
def test_bgzf_block_damage(tool, tmp_path, change):
    stream, _ = _pysam_file(tmp_path, count=40)
    blocks = [bb.bgzf_block(stream[i:i + 2000]) for i in range(0, len(stream), 2000)]
    second = bytearray(blocks[1])
    if change == "bad crc":
        second[-8] ^= 1
    elif change == "isize":
        second[-4:] = struct.pack("<I", 12345)                # htslib never looks at it
    elif change == "bsize small":
        second[16:18] = struct.pack("<H", len(second) - 20)
    elif change == "bsize 17":
        second[16:18] = struct.pack("<H", 16)
    elif change == "bsize past the end":
        second[16:18] = struct.pack("<H", 65535)
    elif change == "deflate garbage":
        second[18:-8] = bytes(range(256))[: len(second) - 26]
    elif change == "stored block":                            # uncompressed deflate is fine
        raw = stream[2000:4000]
        body = b"\x01" + struct.pack("<HH", len(raw), len(raw) ^ 0xFFFF) + raw
        second = (second[:16] + struct.pack("<H", 18 + len(body) + 7) + body
                  + struct.pack("<II", zlib.crc32(raw), len(raw)))
    elif change == "output over 64 KiB":
        compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
        body = compressor.compress(b"\x00" * 70000) + compressor.flush()
        second = (second[:16] + struct.pack("<H", 18 + len(body) + 7) + body
                  + struct.pack("<II", zlib.crc32(b"\x00" * 70000), 70000))
    blocks[1] = bytes(second)
    data = b"".join(blocks)
    data += {"no eof block": b"", "garbage after eof": bb.EOF_BLOCK + b"x" * 40,
             "short garbage after eof": bb.EOF_BLOCK + b"\x1f\x8b\x08",
             "eof block twice": bb.EOF_BLOCK * 2}.get(change, bb.EOF_BLOCK)
    if change == "empty blocks at the start":
        data = bb.EOF_BLOCK * 3 + data
    assert_same(tool, written(tmp_path, data))


@pytest.mark.parametrize("head", [
    bb.header(text="@HD\tVN:1.6\nbad line\n"),
    bb.header(text="@HD\tVN:1.6\n\n@CO\tx\n"),                 # an empty line
    bb.header(text="@HD\tVN:1.6\n\x00junk\nmore"),             # text after a NUL is not read
    bb.header(text="@HD\tVN:1.6"),                             # no final newline: fine
    bb.header(text=""),
    bb.header(text="x"),
    bb.header(refs=()),
    b"BAM\x01" + struct.pack("<i", 0) + struct.pack("<i", -1),
    b"BAM\x01" + struct.pack("<i", 0) + struct.pack("<ii", 1, 0) + struct.pack("<i", 5),
    b"BAM\x01" + struct.pack("<i", 0) + struct.pack("<ii", 1, -3) + struct.pack("<i", 5),
    b"BAM\x01" + struct.pack("<i", 0) + struct.pack("<ii", 1, 4) + b"chr1" + struct.pack("<i", 9),
    b"BAM\x01" + struct.pack("<i", 100) + b"@CO\n",            # text cut short
    b"BAM\x01" + struct.pack("<i", 0) + struct.pack("<ii", 2, 5) + b"chr1\x00",
    b"BAM\x02" + bb.header()[4:],
    b"BAM",
    b"",
], ids=lambda h: h.hex()[:48] or "empty")
def test_damaged_headers(tool, tmp_path, head):
    data = bb.bgzf(head + (GOOD if head.startswith(bb.header()[:4]) else b""), cuts=[])
    assert_same(tool, written(tmp_path, data))


@pytest.mark.parametrize("content", [
    b"", b"\x1f\x8b", bb.EOF_BLOCK, bb.EOF_BLOCK[:20], b"@HD\tVN:1.6\n", b"BAM\x01" * 10,
    bb.bgzf_block(b"BA") + bb.bgzf_block(b"M\x01" + bb.header()[4:]) + bb.EOF_BLOCK,
    bb.EOF_BLOCK * 80 + bb.bgzf(bb.header() + GOOD),         # the magic beyond the first 2 KiB
])
def test_files_that_are_barely_bam(tool, tmp_path, content):
    # SAM text is pysam's to read; the decoder leaves it (code -3) as it leaves any file that
    # does not start with a BGZF block.
    assert_same(tool, written(tmp_path, content), may_refuse=True)


@settings(max_examples=80, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(edits=st.lists(st.tuples(st.integers(0, 10**6), st.integers(1, 255)), min_size=1,
                      max_size=4),
       cut=st.none() | st.integers(0, 10**6), compressed=st.booleans())
def test_random_damage(tool, tmp_path, edits, cut, compressed):
    stream = bb.header() + b"".join(
        bb.record(name=b"x" * (i % 9 + 1), pos=i, aux=NH1 + bb.tag("XZ", "Z", "q" * i),
                  cigar=["5M", "2S3M1I", "4M9N1M"][i % 3]) for i in range(12))
    data = bytearray(bb.bgzf(stream, block_size=97) if compressed else stream)
    for offset, mask in edits:
        data[offset % len(data)] ^= mask
    if cut is not None:
        data = data[:cut % len(data)]
    if not compressed:
        data = bb.bgzf(bytes(data), block_size=89)
    assert_same(tool, written(tmp_path, bytes(data)), may_refuse=True)
