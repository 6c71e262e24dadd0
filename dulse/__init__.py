"""dulse: gene-level read counting for RNA-seq alignments.

    from dulse import Settings, count_bam, count_bams, read_annotation

    annotation = read_annotation("genes.gtf")
    one = count_bam("sample.bam", annotation, Settings(paired=True, strandedness="reverse"))
    matrix = count_bams(["a.bam", "b.bam"], annotation, threads=2)
    frame = matrix.to_pandas()   # pandas is optional
"""

__version__ = "0.1.0"

from dulse.api import count_bam, count_bams  # noqa: E402
from dulse.errors import AnnotationError, AnnotationWarning, BamError, InputError  # noqa: E402
from dulse.quantify.annotation import Annotation, read_annotation  # noqa: E402
from dulse.results import CountMatrix, FileCounts  # noqa: E402
from dulse.settings import Settings  # noqa: E402

__all__ = [
    "Annotation", "AnnotationError", "AnnotationWarning", "BamError", "CountMatrix",
    "FileCounts", "InputError", "Settings", "count_bam", "count_bams", "read_annotation",
]
