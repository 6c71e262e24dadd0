// Alignment records written out again, as SAM text or as BAM (BGZF): the input's header first,
// then whole records as BAM stores them (block length, core, body), each with whatever tags
// its writer has added to it. The one home of that encoding for every per-read output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bam/alignment_input.hpp"
#include "bam/bgzf_writer.hpp"
#include "bam/output_file.hpp"
#include "bam/record_decoder.hpp"

namespace dulse::bam {

class RecordOutput {
 public:
  enum class Format { kText, kSam, kBam };

  explicit RecordOutput(Format format) : format_(format) {}

  // Creates `path`; for SAM and BAM, writes the header the input's records need. False with
  // error() set. BAM is compressed on `threads` threads (see BgzfWriter::open).
  bool open(const char* path, const AlignmentInput& input, int threads = 1);
  // Bytes as they are (lines of text).
  bool write(const void* data, size_t n);
  // A whole record: its block length is set from its size, then it is written as a SAM line
  // or as BAM bytes.
  bool write_record(std::vector<uint8_t>& record);
  // A whole record whose block length is already set.
  bool write_record(const uint8_t* record, size_t n);
  // False with error() set when anything could not be written.
  bool close();
  int error() const;
  bool failed() const { return failed_; }

 private:
  Format format_;
  std::vector<std::string> names_;  // the input's references
  OutputFile text_;
  BgzfWriter bgzf_;
  bool failed_ = false;
  std::string line_;
};

// A stored record (block length, core, body) as the decoder's view of it.
Record view_of(const uint8_t* stored, size_t n);

// A stored record's name, without its NUL.
std::string_view stored_name(const std::vector<uint8_t>& stored);

// Appends one tag and its value's bytes (a Z value with its NUL) to a stored record.
void append_tag(std::vector<uint8_t>& record, const char name[2], char type, const void* value,
                size_t n);

}  // namespace dulse::bam
