// An alignment file of any kind the engine reads: BAM (BGZF or plain gzip) or SAM text, from a
// regular file or a stream, opened once and read front to back. What goes wrong is said in
// words, with where it happened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bam/bam_reader.hpp"
#include "bam/sam_reader.hpp"

namespace dulse::bam {

enum class SortOrder { kUnknown, kUnsorted, kQueryName, kCoordinate };

class AlignmentInput {
 public:
  // open(): 0, or a negative code with message() set. kCannotOpen leaves errno set.
  static constexpr int kCannotOpen = -1;
  static constexpr int kUnusable = -2;  // not a file of a kind that can be read

  // `interruption`, when given, is asked whether to give up when a signal interrupts a
  // blocked open or read.
  int open(const char* path, Interruption* interruption = nullptr);
  // featureCounts' reading of BAM files, before open(): see Reader::set_lenient.
  void set_lenient(bool lenient) { bam_.set_lenient(lenient); }
  bool lenient() const { return bam_.lenient(); }
  // Before open(): records kept whole, with the header's text, for writing them out again.
  void set_whole_records(bool whole) {
    bam_.set_keep_text(whole);
    sam_.set_whole_records(whole);
  }
  // Before open(): the header's text kept, records or not.
  void keep_header_text() {
    bam_.set_keep_text(true);
    sam_.set_keep_header_text(true);
  }
  const std::string& header_text() const {
    return is_sam_ ? sam_.header_text() : bam_.header_text();
  }
  const std::vector<uint32_t>& reference_lengths() const {
    return is_sam_ ? sam_.reference_lengths() : bam_.reference_lengths();
  }
  // 1 a record is in place, 0 the end, -1 an error (message() says what and where).
  int next();
  const Record& record() const { return is_sam_ ? sam_.record() : bam_.record(); }
  // See Reader::ahead (SAM text: null).
  const uint8_t* ahead(int k) const { return is_sam_ ? nullptr : bam_.ahead(k); }

  const std::vector<std::string>& reference_names() const {
    return is_sam_ ? sam_.reference_names() : bam_.reference_names();
  }
  SortOrder sort_order() const { return sort_order_; }
  bool is_sam() const { return is_sam_; }
  // A BAM file whose last block is not the end-of-file block: it may have been cut short
  // exactly at a block boundary.
  bool lacks_eof_marker() const {
    return !is_sam_ && !bam_.plain_gzip() && !bam_.has_eof_marker() && !eof_marker_seen_;
  }
  const std::string& message() const { return message_; }
  uint64_t records() const { return records_; }

  // For readers of the rest of a BAM file's blocks (after the header): see Reader::detach.
  bool detach(FileSource* source, ByteBuffer* rest) {
    return !is_sam_ && bam_.detach(source, rest);
  }
  int32_t n_targets() const { return bam_.n_targets(); }
  const RecordDecoder& decoder() const { return bam_.decoder(); }
  uint64_t blocks_loaded() const { return bam_.blocks_loaded(); }
  // What a reader of the detached blocks saw at the end of a stream.
  void note_eof_marker(bool seen) { eof_marker_seen_ = seen; }

  // A read error in words: a RecordDecoder code, whether it came from a block that could not
  // be read (its number then), and the number of the record being read.
  static std::string describe_read_error(int code, bool block_failed, uint64_t block,
                                         uint64_t record, const RecordDecoder* decoder = nullptr);

 private:
  int unusable(std::string message) {
    message_ = std::move(message);
    return kUnusable;
  }

  Reader bam_;
  SamReader sam_;
  bool is_sam_ = false;
  SortOrder sort_order_ = SortOrder::kUnknown;
  std::string message_;
  uint64_t records_ = 0;
  bool eof_marker_seen_ = false;
};

}  // namespace dulse::bam
