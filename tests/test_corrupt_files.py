"""Truncated and corrupted BAM files: an exception, never a crash, the same one on both record
paths, and no file descriptor left open. Run in a subprocess, so that a crash fails the test
instead of ending the test session."""

import json
import os
import random
import subprocess
import sys
import textwrap
import zlib

import pysam
import pytest

from helpers import write_bam

HERE = os.path.dirname(os.path.abspath(__file__))

CHECKER = textwrap.dedent("""
    import json, os, sys
    sys.path.insert(0, sys.argv[1])
    from dulse.quantify import _core_fast
    from helpers import Forwarding, entry

    index = {"chr1": entry((0, 900, "A", "+"), (500, 3000, "B", "-")),
             "chr2": entry((0, 5000, "C", "+"))}

    def attempt(path, forced):
        saved = _core_fast.pysam
        if forced:
            _core_fast.pysam = Forwarding()
        try:
            return ["ok", repr(_core_fast.quantify_bam_fast(path, ["A", "B", "C"], index,
                                                             0, 0, 2, True))]
        except Exception as error:
            return ["error", type(error).__name__, str(error)]
        finally:
            _core_fast.pysam = saved

    fds = len(os.listdir("/proc/self/fd"))
    for path in sys.argv[2:]:
        native = attempt(path, False)
        objects = attempt(path, True)
        print(json.dumps([path, native, objects, len(os.listdir("/proc/self/fd")) - fds]),
              flush=True)
""")


def bgzf_blocks(data):
    """Offsets and lengths of the BGZF blocks of a file."""
    blocks, offset = [], 0
    while offset + 18 <= len(data):
        size = int.from_bytes(data[offset + 16:offset + 18], "little") + 1
        blocks.append((offset, size))
        offset += size
    return blocks


def variants(data, rng):
    """Named corruptions of a BGZF file."""
    blocks = bgzf_blocks(data)
    out = {}
    for cut in sorted(set(rng.sample(range(1, len(data)), 40)) | {len(data) - 28, 30, 18}):
        out[f"cut{cut}"] = data[:cut]
        out[f"cut{cut}+eof"] = data[:cut] + data[-28:]
    for n in range(60):
        position = rng.randrange(len(data) - 28)
        flipped = bytearray(data)
        flipped[position] ^= 1 << rng.randrange(8)
        out[f"flip{n}at{position}"] = bytes(flipped)
    for number, (offset, size) in enumerate(blocks[:-1]):
        bad_crc = bytearray(data)
        bad_crc[offset + size - 8] ^= 0xFF
        out[f"crc{number}"] = bytes(bad_crc)
        bad_size = bytearray(data)
        bad_size[offset + size - 4] ^= 0x01
        out[f"isize{number}"] = bytes(bad_size)
    return out


def recompress(raw):
    """BGZF-compresses uncompressed BAM bytes, 60 KB per block, with the EOF block."""
    out = bytearray()
    for start in range(0, len(raw), 60_000):
        chunk = raw[start:start + 60_000]
        compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
        body = compressor.compress(chunk) + compressor.flush()
        header = bytes([31, 139, 8, 4, 0, 0, 0, 0, 0, 255, 6, 0, 66, 67, 2, 0])
        out += header + (len(body) + 25).to_bytes(2, "little") + body
        out += zlib.crc32(chunk).to_bytes(4, "little") + len(chunk).to_bytes(4, "little")
    out += bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")
    return bytes(out)


def record_variants(raw, rng):
    """Corruptions inside the records, recompressed so that the BGZF layer is sound."""
    header_end = raw.index(b"chrM") + len("chrM") + 1 + 4
    out = {}
    for n in range(40):
        position = rng.randrange(header_end, len(raw))
        changed = bytearray(raw)
        changed[position] = rng.randrange(256)
        out[f"record{n}at{position}"] = recompress(bytes(changed))
    out["record-cut"] = recompress(raw[:-7])
    return out


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_corrupted_files(tmp_path):
    rng = random.Random(20261207)
    reads = [{"tid": rng.choice([0, 0, 1]), "pos": rng.randrange(4000),
              "cigar": rng.choice(["50M", "20M100N30M", "10S40M", "25M2I23M"]),
              "tags": [("NH", rng.choice([1, 1, 2, 3]))], "flag": rng.choice([0, 16, 256])}
             for _ in range(3000)]
    path = write_bam(tmp_path / "sound.bam", reads)
    data = open(path, "rb").read()
    raw_path = tmp_path / "sound.ubam"
    with pysam.AlignmentFile(path) as source, \
            pysam.AlignmentFile(str(raw_path), "wbu", template=source) as target:
        for read in source:
            target.write(read)
    raw = b"".join(_inflate_all(open(raw_path, "rb").read()))

    cases = {**variants(data, rng), **record_variants(raw, rng)}
    files = []
    for name, content in cases.items():
        target = tmp_path / f"{name}.bam"
        target.write_bytes(content)
        files.append(str(target))

    result = subprocess.run([sys.executable, "-c", CHECKER, HERE, *files], capture_output=True,
                            text=True, timeout=600, cwd=tmp_path)
    lines = [json.loads(line) for line in result.stdout.splitlines()]
    assert result.returncode == 0, (result.stderr[-2000:], lines[-1:] if lines else None)
    assert len(lines) == len(files)
    errors = 0
    for name, native, objects, leaked_fds in lines:
        assert native == objects, name
        assert leaked_fds == 0, name
        errors += native[0] == "error"
    assert errors > len(files) // 2  # most corruptions are caught


def _inflate_all(data):
    """The uncompressed content of every BGZF block of a file."""
    for offset, size in bgzf_blocks(data):
        yield zlib.decompress(data[offset + 18:offset + size - 8], -15)
