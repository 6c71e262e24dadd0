// The ninth column of GTF and GFF3 lines: attributes separated by semicolons, each written
// `key "value"`, `key value` or `key=value` whatever the format says. A quoted value may hold
// semicolons and, escaped with a backslash, quotes and backslashes; an unquoted value after
// `=` runs to the next semicolon (trimmed), one after a space is a single word.
#pragma once

#include <string>
#include <string_view>

namespace dulse::annotation {

struct Attribute {
  std::string_view key;
  std::string_view text;   // the value as written, inside the quotes when quoted
  std::string_view whole;  // the attribute, trimmed, as far as its semicolon (for messages)
  bool has_value = false;
  bool quoted = false;
};

class AttributeScanner {
 public:
  explicit AttributeScanner(std::string_view column) : column_(column) {}
  // The next attribute; false after the last one. Empty parts (`;;`) are passed over.
  bool next(Attribute& out);

 private:
  std::string_view column_;
  size_t at_ = 0;
};

// The value of `a`: its text with the backslash escapes of a quoted value undone (into
// `scratch` when there are any).
std::string_view attribute_value(const Attribute& a, std::string& scratch);

// GFF3's percent escapes undone as Python's urllib.parse.unquote does (bytes that are not
// UTF-8 become U+FFFD), appended to `out`.
void percent_decode(std::string_view text, std::string& out);

}  // namespace dulse::annotation
