// SAM text read into the same record form as BAM: each line is encoded as a BAM record would
// hold it (CIGAR operations, aux fields in binary), so that everything after the reader sees one
// kind of record. Sequence and qualities are not kept (counting never reads them) unless whole
// records are asked for, to be written out again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "bam/bam_reader.hpp"
#include "bam/file_source.hpp"

namespace dulse::bam {

class SamReader {
 public:
  static constexpr int kEnd = -1;
  static constexpr int kBadLine = -2;  // error() says what and line() where
  static constexpr int kReadFailed = -3;  // the file could not be read (errno)

  // Before open(): keep each record whole (core, sequence and qualities as BAM holds them, in
  // Record::core and Record::body) and the header's text.
  void set_whole_records(bool whole) { whole_ = whole; }
  // Before open(): keep the header's text (without whole records).
  void set_keep_header_text(bool keep) { keep_header_text_ = keep; }

  // Reads the header lines. 0, or kBadLine / kReadFailed.
  int open(FileSource&& source);

  // 1 with a record in place, or one of the codes above; after a code <= 0 it stays there.
  int next();
  const Record& record() const { return record_; }

  const std::vector<std::string>& reference_names() const { return names_; }
  const std::string& hd_line() const { return hd_line_; }
  // With whole records or the header's text kept: the header lines, each with its line break.
  const std::string& header_text() const { return header_text_; }
  // The @SQ lengths (0 where a line has no LN).
  const std::vector<uint32_t>& reference_lengths() const { return lengths_; }
  const std::string& error() const { return error_; }
  uint64_t line() const { return line_; }

 private:
  // The next line without its line break, or false at the end (or on a read error).
  bool next_line(const char** text, size_t* length);
  // Hands out the first n bytes of the buffer (after what long_line_ gathered) and consumes
  // them with their line break of `terminator` bytes.
  void deliver(size_t n, size_t terminator, const char** text, size_t* length);
  int parse_header_line(const char* text, size_t length);
  int parse_record(const char* text, size_t length);
  // Sequence and qualities into body_, and the core, for a whole record.
  void complete_record(Record& r, const char* seq, size_t seq_length, const char* qual,
                       size_t qual_length, size_t aux_start);
  int fail(std::string message) {
    error_ = std::move(message);
    return finished_ = kBadLine;
  }

  FileSource source_;
  std::vector<std::string> names_;
  std::unordered_map<std::string, int32_t> tids_;
  std::string hd_line_;
  std::string error_;
  uint64_t line_ = 0;
  int finished_ = 0;
  // A line that arrived with the header, read before it was known not to be one.
  bool held_ = false;
  std::string held_line_;
  std::string long_line_;  // a line longer than the source's buffer, gathered
  std::vector<uint8_t> body_;  // name, CIGAR and aux of the current record
  Record record_{};
  bool whole_ = false;
  bool keep_header_text_ = false;
  std::string header_text_;
  std::vector<uint32_t> lengths_;
  uint8_t core_[kCoreLength] = {};
};

}  // namespace dulse::bam
