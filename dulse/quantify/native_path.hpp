// The record loop's path over records decoded from the BAM bytes: the TidTable laid out by
// reference id, each ContigEntry converted to native form the first time a record needs it, and
// the weights summed per slot of `counts` and written into it once the loop is done. No Python
// object is made per record, unless an entry or a tag is not plain enough for the native forms.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/assignment.hpp"
#include "core/native_index.hpp"
#include "input/bam_records.hpp"
#include "record_loop.hpp"
#include "py/py_ref.hpp"

namespace dulse {

class NativePath {
 public:
  using Record = BamRecord;
  struct Contig {
    int32_t tid;
  };

  NativePath(bam::Reader& reader, PyObject* file, PyObject* counts)
      : source_(reader, file, &python_runs_), counts_(counts) {}

  // Takes the entries of the TidTable (a dict from reference id to entry). 0, or -1.
  int prepare(PyObject* tid_table, int32_t n_targets);
  int next() { return source_.next(); }
  Record& record() { return source_.record(); }

  int find_contig(Record& record, Contig* contig) {
    int32_t tid = record.tid();
    if (tid < 0 || static_cast<size_t>(tid) >= contigs_.size() || !contigs_[tid].entry) return 0;
    contig->tid = tid;
    return 1;
  }

  Outcome assign(Record& record, Contig& contig, int32_t strand_mode, double weight);

  // Writes the summed weights into counts. 0, or -1.
  int finish();

 private:
  enum class Form { kUnknown, kNative, kObject };
  struct ContigSlot {
    PyRef entry;
    Form form = Form::kUnknown;
    NativeEntry native;
    uint64_t checked_at = 0;  // python_runs_ when the native form was last known current
  };

  int form_of(ContigSlot& slot);
  Outcome add_native(int32_t gene, double weight);
  int add_object(PyObject* gene, double weight);

  BamRecordSource source_;
  PyObject* counts_;  // owned by the run
  GeneTable genes_;
  bool summing_ = false;  // weights go to sums_ (the keys of counts are plain)
  std::vector<double> sums_;
  std::vector<ContigSlot> contigs_;
  uint64_t python_runs_ = 0;  // grows whenever Python code may have run
};

}  // namespace dulse
