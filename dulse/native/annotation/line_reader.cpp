#include "annotation/line_reader.hpp"

#include <cstdio>
#include <cstring>

#include "annotation/read_error.hpp"
#include "annotation/text_checks.hpp"

namespace dulse::annotation {

namespace {
constexpr size_t kBuffer = size_t{1} << 20;
}

LineReader::LineReader(TextStream& stream, std::string shown)
    : stream_(stream), shown_(std::move(shown)), buffer_(kBuffer) {}

bool LineReader::fill() {
  if (at_end_) return false;
  const size_t keep = holding_ ? held_ : begin_;
  if (keep > 0) {
    std::memmove(buffer_.data(), buffer_.data() + keep, end_ - keep);
    end_ -= keep;
    begin_ -= keep;
    held_ -= holding_ ? keep : 0;
  }
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);  // a line longer than all
  size_t got = stream_.read(buffer_.data() + end_, buffer_.size() - end_);
  if (got == 0) {
    at_end_ = true;
    return false;
  }
  end_ += got;
  return true;
}

void LineReader::hold() {
  start();
  holding_ = true;
  held_ = begin_;
  held_number_ = number_;
}

void LineReader::replay() {
  holding_ = false;
  begin_ = held_;
  number_ = held_number_;
  searched_ = 0;
}

void LineReader::start() {
  if (!started_) {
    started_ = true;
    while (end_ - begin_ < 3 && fill()) {
    }
    if (end_ - begin_ >= 3 && std::memcmp(buffer_.data() + begin_, "\xef\xbb\xbf", 3) == 0) {
      begin_ += 3;
    }
  }
}

bool LineReader::next(std::string_view& line) {
  start();
  for (;;) {
    const char* from = buffer_.data() + begin_;
    const size_t left = end_ - begin_;
    const void* found = std::memchr(from + searched_, '\n', left - searched_);
    size_t length;
    size_t after;  // bytes from begin_ to the next line
    if (found != nullptr) {
      length = static_cast<size_t>(static_cast<const char*>(found) - from);
      after = length + 1;
    } else if (at_end_) {
      if (left == 0) return false;
      length = after = left;
    } else {
      searched_ = left;
      fill();
      continue;
    }
    TextScan scan = scan_text(from, length);
    ++number_;
    if (scan.what == TextScan::kCarriageReturn) {
      // A carriage return ends the line; right before a line feed the two make one break.
      after = scan.at + 1 == length ? after : scan.at + 1;
      length = scan.at;
    } else if (scan.what == TextScan::kControl) {
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02x", static_cast<unsigned char>(from[scan.at]));
      throw ReadError(ErrorKind::kMalformed, shown_ + " line " + std::to_string(number_) +
                                                 ": contains the control character " + byte);
    } else if (scan.what == TextScan::kNotUtf8) {
      throw ReadError(ErrorKind::kMalformed,
                      shown_ + " line " + std::to_string(number_) + ": not UTF-8 text");
    }
    line = std::string_view(from, length);
    begin_ += after;
    searched_ = 0;
    return true;
  }
}

}  // namespace dulse::annotation
