"""htseq-count's outputs: its counts table, byte for byte, and the same counts as a matrix file.

The table: one row per gene, genes sorted by ID as Python sorts strings; the additional
attributes, then the chromosome when asked; one count per alignment file; then the five special
counters with empty attribute cells. Counts are integers, except under --nonunique fraction,
where every gene that received a count is written as Python writes a float ('1.0', '0.5',
'1.6666666666666665') and the others as '0'. With a header (htseq-count 2.x's --with-header),
a first row of an empty cell, the attribute names and the alignment file names.

By the name of the -c file: .mtx (Matrix Market, genes and counters by files; scipy), .h5ad
(AnnData, files by genes; anndata), .loom (genes by files; loompy); any other name gets the
table.
"""

import numpy

from dulse.results import HTSEQ_ROWS

__all__ = ["MATRIX_FORMATS", "counts_table", "matrix_format", "write_matrix"]

MATRIX_FORMATS = {".mtx": "mtx", ".h5ad": "h5ad", ".loom": "loom"}


def matrix_format(path):
    """"mtx", "h5ad" or "loom" for a -c file of that extension, else None (the table)."""
    lowered = path.lower()
    for extension, kind in MATRIX_FORMATS.items():
        if lowered.endswith(extension):
            return kind
    return None


def _cells(result):
    """A file's counts as htseq-count writes them, in gene order."""
    counts = result.counts
    floats = result.details.get("float_genes")
    if floats is None:
        return [str(value) for value in counts.astype(numpy.int64).tolist()]
    return [repr(value) if logged else "0" for value, logged in zip(counts.tolist(),
                                                                    floats.tolist())]


def _extra_columns(annotation, additional_attributes, chromosome_info):
    columns = [annotation.attributes[name] for name in additional_attributes]
    if chromosome_info:
        columns.append(annotation.chromosomes)
    return columns


def counts_table(matrix, annotation, *, additional_attributes=(), chromosome_info=False,
                 delimiter="\t", with_header=False):
    """The counts text, as htseq-count writes it to standard output."""
    extras = _extra_columns(annotation, additional_attributes, chromosome_info)
    cells = [_cells(result) for result in matrix.files]
    lines = []
    if with_header:
        names = list(additional_attributes) + (["chromosome"] if chromosome_info else [])
        lines.append(delimiter.join([""] + names + list(matrix.samples)))
    order = sorted(range(len(matrix.gene_ids)), key=matrix.gene_ids.__getitem__)
    for gene in order:
        lines.append(delimiter.join([matrix.gene_ids[gene]] + [column[gene] for column in extras]
                                    + [column[gene] for column in cells]))
    pad = [""] * len(extras)
    for row in HTSEQ_ROWS:
        lines.append(delimiter.join([row] + pad + [str(result.summary[row])
                                                   for result in matrix.files]))
    return "\n".join(lines) + "\n"


def _matrix(matrix):
    """Genes (sorted) then the special counters, by files, as float64; and their names."""
    order = sorted(range(len(matrix.gene_ids)), key=matrix.gene_ids.__getitem__)
    names = [matrix.gene_ids[gene] for gene in order] + list(HTSEQ_ROWS)
    columns = [numpy.concatenate([result.counts[order],
                                  numpy.array([result.summary[row] for row in HTSEQ_ROWS],
                                              dtype=numpy.float64)])
               for result in matrix.files]
    values = numpy.column_stack(columns) if columns else numpy.zeros((len(names), 0))
    return values, names, order


def write_matrix(path, kind, matrix, annotation, *, additional_attributes=(),
                 chromosome_info=False, sparse=False):
    """Writes the counts to a matrix file (`kind` from matrix_format) at path."""
    values, names, order = _matrix(matrix)
    extras = _extra_columns(annotation, additional_attributes, chromosome_info)
    extra_names = list(additional_attributes) + (["chromosome"] if chromosome_info else [])
    pad = [""] * len(HTSEQ_ROWS)
    gene_columns = {name: [column[gene] for gene in order] + pad
                    for name, column in zip(extra_names, extras)}
    if kind == "mtx":
        io, sparse_module = _optional("scipy.io", "scipy"), _optional("scipy.sparse", "scipy")
        with open(path, "wb") as handle:
            io.mmwrite(handle, sparse_module.coo_matrix(values))
        return
    if kind == "h5ad":
        anndata = _optional("anndata")
        pandas = _optional("pandas")
        data = values.T
        if sparse:
            data = _optional("scipy.sparse", "scipy").csr_matrix(data)
        frame = anndata.AnnData(
            X=data, obs=pandas.DataFrame(index=pandas.Index(list(matrix.samples), name="sample")),
            var=pandas.DataFrame(gene_columns, index=pandas.Index(names, name="feature")))
        frame.write_h5ad(path)
        return
    loompy = _optional("loompy")
    row_attributes = {"Gene": numpy.array(names, dtype=object)}
    row_attributes.update({name: numpy.array(column, dtype=object)
                           for name, column in gene_columns.items()})
    loompy.create(path, values, row_attributes,
                  {"CellID": numpy.array(list(matrix.samples), dtype=object)})


def _optional(module, package=None):
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        name = package or module
        raise ImportError(f"this output needs {name}: pip install {name}") from None
