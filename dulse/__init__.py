"""dulse: gene-level read counting for RNA-seq alignments.

    from dulse import Settings, count_bam, count_bams, read_annotation

    annotation = read_annotation("genes.gtf")
    one = count_bam("sample.bam", annotation, Settings(paired=True, strandedness="reverse"))
    matrix = count_bams(["a.bam", "b.bam"], annotation, threads=2)
    frame = matrix.to_pandas()   # pandas is optional
"""

__version__ = "0.1.0"

# The names are loaded when first used, so that importing a part of the package (the counting
# module dulse.quantify._core_fast, say) does not load the engine and numpy with it.
_EXPORTS = {
    "count_bam": "dulse.api", "count_bams": "dulse.api",
    "AnnotationError": "dulse.errors", "AnnotationWarning": "dulse.errors",
    "BamError": "dulse.errors", "InputError": "dulse.errors",
    "Annotation": "dulse.quantify.annotation", "read_annotation": "dulse.quantify.annotation",
    "CountMatrix": "dulse.results", "FileCounts": "dulse.results",
    "Settings": "dulse.settings",
}

__all__ = [
    "Annotation", "AnnotationError", "AnnotationWarning", "BamError", "CountMatrix",
    "FileCounts", "InputError", "Settings", "count_bam", "count_bams", "read_annotation",
]


def __getattr__(name):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'dulse' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
