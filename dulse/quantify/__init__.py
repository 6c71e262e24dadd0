"""The counting module `_core_fast` and the annotation reader.

The API that counts files is dulse's own: `from dulse import count_bam, count_bams`.
"""

from dulse.quantify.annotation import Annotation, ContigEntry, read_annotation
from dulse.quantify.errors import AnnotationError, AnnotationWarning, BamError, InputError

__all__ = [
    "Annotation", "AnnotationError", "AnnotationWarning", "BamError", "ContigEntry",
    "InputError", "read_annotation",
]
