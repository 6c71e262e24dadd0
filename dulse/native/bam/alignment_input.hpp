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

  int open(const char* path);
  // 1 a record is in place, 0 the end, -1 an error (message() says what and where).
  int next();
  const Record& record() const { return is_sam_ ? sam_.record() : bam_.record(); }

  const std::vector<std::string>& reference_names() const {
    return is_sam_ ? sam_.reference_names() : bam_.reference_names();
  }
  SortOrder sort_order() const { return sort_order_; }
  bool is_sam() const { return is_sam_; }
  // A BAM file whose last block is not the end-of-file block: it may have been cut short
  // exactly at a block boundary.
  bool lacks_eof_marker() const { return !is_sam_ && !bam_.has_eof_marker(); }
  const std::string& message() const { return message_; }
  uint64_t records() const { return records_; }

 private:
  int unusable(std::string message) {
    message_ = std::move(message);
    return kUnusable;
  }
  void describe_bam_error(int code);

  Reader bam_;
  SamReader sam_;
  bool is_sam_ = false;
  SortOrder sort_order_ = SortOrder::kUnknown;
  std::string message_;
  uint64_t records_ = 0;
};

}  // namespace dulse::bam
