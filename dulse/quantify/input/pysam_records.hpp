// Records as pysam's AlignedSegment objects, or any object that answers the same attributes
// and calls: every operation goes through Python attribute access and calls.
#pragma once

#include <Python.h>

#include <cstdint>

#include "support/names.hpp"
#include "py/py_ref.hpp"

namespace dulse {

class PysamRecord {
 public:
  int is_unmapped() { return flag(names.is_unmapped); }
  int is_secondary() { return flag(names.is_secondary); }
  int is_supplementary() { return flag(names.is_supplementary); }
  int is_reverse() { return flag(names.is_reverse); }
  int below_mapq(int32_t mapq_min);
  int has_nh();
  int nh(int32_t* out);
  // The record's `reference_id`, unchanged, as a new reference.
  PyRef reference_id();

  // The blocks of get_blocks(): an exact list or tuple is walked by position (its length read
  // anew at every step), anything else through Python iteration; each block's items 0 and 1 are
  // read directly from an exact list or tuple and through subscription otherwise.
  class Blocks {
   public:
    int open(PysamRecord& record);
    int next(int32_t* start, int32_t* end);

   private:
    PyRef list_;
    PyRef iterator_;
    Py_ssize_t position_ = 0;
  };

  void reset(PyObject* record) { obj_.reset(record); }

 private:
  int flag(PyObject* name);

  PyRef obj_;
};

// The records of an open file, as its fetch(until_eof=True) yields them. The source holds one
// record at a time; fetching the next one releases the previous.
class PysamRecordSource {
 public:
  // Calls fetch(until_eof=True) on the file and starts the iteration. 0, or -1.
  int open(PyObject* file);
  // 1 with the next record in place, 0 at the end, -1 with the exception set.
  int next();
  PysamRecord& record() { return record_; }

 private:
  PyRef iterator_;
  PysamRecord record_;
};

}  // namespace dulse
