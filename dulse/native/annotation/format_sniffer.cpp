#include "annotation/format_sniffer.hpp"

#include <string_view>

#include "annotation/read_context.hpp"

namespace dulse::annotation {

namespace {

bool space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return out;
}

std::string_view stripped(std::string_view s) {
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

bool digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// `##gff-version N`: 3 means GFF3, 2 means GTF (GFF2's descendant), anything else says nothing.
std::optional<Format> from_version(std::string_view line) {
  std::string_view rest = line.substr(13);
  if (!rest.empty() && !space(rest.front())) return std::nullopt;  // `##gff-versionX`
  rest = stripped(rest);
  if (rest.empty()) return std::nullopt;
  if (rest.front() == '3') return Format::kGff3;
  if (rest.front() == '2') return Format::kGtf;
  return std::nullopt;
}

// The first attribute's separator: `=` means GFF3, a space GTF.
std::optional<Format> from_attributes(std::string_view column) {
  size_t k = 0;
  while (k < column.size() && space(column[k])) ++k;
  size_t key = k;
  while (k < column.size() && !space(column[k]) && column[k] != '=' && column[k] != ';' &&
         column[k] != '"') {
    ++k;
  }
  if (k == key || k == column.size()) return std::nullopt;
  if (column[k] == '=') return Format::kGff3;
  if (space(column[k])) return Format::kGtf;
  return std::nullopt;
}

std::optional<Format> from_line(std::string_view line) {
  if (line.compare(0, 13, "##gff-version") == 0) {
    if (auto found = from_version(line)) return found;
  }
  if (line.empty() || line[0] == '#' || stripped(line).empty() || browser_line(line)) {
    return std::nullopt;
  }
  std::string_view columns[9];
  const size_t n = split_columns(line, columns, 9);
  if (n >= 5 && lower(stripped(columns[0])) == "geneid") return Format::kSaf;
  if (n >= 5 && digits(columns[2]) && digits(columns[3])) return Format::kSaf;
  if (n >= 9) return from_attributes(columns[8]);
  return std::nullopt;
}

}  // namespace

const char* format_name(Format format) {
  return format == Format::kGtf ? "GTF" : format == Format::kGff3 ? "GFF3" : "SAF";
}

std::optional<Format> sniff_format(LineReader& reader, int lines) {
  reader.hold();
  std::optional<Format> found;
  std::string_view line;
  for (int k = 0; k < lines && !found && reader.next(line); ++k) found = from_line(line);
  reader.replay();
  return found;
}

std::optional<Format> format_from_name(const std::string& path) {
  std::string name = path;
  if (name.size() >= 3 && name.compare(name.size() - 3, 3, ".gz") == 0) {
    name.resize(name.size() - 3);
  }
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      dot == slash + 1 || (slash == std::string::npos && dot == 0)) {
    return std::nullopt;
  }
  const std::string extension = lower(std::string_view(name).substr(dot));
  if (extension == ".gtf") return Format::kGtf;
  if (extension == ".gff3") return Format::kGff3;
  if (extension == ".saf") return Format::kSaf;
  return std::nullopt;
}

}  // namespace dulse::annotation
