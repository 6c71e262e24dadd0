#include "native_path.hpp"

#include "object_path.hpp"

namespace dulse {

int NativePath::prepare(PyObject* tid_table, int32_t n_targets) {
  int usable = genes_.init(counts_);
  if (usable < 0) return -1;
  summing_ = usable == 1;
  if (summing_) sums_.assign(static_cast<size_t>(genes_.slot_count()), 0.0);
  contigs_.resize(static_cast<size_t>(n_targets));
  Py_ssize_t position = 0;
  PyObject *key, *entry;
  while (PyDict_Next(tid_table, &position, &key, &entry)) {
    long tid = PyLong_AsLong(key);  // the run's own int keys, 0 to 2^31 - 1
    if (tid < n_targets && entry != Py_None) contigs_[tid].entry = PyRef::borrow(entry);
  }
  return 0;
}

// Whether a contig's entry is queried in native form, converting it the first time and checking
// it again after Python code may have replaced its tuples.
int NativePath::form_of(ContigSlot& slot) {
  if (slot.form == Form::kNative && slot.checked_at != python_runs_) {
    if (!slot.native.unchanged(slot.entry.get())) slot.form = Form::kUnknown;
    slot.checked_at = python_runs_;
  }
  if (slot.form == Form::kUnknown) {
    int converted = summing_ ? slot.native.convert(slot.entry.get(), genes_) : 0;
    if (converted < 0) return -1;
    slot.form = converted ? Form::kNative : Form::kObject;
    slot.checked_at = python_runs_;
  }
  return slot.form == Form::kNative;
}

Outcome NativePath::assign(Record& record, Contig& contig, int32_t strand_mode, double weight) {
  ContigSlot& slot = contigs_[contig.tid];
  int native = form_of(slot);
  if (native < 0) return Outcome::kFailed;
  if (native) {
    int32_t gene;
    switch (_assign_alignment_to_gene_native(record, slot.native, strand_mode, &gene)) {
      case NativeAnswer::kFailed: return Outcome::kFailed;
      case NativeAnswer::kNoGene: return Outcome::kNoFeature;
      case NativeAnswer::kAmbiguous: return Outcome::kAmbiguous;
      case NativeAnswer::kGene: return add_native(gene, weight);
    }
  }
  ++python_runs_;
  PyRef entry = PyRef::borrow(slot.entry.get());
  PyRef result(_assign_alignment_to_gene_fast(record, entry.get(), strand_mode));
  if (!result) return Outcome::kFailed;
  return settle(result.get(), [&](PyObject* gene) { return add_object(gene, weight); });
}

Outcome NativePath::add_native(int32_t gene, double weight) {
  int32_t slot = genes_.slot(gene);
  if (slot < 0) {
    // A gene that counts lacks fails as the dict lookup fails, with its KeyError.
    PyObject* missing = genes_.missing_gene(gene);
    PyRef key(PyTuple_Pack(1, missing));
    if (key) PyErr_SetObject(PyExc_KeyError, key.get());
    return Outcome::kFailed;
  }
  sums_[slot] += weight;
  return Outcome::kAssigned;
}

int NativePath::add_object(PyObject* gene, double weight) {
  if (!summing_) return add_weight(counts_, gene, weight);
  Py_ssize_t slot = genes_.slot_of(gene);
  if (slot < 0) return -1;
  sums_[slot] += weight;
  return 0;
}

int NativePath::finish() {
  if (!summing_) return 0;
  Py_ssize_t position = 0, slot = 0;
  PyObject *key, *value;
  // Every weight is positive, so a slot that received any is nonzero; untouched genes keep the
  // 0.0 that dict.fromkeys put there. Replacing values leaves the keys and their order alone.
  while (PyDict_Next(counts_, &position, &key, &value)) {
    double sum = sums_[slot++];
    if (sum == 0.0) continue;
    PyRef total(PyFloat_FromDouble(sum));
    if (!total || PyDict_SetItem(counts_, key, total.get()) < 0) return -1;
  }
  return 0;
}

}  // namespace dulse
