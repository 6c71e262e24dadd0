// A ContigEntry converted once per run into flat arrays, for the records decoded from the BAM
// bytes, when everything in it is plain: the entry's attributes are read without running Python
// code, the three tuples are exact tuples of one length, the search aids are ints within 64 bits,
// every interval is an exact tuple of at least four items whose start and end are ints within
// 32 bits, whose gene ID is a str, int or bytes and whose strand is a str. The query over the
// arrays is the one over the Python objects, step for step, so it finds the same genes for the
// same data, well-formed or not; an entry with anything else stays on the Python-object query,
// which raises every error when and where it arises.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/interval_index.hpp"
#include "support/errors.hpp"
#include "support/py_ref.hpp"

namespace dulse {

// Gene IDs of the native entries, numbered per run: equal IDs share a number, and each number
// knows its slot in `counts` (its position in key order), or -1 when `counts` lacks it.
class GeneTable {
 public:
  // Usable only when every key of counts is an exact str, int or bytes, so that looking a gene
  // up runs no Python code. 1 usable, 0 not, -1 failure.
  int init(PyObject* counts);

  // The number of a gene ID (exact str, int or bytes). -1 with the exception set on failure.
  int32_t number_of(PyObject* gene);
  int32_t slot(int32_t number) const { return slots_[number]; }
  // The slot of any gene ID, looked up as counts would look it up (KeyError when absent).
  // -1 with the exception set.
  Py_ssize_t slot_of(PyObject* gene);
  PyObject* gene(int32_t number) const { return genes_[number].get(); }
  Py_ssize_t slot_count() const { return slot_count_; }

 private:
  PyRef slot_of_;  // key of counts -> its slot
  PyRef numbers_;  // gene ID -> number
  std::vector<PyRef> genes_;
  std::vector<int32_t> slots_;
  Py_ssize_t slot_count_ = 0;
};

enum class Strand : uint8_t { kPlus, kMinus, kOther };

struct NativeInterval {
  int32_t start;
  int32_t end;
  int32_t gene;  // number in the GeneTable
  Strand strand;
};

class NativeEntry {
 public:
  // 1 converted, 0 not plain (nothing raised), -1 failure (memory).
  int convert(PyObject* entry, GeneTable& genes);

  // Whether the entry still holds the tuples it was converted from. Python code that ran since
  // the conversion could have replaced them.
  bool unchanged(PyObject* entry) const;

  const std::vector<int64_t>& starts() const { return starts_; }
  const std::vector<int64_t>& prefix_max_ends() const { return prefix_max_ends_; }
  const std::vector<NativeInterval>& intervals() const { return intervals_; }

 private:
  int fill(PyObject* entry, GeneTable& genes);

  PyRef sources_[3];  // intervals, starts, prefix_max_ends as converted
  std::vector<int64_t> starts_;
  std::vector<int64_t> prefix_max_ends_;
  std::vector<NativeInterval> intervals_;
};

// The distinct genes of one record, as GeneTable numbers: none, one, or "two or more".
class NativeGeneSet {
 public:
  // false once a second distinct gene arrives.
  bool add(int32_t gene) {
    if (first_ < 0 || first_ == gene) {
      first_ = gene;
      return true;
    }
    return false;
  }
  int32_t gene() const { return first_; }

 private:
  int32_t first_ = -1;
};

template <class Record>
int strand_passes(Record& record, Strand strand, int32_t strand_mode) {
  if (strand_mode == 0) return 1;
  if (strand_mode != 1 && strand_mode != 2) return 0;
  int reverse = record.is_reverse();
  if (reverse < 0) return DULSE_TRACEBACK("_strand_matches"), -1;
  bool own = strand == (reverse ? Strand::kMinus : Strand::kPlus);
  return strand_mode == 1 ? own : !own;
}

// The overlap query of interval_index.hpp over the arrays. 1 at the second distinct gene, 0
// otherwise, -1 when the record's orientation cannot be read.
template <class Record>
int native_genes_overlapping_block(const NativeEntry& entry, int32_t block_start,
                                   int32_t block_end, Record& record, int32_t strand_mode,
                                   NativeGeneSet& genes) {
  const std::vector<int64_t>& starts = entry.starts();
  Py_ssize_t lo = 0, hi = static_cast<Py_ssize_t>(starts.size());
  while (lo < hi) {
    Py_ssize_t mid = (lo + hi) / 2;
    if (starts[mid] < block_end) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const int64_t* max_ends = entry.prefix_max_ends().data();
  const NativeInterval* intervals = entry.intervals().data();
  for (Py_ssize_t i = lo - 1; i >= 0 && max_ends[i] > block_start; --i) {
    const NativeInterval& interval = intervals[i];
    if (!overlaps(interval.start, interval.end, block_start, block_end)) continue;
    int passes = strand_passes(record, interval.strand, strand_mode);
    if (passes < 0) return DULSE_TRACEBACK("_genes_overlapping_block_fast"), -1;
    if (passes && !genes.add(interval.gene)) return 1;
  }
  return 0;
}

}  // namespace dulse
