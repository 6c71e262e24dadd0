// What a line of an annotation may hold: UTF-8 text without control characters other than
// tabs. A carriage return ends a line, as a line feed does.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace dulse::annotation {

struct TextScan {
  enum What { kClean, kCarriageReturn, kControl, kNotUtf8 };
  What what;
  size_t at;  // the offset of the byte found (n when clean)
};

// The first byte of p[0, n) that is a carriage return, a control character or not part of
// valid UTF-8.
TextScan scan_text(const char* p, size_t n);

// `text` (valid UTF-8) quoted as Python's repr() shows a str, for messages.
std::string quoted(std::string_view text);

}  // namespace dulse::annotation
