"""BAM files byte by byte: records and headers packed by hand, BGZF blocks compressed by hand.

pysam refuses to write most malformed records, so the tests that need them build the
uncompressed BAM stream here and compress it into BGZF blocks cut wherever they choose.
"""

import gzip
import struct
import zlib

EOF_BLOCK = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")
CIGAR_OPS = "MIDNSHP=X"


def bgzf_block(data, level=6):
    """One BGZF block holding `data` (at most 64 KiB)."""
    compressor = zlib.compressobj(level, zlib.DEFLATED, -15)
    deflated = compressor.compress(data) + compressor.flush()
    header = b"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00BC\x02\x00"
    return (header + struct.pack("<H", len(header) + 2 + len(deflated) + 8 - 1) + deflated
            + struct.pack("<II", zlib.crc32(data), len(data)))


def bgzf(data, cuts=None, block_size=0xFF00, eof=True):
    """`data` in BGZF blocks: split at the offsets in `cuts` (an offset listed twice makes an
    empty block), else every `block_size` bytes; the end-of-file block last."""
    if cuts is None:
        cuts = range(block_size, len(data), block_size)
    bounds = [0, *sorted(cuts), len(data)]
    blocks = [bgzf_block(data[a:b]) for a, b in zip(bounds, bounds[1:])]
    return b"".join(blocks) + (EOF_BLOCK if eof else b"")


def block_offsets(compressed):
    """The start offset of every BGZF block in a well-formed file."""
    offsets, at = [], 0
    while at < len(compressed):
        offsets.append(at)
        at += struct.unpack_from("<H", compressed, at + 16)[0] + 1
    return offsets


def blocks(compressed):
    """The bytes of each BGZF block of a well-formed file."""
    offsets = [*block_offsets(compressed), len(compressed)]
    return [compressed[a:b] for a, b in zip(offsets, offsets[1:])]


def inflate(compressed):
    """The uncompressed stream of a BGZF (or any multi-member gzip) file."""
    return gzip.decompress(compressed)


def header(refs=(("chr1", 1_000_000), ("chr2", 50_000)), text=None):
    """The binary BAM header: magic, text, references."""
    if text is None:
        text = "@HD\tVN:1.6\n" + "".join(f"@SQ\tSN:{n}\tLN:{ln}\n" for n, ln in refs)
    text = text.encode() if isinstance(text, str) else text
    out = [b"BAM\x01", struct.pack("<i", len(text)), text, struct.pack("<i", len(refs))]
    for name, length in refs:
        raw = name.encode() + b"\x00"
        out += [struct.pack("<i", len(raw)), raw, struct.pack("<i", length)]
    return b"".join(out)


def cigar_ops(cigar):
    """'10M2I' or [(op, length), ...] (op an int or a letter) -> the packed uint32 operations."""
    if isinstance(cigar, str):
        pairs, number = [], ""
        for ch in cigar:
            if ch.isdigit():
                number += ch
            else:
                pairs.append((ch, int(number)))
                number = ""
        cigar = pairs
    ops = [(CIGAR_OPS.index(op) if isinstance(op, str) else op, n) for op, n in cigar]
    return b"".join(struct.pack("<I", n << 4 | op) for op, n in ops)


def query_length(cigar_bytes):
    """The query length a CIGAR implies (M I S = X)."""
    ops = struct.unpack(f"<{len(cigar_bytes) // 4}I", cigar_bytes)
    return sum(v >> 4 for v in ops if (v & 0xF) in (0, 1, 4, 7, 8))


def tag(name, kind, value):
    """One aux field; `value` is packed by `kind` (a struct code for the fixed types)."""
    fixed = {"c": "b", "C": "B", "s": "h", "S": "H", "i": "i", "I": "I", "f": "f", "d": "d"}
    head = name.encode() + kind.encode()
    if kind in fixed:
        return head + struct.pack("<" + fixed[kind], value)
    if kind == "A":
        return head + (value if isinstance(value, bytes) else value.encode())
    if kind in "ZH":
        return head + (value if isinstance(value, bytes) else value.encode()) + b"\x00"
    raise ValueError(kind)


def array_tag(name, subtype, values, count=None):
    """A B field; the count written may differ from the values given."""
    codes = {"c": "b", "C": "B", "s": "h", "S": "H", "i": "i", "I": "I", "f": "f"}
    payload = (struct.pack(f"<{len(values)}{codes[subtype]}", *values) if subtype in codes
               else bytes(values))
    n = len(values) if count is None else count
    return name.encode() + b"B" + subtype.encode() + struct.pack("<I", n) + payload


def record(*, name=b"r", flag=0, tid=0, pos=100, mapq=60, cigar="10M", l_qseq=None, mtid=-1,
           mpos=-1, tlen=0, aux=b"", n_cigar=None, l_qname=None, block_len=None, tail=b"",
           nul=True):
    """One BAM record (with its block length). The lengths follow the fields unless overridden,
    which is how records with inconsistent lengths are made."""
    cig = cigar if isinstance(cigar, bytes) else cigar_ops(cigar)
    if l_qseq is None:
        l_qseq = query_length(cig)
    qname = name + b"\x00" if nul else name
    body = qname + cig + bytes((l_qseq + 1) // 2) + b"\xff" * l_qseq + aux + tail
    core = struct.pack("<iiIIiiii", tid, pos,
                       (4680 << 16) | (mapq << 8) | (len(qname) if l_qname is None else l_qname),
                       (flag << 16) | (len(cig) // 4 if n_cigar is None else n_cigar),
                       l_qseq, mtid, mpos, tlen)
    size = len(core) + len(body) if block_len is None else block_len
    return struct.pack("<i", size) + core + body


def bam(records, refs=(("chr1", 1_000_000), ("chr2", 50_000)), **blocks):
    """A BGZF-compressed BAM file of the given records."""
    return bgzf(header(refs) + b"".join(records), **blocks)
