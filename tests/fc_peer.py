"""Runs the installed featureCounts on records and features given as fc_model's dataclasses.

``run_featurecounts(folder, records, annotation, options)`` writes ``input.sam`` (or
``input.bam``), ``annotation.saf`` (or ``annotation.gtf``) into ``folder``, runs featureCounts
there with the options translated to its flags, and parses what it wrote.

What featureCounts 2.0.3 writes, as observed:

- stdout stays empty; the banner, the settings box, progress and errors go to stderr. Exit status
  0, or 255 when it refuses (then neither the counts file nor the summary is written; when it
  refuses single-end input under -p it leaves its temporary files, ``temp-core-*.tmp``, in the
  output folder).
- The counts file: a first line ``# Program:featureCounts v2.0.3; Command:"featureCounts" "-a" ...``
  (each argument quoted, separated by single spaces, with a trailing space), then a header
  ``Geneid Chr Start End Strand Length <input path as given>`` and one row per gene, tab-separated,
  genes in the order of their first feature in the annotation (fc_model.gene_rows describes the
  Chr/Start/End/Strand/Length columns).
- Counts are written as integers when whole ('0', '3'), else with two decimals ('0.50', '0.33',
  '0.67', '1.00' for three fixed-point thirds, '10.45'); see fc_model.format_count.
- The summary file: ``Status <input path>`` then the 14 rows of fc_model.SUMMARY_ROWS, integers
  (the eleventh named Unassigned_Split under --nonSplitOnly).
- With -f, one row per feature line in annotation order, its gene ID in Geneid, its own
  contig, start, end and strand, and its length (end - start + 1).
"""

from __future__ import annotations

import os
import shutil
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

from fc_model import SUMMARY_ROWS, Feature, Options, SamRecord, summary_rows

EXECUTABLE = "featureCounts"
INPUT_SAM = "input.sam"
INPUT_BAM = "input.bam"
OUTPUT = "counts.txt"
COUNT_COLUMNS = ("Geneid", "Chr", "Start", "End", "Strand", "Length")


def available():
    return shutil.which(EXECUTABLE) is not None


@dataclass
class PeerResult:
    exit_status: int
    stderr: str
    counts: dict = field(default_factory=dict)  # gene -> float
    count_text: dict = field(default_factory=dict)  # gene -> the count as written
    gene_rows: dict = field(default_factory=dict)  # gene -> {Chr, Start, End, Strand, Length}
    summary: dict = field(default_factory=dict)  # row -> int
    command_line: str = ""
    header: list = field(default_factory=list)
    # Every row as written: (Geneid, {Chr, Start, End, Strand, Length}, count); with -f the rows
    # are features and gene IDs repeat.
    rows: list = field(default_factory=list)

    @property
    def error_line(self):
        """The last line featureCounts printed on stderr."""
        lines = [line for line in self.stderr.splitlines() if line.strip()]
        return lines[-1] if lines else ""


def flags(options: Options):
    """featureCounts' command-line flags for ``options``."""
    out = []
    if options.paired:
        out.append("-p")
    if options.count_read_pairs:
        out.append("--countReadPairs")
    if options.both_aligned:
        out.append("-B")
    if options.exclude_chimeric:
        out.append("-C")
    if options.check_fragment_length:
        out += ["-P", "-d", str(options.min_fragment_length), "-D", str(options.max_fragment_length)]
    out += ["-s", str(options.strand)]
    if options.min_mapq:
        out += ["-Q", str(options.min_mapq)]
    if options.multi_mapping:
        out.append("-M")
    if options.fraction:
        out.append("--fraction")
    if options.primary_only:
        out.append("--primary")
    if options.multi_overlap:
        out.append("-O")
    if options.ignore_dup:
        out.append("--ignoreDup")
    if options.feature_level:
        out.append("-f")
    if options.min_overlap != 1:
        out += ["--minOverlap", str(options.min_overlap)]
    for flag, value in (("--fracOverlap", options.frac_overlap),
                        ("--fracOverlapFeature", options.frac_overlap_feature)):
        if value:
            out += [flag, repr(value)]
    if options.largest_overlap:
        out.append("--largestOverlap")
    for flag, value in (("--nonOverlap", options.non_overlap),
                        ("--nonOverlapFeature", options.non_overlap_feature),
                        ("--read2pos", options.read2pos)):
        if value is not None:
            out += [flag, str(value)]
    if options.read_shift_size:
        out += ["--readShiftType", options.read_shift_type,
                "--readShiftSize", str(options.read_shift_size)]
    for flag, value in (("--readExtension5", options.read_extension5),
                        ("--readExtension3", options.read_extension3)):
        if value:
            out += [flag, str(value)]
    if options.split_only:
        out.append("--splitOnly")
    if options.non_split_only:
        out.append("--nonSplitOnly")
    return out


# --------------------------------------------------------------------------------------------
# Input files


def contigs_of(records, annotation, lengths):
    """Contig names for the @SQ lines: those of ``lengths`` first, then any other used."""
    names = dict.fromkeys(lengths)
    for record in records:
        for name in (record.contig, record.mate_contig):
            if name is not None:
                names.setdefault(name, None)
    return list(names)


def sam_line(record: SamRecord):
    mate_contig = record.mate_contig
    if mate_contig is None:
        rnext = "*"
    elif mate_contig == record.contig:
        rnext = "="
    else:
        rnext = mate_contig
    tags = [f"{key}:{'Z' if isinstance(value, str) else 'i'}:{value}" for key, value in record.tags]
    fields = [record.name, str(record.flag), record.contig or "*", str(record.pos),
              str(record.mapq), record.cigar, rnext, str(record.mate_pos), str(record.tlen),
              sequence_for(record.cigar), "*"]
    return "\t".join(fields + tags)


def sequence_for(cigar: str):
    """A sequence as long as the CIGAR's query length ('*' when there is no CIGAR)."""
    if cigar == "*":
        return "*"
    length, number = 0, ""
    for char in cigar:
        if char.isdigit():
            number += char
            continue
        if char in "MIS=X":
            length += int(number)
        number = ""
    return "A" * length if length else "*"


def write_sam(path, records, sort_order="unsorted", lengths=None, read_groups=()):
    """Writes a SAM file with an ``@HD SO:<sort_order>`` header (and an @RG line per ID of
    ``read_groups``); records in the given order."""
    lengths = lengths or {}
    lines = [f"@HD\tVN:1.6\tSO:{sort_order}"]
    for name in contigs_of(records, (), lengths):
        lines.append(f"@SQ\tSN:{name}\tLN:{lengths.get(name, 100_000)}")
    lines += [f"@RG\tID:{group}" for group in read_groups]
    lines += [sam_line(record) for record in records]
    Path(path).write_text("\n".join(lines) + "\n")
    return path


def write_bam(sam_path, bam_path):
    """Converts a SAM file to BAM with samtools, keeping the record order."""
    subprocess.run(["samtools", "view", "-b", "-o", str(bam_path), str(sam_path)],
                   check=True, capture_output=True)
    return bam_path


def write_saf(path, annotation):
    lines = ["GeneID\tChr\tStart\tEnd\tStrand"]
    lines += [f"{f.gene}\t{f.contig}\t{f.start}\t{f.end}\t{f.strand}" for f in annotation]
    Path(path).write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


def write_gtf(path, annotation):
    """One exon line per feature, each in a transcript of its own."""
    lines = []
    for number, f in enumerate(annotation):
        attributes = f'gene_id "{f.gene}"; transcript_id "{f.gene}.t{number}";'
        lines.append(f"{f.contig}\ttest\texon\t{f.start}\t{f.end}\t.\t{f.strand}\t.\t{attributes}")
    Path(path).write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


# --------------------------------------------------------------------------------------------
# Running and parsing


def run_featurecounts(folder, records, annotation, options: Options, sort_order="unsorted",
                      bam=False, gtf=False, lengths=None, extra_flags=()):
    """Runs featureCounts on ``records`` (in the given order) in ``folder`` and parses its output.
    ``folder`` must be empty or not yet exist: each call needs a folder of its own."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    write_sam(folder / INPUT_SAM, records, sort_order, lengths)
    input_name = INPUT_SAM
    if bam:
        write_bam(folder / INPUT_SAM, folder / INPUT_BAM)
        input_name = INPUT_BAM
    if gtf:
        annotation_name, annotation_format = "annotation.gtf", "GTF"
        write_gtf(folder / annotation_name, annotation)
    else:
        annotation_name, annotation_format = "annotation.saf", "SAF"
        write_saf(folder / annotation_name, annotation)
    command = [EXECUTABLE, "-T", "1", "-F", annotation_format, "-a", annotation_name, "-o",
               OUTPUT, *flags(options), *extra_flags, input_name]
    done = subprocess.run(command, cwd=folder, capture_output=True, text=True,
                          env={**os.environ, "LC_ALL": "C"})
    result = PeerResult(done.returncode, done.stderr)
    if done.returncode == 0:
        parse_counts(folder / OUTPUT, result)
        parse_summary(folder / (OUTPUT + ".summary"), result)
    return result


def parse_counts(path, result: PeerResult):
    lines = Path(path).read_text().splitlines()
    result.command_line = lines[0]
    result.header = lines[1].split("\t")
    for line in lines[2:]:
        fields = line.split("\t")
        gene = fields[0]
        result.gene_rows[gene] = dict(zip(COUNT_COLUMNS[1:], fields[1:6]))
        result.count_text[gene] = fields[6]
        result.counts[gene] = float(fields[6])
        result.rows.append((gene, result.gene_rows[gene], fields[6]))


def parse_summary(path, result: PeerResult):
    lines = Path(path).read_text().splitlines()
    rows = [line.split("\t") for line in lines[1:]]
    result.summary = {name: int(value) for name, value in rows}
    if tuple(result.summary) not in (SUMMARY_ROWS, summary_rows(Options(non_split_only=True))):
        raise AssertionError(f"unexpected summary rows: {list(result.summary)}")


def features(*rows):
    """Features from (gene, contig, start, end, strand) tuples."""
    return [Feature(*row) for row in rows]


# --------------------------------------------------------------------------------------------
# Several inputs in one run


def run_command(folder, arguments, output=OUTPUT, stdin=None):
    """Runs ``featureCounts <arguments>`` in ``folder`` (the arguments name the inputs, the
    annotation and ``-o output``) and parses what it wrote: (exit status, stderr, {input as
    written in the header: PeerResult}), the last empty when it failed."""
    folder = Path(folder)
    done = subprocess.run([EXECUTABLE, *arguments], cwd=folder, capture_output=True, text=True,
                          env={**os.environ, "LC_ALL": "C"}, input=stdin)
    if done.returncode != 0:
        return done.returncode, done.stderr, {}
    return done.returncode, done.stderr, parse_columns(folder / output)


def parse_columns(path):
    """The counts file and its summary, one PeerResult per input column."""
    lines = Path(path).read_text().splitlines()
    header = lines[1].split("\t")
    inputs = header[len(COUNT_COLUMNS):]
    results = {name: PeerResult(0, "", command_line=lines[0], header=header) for name in inputs}
    for line in lines[2:]:
        fields = line.split("\t")
        gene = fields[0]
        for name, text in zip(inputs, fields[len(COUNT_COLUMNS):]):
            results[name].gene_rows[gene] = dict(zip(COUNT_COLUMNS[1:], fields[1:6]))
            results[name].count_text[gene] = text
            results[name].counts[gene] = float(text)
    summary_lines = Path(str(path) + ".summary").read_text().splitlines()
    if summary_lines[0].split("\t")[1:] != inputs:
        raise AssertionError(f"summary columns differ from the counts': {summary_lines[0]}")
    for line in summary_lines[1:]:
        row, *values = line.split("\t")
        for name, value in zip(inputs, values):
            results[name].summary[row] = int(value)
    for result in results.values():
        if tuple(result.summary) != SUMMARY_ROWS:
            raise AssertionError(f"unexpected summary rows: {list(result.summary)}")
    return results
