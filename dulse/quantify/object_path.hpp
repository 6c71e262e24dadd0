// The record loop's path over pysam's record objects: the TidTable as a dict keyed by whatever
// `reference_id` returns, each record's genes found through the ContigEntry's Python objects, and
// `counts` updated in place, one Python float addition per assigned record.
#pragma once

#include <Python.h>

#include "core/assignment.hpp"
#include "input/pysam_records.hpp"
#include "record_loop.hpp"
#include "support/convert.hpp"
#include "py/py_ref.hpp"

namespace dulse {

// counts[gene] = counts[gene] + weight, with the KeyError of a dict lookup for an unknown gene.
int add_weight(PyObject* counts, PyObject* gene, double weight);

// Settles an AssignmentResult: item 1 by its truth value first, then item 0.
template <class Add>
Outcome settle(PyObject* result, Add&& add) {
  int ambiguous = truth(PyTuple_GET_ITEM(result, 1));
  if (ambiguous < 0) return Outcome::kFailed;
  if (ambiguous) return Outcome::kAmbiguous;
  PyObject* gene = PyTuple_GET_ITEM(result, 0);
  if (gene == Py_None) return Outcome::kNoFeature;
  return add(gene) < 0 ? Outcome::kFailed : Outcome::kAssigned;
}

class ObjectPath {
 public:
  using Record = PysamRecord;
  using Contig = PyRef;

  ObjectPath(PyObject* tid_table, PyObject* counts) : tid_table_(tid_table), counts_(counts) {}

  int open(PyObject* file) { return source_.open(file); }
  int next() { return source_.next(); }
  Record& record() { return source_.record(); }

  int find_contig(Record& record, Contig* contig) {
    PyRef key = record.reference_id();
    if (!key) return -1;
    PyObject* entry = PyDict_GetItemWithError(tid_table_, key.get());
    if (entry == nullptr) return PyErr_Occurred() ? -1 : 0;
    if (entry == Py_None) return 0;
    *contig = PyRef::borrow(entry);
    return 1;
  }

  Outcome assign(Record& record, Contig& contig, int32_t strand_mode, double weight) {
    PyRef result(_assign_alignment_to_gene_fast(record, contig.get(), strand_mode));
    if (!result) return Outcome::kFailed;
    return settle(result.get(), [&](PyObject* gene) { return add_weight(counts_, gene, weight); });
  }

 private:
  PysamRecordSource source_;
  PyObject* tid_table_;  // owned by the run
  PyObject* counts_;     // owned by the run
};

}  // namespace dulse
