// The lines of an annotation text, numbered from 1 as editors number them: a line ends at a
// line feed, a carriage return or both; a UTF-8 byte-order mark before the first line is
// dropped. Every line is checked to be UTF-8 text without control characters other than tabs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/text_stream.hpp"

namespace dulse::annotation {

class LineReader {
 public:
  LineReader(TextStream& stream, std::string shown);

  // The next line, without its line break; false at the end of the text. The view lives until
  // the next call. Throws ReadError for a line that is not clean text, or a stream that fails.
  bool next(std::string_view& line);
  long number() const { return number_; }

  // Keeps every line from here on in memory, until replay() goes back to them: the format is
  // told from the first lines before they are read for good.
  void hold();
  void replay();

 private:
  void start();
  bool fill();

  TextStream& stream_;
  std::string shown_;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  size_t searched_ = 0;  // bytes from begin_ known to hold no line feed
  bool at_end_ = false;
  bool holding_ = false;
  size_t held_ = 0;  // where the held lines begin
  long held_number_ = 0;
  bool started_ = false;
  long number_ = 0;
};

}  // namespace dulse::annotation
