"""Damaged or unusual BAM files through dulse count: one line naming the file, what is wrong and
where, exit 1 — or, for what samtools reads, the counts."""

import gzip
import struct
import subprocess
import sys

import pytest

import bam_bytes

REFS = (("chr1", 100_000), ("chr2", 50_000))


def records(n=30, **fields):
    return [bam_bytes.record(name=f"r{k}".encode(), pos=100 + 10 * k, **fields) for k in range(n)]


def flip_crc(data):
    out = bytearray(data)
    second = bam_bytes.block_offsets(data)[1]
    end = second + struct.unpack_from("<H", data, second + 16)[0] + 1
    out[end - 8] ^= 0xFF  # the CRC32 of the second block
    return bytes(out)


def edit_block_length(data):
    out = bytearray(data)
    second = bam_bytes.block_offsets(data)[1]
    struct.pack_into("<H", out, second + 16, struct.unpack_from("<H", data, second + 16)[0] - 5)
    return bytes(out)


def damage_first_block(data):
    out = bytearray(data)
    out[30] ^= 0x55
    return bytes(out)


def bad_record(data_records):
    stream = bam_bytes.header(REFS) + b"".join(data_records)
    return bam_bytes.bgzf(stream)


CASES = {
    # name: (file bytes, exit status, the message after "FILE: ", or None for a count)
    "mapped record at position -1": (
        bam_bytes.bam(records(5) + [bam_bytes.record(name=b"odd", pos=-1)], refs=REFS), 0, None),
    "record near 2^31": (
        bam_bytes.bam(records(5) + [bam_bytes.record(name=b"far", pos=2**31 - 20)], refs=REFS),
        0, None),
    "plain gzip": (gzip.compress(bam_bytes.header(REFS) + b"".join(records())), 0, None),
    "damaged first block": (damage_first_block(bam_bytes.bam(records(), refs=REFS)), 1,
                            "BGZF block 1 is damaged (its compressed data or checksum is bad)"),
    "CRC mismatch": (flip_crc(bam_bytes.bam(records(400), refs=REFS, block_size=2000)), 1,
                     "BGZF block 2 is damaged or cut short (while reading record "),
    "edited block length": (edit_block_length(bam_bytes.bam(records(400), refs=REFS,
                                                            block_size=2000)), 1,
                            "BGZF block 2 is damaged or cut short (while reading record "),
    "damaged record": (bad_record(records(3) + [bam_bytes.record(name=b"bad", l_qseq=7)]), 1,
                       "record 4 is malformed: its CIGAR and its sequence differ in length"),
    "lengths that do not fit": (bad_record(records(3) + [bam_bytes.record(block_len=40)]), 1,
                                "record 4 is malformed: its lengths do not fit in it"),
    "no @SQ lines": (bam_bytes.bgzf(bam_bytes.header(()) + b"".join(records(3))), 1,
                     "record 1 names a reference that the header does not list (it lists 0)"),
}


@pytest.fixture
def genes(tmp_path):
    path = tmp_path / "genes.saf"
    path.write_text("GeneID\tChr\tStart\tEnd\tStrand\nA\tchr1\t1\t5000\t+\n")
    return path


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("case", CASES)
def test_bad_bam_files(tmp_path, genes, case, threads):
    data, status, message = CASES[case]
    path = tmp_path / "input.bam"
    path.write_bytes(data)
    done = subprocess.run([sys.executable, "-m", "dulse", "count", "-F", "SAF", "-a", str(genes),
                           "-T", threads, "-o", str(tmp_path / "counts.txt"), str(path)],
                          capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert done.returncode == status, done.stderr
    assert "Traceback" not in done.stderr
    if message is None:
        assert (tmp_path / "counts.txt.summary").exists()
        return
    last = done.stderr.splitlines()[-1]
    assert last.startswith(f"dulse: error: {path}: {message}"), last
    assert not (tmp_path / "counts.txt").exists()
