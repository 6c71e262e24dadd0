// What the quantification core asks of an alignment record.
//
// The record loop, the weight and the assignment are templates over a record type; two record
// sources provide one (pysam's record objects, and records decoded from the BAM bytes). Every
// operation answers 1 (true) or 0 (false), or -1 with a Python exception set:
//
//   int is_unmapped();  int is_secondary();  int is_supplementary();  int is_reverse();
//   int below_mapq(int32_t mapq_min);      // mapping quality < mapq_min
//   int has_nh();                          // the record carries an NH tag
//   int nh(int32_t* out);                  // 0: *out is the NH value; 1: the value does not
//                                          // convert (TypeError/ValueError, already cleared)
//   typename Record::Blocks                // cursor over the aligned blocks:
//       int open(Record&);                 //   1 when the block list is true, 0 when false
//       int next(int32_t* start, int32_t* end);   // 1 a block, 0 the end
//
// Blocks are 0-based, end-exclusive; next() converts each block's start and then its end with
// the signed 32-bit conversion, so a block that does not convert fails exactly when it is reached.
#pragma once
