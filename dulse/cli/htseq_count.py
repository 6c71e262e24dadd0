"""`dulse htseq-count`: htseq-count's command line, rules and outputs.

    dulse htseq-count [options] file.bam [file.bam ...] genes.gtf

writes htseq-count's counts table to standard output (or -c FILE). Where htseq-count 1.99.2
and 2.x differ, 2.x is followed: -t may be repeated, --with-header writes a header row, and a
pair whose read 1 is unaligned or missing is counted by its read 2.
"""

import argparse
import errno
import os
import sys
import time
import warnings

from dulse import __version__, stdio
from dulse.api import count_bams
from dulse.cli.common import UsageError, positive_number, whole_number
from dulse.errors import AnnotationError
from dulse.htseq_annotation import parse_feature_query, read_htseq_annotation
from dulse.outputs import htseq
from dulse.settings import HtseqSettings
from dulse.staged import StagedFiles


def add_parser(commands):
    command = commands.add_parser(
        "htseq-count", allow_abbrev=False, help="count reads per gene, as htseq-count does",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Count the reads (or read pairs) of each SAM or BAM file per feature of a "
                    "GTF/GFF annotation, with htseq-count's rules, options and outputs: the "
                    "counts table on standard output (or -c FILE).",
        epilog="Files may be SAM or BAM, told from their content; '-' is standard input. A "
               "file is paired-end when its first record is.")
    command.set_defaults(run=run)
    add = command.add_argument
    add("inputs", nargs="+", metavar="FILE",
        help="alignment files (SAM/BAM), then the annotation (GTF/GFF)")
    add("--version", action="version", version=f"dulse {__version__} (htseq-count's command "
                                               f"line)")
    add("-f", "--format", choices=("sam", "bam", "auto"), default="auto",
        help="ignored: the format is told from each file")
    add("-r", "--order", choices=("pos", "name"), default="name",
        help="paired-end: mates are adjacent records of one name (name), or anywhere in the "
             "file (pos) (default: name)")
    add("--max-reads-in-buffer", type=whole_number, default=30_000_000, metavar="N",
        help="accepted for htseq-count's sake: dulse holds every waiting mate")
    add("-s", "--stranded", choices=("yes", "no", "reverse"), default="yes",
        help="strand-specific assay: yes, no or reverse (default: yes)")
    add("-a", "--minaqual", type=whole_number, default=10, metavar="MINAQUAL",
        help="skip reads with MAPQ below this (default: 10)")
    add("-t", "--type", dest="types", action="append", metavar="TYPE",
        help="feature type (3rd column) to use; repeat for several (default: exon)")
    add("-i", "--idattr", dest="idattrs", action="append", metavar="ATTRIBUTE",
        help="attribute naming the feature; repeat to join several with ':' "
             "(default: gene_id)")
    add("--additional-attr", dest="additional", action="append", default=[],
        metavar="ATTRIBUTE", help="attribute written beside the counts; repeatable")
    add("--add-chromosome-info", action="store_true",
        help="write each feature's chromosome beside the counts")
    add("-m", "--mode", choices=("union", "intersection-strict", "intersection-nonempty"),
        default="union", help="how the features under each base make the read's (default: "
                              "union)")
    add("--nonunique", choices=("none", "all", "fraction", "random"), default="none",
        help="reads aligned more than once (NH > 1) or on several features: not counted "
             "(none), counted for each (all), 1/n for each (fraction), for one at random "
             "(random) (default: none)")
    add("--random-seed", type=whole_number, default=0, metavar="N",
        help="seed of --nonunique random: the same seed, the same counts (default: 0)")
    add("--secondary-alignments", choices=("score", "ignore"), default="ignore",
        help="count (score) or skip (ignore) secondary alignments (default: ignore)")
    add("--supplementary-alignments", choices=("score", "ignore"), default="ignore",
        help="count (score) or skip (ignore) supplementary alignments (default: ignore)")
    add("--pairs-as-1.99", dest="pairs_as_1_99", action="store_true",
        help="count pairs as htseq-count 1.99.2 does: a pair without an aligned read 1 is "
             "__not_aligned (2.x counts it by its read 2), and with one of --secondary- and "
             "--supplementary-alignments score, the other kind sets aside the pair it is "
             "paired into")
    add("-o", "--samout", action="append", metavar="FILE",
        help="write every record counted to FILE with what it came to in an XF tag (a gene, "
             "__ambiguous[g1+g2] or a special counter); one -o per alignment file, in their "
             "order")
    add("-p", "--samout-format", choices=("SAM", "BAM", "sam", "bam"), default="sam",
        help="the -o files' format, whatever their names (default: sam)")
    add("-d", "--delimiter", default="\t", metavar="TEXT",
        help="column delimiter of the counts table (default: tab)")
    add("-c", "--counts_output", metavar="FILE",
        help="write the counts to FILE instead of standard output: .mtx, .h5ad and .loom "
             "files as matrices, any other name as the table")
    add("--counts-output-sparse", action="store_true",
        help="a sparse matrix in the .h5ad file")
    add("--append-output", action="store_true",
        help="append the table to the -c file instead of replacing it")
    add("--with-header", action="store_true",
        help="a first row naming the columns (the alignment files)")
    add("-n", "--nprocesses", type=positive_number, default=1, metavar="N",
        help="threads: files counted at once, and the threads of each (default: 1)")
    add("--feature-query", metavar="QUERY",
        help="only features where attribute == \"value\", e.g. 'gene_name == \"ACTB\"'")
    add("-q", "--quiet", action="store_true", help="no progress report or warnings")
    return command


def settings_of(args):
    if len(args.inputs) < 2:
        raise UsageError("give one or more alignment files, then the annotation")
    if args.samout and len(args.samout) != len(args.inputs) - 1:
        raise UsageError(f"give one -o per alignment file: {len(args.inputs) - 1} file(s), "
                         f"{len(args.samout)} -o")
    if args.minaqual > 255:
        raise UsageError("-a must be from 0 to 255")
    if args.append_output and not args.counts_output:
        raise UsageError("--append-output needs -c FILE")
    if args.counts_output and htseq.matrix_format(args.counts_output) and args.append_output:
        raise UsageError("--append-output applies to a table, not to a matrix file")
    if any(character in args.delimiter for character in "\n\r") or not args.delimiter:
        raise UsageError("-d must be a non-empty delimiter without line breaks")
    return HtseqSettings(
        stranded=args.stranded, min_aqual=args.minaqual, mode=args.mode,
        nonunique=args.nonunique, order=args.order,
        secondary_alignments=args.secondary_alignments,
        supplementary_alignments=args.supplementary_alignments,
        random_seed=args.random_seed % 2**64, pairs_as_1_99=args.pairs_as_1_99)


def run(args, argv):
    settings = settings_of(args)
    files, annotation_path = args.inputs[:-1], args.inputs[-1]
    for name in files:
        if any(character in name for character in "\t\n\r"):
            raise UsageError(f"a file name cannot contain a tab or line break: {name!r}")
    query = None
    if args.feature_query is not None:
        try:
            query = parse_feature_query(args.feature_query)
        except ValueError as error:
            raise UsageError(str(error)) from None
    output = args.counts_output
    samouts = args.samout or []
    _check_outputs(([output] if output is not None else []) + samouts, args.inputs)
    if output is None and (sys.stdout is None or sys.stdout.closed):
        raise OSError(errno.EBADF, "closed; give -c FILE to write to a file", stdio.STDOUT)
    err = sys.stderr
    quiet = args.quiet
    staged = StagedFiles(([output] if output is not None else []) + samouts)
    with staged:
        began = time.perf_counter()
        annotation = read_htseq_annotation(
            annotation_path, feature_types=args.types or ["exon"],
            id_attributes=args.idattrs or ["gene_id"], additional_attributes=args.additional,
            feature_query=query, stranded=args.stranded != "no")
        if not quiet:
            print(f"{annotation.feature_lines} GFF lines processed ({len(annotation.gene_ids):,} "
                  f"features, {time.perf_counter() - began:.1f} s)", file=err)
        samout_format = args.samout_format.upper()
        reserved = [(samout_format, staged.path(path)) for path in samouts] or None
        matrix = count_bams(files, annotation, settings, threads=args.nprocesses,
                            progress=None if quiet else _progress(err), assignments=reserved)
        if not quiet:
            _warn_missing_mates(matrix, settings)
        layout = dict(additional_attributes=args.additional,
                      chromosome_info=args.add_chromosome_info)
        kind = htseq.matrix_format(output) if output is not None else None
        if kind is not None:
            htseq.write_matrix(staged.path(output), kind, matrix, annotation,
                               sparse=args.counts_output_sparse, **layout)
            staged.commit()
            return 0
        text = htseq.counts_table(matrix, annotation, delimiter=args.delimiter,
                                  with_header=args.with_header, **layout)
        if output is None:
            with stdio.standard_output() as stream:
                stream.write(text)
            staged.commit()
            return 0
        before = ""
        if args.append_output and os.path.exists(output):
            with open(output, encoding="utf-8", newline="") as handle:
                before = handle.read()
        with staged.open(output) as handle:
            handle.write(before + text)
        staged.commit()
    return 0


def _check_outputs(outputs, inputs):
    """The -c and -o files: none an input, a folder, or named twice."""
    read = {os.path.realpath(name) for name in inputs if name != "-"}
    seen = set()
    for output in outputs:
        real = os.path.realpath(output)
        if real in read:
            raise UsageError(f"the output {output} would overwrite an input")
        if os.path.isdir(output):
            raise UsageError(f"the output {output} is a folder")
        if real in seen:
            raise UsageError(f"the output {output} is named twice")
        seen.add(real)


def _progress(err):
    def done(position, result):
        unit = "pairs and lone mates" if result.details.get("paired") else "reads"
        print(f"{result.path}: {result.records:,} alignment records; {result.total:,} {unit} "
              f"counted, {result.assigned:,} for one feature", file=err)
    return done


def _warn_missing_mates(matrix, settings):
    for result in matrix.files:
        missing = result.details.get("missing_mates", 0)
        if missing:
            where = ("in an adjacent record" if settings.order == "name" else "in the file")
            warnings.warn(f"{result.path}: {missing:,} paired records were counted without "
                          f"their mate, which was not found {where}")
