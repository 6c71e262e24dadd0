"""Counting BAM files against an annotation: one file, or many in parallel.

The counting call holds the interpreter lock from start to end, so parallel counting uses
worker processes (`jobs=N`) or whatever `concurrent.futures.Executor` the caller passes, such
as a Dask cluster's; threads would gain nothing.
"""

import os
from concurrent.futures import as_completed

from dulse import workers
from dulse.quantify import _core_fast
from dulse.quantify.annotation import Annotation, read_annotation
from dulse.quantify.errors import BamError
from dulse.quantify.results import BamCounts, CountMatrix, Stats

__all__ = ["Settings", "count_bam", "count_bams", "STRANDEDNESS", "MULTIMAPPING"]

STRANDEDNESS = {"unstranded": 0, "forward": 1, "reverse": 2}
MULTIMAPPING = {"discard": 0, "unique-only": 1, "fraction": 2, "all": 3}


class Settings:
    """How records are counted.

    strandedness: "unstranded" (or 0), "forward" (1: the read's strand is the gene's) or
        "reverse" (2: the opposite strand).
    min_mapq: records with a lower mapping quality are not counted (0 to 255).
    multimapping: for records with an NH tag, "discard" drops NH >= 2, "unique-only" keeps only
        NH == 1, "fraction" weighs each record 1/NH, "all" counts every record fully.
    use_nh: read the NH tag at all; without it every record weighs 1.
    """

    __slots__ = ("strandedness", "min_mapq", "multimapping", "use_nh")

    def __init__(self, strandedness="unstranded", min_mapq=0, multimapping="discard",
                 use_nh=True):
        names = {value: name for name, value in STRANDEDNESS.items()}
        if type(strandedness) is int and strandedness in names:
            strandedness = names[strandedness]
        if strandedness not in STRANDEDNESS:
            raise ValueError(f"strandedness must be one of {', '.join(STRANDEDNESS)} or 0, 1, "
                             f"2, not {strandedness!r}")
        if type(min_mapq) is not int or not 0 <= min_mapq <= 255:
            raise ValueError(f"min_mapq must be a whole number from 0 to 255, not {min_mapq!r}")
        if multimapping not in MULTIMAPPING:
            raise ValueError(f"multimapping must be one of {', '.join(MULTIMAPPING)}, "
                             f"not {multimapping!r}")
        if type(use_nh) is not bool:
            raise ValueError(f"use_nh must be True or False, not {use_nh!r}")
        self.strandedness = strandedness
        self.min_mapq = min_mapq
        self.multimapping = multimapping
        self.use_nh = use_nh

    @property
    def strand_mode(self):
        return STRANDEDNESS[self.strandedness]

    @property
    def multi_mode(self):
        return MULTIMAPPING[self.multimapping]

    def replace(self, **changes):
        values = {name: getattr(self, name) for name in self.__slots__}
        values.update(changes)
        return Settings(**values)

    def __reduce__(self):
        return (Settings, tuple(getattr(self, name) for name in self.__slots__))

    def __eq__(self, other):
        return isinstance(other, Settings) and self.__reduce__() == other.__reduce__()

    __hash__ = None

    def __repr__(self):
        values = ", ".join(f"{name}={getattr(self, name)!r}" for name in self.__slots__)
        return f"Settings({values})"


def count_bam(bam, annotation, *, strandedness="unstranded", min_mapq=0,
              multimapping="discard", use_nh=True):
    """Counts the reads of one BAM file per gene.

    annotation: an Annotation, or the path of an annotation file read with default choices.
    The other options are those of Settings. Returns a BamCounts; raises BamError when the
    file cannot be opened or read to the end.
    """
    settings = Settings(strandedness, min_mapq, multimapping, use_nh)
    return _count(os.fspath(bam), _as_annotation(annotation), settings)


def count_bams(bams, annotation, *, jobs=1, executor=None, progress=None,
               strandedness="unstranded", min_mapq=0, multimapping="discard", use_nh=True):
    """Counts many BAM files into a CountMatrix whose columns follow the order of `bams`.

    bams: a list of paths (a single path is one file).
    jobs: worker processes to count in (1 counts here, one file after the other); no more
        are started than there are files or CPUs (see dulse.workers, which also says how the
        workers end with this process and stop at the first failure).
    executor: a concurrent.futures.Executor to count on instead, e.g. a Dask client's
        `get_executor()`; the annotation travels with every file's task.
    progress: called as progress(position, BamCounts) in this process as each file finishes.
    When a file fails, the files not yet started are cancelled and its BamError is raised.
    """
    settings = Settings(strandedness, min_mapq, multimapping, use_nh)
    if isinstance(bams, (str, bytes, os.PathLike)):
        bams = [bams]  # one file, not the characters of its name
    paths = [os.fspath(bam) for bam in bams]
    if not paths:
        raise ValueError("no BAM files to count")
    repeated = sorted({path for path in paths if paths.count(path) > 1})
    if repeated:
        raise ValueError(f"BAM file given more than once: {', '.join(repeated)}")
    worker_count = workers.worker_count(jobs, len(paths))
    if executor is not None and jobs != 1:
        raise ValueError("give either jobs or an executor, not both")
    annotation = _as_annotation(annotation)

    if executor is not None:
        futures = [executor.submit(_count, path, annotation, settings) for path in paths]
        results = _gather(futures, progress)
    elif worker_count == 1:
        results = []
        for position, path in enumerate(paths):
            results.append(_count(path, annotation, settings))
            if progress is not None:
                progress(position, results[-1])
    else:
        results = workers.run(_count, paths, (annotation, settings), worker_count, progress)
    return CountMatrix(annotation.gene_ids, results)


def _gather(futures, progress):
    results = [None] * len(futures)
    position = {future: number for number, future in enumerate(futures)}
    try:
        for future in as_completed(futures):
            number = position[future]
            results[number] = future.result()
            if progress is not None:
                progress(number, results[number])
    except BaseException:
        for future in futures:
            future.cancel()
        raise
    return results


def _as_annotation(annotation):
    if isinstance(annotation, (str, os.PathLike)):
        return read_annotation(annotation)
    if not isinstance(annotation, Annotation):
        raise TypeError(f"annotation must be an Annotation or a path, not "
                        f"{type(annotation).__name__}")
    return annotation


def _count(path, annotation, settings):
    try:
        counts, raw_stats = _core_fast.quantify_bam_fast(
            path, annotation.gene_ids, annotation.gene_index, settings.strand_mode,
            settings.min_mapq, settings.multi_mode, settings.use_nh)
    except (OSError, ValueError) as error:
        reason = getattr(error, "strerror", None) or str(error) or type(error).__name__
        raise BamError(f"{path}: {reason}") from error
    return BamCounts(path, counts, Stats(*raw_stats))
