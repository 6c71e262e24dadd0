"""The counting module `_core_fast` (and, for its callers, the annotation reader's names).

The API that counts files is dulse's own: `from dulse import count_bam, count_bams`. The names
here are imported when first used, so that importing `dulse.quantify._core_fast` loads the
counting module alone.
"""

import importlib

_HOMES = {
    "Annotation": "dulse.annotation", "ContigEntry": "dulse.annotation",
    "read_annotation": "dulse.annotation",
    "AnnotationError": "dulse.errors", "AnnotationWarning": "dulse.errors",
    "BamError": "dulse.errors", "InputError": "dulse.errors",
}

__all__ = sorted(_HOMES)


def __getattr__(name):
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'dulse.quantify' has no attribute {name!r}")
    value = getattr(importlib.import_module(home), name)
    globals()[name] = value
    return value
