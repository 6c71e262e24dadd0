// SAF: GeneID, Chr, Start, End and Strand in tab-separated columns (more are allowed), with an
// optional header line.
#include <string>

#include "annotation/format_readers.hpp"

namespace dulse::annotation {

namespace {

bool header_name(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (text.size() != 6) return false;
  for (size_t k = 0; k < 6; ++k) {
    char c = text[k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != "geneid"[k]) return false;
  }
  return true;
}

bool digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

void read_saf(LineReader& lines, ReadContext& context, TableBuilder& builder) {
  bool first = true;
  std::string_view line;
  std::string_view columns[6];
  while (lines.next(line)) {
    if (!line.empty() && line[0] == '#') continue;
    if (browser_line(line)) continue;
    const long number = lines.number();
    if (split_columns(line, columns, 6) < 5) {
      if (blank_line(line)) continue;
      context.fail(number, "expected 5 tab-separated columns, found " +
                               std::to_string(count_columns(line)));
    }
    const std::string_view gene = columns[0], contig = columns[1], strand = columns[4];
    if (first) {
      first = false;
      if (header_name(gene) && !digits(columns[2])) continue;
    }
    int32_t start, end;
    read_interval(context, number, columns[2], columns[3], &start, &end);
    const char letter = read_place(context, number, contig, strand);
    if (gene.empty()) {
      context.missing(number, "the gene ID is empty");
      continue;
    }
    builder.add(contig, start, end, gene, letter, number, nullptr);
  }
}

}  // namespace dulse::annotation
