#include "annotation/read_context.hpp"

#include <algorithm>
#include <cstring>

#include "annotation/read_error.hpp"
#include "annotation/text_checks.hpp"

namespace dulse::annotation {

namespace {

constexpr int64_t kInt32Max = 2147483647;

bool digits_only(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A whole number of any length, compared and shown without its leading zeros.
struct Whole {
  std::string_view digits;
  explicit Whole(std::string_view text) : digits(text) {
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  }
  int compare(const Whole& other) const {
    if (digits.size() != other.digits.size()) return digits.size() < other.digits.size() ? -1 : 1;
    return digits.compare(other.digits) < 0 ? -1 : digits == other.digits ? 0 : 1;
  }
  bool fits() const { return digits.size() <= 10 && value() <= kInt32Max; }
  int64_t value() const {
    int64_t v = 0;
    for (char c : digits) v = v * 10 + (c - '0');
    return v;
  }
  std::string text() const { return std::string(digits); }
};

}  // namespace

void ReadContext::fail(long line, const std::string& message) const {
  throw ReadError(ErrorKind::kMalformed, shown_ + " line " + std::to_string(line) + ": " + message);
}

void ReadContext::missing(long line, const std::string& message) {
  if (!skip_missing_) {
    throw ReadError(ErrorKind::kMissingGene,
                    shown_ + " line " + std::to_string(line) + ": " + message);
  }
  if (skipped_++ == 0) {
    first_skipped_line_ = line;
    first_skipped_message_ = message;
  }
}

std::vector<std::string> ReadContext::other_types(size_t limit) const {
  std::vector<std::string> types;
  for (int32_t k = 0; k < other_types_.size(); ++k) types.emplace_back(other_types_[k]);
  std::sort(types.begin(), types.end());
  if (types.size() > limit) types.resize(limit);
  return types;
}

size_t split_columns(std::string_view line, std::string_view* columns, size_t max) {
  size_t n = 0;
  const char* p = line.data();
  const char* end = p + line.size();
  while (n + 1 < max) {
    const void* tab = std::memchr(p, '\t', static_cast<size_t>(end - p));
    if (tab == nullptr) break;
    const char* t = static_cast<const char*>(tab);
    columns[n++] = std::string_view(p, static_cast<size_t>(t - p));
    p = t + 1;
  }
  columns[n++] = std::string_view(p, static_cast<size_t>(end - p));
  return n;
}

size_t count_columns(std::string_view line) {
  return 1 + static_cast<size_t>(std::count(line.begin(), line.end(), '\t'));
}

bool blank_line(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t'; });
}

bool browser_line(std::string_view line) {
  if (line.empty() || (line[0] != 't' && line[0] != 'b')) return false;
  for (std::string_view word : {std::string_view("track"), std::string_view("browser")}) {
    if (line.size() >= word.size() && line.compare(0, word.size(), word) == 0 &&
        (line.size() == word.size() || line[word.size()] == ' ')) {
      return true;
    }
  }
  return false;
}

void read_interval(const ReadContext& context, long line, std::string_view start_text,
                   std::string_view end_text, int32_t* start, int32_t* end) {
  if (digits_only(start_text) && digits_only(end_text)) {
    const Whole s(start_text), e(end_text);
    const Whole one("1");
    if (s.compare(one) >= 0 && s.compare(e) <= 0 && e.fits()) {
      *start = static_cast<int32_t>(s.value() - 1);
      *end = static_cast<int32_t>(e.value());
      return;
    }
    if (s.compare(one) < 0) {
      context.fail(line, "start must be at least 1 (coordinates are 1-based)");
    }
    if (e.compare(s) < 0) context.fail(line, "end " + e.text() + " is before start " + s.text());
    context.fail(line, "end " + e.text() + " is beyond " + std::to_string(kInt32Max));
  }
  context.fail(line, "start and end must be whole numbers, not " + quoted(start_text) + " and " +
                         quoted(end_text));
}

char read_place(const ReadContext& context, long line, std::string_view contig,
                std::string_view strand) {
  if (contig.empty()) context.fail(line, "the contig name is empty");
  if (strand.size() != 1 || std::strchr("+-.?", strand[0]) == nullptr) {
    context.fail(line, "strand must be +, - or ., not " + quoted(strand));
  }
  return strand[0];
}

}  // namespace dulse::annotation
