"""`dulse count`: featureCounts' command line, options, defaults and outputs.

    dulse count -a genes.gtf -o counts.txt [options] file.bam ...

writes counts.txt in featureCounts' layout and counts.txt.summary beside it (with -J also
counts.txt.jcounts, the splice junctions; see dulse/outputs/junctions.py). Every option of
featureCounts 2.0.3 is taken, with its meaning; --donotsort, --tmpDir and --verbose change
nothing here (dulse never sorts and writes no temporary files).
"""

import argparse
import os
import sys
import time
import warnings

from dulse import __version__
from dulse.api import count_bams
from dulse.cli.common import Progress, UsageError, positive_number, whole_number
from dulse.diagnostics import contig_mismatch
from dulse.errors import AnnotationError, InputError
from dulse.outputs import featurecounts, junctions
from dulse.settings import SHIFT_TYPES, Settings
from dulse.staged import StagedFiles

STRANDEDNESS = {"0": "unstranded", "1": "forward", "2": "reverse", "auto": "auto"}
ANNOTATION_FORMATS = {"GTF": "GTF", "GFF": None, "GFF3": "GFF3", "SAF": "SAF"}


def add_parser(commands):
    count = commands.add_parser(
        "count", allow_abbrev=False, help="count reads per gene, as featureCounts does",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Count the reads (or fragments) of each BAM or SAM file per gene of an "
                    "annotation, with featureCounts' options and outputs: FILE in its counts "
                    "layout and FILE.summary beside it.",
        epilog="-s takes 0 (unstranded), 1 (stranded), 2 (reversely stranded), auto (told "
               "from the reads, per file), or a comma list of these, one per file.\n"
               "Files may be BAM or SAM, regular files or streams; '-' is standard input.")
    count.set_defaults(run=run)
    count.add_argument("files", nargs="+", metavar="FILE", help="BAM or SAM files, one column each")
    add = count.add_argument
    add("-v", "--version", action="version",
        version=f"dulse {__version__} (featureCounts' command line)")
    add("-a", dest="annotation", required=True, metavar="FILE",
        help="annotation: GTF, GFF3 or SAF, gzipped or not")
    add("-o", dest="output", required=True, metavar="FILE",
        help="counts file; the summary goes to FILE.summary")
    add("-F", dest="annotation_format", type=_annotation_format, metavar="FORMAT",
        help="GTF (or GFF), GFF3 or SAF (default: told from the file)")
    add("-t", dest="feature_type", default="exon", metavar="TYPES",
        help="feature types making up the genes, comma-separated (default: exon)")
    add("-g", dest="gene_attribute", default="gene_id", metavar="ATTRIBUTE",
        help="attribute naming the gene (default: gene_id)")
    add("--extraAttributes", dest="extra_attributes", metavar="NAMES",
        help="attributes written beside each gene, comma-separated")
    add("-A", dest="aliases", metavar="FILE",
        help="contig aliases: lines of 'annotation name,BAM name' (names differing by a 'chr' "
             "prefix match without one)")
    add("-f", dest="feature_level", action="store_true",
        help="count per feature (annotation row) rather than per gene")
    add("--missing-gene", choices=("error", "skip"), default="error",
        help="a feature without the gene attribute stops the run (error) or is left out "
             "with a warning (skip)")
    add("-s", dest="strandedness", default="0", metavar="0|1|2|auto",
        help="strandedness, one for all files or a comma list (default: 0)")
    add("-p", dest="paired", action="store_true", help="paired-end: pairs are read as pairs")
    add("--countReadPairs", dest="count_fragments", action="store_true",
        help="with -p, count each fragment once instead of each read")
    add("-B", dest="both_ends_mapped", action="store_true",
        help="with -p, count only pairs with both ends mapped")
    add("-C", dest="exclude_chimeric", action="store_true",
        help="with -p, do not count pairs whose ends lie on different contigs")
    add("-P", dest="check_fragment_length", action="store_true",
        help="with -p -B, count only fragments of length -d to -D")
    add("-d", dest="min_fragment_length", type=whole_number, default=50, metavar="N",
        help="minimum fragment length (default: 50)")
    add("-D", dest="max_fragment_length", type=whole_number, default=600, metavar="N",
        help="maximum fragment length (default: 600)")
    add("-Q", dest="min_mapq", type=_mapq, default=0, metavar="MAPQ",
        help="minimum mapping quality (default: 0)")
    add("-M", dest="multi_mapping", action="store_true",
        help="count multi-mapping reads (NH > 1) too")
    add("--fraction", action="store_true",
        help="fractional counts: 1/NH with -M, 1/genes with -O, their product with both")
    add("--primary", dest="primary_only", action="store_true",
        help="count primary alignments only")
    add("-O", dest="multi_overlap", action="store_true",
        help="a read on several genes counts for each")
    add("--ignoreDup", dest="ignore_duplicates", action="store_true",
        help="leave reads flagged as duplicates out")
    add("--maxMOp", dest="max_m_operations", type=positive_number, default=10, metavar="N",
        help="blocks (runs of M, = and X) of a record looked at (default: 10)")
    add("-L", dest="long_reads", action="store_true",
        help="long reads (Nanopore, PacBio): every block of a record looked at; reads, not "
             "read pairs")
    add("--minOverlap", dest="min_overlap", type=_integer, default=1, metavar="N",
        help="bases a read (fragment) must have on a gene (default: 1); below 1, a read within "
             "1 - N bases counts")
    add("--fracOverlap", dest="frac_overlap", type=_fraction, default=0.0, metavar="F",
        help="least share of a read's bases on the gene, 0 to 1 (default: 0)")
    add("--fracOverlapFeature", dest="frac_overlap_feature", type=_fraction, default=0.0,
        metavar="F", help="least share of a feature's bases covered, 0 to 1 (default: 0)")
    add("--largestOverlap", dest="largest_overlap", action="store_true",
        help="assign a read to the gene with the most bases on it")
    add("--nonOverlap", dest="non_overlap", type=whole_number, metavar="N",
        help="most bases of a read off the gene (default: no limit)")
    add("--nonOverlapFeature", dest="non_overlap_feature", type=whole_number, metavar="N",
        help="most bases of a feature left uncovered (default: no limit)")
    add("--readShiftType", dest="read_shift_type", choices=SHIFT_TYPES, default="upstream",
        metavar="TYPE", help="which way --readShiftSize moves reads: upstream (the default), "
                             "downstream, left or right")
    add("--readShiftSize", dest="read_shift_size", type=whole_number, default=0, metavar="N",
        help="move reads by N bases, all their blocks together, before any extension")
    add("--readExtension5", dest="read_extension5", type=whole_number, default=0, metavar="N",
        help="extend reads by N bases at their 5' end")
    add("--readExtension3", dest="read_extension3", type=whole_number, default=0, metavar="N",
        help="extend reads by N bases at their 3' end")
    add("--read2pos", dest="read_to_pos", type=_read_end, metavar="5|3",
        help="reduce reads to the one base at their 5' or 3' end")
    split = count.add_mutually_exclusive_group()
    split.add_argument("--splitOnly", dest="split_only", action="store_true",
                       help="count split alignments (an N in the CIGAR) only")
    split.add_argument("--nonSplitOnly", dest="non_split_only", action="store_true",
                       help="count alignments without N only")
    add("--byReadGroup", dest="by_read_group", action="store_true",
        help="a column per read group (@RG line of the header) of each file, FILE:ID; reads "
             "without a group of the header are left out")
    add("-R", dest="assignments", choices=("CORE", "SAM", "BAM"), metavar="CORE|SAM|BAM",
        help="write what each read came to, per file: FILE.featureCounts (CORE: a line per read "
             "or fragment), or the records with XS, XN and XT tags (.featureCounts.sam/.bam)")
    add("--Rpath", dest="assignments_folder", metavar="FOLDER",
        help="the folder for -R's files (default: the counts file's)")
    add("-J", dest="junctions", action="store_true",
        help="count the splice junctions (N in the CIGAR) of the reads, in FILE.jcounts")
    add("-G", dest="reference", metavar="FASTA",
        help="with -J, the reference sequences: each junction's strand from its GT-AG or "
             "CT-AC intron ends")
    add("-T", dest="threads", type=positive_number, default=1, metavar="N",
        help="threads: each file is counted on up to 4, and as many files at once as the "
             "rest allows; with -R, a file is counted on one of its threads while all "
             "compress its BAM output (default: 1)")
    add("-j", dest="jobs", type=_jobs, default=1, metavar="N",
        help="worker processes: files counted at once, no more than the files and the CPUs "
             "(default: 1)")
    # featureCounts' options that change nothing here: dulse never sorts and writes no
    # temporary files.
    add("--donotsort", action="store_true", help=argparse.SUPPRESS)
    add("--tmpDir", metavar="DIR", help=argparse.SUPPRESS)
    add("--verbose", action="store_true", help=argparse.SUPPRESS)
    return count


def _annotation_format(text):
    if text.upper() not in ANNOTATION_FORMATS:
        raise argparse.ArgumentTypeError("must be GTF, GFF, GFF3 or SAF")
    return text.upper()


def _integer(text):
    if not text.lstrip("-").isdigit() or abs(int(text)) >= 2**31:
        raise argparse.ArgumentTypeError("must be a whole number")
    return int(text)


def _fraction(text):
    try:
        value = float(text)
    except ValueError:
        value = None
    if value is None or not 0 <= value <= 1:
        raise argparse.ArgumentTypeError("must be a number from 0 to 1")
    return value


def _read_end(text):
    if text not in ("5", "3"):
        raise argparse.ArgumentTypeError("must be 5 or 3")
    return int(text)


def _jobs(text):
    from dulse.workers import MAX_JOBS

    if not (text.isascii() and text.isdigit()) or not 1 <= int(text) <= MAX_JOBS:
        raise argparse.ArgumentTypeError(f"must be a whole number from 1 to {MAX_JOBS}")
    return int(text)


def _mapq(text):
    if not text.isdigit() or int(text) > 255:
        raise argparse.ArgumentTypeError("must be a whole number from 0 to 255")
    return int(text)


def settings_per_file(args):
    """One Settings per file, from the command line."""
    if args.check_fragment_length and not args.both_ends_mapped:
        raise UsageError("-P (fragment lengths) needs -B (both ends mapped) too")
    if args.count_fragments and not args.paired:
        raise UsageError("--countReadPairs only applies to paired-end reads: add -p")
    if args.long_reads and args.count_fragments:
        raise UsageError("-L counts long reads one by one, not read pairs: leave out "
                         "--countReadPairs")
    if not args.paired:
        # As featureCounts does, -B, -C and -P mean nothing for single-end reads (pipelines
        # such as nf-core/rnaseq pass -B -C for every library).
        args.both_ends_mapped = args.exclude_chimeric = args.check_fragment_length = False
    words = args.strandedness.split(",")
    if any(word not in STRANDEDNESS for word in words):
        raise UsageError(f"-s must be 0, 1, 2 or auto, or a comma list of these, not "
                         f"{args.strandedness!r}")
    if len(words) not in (1, len(args.files)):
        raise UsageError(f"-s lists {len(words)} values for {len(args.files)} files")
    if args.min_fragment_length > args.max_fragment_length:
        raise UsageError(f"-d {args.min_fragment_length} is above -D {args.max_fragment_length}")
    base = Settings(
        paired=args.paired, count_fragments=args.count_fragments,
        both_ends_mapped=args.both_ends_mapped, exclude_chimeric=args.exclude_chimeric,
        check_fragment_length=args.check_fragment_length,
        min_fragment_length=args.min_fragment_length,
        max_fragment_length=args.max_fragment_length, min_mapq=args.min_mapq,
        multi_mapping=args.multi_mapping, fraction=args.fraction,
        primary_only=args.primary_only, multi_overlap=args.multi_overlap,
        ignore_duplicates=args.ignore_duplicates, max_m_operations=args.max_m_operations,
        long_reads=args.long_reads,
        feature_level=args.feature_level, min_overlap=args.min_overlap,
        frac_overlap=args.frac_overlap, frac_overlap_feature=args.frac_overlap_feature,
        largest_overlap=args.largest_overlap, non_overlap=args.non_overlap,
        non_overlap_feature=args.non_overlap_feature, read_shift_type=args.read_shift_type,
        read_shift_size=args.read_shift_size, read_extension5=args.read_extension5,
        read_extension3=args.read_extension3, read_to_pos=args.read_to_pos,
        split_only=args.split_only, non_split_only=args.non_split_only,
        contig_aliases=read_aliases(args.aliases) if args.aliases else (),
        junctions=args.junctions, by_read_group=args.by_read_group)
    return [base.replace(strandedness=STRANDEDNESS[word])
            for word in (words if len(words) > 1 else words * len(args.files))]


SUFFIXES = {"CORE": ".featureCounts", "SAM": ".featureCounts.sam", "BAM": ".featureCounts.bam"}


def assignment_files(args, files):
    """(format, path) of the -R file of each input: its name with featureCounts' suffix, in
    --Rpath or else beside the counts file."""
    if args.assignments is None:
        if args.assignments_folder is not None:
            raise UsageError("--Rpath names the folder for -R's files: add -R")
        return []
    if "auto" in args.strandedness.split(","):
        raise UsageError("-R needs the strandedness given (-s 0, 1 or 2), not auto")
    folder = args.assignments_folder
    if folder is None:
        folder = os.path.dirname(args.output) or "."
    elif not os.path.isdir(folder):
        raise UsageError(f"--Rpath {folder} is not a folder")
    names = [os.path.basename(name) if name != "-" else "stdin" for name in files]
    clashing = sorted({name for name in names if names.count(name) > 1})
    if clashing:
        raise UsageError(f"-R would write {clashing[0]}{SUFFIXES[args.assignments]} for two "
                         f"inputs")
    return [(args.assignments, os.path.join(folder, name + SUFFIXES[args.assignments]))
            for name in names]


def read_aliases(path):
    """featureCounts' -A file: lines of 'annotation contig,BAM contig', split at the first comma,
    blanks kept; lines without a comma say nothing. (featureCounts drops the last character of
    a last line without a line break; here it is kept.)"""
    try:
        with open(path, "rb") as handle:
            lines = [line[:-1] if line.endswith(b"\r") else line
                     for line in handle.read().split(b"\n")]
    except OSError as error:
        raise InputError(f"{path}: cannot read the contig aliases: "
                         f"{error.strerror or error}") from None
    pairs = []
    for number, line in enumerate(lines, 1):
        annotation, comma, bam = line.partition(b",")
        if not comma:
            continue
        try:
            pairs.append((annotation.decode(), bam.decode()))
        except UnicodeDecodeError:
            raise InputError(f"{path}: line {number}: the contig names are not UTF-8") from None
    return tuple(pairs)


def run(args, argv):
    settings = settings_per_file(args)
    if sum((args.threads > 1, args.jobs > 1)) > 1:
        raise UsageError("give -T (threads) or -j (processes), not both")
    files = [_input_name(name) for name in args.files]
    assignments = assignment_files(args, files)
    targets = [args.output, args.output + ".summary"] + [path for _, path in assignments]
    if args.junctions:
        targets.append(args.output + ".jcounts")
    _check_outputs(files, args.annotation, targets)
    if args.reference is not None:
        junctions.check_reference(args.reference)
    err = sys.stderr
    _print_settings(args, settings[0], err)
    from dulse.annotation import read_annotation

    extra_attributes = tuple(args.extra_attributes.split(",")) if args.extra_attributes else ()
    with StagedFiles(targets) as staged:
        began = time.perf_counter()
        try:
            annotation = read_annotation(
                args.annotation, file_format=ANNOTATION_FORMATS[args.annotation_format]
                if args.annotation_format else None,
                feature_type=tuple(args.feature_type.split(",")),
                gene_attribute=args.gene_attribute, missing_gene=args.missing_gene,
                extra_attributes=extra_attributes)
        except AnnotationError as error:
            if getattr(error, "gene_missing", False):
                raise AnnotationError(f"{error} (--missing-gene skip leaves such features "
                                      f"out)") from None
            raise
        print(f"annotation: {annotation.file_format}, {len(annotation.gene_ids):,} genes "
              f"({time.perf_counter() - began:.1f} s)", file=err)

        progress = Progress(err, len(files), live=err.isatty())
        progress.unit = "fragments" if args.paired and args.count_fragments else "reads"
        reserved = [(kind, staged.path(path)) for kind, path in assignments] or None
        matrix = count_bams(files, annotation, settings if len(set(settings)) > 1 else settings[0],
                            jobs=args.jobs, threads=args.threads, progress=progress.done,
                            assignments=reserved)
        progress.finish()
        _warn_about_setup(matrix, annotation, settings)

        header = featurecounts.command_line("dulse", __version__, ["dulse"] + argv)
        with staged.open(args.output) as handle:
            featurecounts.write_counts(handle, matrix, annotation, header, extra_attributes,
                                       feature_level=args.feature_level)
        with staged.open(args.output + ".summary") as handle:
            featurecounts.write_summary(handle, matrix, args.non_split_only)
        if args.junctions:
            with staged.open(args.output + ".jcounts") as handle:
                junctions.write_junctions(handle, matrix, annotation,
                                          featurecounts.column_names(matrix),
                                          reference=args.reference)
        staged.commit()
    written = f" and -R's {len(assignments)} file(s)" if assignments else ""
    if args.junctions:
        written += f" and {args.output}.jcounts"
    print(f"wrote {args.output} and {args.output}.summary{written}", file=err)
    return 0


def _input_name(name):
    if any(character in name for character in "\t\n\r"):
        raise UsageError(f"a file name cannot contain a tab or line break: {name!r}")
    return name


def _check_outputs(files, annotation, targets):
    seen = set()
    for name in files:
        if name == "-":
            continue
        real = os.path.realpath(name)
        if real in seen:
            raise UsageError(f"file given more than once: {name}")
        seen.add(real)
    inputs = seen | {os.path.realpath(annotation)}
    for target in targets:
        if os.path.realpath(target) in inputs:
            raise UsageError(f"the output {target} would overwrite an input")
        if os.path.isdir(target):
            raise UsageError(f"the output {target} is a folder")


def _print_settings(args, settings, err):
    fields = [f"-s {args.strandedness}"]
    if settings.paired:
        fields.append("paired-end, counting " + ("fragments" if settings.count_fragments
                                                 else "reads"))
    for flag, on in (("-B", settings.both_ends_mapped), ("-C", settings.exclude_chimeric),
                     ("-M", settings.multi_mapping), ("--fraction", settings.fraction),
                     ("--primary", settings.primary_only), ("-O", settings.multi_overlap),
                     ("--ignoreDup", settings.ignore_duplicates), ("-f", settings.feature_level),
                     ("--largestOverlap", settings.largest_overlap),
                     ("--splitOnly", settings.split_only),
                     ("--nonSplitOnly", settings.non_split_only), ("-J", settings.junctions),
                     ("-L", settings.long_reads), ("--byReadGroup", settings.by_read_group)):
        if on:
            fields.append(flag)
    for flag, value, default in (("--minOverlap", settings.min_overlap, 1),
                                 ("--fracOverlap", settings.frac_overlap, 0),
                                 ("--fracOverlapFeature", settings.frac_overlap_feature, 0),
                                 ("--nonOverlap", settings.non_overlap, None),
                                 ("--nonOverlapFeature", settings.non_overlap_feature, None),
                                 ("--readShiftType", settings.read_shift_type, "upstream"),
                                 ("--readShiftSize", settings.read_shift_size, 0),
                                 ("--readExtension5", settings.read_extension5, 0),
                                 ("--readExtension3", settings.read_extension3, 0),
                                 ("--read2pos", settings.read_to_pos, None)):
        if value != default:
            fields.append(f"{flag} {value}")
    if settings.check_fragment_length:
        fields.append(f"-P -d {settings.min_fragment_length} -D {settings.max_fragment_length}")
    if settings.min_mapq:
        fields.append(f"-Q {settings.min_mapq}")
    print(f"dulse {__version__} count: {len(args.files)} file(s), {', '.join(fields)}; "
          f"annotation {args.annotation} (feature {args.feature_type}, gene attribute "
          f"{args.gene_attribute})", file=err)


def _warn_about_setup(matrix, annotation, settings):
    message = contig_mismatch(matrix, annotation)
    if message:
        warnings.warn(message)
    for result, chosen in zip(matrix.files, settings if len(settings) > 1
                              else settings * len(matrix.files)):
        if chosen.strandedness == "auto":
            print(f"  {result.path}: strandedness {result.strandedness} (-s auto: "
                  f"{result.strand_check.describe()})", file=sys.stderr)
            continue
        message = result.strand_check.warning(result.path, chosen.strandedness)
        if message:
            warnings.warn(message)
