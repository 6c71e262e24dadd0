"""Gene annotations for counting: read_annotation and Annotation live in dulse.annotation."""

from dulse.annotation import (FORMATS, MISSING_GENE, Annotation, ContigEntry, Features, GeneLayout,
                              read_annotation)

__all__ = ["Annotation", "ContigEntry", "Features", "GeneLayout", "read_annotation", "FORMATS",
           "MISSING_GENE"]
