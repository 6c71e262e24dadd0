// The interval index of one contig as the caller hands it over (a ContigEntry of Python
// objects), and the overlap query of one aligned block against it.
//
// A ContigEntry carries three exact tuples of equal length: `intervals`, GeneInterval tuples
// (start, end, gene ID, strand) in ascending order of start, 0-based and end-exclusive;
// `starts`, the interval starts; and `prefix_max_ends`, where prefix_max_ends[k] is the largest
// end among intervals[0..k]. The attributes are read anew for every block, and every element is
// checked only when the scan reaches it, so malformed parts that no block reaches raise nothing.
// Positions beyond the end of a tuple are never read: a missing element raises IndexError.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/strand.hpp"
#include "support/convert.hpp"
#include "support/errors.hpp"
#include "support/names.hpp"
#include "py/py_ref.hpp"

namespace dulse {

// Lower bound of `x` in `starts`: the first position whose value is not less than x, or the
// length when there is none. Values are compared as Python objects. 0, or -1 with the exception
// set (and its traceback entry added).
int _bisect_left(PyObject* starts, int32_t x, Py_ssize_t* out);

// Reads one of the three attributes of a ContigEntry, which must be exactly a tuple or None.
PyRef entry_tuple(PyObject* entry, PyObject* name);

// Element i of a tuple attribute that may be None or too short, as a new reference.
PyRef tuple_item(PyObject* tuple, Py_ssize_t i);

// Whether the prefix maximum at position i is not above the block start. 1, 0 or -1.
int ends_before(PyObject* prefix_max_ends, Py_ssize_t i, int32_t block_start);

struct GeneInterval {
  int32_t start;
  int32_t end;
  PyRef gene;
  PyRef strand;
};

// Items 0 to 3 of intervals[i], read in order; items 0 and 1 are converted even when the
// interval will not overlap. 0, or -1 with the exception set.
int read_interval(PyObject* intervals, Py_ssize_t i, GeneInterval* out);

// Half-open ranges: an interval that ends at the block start or starts at the block end does
// not overlap, and an interval with start >= end holds no position and overlaps nothing.
inline bool overlaps(int32_t start, int32_t end, int32_t block_start, int32_t block_end) {
  return start < end && block_start < end && start < block_end;
}

// Adds to `gene_set` the gene of every interval that overlaps [block_start, block_end) and
// passes the strand rule. 1 as soon as the set holds two distinct genes (the caller stops), 0
// otherwise, -1 with the exception set.
//
// The scan: every interval below idx = _bisect_left(starts, block_end) starts before the block
// end, and none at idx or above can overlap. Walking down from idx - 1, prefix_max_ends[i] is
// the largest end of all intervals at i or below; once it is not above the block start, none of
// them can overlap, so the scan stops there, before interval i is looked at.
template <class Record>
int _genes_overlapping_block_fast(PyObject* entry, int32_t block_start, int32_t block_end,
                            Record& record, int32_t strand_mode, PyObject* gene_set) {
  const char* const routine = "_genes_overlapping_block_fast";
  PyRef intervals = entry_tuple(entry, names.intervals);
  if (!intervals) return DULSE_TRACEBACK(routine), -1;
  PyRef starts = entry_tuple(entry, names.starts);
  if (!starts) return DULSE_TRACEBACK(routine), -1;
  PyRef prefix_max_ends = entry_tuple(entry, names.prefix_max_ends);
  if (!prefix_max_ends) return DULSE_TRACEBACK(routine), -1;

  Py_ssize_t idx;
  if (_bisect_left(starts.get(), block_end, &idx) < 0) return DULSE_TRACEBACK(routine), -1;

  for (Py_ssize_t i = idx - 1; i >= 0; --i) {
    int done = ends_before(prefix_max_ends.get(), i, block_start);
    if (done < 0) return DULSE_TRACEBACK(routine), -1;
    if (done) return 0;
    GeneInterval interval;
    if (read_interval(intervals.get(), i, &interval) < 0) return DULSE_TRACEBACK(routine), -1;
    if (!overlaps(interval.start, interval.end, block_start, block_end)) continue;
    int passes = _strand_matches(record, interval.strand.get(), strand_mode);
    if (passes < 0) return DULSE_TRACEBACK(routine), -1;
    if (!passes) continue;
    if (PySet_Add(gene_set, interval.gene.get()) < 0) return DULSE_TRACEBACK(routine), -1;
    if (PySet_GET_SIZE(gene_set) > 1) return 1;
  }
  return 0;
}

}  // namespace dulse
