"""Counting reads per gene from BAM files.

    from dulse.quantify import read_annotation, count_bam, count_bams

    annotation = read_annotation("genes.gtf")
    one = count_bam("sample.bam", annotation, strandedness="reverse")
    matrix = count_bams(["a.bam", "b.bam"], annotation, jobs=2)

pandas is optional: CountMatrix.to_pandas() imports it when called.
"""

from dulse.quantify.annotation import Annotation, ContigEntry, read_annotation
from dulse.quantify.api import Settings, count_bam, count_bams
from dulse.quantify.errors import AnnotationError, AnnotationWarning, BamError, InputError
from dulse.quantify.results import BamCounts, CountMatrix, Stats

__all__ = [
    "Annotation", "AnnotationError", "AnnotationWarning", "BamCounts", "BamError",
    "ContigEntry", "CountMatrix", "InputError", "Settings", "Stats", "count_bam", "count_bams",
    "read_annotation",
]
