"""Counting one file on several threads gives what one thread gives: counts, every counter and
fractional sums, in every file order, with BGZF blocks cut anywhere (inside records, between
mates, blocks smaller than a record); a damaged file fails with the same message."""

import os
from dataclasses import replace
import random
import threading

import pysam
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import bam_bytes
import fc_peer
import sam_strategies as S
from dulse import BamError, HtseqSettings, Settings, count_bam, read_annotation

THREADS = (2, 3, 8)
EXAMPLES = int(os.environ.get("THREAD_EXAMPLES", "12"))
examples = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))

GROUPS = {
    "single-end": Settings(strandedness="reverse"),
    "single-end -M --fraction -O": Settings(multi_mapping=True, fraction=True, multi_overlap=True),
    "paired reads": Settings(paired=True, strandedness="forward"),
    "fragments": Settings(paired=True, count_fragments=True, strandedness="reverse"),
    "fragments -B -C -M --fraction": Settings(paired=True, count_fragments=True,
                                              both_ends_mapped=True, exclude_chimeric=True,
                                              multi_mapping=True, fraction=True),
    "fragments auto strand": Settings(paired=True, count_fragments=True, strandedness="auto"),
    "fragments -f --largestOverlap --fracOverlap -O --fraction": Settings(
        paired=True, count_fragments=True, feature_level=True, largest_overlap=True,
        frac_overlap=0.3, multi_overlap=True, fraction=True),
    "single-end --read2pos --minOverlap -3 --splitOnly": Settings(
        read_to_pos=5, min_overlap=-3, split_only=True, strandedness="forward"),
}


def uncompressed_bam(folder, records, sort_order, read_groups=()):
    """The BAM stream (header and records) of records written in this order."""
    sam = folder / "in.sam"
    fc_peer.write_sam(sam, records, sort_order, S.CONTIG_LENGTHS, read_groups)
    with pysam.AlignmentFile(str(sam)) as source, \
            pysam.AlignmentFile(str(folder / "in.bam"), "wb", template=source) as out:
        for segment in source:
            out.write(segment)
    return bam_bytes.inflate((folder / "in.bam").read_bytes())


def written(folder, stream, cuts, name="cut.bam"):
    path = folder / name
    path.write_bytes(bam_bytes.bgzf(stream, cuts=sorted(set(cuts))))
    return str(path)


def result_key(result):
    return (result.counts.tobytes(), tuple(result.summary.items()), result.records,
            result.strandedness, result.strand_check.by_rule)


def counted(path, annotation, chosen, threads):
    try:
        return result_key(count_bam(path, annotation, chosen, threads=threads))
    except BamError as error:
        return ("error", str(error), error.kind)


@pytest.fixture(scope="module")
def annotation(tmp_path_factory):
    folder = tmp_path_factory.mktemp("annotation")
    features = fc_peer.features(
        ("g1", "chr1", 1, 400, "+"), ("g2", "chr1", 300, 900, "-"), ("g3", "chr1", 950, 1500, "+"),
        ("g3", "chr1", 1600, 1800, "+"), ("g4", "chr2", 1, 1000, "+"),
        ("g5", "chr2", 200, 600, "-"), ("g6", "chr2", 900, 1800, "-"))
    fc_peer.write_saf(folder / "genes.saf", features)
    return read_annotation(folder / "genes.saf", file_format="SAF")


@pytest.mark.parametrize("group", GROUPS)
@examples
@given(records=st.one_of(S.paired_end_reads(min_templates=5, max_templates=40),
                         S.single_end_reads(min_reads=5, max_reads=60)),
       order=st.sampled_from(("aligner", "name", "coordinate", "shuffled")),
       block_size=st.integers(10, 100), data=st.data())
def test_threads_count_what_one_thread_counts(tmp_path_factory, annotation, group, records,
                                              order, block_size, data):
    folder = tmp_path_factory.mktemp("threads")
    sort_order, ordered = dict(zip(("aligner", "name", "coordinate", "shuffled"),
                                   S.file_orders(records, data.draw(st.randoms())))).get(order)
    stream = uncompressed_bam(folder, ordered, sort_order)
    # Blocks of about block_size bytes, with a few empty ones and a few cut by hand.
    cuts = list(range(block_size, len(stream), block_size))
    cuts += data.draw(st.lists(st.integers(1, len(stream) - 1), max_size=5))
    path = written(folder, stream, cuts + cuts[:2])
    chosen = GROUPS[group]
    expected = counted(path, annotation, chosen, 1)
    for threads in THREADS:
        assert counted(path, annotation, chosen, threads) == expected, threads



@pytest.mark.parametrize("chosen", [Settings(paired=True, count_fragments=True, by_read_group=True),
                                    Settings(by_read_group=True, strandedness="auto")],
                         ids=["fragments", "single-end auto strand"])
@examples
@given(records=st.one_of(S.paired_end_reads(min_templates=5, max_templates=40),
                         S.single_end_reads(min_reads=5, max_reads=60)),
       order=st.sampled_from(("aligner", "coordinate", "shuffled")),
       block_size=st.integers(10, 100), data=st.data())
def test_read_groups_counted_alike_on_any_number_of_threads(tmp_path_factory, annotation, chosen,
                                                             records, order, block_size, data):
    # Each read in group x, y or none (mates alike): each group's column the same every time.
    tags = {name: data.draw(st.sampled_from(["x", "y", None]))
            for name in sorted({record.name for record in records})}
    records = [replace(record, tags=record.tags + ((("RG", tags[record.name]),)
                                                   if tags[record.name] else ()))
               for record in records]
    folder = tmp_path_factory.mktemp("groups")
    sort_order, ordered = dict(zip(("aligner", "name", "coordinate", "shuffled"),
                                   S.file_orders(records, data.draw(st.randoms())))).get(order)
    stream = uncompressed_bam(folder, ordered, sort_order, read_groups=("y", "x"))
    path = written(folder, stream, range(block_size, len(stream), block_size))

    def columns(threads):
        try:
            found = count_bam(path, annotation, chosen, threads=threads)
        except BamError as error:
            return str(error)
        assert [group.path for group in found.read_groups] == [f"{path}:y", f"{path}:x"]
        return [result_key(group) for group in found.read_groups]

    expected = columns(1)
    for threads in THREADS:
        assert columns(threads) == expected, threads


def record_ends(stream):
    """Where each record of a BAM stream ends (the header skipped)."""
    text_length = int.from_bytes(stream[4:8], "little")
    at = 8 + text_length
    n_refs = int.from_bytes(stream[at:at + 4], "little")
    at += 4
    for _ in range(n_refs):
        at += 4 + int.from_bytes(stream[at:at + 4], "little") + 4
    ends = []
    while at + 4 <= len(stream):
        at += 4 + int.from_bytes(stream[at:at + 4], "little")
        ends.append(at)
    return ends


@pytest.mark.parametrize("group", ["single-end", "paired reads", "fragments",
                                   "fragments -B -C -M --fraction"])
@examples
@given(records=st.one_of(S.paired_end_reads(min_templates=30, max_templates=120),
                         S.single_end_reads(min_reads=30, max_reads=200)),
       order=st.sampled_from(("coordinate", "name", "aligner")),
       per_block=st.integers(1, 2), short_length_at=st.none() | st.integers(0, 10_000),
       data=st.data())
def test_blocks_that_end_with_a_record(tmp_path_factory, annotation, group, records, order,
                                       per_block, short_length_at, data):
    """As htslib writes BAM, every block ending where a record ends: a chunk's records are
    found while it is inflated, and a coordinate-sorted chunk sends the reads whose mates lie
    after it straight on. Now and then a record's length is damaged at a block's start."""
    folder = tmp_path_factory.mktemp("aligned")
    sort_order, ordered = dict(zip(("aligner", "name", "coordinate", "shuffled"),
                                   S.file_orders(records, data.draw(st.randoms())))).get(order)
    stream = bytearray(uncompressed_bam(folder, ordered, sort_order))
    ends = record_ends(stream)
    cuts = ends[per_block - 1::per_block]
    if short_length_at is not None:
        at = cuts[short_length_at % len(cuts)]
        if at + 4 <= len(stream):
            stream[at:at + 4] = (20).to_bytes(4, "little")  # shorter than a record's core
    path = written(folder, bytes(stream), cuts)
    chosen = GROUPS[group]
    expected = counted(path, annotation, chosen, 1)
    for threads in THREADS:
        assert counted(path, annotation, chosen, threads) == expected, threads


def damaged(stream, how):
    """The stream compressed in small blocks, then damaged in the middle."""
    compressed = bytearray(bam_bytes.bgzf(stream, block_size=300))
    offsets = bam_bytes.block_offsets(bytes(compressed))
    middle = offsets[len(offsets) // 2]
    if how == "bad deflate data":
        compressed[middle + 20] ^= 0xFF
        return bytes(compressed)
    if how == "plain gzip from the middle on":
        compressed[middle + 12] = ord("X")  # a gzip member without the BGZF field
        return bytes(compressed)
    if how == "cut inside a block":
        return bytes(compressed[:middle + 30])
    if how == "cut inside a record":
        return bam_bytes.bgzf(stream[:len(stream) - 7], block_size=300)
    if how == "cut inside a block length":
        return bam_bytes.bgzf(stream + b"\x10\x00", block_size=300)
    raise ValueError(how)


@pytest.mark.parametrize("how, fails", [("bad deflate data", True),
                                        ("plain gzip from the middle on", False),
                                        ("cut inside a block", True),
                                        ("cut inside a record", True),
                                        ("cut inside a block length", True)])
@pytest.mark.parametrize("group", ["single-end", "fragments"])
def test_damage_is_reported_alike(tmp_path, annotation, how, fails, group):
    records = [fc_peer.SamRecord(f"r{n}", 0, "chr1", 1 + (n * 7) % 1700, 60, "50M")
               for n in range(400)]
    if GROUPS[group].paired:
        records = [fc_peer.SamRecord(r.name, 0x1 | 0x40 | 0x8, r.contig, r.pos, 60, "50M")
                   for r in records]
    stream = uncompressed_bam(tmp_path, records, "unsorted")
    path = tmp_path / "damaged.bam"
    path.write_bytes(damaged(stream, how))
    expected = counted(str(path), annotation, GROUPS[group], 1)
    assert (expected[0] == "error" and str(path) in expected[1]) == fails
    if not fails:
        assert expected[2] == len(records)
    for threads in THREADS:
        assert counted(str(path), annotation, GROUPS[group], threads) == expected


def long_record_stream(paired):
    """Coordinate-sorted records, one with an aux field of 40 KiB: in blocks of 100 bytes it
    spans hundreds of blocks, so whole chunks hold no record start. Paired: mates 20 apart."""
    refs = (("chr1", 5000), ("chr2", 5000), ("chrU", 5000))
    records = []
    for n in range(200):
        pos, aux = 100 + 7 * n, bam_bytes.tag("XZ", "Z", "x" * (40_000 if n == 60 else 10))
        if paired:
            first = n % 2 == 0
            mate = pos + 20 if first else pos - 20
            records.append(bam_bytes.record(
                name=f"p{n // 2}".encode(), flag=0x1 | 0x2 | (0x40 if first else 0x80 | 0x10),
                pos=pos, mtid=0, mpos=mate, tlen=50 if first else -50, cigar="30M", aux=aux))
        else:
            records.append(bam_bytes.record(name=f"r{n}".encode(), pos=pos, cigar="30M", aux=aux))
    text = "@HD\tVN:1.6\tSO:coordinate\n" + "".join(f"@SQ\tSN:{n}\tLN:{ln}\n" for n, ln in refs)
    return bam_bytes.header(refs, text=text) + b"".join(records)


@pytest.mark.parametrize("group", ["single-end", "fragments"])
def test_a_record_longer_than_a_chunk(tmp_path, annotation, group):
    stream = long_record_stream(GROUPS[group].paired)
    path = written(tmp_path, stream, range(100, len(stream), 100))
    expected = counted(path, annotation, GROUPS[group], 1)
    assert expected[2] == 200
    for threads in THREADS:
        assert counted(path, annotation, GROUPS[group], threads) == expected


def large_stream(paired, seed):
    """About 5 MB of coordinate-sorted records over the genes, each with 180 random letters in
    an aux field so that it compresses to more than two of the reader's reads."""
    draw = random.Random(seed)
    letters = bytes(range(65, 91)) + bytes(range(97, 123)) + b"0123456789++"
    to_letters = bytes(letters[b % 64] for b in range(256))
    refs = (("chr1", 5000), ("chr2", 5000))
    placed = []
    for n in range(16_000):
        tid, pos = draw.randrange(2), draw.randrange(1, 1900)
        aux = bam_bytes.tag("XZ", "Z", draw.randbytes(180).translate(to_letters).decode())
        if paired:
            mate = max(0, pos + draw.randint(-400, 400))
            first = mate >= pos
            placed.append((tid, pos, bam_bytes.record(
                name=f"p{n}".encode(), flag=0x1 | 0x2 | (0x40 if first else 0x80) | 0x10 * first,
                tid=tid, pos=pos, mtid=tid, mpos=mate, cigar="40M", aux=aux)))
            placed.append((tid, mate, bam_bytes.record(
                name=f"p{n}".encode(), flag=0x1 | 0x2 | (0x80 if first else 0x40) | 0x20 * first,
                tid=tid, pos=mate, mtid=tid, mpos=pos, cigar="40M", aux=aux)))
        else:
            placed.append((tid, pos, bam_bytes.record(name=f"r{n}".encode(), tid=tid, pos=pos,
                                                      flag=0x10 * (n % 2), cigar="40M", aux=aux)))
    placed.sort(key=lambda item: item[:2])
    text = "@HD\tVN:1.6\tSO:coordinate\n" + "".join(f"@SQ\tSN:{n}\tLN:{ln}\n" for n, ln in refs)
    return bam_bytes.header(refs, text=text) + b"".join(record for _, _, record in placed)


@pytest.mark.parametrize("group", ["single-end", "fragments", "paired reads"])
def test_files_larger_than_a_read(tmp_path, annotation, group):
    """The compressed blocks are read a megabyte at a time and a chunk ends where a read's bytes
    end, inside a block: from a file, and through a pipe, whose reads come in small pieces."""
    stream = large_stream(GROUPS[group].paired, seed=len(group))
    draw = random.Random(7)
    cuts = [at + draw.randrange(10_000) for at in range(10_000, len(stream) - 10_000, 20_000)]
    path = written(tmp_path, stream, cuts)
    assert os.path.getsize(path) > 2 << 20
    expected = counted(path, annotation, GROUPS[group], 1)
    assert expected[2] == len(record_ends(stream))
    for threads in (2, 3):
        assert counted(path, annotation, GROUPS[group], threads) == expected
    fifo = tmp_path / "pipe.bam"
    os.mkfifo(fifo)
    data = open(path, "rb").read()

    def feed():
        with open(fifo, "wb") as pipe:
            for at in range(0, len(data), 50_000):
                pipe.write(data[at:at + 50_000])

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        assert counted(str(fifo), annotation, GROUPS[group], 2) == expected
    finally:
        writer.join()


@pytest.mark.parametrize("threads", [1, 2])
def test_threads_need_a_sensible_number(tmp_path, annotation, threads):
    stream = bam_bytes.header() + bam_bytes.record()
    path = written(tmp_path, stream, [])
    with pytest.raises(ValueError, match="threads"):
        count_bam(path, annotation, threads=threads - 2)
    count_bam(path, annotation, threads=threads)


def test_a_chunked_record_keeps_its_number_in_errors(tmp_path, annotation):
    # Record 300 has an impossible reference number: the message names it on any thread count.
    records = [bam_bytes.record(name=f"r{n}".encode(), pos=10 * n, tid=7 if n == 299 else 0)
               for n in range(600)]
    stream = bam_bytes.header((("chr1", 9000),)) + b"".join(records)
    path = written(tmp_path, stream, range(97, len(stream), 97))
    results = [counted(path, annotation, GROUPS["single-end"], t) for t in (1, *THREADS)]
    assert all(result == results[0] for result in results)
    kind, message, _ = results[0]
    assert kind == "error" and "record 300" in message


@pytest.mark.parametrize("back_at", [5, 299, 300, 301, 598])
def test_a_file_out_of_order_fails_alike(tmp_path, annotation, back_at):
    # A file that says it is sorted by coordinate goes back once, at record back_at + 1: inside
    # a chunk or where chunks meet, the same record is named on any thread count.
    records = []
    for n in range(600):
        pos = 10 * n - (2000 if n >= back_at else 0) + 3000
        first = n % 2 == 0
        records.append(bam_bytes.record(
            name=f"p{n // 2}".encode(), flag=0x1 | 0x2 | (0x40 if first else 0x80 | 0x10),
            pos=pos, mtid=0, mpos=pos + 10 if first else pos - 10, cigar="5M"))
    refs = (("chr1", 9000),)
    text = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:9000\n"
    stream = bam_bytes.header(refs, text=text) + b"".join(records)
    path = written(tmp_path, stream, range(97, len(stream), 97))
    results = [counted(path, annotation, GROUPS["fragments"], t) for t in (1, *THREADS)]
    assert all(result == results[0] for result in results)
    kind, message, _ = results[0]
    assert kind == "error" and f"record {back_at + 1} " in message


def test_plain_gzip_is_read_on_one_thread(tmp_path, annotation):
    import gzip

    stream = bam_bytes.header((("chr1", 9000),)) + b"".join(
        bam_bytes.record(name=f"r{n}".encode(), pos=10 * n) for n in range(50))
    path = tmp_path / "plain.bam"
    path.write_bytes(gzip.compress(stream))
    results = [counted(str(path), annotation, GROUPS["single-end"], t) for t in (1, 2)]
    assert results[0] == results[1] and results[0][2] == 50


def test_header_only_files(tmp_path, annotation):
    path = written(tmp_path, bam_bytes.header(), [])
    for threads in (1, *THREADS):
        result = count_bam(path, annotation, threads=threads)
        assert result.records == 0 and result.total == 0


@pytest.mark.parametrize("rules, output", [
    (Settings(paired=True, strandedness="reverse"), ("BAM", "assigned.bam")),
    (Settings(paired=True, count_fragments=True), ("BAM", "assigned.bam")),
    (HtseqSettings(stranded="no", order="pos"), ("BAM", "samout.bam")),
    (Settings(paired=True), ("SAM", "assigned.sam")),
])
def test_per_read_outputs_are_the_same_file_on_any_number_of_threads(tmp_path, annotation,
                                                                     rules, output):
    # Enough records for some hundred BGZF blocks out, so that blocks queue up and some are
    # compressed by the caller while the writer's threads are behind.
    rng = random.Random(5)
    records = []
    for n in range(40_000):
        pos = rng.randrange(1, 1800)
        records.append(bam_bytes.record(
            name=f"q{n // 2}".encode(), flag=0x1 | (0x40 if n % 2 == 0 else 0x90),
            tid=rng.randrange(2), pos=pos, mtid=0, mpos=pos + 50,
            cigar=rng.choice(("60M", "20M100N40M", "30M2D30M")), aux=b"NHC\x01"))
    stream = bam_bytes.header((("chr1", 9000), ("chr2", 9000))) + b"".join(records)
    path = written(tmp_path, stream, range(0x4000, len(stream), 0x4000))
    files = []
    for threads in (1, 2, 3):
        out = tmp_path / f"{threads}-{output[1]}"
        count_bam(path, annotation, rules, threads=threads, assignments=(output[0], out))
        files.append(out.read_bytes())
    if output[0] == "BAM":
        assert len(bam_bytes.inflate(files[0])) > 80 * 0xFF00
        # The same blocks holding the same bytes. Not the same compressed bytes: igzip's
        # encoding of a block can vary from one process to the next.
        files = [blocks_inflated(data) for data in files]
    assert files[1] == files[0] and files[2] == files[0]


def blocks_inflated(data):
    """Each BGZF block of a file, inflated, with the end-of-file block's marker kept whole."""
    return [block if block == bam_bytes.EOF_BLOCK else bam_bytes.inflate(block)
            for block in bam_bytes.blocks(data)]


@pytest.mark.parametrize("threads", [1, 2])
def test_per_read_bam_keeps_records_that_do_not_compress(tmp_path, annotation, threads):
    # Each record carries random bytes (a B:C array), so no block of the per-read BAM shrinks
    # when compressed: every block must still hold its records whole. The SAM output, written
    # without compression, is what the BAM must read back as.
    rng = random.Random(11)
    records = []
    for n in range(60):
        noise = rng.randbytes(20_000)
        records.append(bam_bytes.record(
            name=f"q{n}".encode(), pos=rng.randrange(1, 1800), cigar="60M", l_qseq=0,
            aux=b"NHC\x01" + b"ZBBC" + len(noise).to_bytes(4, "little") + noise))
    stream = bam_bytes.header((("chr1", 9000), ("chr2", 9000))) + b"".join(records)
    path = written(tmp_path, stream, range(0x4000, len(stream), 0x4000))
    outputs = {}
    for kind in ("BAM", "SAM"):
        out = tmp_path / f"assigned.{kind.lower()}"
        count_bam(path, annotation, threads=threads, assignments=(kind, out))
        with pysam.AlignmentFile(str(out), check_sq=False) as source:
            outputs[kind] = [record.to_string() for record in source]
    compressed = (tmp_path / "assigned.bam").read_bytes()
    assert len(compressed) > 0.98 * len(bam_bytes.inflate(compressed))
    assert len(outputs["BAM"]) == 60 and outputs["BAM"] == outputs["SAM"]
