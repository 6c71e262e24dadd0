// The file being read, as every format reader sees it: where errors point, what was left out,
// and the feature types met that were not asked for (named when none was).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/interner.hpp"

namespace dulse::annotation {

class ReadContext {
 public:
  ReadContext(std::string shown, bool skip_missing)
      : shown_(std::move(shown)), skip_missing_(skip_missing) {}

  const std::string& shown() const { return shown_; }

  [[noreturn]] void fail(long line, const std::string& message) const;
  // A feature whose gene is unknown: an error, or (when skipping) left out and counted.
  void missing(long line, const std::string& message);

  // A feature type seen on a line that was not selected.
  void saw_type(std::string_view type) {
    if (type != last_type_) last_type_ = other_types_[other_types_.intern(type)];
  }
  // The types seen, sorted, at most `limit` of them.
  std::vector<std::string> other_types(size_t limit) const;

  long skipped() const { return skipped_; }
  long first_skipped_line() const { return first_skipped_line_; }
  const std::string& first_skipped_message() const { return first_skipped_message_; }

 private:
  std::string shown_;
  bool skip_missing_;
  long skipped_ = 0;
  long first_skipped_line_ = 0;
  std::string first_skipped_message_;
  Interner other_types_;
  std::string_view last_type_;
};

// The columns of a line cut at tabs: at most `max`, the last keeping any further tabs.
// Returns how many there are (a line without tabs is one column).
size_t split_columns(std::string_view line, std::string_view* columns, size_t max);
// All the columns a line has, counted.
size_t count_columns(std::string_view line);
// Empty, or spaces and tabs only.
bool blank_line(std::string_view line);
// A line of the UCSC browser's own (`track ...`, `browser ...`), passed over like a comment.
bool browser_line(std::string_view line);

// The 0-based, half-open interval of 1-based, inclusive start and end columns.
void read_interval(const ReadContext& context, long line, std::string_view start_text,
                   std::string_view end_text, int32_t* start, int32_t* end);
// Checks the contig and strand columns; the strand's letter ('+', '-', '.' or '?').
char read_place(const ReadContext& context, long line, std::string_view contig,
                std::string_view strand);

}  // namespace dulse::annotation
