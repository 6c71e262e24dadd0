// A ContigEntry converted once per run into flat arrays, for the records decoded from the BAM
// bytes, when everything in it is plain: the entry's attributes are read without running Python
// code, the three tuples are exact tuples of one length, the search aids are ints within 64 bits,
// every interval is an exact tuple of at least four items whose start and end are ints within
// 32 bits, whose gene ID is a str, int or bytes and whose strand is a str. The query over the
// arrays is the one over the Python objects, step for step, so it finds the same genes for the
// same data, well-formed or not; an entry with anything else stays on the Python-object query,
// which raises every error when and where it arises.
//
// The search aids may be ints of any size. They are only ever compared with a block end
// (lower bound) or a block start (prefix maxima), and a block lies within 32 bits with its start
// below its end, so a value clamped to 32 bits compares with it exactly as the value does.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "core/interval_index.hpp"
#include "support/errors.hpp"
#include "py/py_ref.hpp"

namespace dulse {

// Gene IDs of the native entries, numbered per run so that equal IDs share a number: a gene
// that is a key of `counts` is numbered by its slot there (its position in key order), any other
// gene after the last slot.
class GeneTable {
 public:
  // Usable only when every key of counts is an exact str, int or bytes, so that looking a gene
  // up runs no Python code. 1 usable, 0 not, -1 failure.
  int init(PyObject* counts);

  // The number of a gene ID (exact str, int or bytes). -1 with the exception set on failure.
  int32_t number_of(PyObject* gene);
  // The slot in counts of a numbered gene, or -1 when counts lacks it.
  int32_t slot(int32_t number) const { return number < slot_count_ ? number : -1; }
  // A numbered gene that counts lacks.
  PyObject* missing_gene(int32_t number) const { return missing_[number - slot_count_].get(); }
  // The slot of any gene ID, looked up as counts would look it up (KeyError when absent).
  // -1 with the exception set.
  Py_ssize_t slot_of(PyObject* gene);
  int32_t slot_count() const { return slot_count_; }

 private:
  PyRef slots_;          // key of counts -> its slot
  PyRef missing_slots_;  // gene ID that counts lacks -> its number
  std::vector<PyRef> missing_;
  int32_t slot_count_ = 0;
  PyRef last_gene_;  // neighbouring intervals often share the gene object
  int32_t last_number_ = -1;
};

enum class Strand : uint32_t { kPlus, kMinus, kOther };

// One position of the index: the prefix maximum of the ends beside the interval, so that the
// downward scan reads one array of 16-byte items.
struct NativeInterval {
  int32_t prefix_max_end;  // clamped to 32 bits
  int32_t start;
  int32_t end;
  uint32_t gene_strand;  // gene number in the GeneTable << 2 | strand

  int32_t gene() const { return static_cast<int32_t>(gene_strand >> 2); }
  Strand strand() const { return static_cast<Strand>(gene_strand & 3); }
};

class NativeEntry {
 public:
  // 1 converted, 0 not plain (nothing raised), -1 failure (memory).
  int convert(PyObject* entry, GeneTable& genes);

  // Whether the entry still holds the tuples it was converted from. Python code that ran since
  // the conversion could have replaced them.
  bool unchanged(PyObject* entry) const;

  // The lower bound of x in the starts: the first position whose start is not less than x.
  Py_ssize_t lower_bound(int32_t x) const;
  const NativeInterval* intervals() const { return intervals_.data(); }

 private:
  int fill(PyObject* entry, GeneTable& genes);
  void index_bins();

  PyRef sources_[3];  // intervals, starts, prefix_max_ends as converted
  std::vector<int32_t> starts_;  // clamped to 32 bits
  std::vector<NativeInterval> intervals_;
  // When the starts ascend: bins_[b] is the lower bound of b << kBinShift, so the lower bound
  // of any x in bin b lies between bins_[b] and bins_[b + 1], and the search stays within the
  // few intervals of one bin instead of halving the whole contig.
  static constexpr int kBinShift = 16;
  std::vector<uint32_t> bins_;
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
int _genes_overlapping_block_native(const NativeEntry& entry, int32_t block_start,
                                   int32_t block_end, Record& record, int32_t strand_mode,
                                   NativeGeneSet& genes) {
  const NativeInterval* intervals = entry.intervals();
  for (Py_ssize_t i = entry.lower_bound(block_end) - 1;
       i >= 0 && intervals[i].prefix_max_end > block_start; --i) {
    const NativeInterval& interval = intervals[i];
    if (!overlaps(interval.start, interval.end, block_start, block_end)) continue;
    int passes = strand_passes(record, interval.strand(), strand_mode);
    if (passes < 0) return DULSE_TRACEBACK("_genes_overlapping_block_fast"), -1;
    if (passes && !genes.add(interval.gene())) return 1;
  }
  return 0;
}

}  // namespace dulse
