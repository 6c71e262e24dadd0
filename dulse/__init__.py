"""dulse: gene-level read counting for RNA-seq alignments.

    from dulse import Settings, count_bam, count_bams, read_annotation

    annotation = read_annotation("genes.gtf")
    one = count_bam("sample.bam", annotation, Settings(paired=True, strandedness="reverse"))
    matrix = count_bams(["a.bam", "b.bam"], annotation, threads=2)
    frame = matrix.to_pandas()   # pandas is optional

The names are imported when first used, so that importing a part of the package (the counting
module dulse.quantify._core_fast, say) loads only that part.
"""

import importlib

__version__ = "0.1.0"

_HOMES = {
    "count_bam": "dulse.api", "count_bams": "dulse.api",
    "AnnotationError": "dulse.errors", "AnnotationWarning": "dulse.errors",
    "BamError": "dulse.errors", "InputError": "dulse.errors", "DataWarning": "dulse.errors",
    "Annotation": "dulse.annotation", "read_annotation": "dulse.annotation",
    "CountMatrix": "dulse.results", "FileCounts": "dulse.results",
    "Settings": "dulse.settings", "HtseqSettings": "dulse.settings",
    "read_htseq_annotation": "dulse.htseq_annotation",
}

__all__ = sorted(_HOMES)


def __getattr__(name):
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'dulse' has no attribute {name!r}")
    value = getattr(importlib.import_module(home), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_HOMES))
