"""Counting alignment files against an annotation: one file, or many in parallel.

    from dulse import Settings, count_bam, count_bams, read_annotation

    annotation = read_annotation("genes.gtf")
    settings = Settings(paired=True, count_fragments=True, strandedness="reverse")
    one = count_bam("a.bam", annotation, settings)
    matrix = count_bams(["a.bam", "b.bam"], annotation, settings, threads=2)

The engine releases the interpreter lock while it counts: `threads=N` counts one file on several
threads, and several files at once, in this process; `jobs=N` uses worker processes instead,
and `executor=` any concurrent.futures.Executor (a Dask client's `get_executor()`, say).
"""

import os
import threading
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy

from dulse import _engine
from dulse.errors import BamError, DataWarning
from dulse.results import HTSEQ_ROWS, SUMMARY_ROWS, CountMatrix, FileCounts
from dulse.settings import AUTO, HtseqSettings, Settings
from dulse.strandedness import AmbiguousStrandedness, StrandCheck

__all__ = ["count_bam", "count_bams"]


def count_bam(bam, annotation, settings=None, *, threads=1, assignments=None, **options):
    """Counts the reads of one BAM or SAM file per gene; returns a FileCounts.

    settings: a Settings (featureCounts' rules) or an HtseqSettings (htseq-count's); keyword
        options (its field names) override its fields.
    threads: threads counting this file (a BGZF-compressed BAM; SAM is read on one); the
        result is the same for any number.
    annotation: an Annotation, or the path of an annotation file read with default choices.
    assignments: (format, path) to write what each read came to, as featureCounts' -R does:
        format "CORE", "SAM" or "BAM"; under HtseqSettings, as htseq-count's -o does, every
        record with its XF tag: "SAM" or "BAM" (the file is then counted on one thread).
    Raises BamError naming the file when it cannot be counted.
    """
    settings = _settings(settings, options)
    _check_count("threads", threads)
    _check_assignments(assignments, settings)
    result = _count(_path(bam), _as_annotation(annotation), settings, threads, assignments)
    _warn(result)
    return result


def count_bams(bams, annotation, settings=None, *, jobs=1, threads=1, executor=None,
               progress=None, assignments=None, **options):
    """Counts many files into a CountMatrix whose columns follow the order of `bams`.

    settings: a Settings, or a list of one per file; keyword options override their fields.
    threads: threads of this process: each file is counted on up to THREADS_PER_FILE of them,
        and as many files at once as that leaves room for.
    jobs: files counted at once in worker processes.
    executor: a concurrent.futures.Executor to count on instead.
    progress: called as progress(position, FileCounts) in this process as each file finishes.
    assignments: one (format, path) per file, as count_bam takes it, or None.
    When a file fails, the files not yet started are cancelled and its BamError is raised.
    """
    if isinstance(bams, (str, bytes, os.PathLike)):
        bams = [bams]
    paths = [_path(bam) for bam in bams]
    if not paths:
        raise ValueError("no files to count")
    if isinstance(settings, (list, tuple)):
        if len(settings) != len(paths):
            raise ValueError(f"{len(settings)} settings for {len(paths)} files")
        per_file = [_settings(one, options) for one in settings]
    else:
        per_file = [_settings(settings, options)] * len(paths)
    repeated = sorted({path for path in paths if paths.count(path) > 1})
    if repeated:
        raise ValueError(f"file given more than once: {', '.join(repeated)}")
    _check_count("jobs", jobs)
    _check_count("threads", threads)
    if sum((jobs > 1, threads > 1, executor is not None)) > 1:
        raise ValueError("give one of jobs, threads or executor")
    if assignments is None:
        assignments = [None] * len(paths)
    elif len(assignments) != len(paths):
        raise ValueError(f"{len(assignments)} assignments for {len(paths)} files")
    for one, settings in zip(assignments, per_file):
        _check_assignments(one, settings)
    annotation = _as_annotation(annotation)
    ids = _ids(annotation, per_file)
    progress = _counted(progress)

    if executor is None and jobs > 1 and len(paths) > 1:
        return CountMatrix(ids, _columns(_in_processes(paths, per_file, annotation, jobs,
                                                       progress, assignments)))
    per_file_threads = min(threads, THREADS_PER_FILE)
    at_once = min(max(1, threads // per_file_threads), len(paths))
    if executor is None and at_once > 1:
        with ThreadPoolExecutor(max_workers=at_once) as pool:
            futures = [pool.submit(_count, path, annotation, settings, per_file_threads, one)
                       for path, settings, one in zip(paths, per_file, assignments)]
            return CountMatrix(ids, _columns(gather(futures, progress)))
    if executor is not None:
        shared = _shared(executor, annotation)
        futures = [executor.submit(_count, path, shared, settings, 1, one)
                   for path, settings, one in zip(paths, per_file, assignments)]
        return CountMatrix(ids, _columns(gather(futures, progress)))
    results = []
    for position, (path, settings, one) in enumerate(zip(paths, per_file, assignments)):
        results.append(_count(path, annotation, settings, per_file_threads, one))
        progress(position, results[-1])
    return CountMatrix(ids, _columns(results))


def _columns(results):
    """The matrix's columns: each file's, or with by_read_group each of its read groups'."""
    return [column for result in results
            for column in (result.read_groups if result.read_groups is not None else (result,))]


ASSIGNMENT_FORMATS = ("CORE", "SAM", "BAM")
HTSEQ_ASSIGNMENT_FORMATS = ("SAM", "BAM")


def _check_assignments(assignments, settings):
    if assignments is None:
        return
    try:
        format_, path = assignments
        os.fspath(path)
    except (TypeError, ValueError):
        raise TypeError("assignments must be a (format, path) pair") from None
    if isinstance(settings, HtseqSettings):
        if format_ not in HTSEQ_ASSIGNMENT_FORMATS:
            raise ValueError(f"htseq-count's records are written as SAM or BAM, not {format_!r}")
        return
    if format_ not in ASSIGNMENT_FORMATS:
        raise ValueError(f"the assignments' format must be CORE, SAM or BAM, not {format_!r}")
    if settings.strandedness == AUTO:
        raise ValueError("assignments need the strandedness given, not auto")


def _ids(annotation, per_file):
    levels = {getattr(settings, "feature_level", False) for settings in per_file}
    if len(levels) > 1:
        raise ValueError("feature_level must be the same for every file")
    return target_ids(annotation, levels.pop())


def _shared(executor, annotation):
    """The annotation as the executor's tasks take it: on a Dask cluster, scattered to every
    worker once (each then builds its index once), rather than sent with every file."""
    client = getattr(executor, "_client", None)
    if client is not None and callable(getattr(client, "scatter", None)):
        return client.scatter(annotation, broadcast=True)
    return annotation


def _in_processes(paths, per_file, annotation, jobs, progress, assignments):
    """Counts in worker processes, each holding the annotation once. A file named by one of
    this process's descriptors (process substitution, /dev/stdin) is counted here: a worker
    could not open it."""
    from dulse import workers

    results = [None] * len(paths)
    files = [number for number, path in enumerate(paths) if not _names_a_descriptor(path)]
    for number, path in enumerate(paths):
        if number not in files:
            results[number] = _count(path, annotation, per_file[number], 1,
                                     assignments[number])
            progress(number, results[number])

    def done(position, result):
        results[files[position]] = result
        progress(files[position], result)

    if files:
        workers.run(_count_task, [(paths[n], per_file[n], assignments[n]) for n in files],
                    (annotation,),
                    workers.worker_count(jobs, len(files)), done, describe=lambda item: item[0])
    return results


def _names_a_descriptor(path):
    return path == "-" or os.path.abspath(path).startswith(("/dev/fd/", "/proc/", "/dev/stdin"))


def _count_task(item, annotation):
    path, settings, assignments = item
    return _count(path, annotation, settings, 1, assignments)


def _counted(progress):
    """A progress callback that also warns of what each file's count noticed."""
    def done(position, result):
        _warn(result)
        if progress is not None:
            progress(position, result)
    return done


def gather(futures, progress):
    """The results of futures in their order; on the first failure the rest are cancelled."""
    from concurrent.futures import FIRST_EXCEPTION, wait

    results = [None] * len(futures)
    position = {future: number for number, future in enumerate(futures)}
    pending = set(futures)
    try:
        while pending:
            done, pending = wait(pending, return_when=FIRST_EXCEPTION)
            for future in sorted(done, key=position.get):
                number = position[future]
                results[number] = future.result()
                if progress is not None:
                    progress(number, results[number])
    except BaseException:
        for future in futures:
            future.cancel()
        raise
    return results


# A file's own count gains little from more threads than this; more go to other files.
THREADS_PER_FILE = 4


def _check_count(name, value):
    if type(value) is not int or value < 1:
        raise ValueError(f"{name} must be a whole number of at least 1, not {value!r}")


def _settings(settings, options):
    if settings is None:
        return Settings(**options)
    if not isinstance(settings, (Settings, HtseqSettings)):
        raise TypeError(f"settings must be a Settings or an HtseqSettings, not "
                        f"{type(settings).__name__}")
    return settings.replace(**options) if options else settings


def _path(bam):
    if not isinstance(bam, (str, os.PathLike)):
        raise TypeError(f"a file to count must be a path, not {type(bam).__name__}")
    return os.fspath(bam)


def _as_annotation(annotation):
    from dulse.annotation import Annotation, read_annotation
    from dulse.htseq_annotation import HtseqAnnotation

    if isinstance(annotation, (str, os.PathLike)):
        return read_annotation(annotation)
    if not isinstance(annotation, (Annotation, HtseqAnnotation)):
        raise TypeError(f"annotation must be an Annotation or a path, not "
                        f"{type(annotation).__name__}")
    return annotation


# The native index of the annotations counted lately, built once for all their files.
_indexes = {}
_indexes_lock = threading.Lock()


def feature_index(annotation, feature_level=False):
    """The engine's index of an annotation's features: their genes are the targets counted,
    or with feature_level each feature (row) is a target of its own."""
    key = (id(annotation), feature_level)
    with _indexes_lock:
        held = _indexes.get(key)
        if held is not None and held[0] is annotation:
            return held[1]
    features = annotation.features
    if feature_level:
        import numpy

        targets = numpy.arange(len(features.contig), dtype=numpy.int32)
    else:
        targets = features.gene
    index = _engine.FeatureIndex(annotation.contigs, features.contig, features.start,
                                 features.end, features.strand, targets, len(targets)
                                 if feature_level else len(annotation.gene_ids))
    with _indexes_lock:
        if len(_indexes) >= 4:
            _indexes.pop(next(iter(_indexes)))
        _indexes[key] = (annotation, index)
    return index


def target_ids(annotation, feature_level=False):
    """The IDs of what is counted: the genes, or with feature_level each feature's gene, one per
    feature row (repeated for a gene of several features)."""
    if not feature_level:
        return annotation.gene_ids
    genes = annotation.gene_ids
    return tuple(genes[number] for number in annotation.features.gene.tolist())


_HINTS = {
    "paired-not-asked": "count its pairs with paired=True (-p), as reads or, with "
                        "count_fragments=True (--countReadPairs), as fragments",
    "no-pairs": "it holds single-end reads: count it without paired=True (-p)",
}


def _count(path, annotation, settings, threads=1, assignments=None):
    if isinstance(settings, HtseqSettings):
        return _count_htseq(path, annotation, settings, threads, assignments)
    auto = settings.strandedness == AUTO
    arguments = settings.engine_arguments("unstranded" if auto else None)
    found = _count_file(path, annotation, threads, settings.feature_level, assignments,
                        counts_for_every_rule=auto, **arguments)
    groups = found.get("read_groups")
    if groups is not None:
        # The file's own tally is its groups' sum: the reads of no group are left out.
        for key in ("counts", "by_rule", "summary", "junctions"):
            found.pop(key, None)
        found["no_annotated_contig"] = sum(group["no_annotated_contig"] for _, group in groups)
        found["by_rule"] = [[sum(group["by_rule"][rule][n] for _, group in groups)
                             for n in range(4)] for rule in range(3)]
    check = StrandCheck(found["by_rule"])
    rule = settings.strandedness
    if auto:
        try:
            rule = check.choose(path)
        except AmbiguousStrandedness as error:
            raise BamError(str(error), kind="strandedness") from None
    details = _details(path, found)
    if groups is None:
        return _file_counts(path, found, found, rule, details, settings)
    if not groups:
        details["notes"].append(f"{path}: its header has no @RG lines: counted by read group, "
                                f"it has no column")
    columns = [_file_counts(f"{path}:{name}", group, found, rule, details, settings)
               for name, group in groups]
    counts = (numpy.sum([column.counts for column in columns], axis=0) if columns
              else numpy.zeros(len(annotation.features.contig) if settings.feature_level
                               else len(annotation.gene_ids)))
    summary = {row: sum(column.summary[row] for column in columns) for row in SUMMARY_ROWS}
    details["fractional"] = any(column.details["fractional"] for column in columns)
    return FileCounts(path, counts, summary, rule, check, found["records"],
                      found["pending_peak"], details, read_groups=columns)


def _file_counts(path, found, file, rule, details, settings):
    """A FileCounts of what the engine found (a file's or a read group's) under `rule`; `file`
    is what it found for the whole file (records, pending mates)."""
    number = ("unstranded", "forward", "reverse").index(rule)
    check = StrandCheck(found["by_rule"])
    summary = dict(found["summary"])
    if settings.strandedness == AUTO:
        (summary["Assigned"], summary["Unassigned_NoFeatures"], summary["Unassigned_Ambiguity"],
         summary["Unassigned_Overlapping_Length"]) = check.by_rule[number]
    details = dict(details, fractional=found["fractional"],
                   no_annotated_contig=found["no_annotated_contig"])
    if settings.junctions:
        details["junctions"] = found["junctions"]
    return FileCounts(path, found["counts"][number], summary, rule, check, file["records"],
                      file["pending_peak"], details)


def _count_file(path, annotation, threads, feature_level=False, assignments=None, samout=None,
                **arguments):
    """assignments: featureCounts' -R (format, path); samout: htseq-count's -o (format, path)."""
    written = assignments or samout
    if assignments is not None:
        arguments["assignments"] = (assignments[0], os.fspath(assignments[1]),
                                    target_ids(annotation, feature_level))
    if samout is not None:
        arguments["samout"] = (samout[0], os.fspath(samout[1]), annotation.gene_ids)
    try:
        return _engine.count_file("/dev/stdin" if path == "-" else path,
                                  feature_index(annotation, feature_level), threads=threads,
                                  **arguments)
    except OSError as error:
        if written is not None and error.filename is not None and os.fsdecode(
                error.filename) == os.fspath(written[1]):
            raise  # the per-read output, named by the error
        raise BamError(f"{path}: {error.strerror or error}") from None
    except _engine.AlignmentError as error:
        kind, message = error.args
        hint = _HINTS.get(kind)
        raise BamError(f"{path}: {message}" + (f"; {hint}" if hint else ""), kind=kind) from None


def _details(path, found, *keys):
    notes = []
    if found["corrupt_tags"]:
        notes.append(f"{path}: {found['corrupt_tags']:,} records have damaged optional fields "
                     f"before NH or HI; those tags were taken as absent, as htslib reads them "
                     f"(samtools view rejects such records)")
    if found["lacks_eof_marker"]:
        notes.append(f"{path}: no BGZF end-of-file block: the file may have been cut short at a "
                     f"block boundary (every record in it was counted)")
    details = {key: found[key] for key in ("reference_names", "contigs_matched", "sort_order",
                                           "lacks_eof_marker", "no_annotated_contig",
                                           "corrupt_tags") + keys}
    details["notes"] = notes
    return details


def _count_htseq(path, annotation, settings, threads, assignments=None):
    """htseq-count's counting: a file is paired-end when its first record is, and then every
    record must be; a file whose first record is single-end is counted read by read, pair
    flags or not (counted again so, when paired records turn up later)."""
    found = _count_file(path, annotation, threads, samout=assignments,
                        **settings.engine_arguments(paired=True))
    paired = found["first_record_paired"] == 1
    if not paired and found["paired_records"]:
        if path == "-" or not os.path.isfile(path):
            raise BamError(f"{path}: its first record is single-end and later ones are paired-end, "
                           f"which a stream cannot be counted as (give a file)", kind="unusable")
        found = _count_file(path, annotation, threads, samout=assignments,
                            **settings.engine_arguments(paired=False))
    elif paired and found["first_single_record"]:
        raise BamError(f"{path}: record {found['first_single_record']} is single-end, although the "
                       f"file's first record is paired-end", kind="unusable")
    counts = found["counts"][("unstranded", "forward", "reverse").index(settings.strandedness)]
    details = _details(path, found, "assigned", "missing_mates", "float_genes", "fractional")
    details["paired"] = paired
    rows = found["htseq"]
    # A multi-mapping read is in __alignment_not_unique and, unless --nonunique is none, in
    # one more row too.
    details["total"] = (found["assigned"] + sum(rows[row] for row in HTSEQ_ROWS[:4])
                        + (rows["__alignment_not_unique"] if settings.nonunique == "none" else 0))
    return FileCounts(path, counts, found["htseq"], settings.strandedness, None,
                      found["records"], found["pending_peak"], details)


def _warn(result):
    """Warns, in the caller's process, of what counting a file noticed."""
    for note in result.details.get("notes", ()):
        warnings.warn(DataWarning(note), stacklevel=3)
