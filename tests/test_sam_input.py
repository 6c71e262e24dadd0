"""SAM text as the engine reads it, through the API: malformed lines refused with the file and the
line, the shapes real files come in (CRLF, very long lines, no final line break, blank lines,
pipes), files that are neither SAM nor BAM, and SAM counting the same as BAM of the same
records."""

import gzip
import os
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fc_peer
import sam_strategies as S
from dulse import BamError, Settings, count_bam, read_annotation

HEADER = "@HD\tVN:1.6\tSO:unsorted\n@SQ\tSN:chr1\tLN:5000\n@SQ\tSN:chr2\tLN:5000\n"
GOOD = ["r1\t0\tchr1\t100\t60\t50M\t*\t0\t0\t*\t*\tNH:i:1",
        "r2\t16\tchr1\t150\t60\t20M5I25M\t*\t0\t0\t*\t*",
        "r3\t0\tchr2\t300\t60\t10M100N40M\t*\t0\t0\t*\t*",
        "r4\t4\t*\t0\t0\t*\t*\t0\t0\t*\t*"]
GENES = fc_peer.features(("gA", "chr1", 90, 400, "+"), ("gB", "chr2", 250, 500, "-"))
SETTINGS = Settings(multi_mapping=True)


@pytest.fixture
def genes(tmp_path):
    return read_annotation(fc_peer.write_saf(tmp_path / "genes.saf", GENES))


def sam_text(records=GOOD, header=HEADER, newline="\n"):
    return (header + "".join(line + "\n" for line in records)).replace("\n", newline)


def counted(path, genes, settings=SETTINGS):
    result = count_bam(path, genes, settings)
    return result.counts.tolist(), result.summary


@pytest.fixture
def reference(tmp_path, genes):
    """The counts of GOOD written plainly."""
    path = tmp_path / "plain.sam"
    path.write_text(sam_text())
    return counted(path, genes)


# --------------------------------------------------------------------------------------------
# Malformed lines

MALFORMED = {
    "FLAG not a number": ("r\tx0\tchr1\t100\t60\t50M\t*\t0\t0\t*\t*", "FLAG 'x0'"),
    "FLAG negative": ("r\t-1\tchr1\t100\t60\t50M\t*\t0\t0\t*\t*", "FLAG '-1'"),
    "FLAG above 16 bits": ("r\t65536\tchr1\t100\t60\t50M\t*\t0\t0\t*\t*", "FLAG '65536'"),
    "POS not a number": ("r\t0\tchr1\t1e2\t60\t50M\t*\t0\t0\t*\t*", "POS '1e2'"),
    "POS negative": ("r\t0\tchr1\t-5\t60\t50M\t*\t0\t0\t*\t*", "POS '-5'"),
    "MAPQ above 255": ("r\t0\tchr1\t100\t256\t50M\t*\t0\t0\t*\t*", "MAPQ '256'"),
    "MAPQ empty": ("r\t0\tchr1\t100\t\t50M\t*\t0\t0\t*\t*", "MAPQ ''"),
    "CIGAR with an unknown operation": ("r\t0\tchr1\t100\t60\t10M5Q\t*\t0\t0\t*\t*",
                                        "CIGAR '10M5Q'"),
    "CIGAR without lengths": ("r\t0\tchr1\t100\t60\tM\t*\t0\t0\t*\t*", "CIGAR 'M'"),
    "CIGAR ending in a number": ("r\t0\tchr1\t100\t60\t50M3\t*\t0\t0\t*\t*", "CIGAR '50M3'"),
    "PNEXT not a number": ("r\t0\tchr1\t100\t60\t50M\t=\tx\t0\t*\t*", "PNEXT 'x'"),
    "TLEN not a number": ("r\t0\tchr1\t100\t60\t50M\t=\t100\t1.5\t*\t*", "TLEN '1.5'"),
    "integer field not a number": ("r\t0\tchr1\t100\t60\t50M\t*\t0\t0\t*\t*\tNH:i:two",
                                   "optional field 'NH:i:two'"),
    "optional field without a type": ("r\t0\tchr1\t100\t60\t50M\t*\t0\t0\t*\t*\tNH",
                                      "optional field 'NH'"),
    "unknown field type": ("r\t0\tchr1\t100\t60\t50M\t*\t0\t0\t*\t*\tNH:q:1",
                           "optional field 'NH:q:1'"),
    "array of an unknown type": ("r\t0\tchr1\t100\t60\t50M\t*\t0\t0\t*\t*\tXB:B:q,1",
                                 "optional field 'XB:B:q,1'"),
    "bad field after good ones": ("r\t0\tchr1\t100\t60\t50M\t*\t0\t0\t*\t*\tNH:i:1\tAS:i:",
                                  "optional field 'AS:i:'"),
    "ten fields": ("r\t0\tchr1\t100\t60\t50M\t*\t0\t0\t*", "found 10"),
    "one field": ("just some text", "found 1"),
    "reference not in @SQ": ("r\t0\tchr9\t100\t60\t50M\t*\t0\t0\t*\t*", "'chr9'"),
    "mate reference not in @SQ": ("r\t1\tchr1\t100\t60\t50M\tchrX\t10\t0\t*\t*", "'chrX'"),
    "header line among the records": ("@CO\tlate", "header line"),
}


@pytest.mark.parametrize("line, quoted", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_line_names_file_and_line(tmp_path, genes, line, quoted):
    path = tmp_path / "bad.sam"
    path.write_text(sam_text(GOOD[:2] + [line] + GOOD[2:]))
    with pytest.raises(BamError) as refused:
        count_bam(path, genes)
    message = str(refused.value)
    assert message.startswith(f"{path}: line 6: "), message  # 3 header lines, 2 records
    assert quoted in message
    assert refused.value.kind == "unreadable"


def test_malformed_header_names_the_line(tmp_path, genes):
    path = tmp_path / "header.sam"
    path.write_text(sam_text(header=HEADER + "@SQ\tLN:100\n"))
    with pytest.raises(BamError, match=r"header\.sam: line 4: an @SQ line without"):
        count_bam(path, genes)


# --------------------------------------------------------------------------------------------
# Line ends, long lines, blank lines


def long_record(name, bases):
    return f"{name}\t0\tchr1\t120\t60\t{bases}M\t*\t0\t0\t{'A' * bases}\t{'I' * bases}\tNH:i:1"


SHAPES = {
    "CRLF line ends": lambda: sam_text(newline="\r\n"),
    "no line break at the end": lambda: sam_text().rstrip("\n"),
    "CRLF, no line break at the end": lambda: sam_text(newline="\r\n").rstrip("\r\n"),
    "blank lines": lambda: sam_text().replace("\nr2", "\n\n\nr2") + "\n\n",
    "blank CRLF lines": lambda: sam_text(newline="\r\n").replace("\r\nr3", "\r\n\r\nr3"),
    "a long comment in the header": lambda: sam_text(header=HEADER + "@CO\t" + "x" * 400_000
                                                     + "\n"),
}


@pytest.mark.parametrize("make", SHAPES.values(), ids=SHAPES.keys())
def test_file_shapes_count_alike(tmp_path, genes, reference, make):
    path = tmp_path / "shaped.sam"
    path.write_bytes(make().encode())
    assert counted(path, genes) == reference


@pytest.mark.parametrize("bases", [300_000, 131_072, 131_071, 1_000_000])
@pytest.mark.parametrize("newline, last", [("\n", True), ("\r\n", True), ("\n", False)],
                         ids=["LF", "CRLF", "last line without a break"])
def test_long_lines(tmp_path, genes, bases, newline, last):
    """Records longer than the reader's buffer (SEQ and QUAL of ``bases`` each), before,
    between and after ordinary ones; the count must see each whole."""
    records = [long_record("long1", bases)] + GOOD + [long_record("long2", bases // 2)]
    if not last:
        records.append(long_record("long3", bases))
    text = sam_text(records, newline=newline)
    if not last:
        text = text.rstrip(newline)
    path = tmp_path / "long.sam"
    path.write_bytes(text.encode())
    bam = fc_peer.write_bam(path, tmp_path / "long.bam")
    assert counted(path, genes) == counted(bam, genes)
    result = count_bam(path, genes, SETTINGS)
    assert result.records == len(records)


# --------------------------------------------------------------------------------------------
# Streams: read once, counted as the file is


def count_in_child(path, annotation_path, stdin=None, timeout=60):
    """Counts ``path`` in a fresh interpreter (so that a second open of a stream would hang and
    time out instead of the test run), printing the counts and the summary."""
    code = ("import sys\n"
            "from dulse import Settings, count_bam, read_annotation\n"
            f"result = count_bam(sys.argv[1], read_annotation({str(annotation_path)!r}), "
            "Settings(multi_mapping=True))\n"
            "print(result.counts.tolist(), result.summary, result.records)\n")
    return subprocess.run([sys.executable, "-c", code, str(path)], input=stdin,
                          capture_output=True, timeout=timeout, cwd=annotation_path.parent)


@pytest.mark.parametrize("name", ["/dev/stdin", "-"])
@pytest.mark.parametrize("as_bam", [False, True], ids=["sam", "bam"])
def test_standard_input(tmp_path, reference, name, as_bam):
    path = tmp_path / "reads.sam"
    path.write_text(sam_text())
    if as_bam:
        path = Path(fc_peer.write_bam(path, tmp_path / "reads.bam"))
    done = count_in_child(name, tmp_path / "genes.saf", stdin=path.read_bytes())
    assert done.returncode == 0, done.stderr.decode()
    counts, summary = reference
    assert done.stdout.decode().strip() == f"{counts} {summary} {len(GOOD)}"


@pytest.mark.parametrize("as_bam", [False, True], ids=["sam", "bam"])
def test_fifo_is_read_once(tmp_path, reference, as_bam):
    source = tmp_path / "reads.sam"
    source.write_text(sam_text())
    if as_bam:
        source = Path(fc_peer.write_bam(source, tmp_path / "reads.bam"))
    fifo = tmp_path / "reads.fifo"
    os.mkfifo(fifo)

    def feed():  # writes the data once; a second open for reading would find no writer
        with open(fifo, "wb") as handle:
            handle.write(source.read_bytes())

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    done = count_in_child(fifo, tmp_path / "genes.saf", timeout=30)
    writer.join(5)
    assert done.returncode == 0, done.stderr.decode()
    counts, summary = reference
    assert done.stdout.decode().strip() == f"{counts} {summary} {len(GOOD)}"


# --------------------------------------------------------------------------------------------
# Neither SAM nor BAM


def gzipped_sam(tmp_path):
    path = tmp_path / "reads.sam.gz"
    path.write_bytes(gzip.compress(sam_text().encode()))
    return path


def cram(tmp_path):
    if shutil.which("samtools") is None:
        pytest.skip("samtools is not installed")
    sam = tmp_path / "reads.sam"
    sam.write_text(sam_text())
    path = tmp_path / "reads.cram"
    subprocess.run(["samtools", "view", "-C", "--output-fmt-option", "no_ref=1", "-o",
                    str(path), str(sam)], check=True, capture_output=True)
    return path


def binary(tmp_path):
    path = tmp_path / "random.bin"
    path.write_bytes(bytes(range(256)) * 8)
    return path


@pytest.mark.parametrize("make, reason", [
    (gzipped_sam, "gzip-compressed, but not BAM (a gzipped SAM file? decompress it first)"),
    (cram, "a CRAM file, which dulse does not read yet: convert it with 'samtools view -b -T "
           "REFERENCE.fa'"),
    (binary, "neither BAM nor SAM"),
], ids=["gzipped SAM", "CRAM", "binary"])
def test_other_formats_are_refused(tmp_path, genes, make, reason):
    path = make(tmp_path)
    with pytest.raises(BamError) as refused:
        count_bam(path, genes)
    assert str(refused.value) == f"{path}: {reason}"
    assert refused.value.kind == "unusable"


# --------------------------------------------------------------------------------------------
# SAM and BAM of the same records

EXTRA_FIELDS = st.lists(st.sampled_from((
    "XS:A:+", "AS:i:-12", "XM:i:4000000000", "XF:f:1.5e3", "MD:Z:10A39", "RG:Z:",
    "XB:B:s,-1,2,300", "XC:B:C,1,255", "XI:B:i,-2147483648,7", "ZF:B:f,1.5,-2", "XH:H:1AE301",
    "NM:i:0", "XE:B:I", "OA:Z:chr1,100,+,50M,60,0;")), max_size=4)


@st.composite
def sam_lines(draw):
    """Random read pairs as SAM lines, optional fields of every type around NH and HI, NH now
    and then written large (another integer width in BAM)."""
    records = draw(S.paired_end_reads(max_templates=12))
    lines = []
    for record in records:
        fields = fc_peer.sam_line(record).split("\t")
        tags = fields[11:]
        if tags and draw(st.integers(0, 4)) == 0:
            tags = [tag.replace("NH:i:", "NH:i:30") for tag in tags]  # NH 300ish
        extra = draw(EXTRA_FIELDS)
        at = draw(st.integers(0, len(extra)))
        lines.append("\t".join(fields[:11] + extra[:at] + tags + extra[at:]))
    return records, lines


@settings(max_examples=25, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                 HealthCheck.function_scoped_fixture])
@given(sam_lines(), S.annotations())
def test_sam_and_bam_count_alike(tmp_path_factory, drawn, features):
    records, lines = drawn
    folder = tmp_path_factory.mktemp("same")
    header = "@HD\tVN:1.6\tSO:unsorted\n" + "".join(
        f"@SQ\tSN:{name}\tLN:{length}\n" for name, length in S.CONTIG_LENGTHS.items())
    sam = folder / "reads.sam"
    sam.write_text(sam_text(lines, header))
    bam = fc_peer.write_bam(sam, folder / "reads.bam")
    annotation = read_annotation(fc_peer.write_saf(folder / "genes.saf", features))
    paired = any(record.flag & 1 for record in records)
    for options in (dict(multi_mapping=True, fraction=True, multi_overlap=True),
                    dict(count_fragments=True, strandedness=2, min_mapq=10),
                    dict(count_fragments=True, multi_mapping=True, primary_only=True,
                         both_ends_mapped=True)):
        chosen = Settings(paired=paired, **(options if paired else
                                            {key: value for key, value in options.items()
                                             if key not in ("count_fragments",
                                                            "both_ends_mapped")}))
        assert counted(sam, annotation, chosen) == counted(bam, annotation, chosen), options
