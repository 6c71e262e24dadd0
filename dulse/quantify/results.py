"""What counting returns: the statistics of one file, its counts, and a matrix over files."""

from typing import NamedTuple

__all__ = ["BamCounts", "CountMatrix", "Stats"]


class Stats(NamedTuple):
    """The nine statistics of one counted BAM file.

    Every record is in exactly one of: unmapped_secondary_supplementary (set aside before
    anything else), below_mapq, no_annotated_contig, multimapping_discarded, no_feature,
    ambiguous, assigned_records. assigned_weight is the sum of the assigned records' weights,
    which is below assigned_records only when multi-mapping records count a fraction.
    """

    total_records: int
    primary_mapped_records: int
    below_mapq: int
    multimapping_discarded: int
    no_annotated_contig: int
    no_feature: int
    ambiguous: int
    assigned_records: int
    assigned_weight: float

    @property
    def unmapped_secondary_supplementary(self):
        return self.total_records - self.primary_mapped_records

    @property
    def assignable_records(self):
        """Records that reached gene assignment: assigned, ambiguous or on no feature."""
        return self.assigned_records + self.ambiguous + self.no_feature


class BamCounts:
    """The counts of one BAM file: gene ID -> weighted count, in gene order, and its Stats."""

    __slots__ = ("path", "counts", "stats")

    def __init__(self, path, counts, stats):
        self.path = path
        self.counts = counts
        self.stats = stats

    def __reduce__(self):
        return (BamCounts, (self.path, self.counts, self.stats))

    def __repr__(self):
        return f"BamCounts({self.path!r}, {len(self.counts)} genes, {self.stats!r})"


class CountMatrix:
    """Counts of many BAM files: one column per file (its path as given), one row per gene."""

    __slots__ = ("gene_ids", "results")

    def __init__(self, gene_ids, results):
        self.gene_ids = tuple(gene_ids)
        self.results = tuple(results)

    @property
    def samples(self):
        return tuple(result.path for result in self.results)

    @property
    def stats(self):
        """sample -> Stats, in column order."""
        return {result.path: result.stats for result in self.results}

    def column(self, sample):
        """gene ID -> count for one sample."""
        for result in self.results:
            if result.path == sample:
                return result.counts
        raise KeyError(sample)

    def rows(self):
        """(gene ID, tuple of counts in column order) for every gene, in gene order."""
        columns = [result.counts for result in self.results]
        for gene in self.gene_ids:
            yield gene, tuple(column[gene] for column in columns)

    def to_pandas(self):
        """The counts as a pandas DataFrame, genes by samples."""
        pandas = _pandas()
        frame = pandas.DataFrame({result.path: [result.counts[gene] for gene in self.gene_ids]
                                  for result in self.results},
                                 index=pandas.Index(self.gene_ids, name="gene_id"))
        frame.columns.name = "sample"
        return frame

    def stats_to_pandas(self):
        """The statistics as a pandas DataFrame, one row per statistic, one column per sample."""
        pandas = _pandas()
        frame = pandas.DataFrame({result.path: list(result.stats) for result in self.results},
                                 index=pandas.Index(Stats._fields, name="statistic"),
                                 dtype=object)
        frame.columns.name = "sample"
        return frame

    def __repr__(self):
        return f"CountMatrix({len(self.gene_ids)} genes x {len(self.results)} samples)"


def _pandas():
    try:
        import pandas
    except ImportError:
        raise ImportError("pandas output needs pandas: pip install pandas") from None
    return pandas
