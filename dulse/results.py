"""What counting returns: one file's counts and named counters, and a matrix over files."""

import numpy

__all__ = ["FileCounts", "CountMatrix", "SUMMARY_ROWS", "HTSEQ_ROWS"]

# featureCounts' summary rows, in its order: every read (or fragment) ends in one of them.
SUMMARY_ROWS = (
    "Assigned", "Unassigned_Unmapped", "Unassigned_Read_Type", "Unassigned_Singleton",
    "Unassigned_MappingQuality", "Unassigned_Chimera", "Unassigned_FragmentLength",
    "Unassigned_Duplicate", "Unassigned_MultiMapping", "Unassigned_Secondary",
    "Unassigned_NonSplit", "Unassigned_NoFeatures", "Unassigned_Overlapping_Length",
    "Unassigned_Ambiguity",
)

# htseq-count's special counters, in its order. A multi-mapping read counted under
# --nonunique is in __alignment_not_unique and in one of the others, so they need not add up.
HTSEQ_ROWS = ("__no_feature", "__ambiguous", "__too_low_aQual", "__not_aligned",
              "__alignment_not_unique")


class FileCounts:
    """The counts of one alignment file.

    counts: numpy float64 array, one value per gene in annotation order.
    summary: featureCounts' summary row -> number of reads (fragments); under htseq-count's
        rules its five special counters instead (HTSEQ_ROWS).
    strandedness: the rule the counts follow ("unstranded", "forward" or "reverse").
    strand_check: what the reads came to under each rule, from the same pass (a
        StrandCheck).
    records: records read from the file; pending_peak: the most mates that waited for their
        mate at one time.
    read_groups: with by_read_group, a FileCounts per read group of the file ("FILE:ID"),
        whose sums the file's counts and summary are; else None.
    """

    __slots__ = ("path", "counts", "summary", "strandedness", "strand_check", "records",
                 "pending_peak", "details", "read_groups")

    def __init__(self, path, counts, summary, strandedness, strand_check, records,
                 pending_peak, details=None, read_groups=None):
        self.path = path
        self.counts = counts
        self.summary = dict(summary)
        self.strandedness = strandedness
        self.strand_check = strand_check
        self.records = records
        self.pending_peak = pending_peak
        self.details = dict(details or {})
        self.read_groups = None if read_groups is None else tuple(read_groups)

    @property
    def assigned(self):
        """Reads (fragments) counted for one gene."""
        if "Assigned" in self.summary:
            return self.summary["Assigned"]
        return self.details["assigned"]

    @property
    def total(self):
        """Every read (fragment) of the file: the sum of the summary rows (under
        htseq-count's rules, the reads counted, each once)."""
        if "Assigned" in self.summary:
            return sum(self.summary.values())
        return self.details["total"]

    def __reduce__(self):
        return (FileCounts, (self.path, self.counts, self.summary, self.strandedness,
                             self.strand_check, self.records, self.pending_peak, self.details,
                             self.read_groups))

    def __repr__(self):
        return (f"FileCounts({self.path!r}, {len(self.counts)} genes, "
                f"{self.assigned} of {self.total} assigned, {self.strandedness})")


class CountMatrix:
    """Counts of many files: genes by samples (numpy), with each file's FileCounts (with
    by_read_group, each read group's, a sample per group)."""

    __slots__ = ("gene_ids", "files", "_counts")

    def __init__(self, gene_ids, files):
        self.gene_ids = tuple(gene_ids)
        self.files = tuple(files)
        self._counts = None

    @property
    def samples(self):
        return tuple(result.path for result in self.files)

    @property
    def counts(self):
        """numpy float64 array of shape (genes, samples)."""
        if self._counts is None:
            self._counts = (numpy.column_stack([result.counts for result in self.files])
                            if self.files else numpy.zeros((len(self.gene_ids), 0)))
        return self._counts

    @property
    def summaries(self):
        """sample -> featureCounts' summary rows."""
        return {result.path: result.summary for result in self.files}

    def column(self, sample):
        """gene ID -> count for one sample."""
        for result in self.files:
            if result.path == sample:
                return dict(zip(self.gene_ids, result.counts.tolist()))
        raise KeyError(sample)

    def to_pandas(self):
        """The counts as a pandas DataFrame, genes by samples."""
        pandas = _optional("pandas")
        frame = pandas.DataFrame(self.counts, index=pandas.Index(self.gene_ids, name="gene_id"),
                                 columns=pandas.Index(self.samples, name="sample"))
        return frame

    def to_anndata(self, annotation=None):
        """The counts as an anndata.AnnData: samples (files) by genes, as scanpy has them.

        obs: per file its summary rows (featureCounts' or htseq-count's), records and
        strandedness. var: per gene, given the annotation, where it lies (featureCounts'
        Chr, Start, End, Strand and Length for an Annotation; the additional attributes and
        chromosome for an htseq-count annotation).
        """
        anndata = _optional("anndata")
        pandas = _optional("pandas")
        obs = pandas.DataFrame(
            [{**result.summary, "records": result.records, "strandedness": result.strandedness}
             for result in self.files],
            index=pandas.Index([str(sample) for sample in self.samples], name="sample"))
        var = pandas.DataFrame(_gene_columns(annotation, len(self.gene_ids)),
                               index=pandas.Index(self.gene_ids, name="gene_id"))
        return anndata.AnnData(X=self.counts.T.copy(), obs=obs, var=var)

    def summary_to_pandas(self):
        """The summary rows as a pandas DataFrame, one row per outcome, one column per sample."""
        pandas = _optional("pandas")
        return pandas.DataFrame({r.path: [r.summary[row] for row in SUMMARY_ROWS]
                                 for r in self.files},
                                index=pandas.Index(SUMMARY_ROWS, name="status"))

    def __reduce__(self):
        return (CountMatrix, (self.gene_ids, self.files))

    def __repr__(self):
        return f"CountMatrix({len(self.gene_ids)} genes x {len(self.files)} samples)"


def _gene_columns(annotation, n_genes):
    if annotation is None:
        return {}
    attributes = getattr(annotation, "attributes", None)
    if attributes is not None:
        columns = {name: list(values) for name, values in attributes.items()}
        columns["chromosome"] = list(annotation.chromosomes)
        return columns
    from dulse.outputs.featurecounts import gene_columns

    rows = [line.split("\t") for line in gene_columns(annotation)]
    names = ("Chr", "Start", "End", "Strand", "Length")
    columns = {name: [row[k] for row in rows] for k, name in enumerate(names)}
    columns["Length"] = [int(value) for value in columns["Length"]]
    return columns


def _optional(name):
    import importlib

    try:
        return importlib.import_module(name)
    except ImportError:
        raise ImportError(f"this needs {name}: pip install {name}") from None
