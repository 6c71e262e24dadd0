"""The `dulse` command: `dulse count -a ANNOTATION [options] BAM...`.

Exit status: 0 on success, 1 when an input cannot be used (or an output cannot be written),
2 for a command line that does not make sense. Errors are one line on stderr; no output file
is left half-written.
"""

import argparse
import os
import sys
import time
import warnings
from concurrent.futures.process import BrokenProcessPool

from dulse import __version__, signals, stdio, workers
from dulse.quantify import diagnostics, outputs
from dulse.quantify.annotation import FORMATS, read_annotation
from dulse.quantify.api import MULTIMAPPING, Settings, count_bam, count_bams
from dulse.quantify.errors import AnnotationError, InputError
from dulse.staged import StagedFiles

STRANDEDNESS_WORDS = {
    "0": "unstranded", "unstranded": "unstranded", "no": "unstranded",
    "1": "forward", "forward": "forward", "yes": "forward",
    "2": "reverse", "reverse": "reverse",
}
STRAND_FLAG = {"unstranded": 0, "forward": 1, "reverse": 2}
LAYOUTS = ("featurecounts", "htseq")


class UsageError(Exception):
    """The command line asks for something that cannot be done."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser():
    parser = Parser(prog="dulse", allow_abbrev=False,
                    description="Gene-level read counting for RNA-seq alignments.")
    parser.add_argument("--version", action="version", version=f"dulse {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                     parser_class=Parser)
    count = commands.add_parser(
        "count", allow_abbrev=False, help="count reads per gene in BAM files",
        description="Count the reads of each BAM file per gene of an annotation into one "
                    "matrix (featureCounts' layout, with a .summary beside it) or htseq-count's "
                    "layout.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Strandedness: 0/unstranded/no, 1/forward/yes (the read lies on the gene's "
               "strand), 2/reverse (the opposite strand, as in most dUTP libraries).\n"
               "Multi-mapping records are recognised by their NH tag: 'discard' drops those "
               "with NH >= 2,\n'unique-only' keeps NH == 1 only, 'fraction' counts 1/NH, 'all' "
               "counts each fully.\nSecondary and supplementary records are never counted.")
    count.add_argument("bams", nargs="+", metavar="BAM", help="BAM files, one column each")
    count.add_argument("-a", "--annotation", required=True, metavar="FILE",
                       help="GTF, GFF3 or SAF file, gzipped or not")
    count.add_argument("-F", "--annotation-format", type=_annotation_format, metavar="FORMAT",
                       help="GTF, GFF3 or SAF (default: told from the file)")
    count.add_argument("-t", "--feature-type", "--type", default="exon", metavar="TYPE",
                       help="feature type whose intervals make up a gene (default: exon)")
    count.add_argument("-g", "-i", "--gene-attribute", "--idattr", default="gene_id",
                       metavar="ATTRIBUTE", help="attribute naming the gene (default: gene_id)")
    count.add_argument("--missing-gene", choices=("error", "skip"), default="error",
                       help="a feature without the gene attribute stops the run (error, the "
                            "default) or is left out with a warning (skip)")
    count.add_argument("-s", "--strandedness", "--stranded", type=_strandedness,
                       default="unstranded", metavar="STRAND",
                       help="0/unstranded, 1/forward or 2/reverse (default: 0)")
    count.add_argument("-Q", "--min-mapq", "--minaqual", type=_mapq, default=0, metavar="MAPQ",
                       help="minimum mapping quality of a counted record (default: 0)")
    count.add_argument("--multimapping", choices=tuple(MULTIMAPPING), default="discard",
                       help="how to count records with NH >= 2 (default: discard)")
    count.add_argument("--ignore-nh", action="store_true",
                       help="do not read NH tags: every primary record counts once")
    count.add_argument("-j", "-T", "--jobs", type=_jobs, default=1, metavar="N",
                       help="BAM files counted at once, in worker processes (default: 1)")
    count.add_argument("-o", "--output", metavar="FILE",
                       help="count matrix; the summary goes to FILE.summary (with "
                            "--output-format htseq, standard output when not given)")
    count.add_argument("--output-format", choices=LAYOUTS, default="featurecounts",
                       help="featurecounts (default) or htseq")
    count.set_defaults(run=run_count)
    return parser


def _annotation_format(text):
    if text.upper() not in FORMATS:
        raise argparse.ArgumentTypeError(f"must be one of {', '.join(FORMATS)}")
    return text.upper()


def _strandedness(text):
    try:
        return STRANDEDNESS_WORDS[text.lower()]
    except KeyError:
        raise argparse.ArgumentTypeError(
            "must be 0/unstranded, 1/forward or 2/reverse") from None


def _mapq(text):
    if not text.isdigit() or int(text) > 255:
        raise argparse.ArgumentTypeError("must be a whole number from 0 to 255")
    return int(text)


def _jobs(text):
    if not (text.isascii() and text.isdigit()) or not 1 <= int(text) <= workers.MAX_JOBS:
        raise argparse.ArgumentTypeError(f"must be a whole number from 1 to {workers.MAX_JOBS}")
    return int(text)


def main(argv=None):
    stdio.protect_descriptors()
    argv = sys.argv[1:] if argv is None else list(argv)
    args = build_parser().parse_args(argv)
    with warnings.catch_warnings(), signals.handled():
        warnings.simplefilter("default")
        warnings.showwarning = _show_warning
        try:
            return args.run(args, argv)
        except UsageError as error:
            print(f"dulse count: error: {error} (see dulse count --help)", file=sys.stderr)
            return 2
        except InputError as error:
            print(f"dulse: error: {error}", file=sys.stderr)
            return 1
        except BrokenProcessPool as error:
            print(f"dulse: error: {error or 'a worker process died (out of memory?)'}",
                  file=sys.stderr)
            return 1
        except stdio.ReaderGone:
            return stdio.READER_GONE_STATUS
        except OSError as error:
            where = f"{error.filename}: " if error.filename else ""
            print(f"dulse: error: {where}{error.strerror or error}", file=sys.stderr)
            return 1
        except KeyboardInterrupt as interrupt:
            signals.report(interrupt)
            return signals.exit_status(interrupt)


def _show_warning(message, category, filename, lineno, file=None, line=None):
    print(f"dulse: warning: {message}", file=sys.stderr)


def run_count(args, argv):
    _check_command_line(args)
    settings = Settings(args.strandedness, args.min_mapq, args.multimapping, not args.ignore_nh)
    err = sys.stderr
    targets = [args.output, args.output + ".summary"] if args.output else []
    _print_settings(args, settings, targets, err)
    for bam in args.bams:
        _check_readable(bam)
    _check_readable(args.annotation)
    if args.output_format == "htseq" and not args.output:
        stdio.check_standard_output()

    with StagedFiles(targets) as staged:
        began = time.perf_counter()
        try:
            annotation = read_annotation(args.annotation, file_format=args.annotation_format,
                                         feature_type=args.feature_type,
                                         gene_attribute=args.gene_attribute,
                                         missing_gene=args.missing_gene)
        except AnnotationError as error:
            if getattr(error, "gene_missing", False):
                raise AnnotationError(f"{error} (--missing-gene skip leaves such features "
                                      f"out)") from None
            raise
        print(f"annotation: {annotation.file_format}, {len(annotation.gene_ids):,} genes, "
              f"{annotation.interval_count:,} intervals on {len(annotation.gene_index):,} "
              f"contigs ({time.perf_counter() - began:.1f} s)", file=err)

        progress = Progress(err, len(args.bams), live=err.isatty())
        matrix = count_bams(args.bams, annotation, jobs=args.jobs, progress=progress.done,
                            strandedness=settings.strandedness, min_mapq=settings.min_mapq,
                            multimapping=settings.multimapping, use_nh=settings.use_nh)
        progress.finish()

        _warn_about_setup(matrix, annotation, settings, err)
        if args.output_format == "htseq" and not args.output:
            with stdio.standard_output() as handle:
                outputs.write_htseq(handle, matrix)
            return 0
        with staged.open(args.output) as handle:
            if args.output_format == "htseq":
                outputs.write_htseq(handle, matrix)
            else:
                header = outputs.command_line("dulse", __version__, ["dulse"] + argv)
                outputs.write_matrix(handle, matrix, annotation, header)
        with staged.open(args.output + ".summary") as handle:
            outputs.write_summary(handle, matrix)
        staged.commit()
    print(f"wrote {args.output} and {args.output}.summary", file=err)
    return 0


def _check_command_line(args):
    if args.output_format == "featurecounts" and not args.output:
        raise UsageError("the featureCounts layout needs an output file: -o FILE")
    for bam in args.bams:
        if any(character in bam for character in "\t\n\r"):
            raise UsageError(f"a BAM file name cannot contain a tab or line break: {bam!r}")
    seen = set()
    for bam in args.bams:
        real = os.path.realpath(bam)
        if real in seen:
            raise UsageError(f"BAM file given more than once: {bam}")
        seen.add(real)
    if args.output:
        inputs = seen | {os.path.realpath(args.annotation)}
        for target in (args.output, args.output + ".summary"):
            if os.path.realpath(target) in inputs:
                raise UsageError(f"the output {target} would overwrite an input")
            if os.path.isdir(target):
                raise UsageError(f"the output {target} is a folder")


def _check_readable(path):
    if not os.path.exists(path):
        raise InputError(f"{path}: no such file")
    if os.path.isdir(path):
        raise InputError(f"{path}: is a folder, not a file")
    if not os.access(path, os.R_OK):
        raise InputError(f"{path}: permission denied")


def _print_settings(args, settings, targets, err):
    nh = "not read" if not settings.use_nh else "read"
    layout = "featureCounts" if args.output_format == "featurecounts" else "htseq-count"
    print(f"dulse {__version__} count", file=err)
    rows = [
        ("annotation", f"{args.annotation} (format {args.annotation_format or 'from the file'}, "
                       f"feature {args.feature_type}, gene attribute {args.gene_attribute}, "
                       f"missing gene: {args.missing_gene})"),
        ("strandedness", f"{settings.strandedness} (-s {STRAND_FLAG[settings.strandedness]})"),
        ("minimum MAPQ", str(settings.min_mapq)),
        ("multi-mapping", f"{settings.multimapping} (NH tag {nh})"),
        ("BAM files", f"{len(args.bams)}, {_at_a_time(args)}"),
        ("output", (" and ".join(targets) or "standard output") + f" ({layout} layout)"),
    ]
    for name, value in rows:
        print(f"  {name:<14}{value}", file=err)


def _at_a_time(args):
    used = workers.worker_count(args.jobs, len(args.bams))
    if used < min(args.jobs, len(args.bams)):
        return f"counted {used} at a time (-j {args.jobs}, capped at the CPUs available)"
    return f"counted {used} at a time"


def _warn_about_setup(matrix, annotation, settings, err):
    message = diagnostics.contig_mismatch(matrix, annotation)
    if message:
        warnings.warn(message)

    def recount(path, strandedness):
        print(f"checking {path} with the other strand...", file=err)
        return count_bam(path, annotation, strandedness=strandedness,
                         min_mapq=settings.min_mapq, multimapping=settings.multimapping,
                         use_nh=settings.use_nh)

    message = diagnostics.wrong_strand(matrix, settings.strandedness, recount)
    if message:
        warnings.warn(message)


class Progress:
    """One line per counted file; on a terminal, also a live line of files done."""

    def __init__(self, stream, total, live):
        self.stream = stream
        self.total = total
        self.live = live
        self.finished = 0
        self._draw()

    def done(self, position, result):
        self.finished += 1
        stats = result.stats
        share = stats.assigned_records / stats.total_records if stats.total_records else 0.0
        weight = (f", weight {stats.assigned_weight:,.2f}"
                  if stats.assigned_weight != stats.assigned_records else "")
        self._clear()
        print(f"  {result.path}: {stats.total_records:,} records, "
              f"{stats.assigned_records:,} assigned ({share:.1%}){weight}", file=self.stream)
        self._draw()

    def finish(self):
        self._clear()

    def _draw(self):
        if self.live:
            self.stream.write(f"counting: {self.finished} of {self.total} files done")
            self.stream.flush()

    def _clear(self):
        if self.live:
            self.stream.write("\r\x1b[K")
