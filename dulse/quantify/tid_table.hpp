// The TidTable: BAM reference id -> ContigEntry, built once per run from gene_index.
#pragma once

#include <Python.h>

namespace dulse {

// Fills `table` (a new dict) from `gene_index`: an exact dict is walked pair by pair, anything
// else through its items(), each element unpacked into (contig, entry). Every contig is resolved
// once with file.get_tid(contig); a reference id of 0 or more maps to the entry (a later contig
// with the same id replaces an earlier one), a negative one leaves the contig out.
// 0, or -1 with the exception set.
int build_tid_table(PyObject* file, PyObject* gene_index, PyObject* table);

}  // namespace dulse
