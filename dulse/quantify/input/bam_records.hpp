// Records decoded from the BAM bytes, answering the core's record operations with the values
// pysam's record objects give for the same record.
#pragma once

#include <Python.h>

#include <cstdint>

#include "bam/bam_reader.hpp"
#include "py/py_ref.hpp"

namespace dulse {

class BamRecord {
 public:
  void bind(const bam::Record* record) {
    record_ = record;
    nh_ = nullptr;
  }
  // Counts the times a record ran Python code (for an NH value of an unusual type), so that the
  // run knows when its native copies of the index may be stale.
  void watch(uint64_t* python_runs) { python_runs_ = python_runs; }

  int is_unmapped() const { return (record_->flag & 0x4) != 0; }
  int is_secondary() const { return (record_->flag & 0x100) != 0; }
  int is_supplementary() const { return (record_->flag & 0x800) != 0; }
  int is_reverse() const { return (record_->flag & 0x10) != 0; }
  int below_mapq(int32_t mapq_min) const { return record_->mapq < mapq_min; }
  int32_t tid() const { return record_->tid; }

  int has_nh() {
    nh_ = bam::find_aux(*record_, "NH");
    return nh_ != nullptr;
  }
  // The NH value as get_tag delivers it, converted as the weight converts any value. Integer,
  // floating and character values are decoded here; text and arrays, which no aligner writes,
  // become the Python objects pysam would make.
  int nh(int32_t* out);

  // Blocks as pysam's get_blocks() computes them: from the record's position, in unsigned 32-bit
  // arithmetic, M, = and X emit a block and advance, D and N advance, other operations do
  // nothing. A position that does not fit in 32 signed bits fails the conversion when its block
  // is reached.
  class Blocks {
   public:
    int open(const BamRecord& record) {
      op_ = record.record_->cigar;
      end_ = op_ + 4 * static_cast<size_t>(record.record_->n_cigar);
      position_ = static_cast<uint32_t>(record.record_->pos);
      return op_ != end_;
    }
    int next(int32_t* start, int32_t* end);

   private:
    const uint8_t* op_ = nullptr;
    const uint8_t* end_ = nullptr;
    uint32_t position_ = 0;
  };

 private:
  const bam::Record* record_ = nullptr;
  const uint8_t* nh_ = nullptr;  // the NH tag's type byte, once has_nh() found it
  uint64_t* python_runs_ = nullptr;
};

// The records of a BAM file read by our own decoder, beside pysam's open `file`.
class BamRecordSource {
 public:
  BamRecordSource(bam::Reader& reader, PyObject* file, uint64_t* python_runs)
      : reader_(reader), file_(PyRef::borrow(file)) {
    record_.watch(python_runs);
  }
  int next();
  BamRecord& record() { return record_; }

 private:
  int raise_read_error(int status);

  bam::Reader& reader_;
  PyRef file_;
  BamRecord record_;
};

// Opens `reader` on the file that pysam opened, when the records can be read natively: `pysam`
// is the module imported at start-up, its AlignmentFile is the class seen then, `file` is exactly
// of that class, and its filename names a regular file that is a BGZF-compressed BAM. 1 when the
// reader is open, 0 otherwise (nothing raised).
int open_native_reader(PyObject* pysam, PyObject* file, bam::Reader& reader);

// Remembers the pysam module imported at start-up. 0, or -1 with the exception set.
int remember_startup_pysam(PyObject* pysam);

}  // namespace dulse
