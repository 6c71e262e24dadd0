"""dulse: gene-level read counting for RNA-seq alignments."""

__version__ = "0.1.0"
