#include "annotation/annotation_reader.hpp"

#include "annotation/line_reader.hpp"
#include "annotation/read_context.hpp"
#include "annotation/read_error.hpp"
#include "annotation/table_builder.hpp"
#include "annotation/text_checks.hpp"
#include "annotation/text_stream.hpp"

namespace dulse::annotation {

namespace {

[[noreturn]] void fail(const std::string& message) {
  throw ReadError(ErrorKind::kMalformed, message);
}

// 'exon', 'exon' or 'CDS', 'a', 'b' or 'c'.
std::string listed(const std::vector<std::string>& names) {
  std::string out;
  for (size_t k = 0; k < names.size(); ++k) {
    if (k > 0) out += k + 1 == names.size() ? " or " : ", ";
    out += "'" + names[k] + "'";
  }
  return out;
}

bool has_control(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
  }
  return false;
}

}  // namespace

ReadResult read_annotation(const ReadOptions& options) {
  const std::string& shown = options.shown;
  const Selection& selection = options.selection;
  TextStream stream;
  stream.open(options.path, shown);
  LineReader lines(stream, shown);

  std::optional<Format> format = options.format;
  if (!format) format = sniff_format(lines);
  if (!format) format = format_from_name(shown);
  if (!format) fail(shown + ": cannot tell whether this is GTF, GFF3 or SAF; name the format");
  if (*format == Format::kSaf && !selection.extra_attributes.empty()) {
    fail(shown + ": a SAF file has no attributes to carry to the outputs (asked for " +
         listed(selection.extra_attributes) + ")");
  }

  ReadResult result;
  result.format = *format;
  for (const std::string& name : selection.extra_attributes) {
    result.table.extras.emplace_back();
    result.table.extras.back().name = name;
  }
  ReadContext context(shown, options.skip_missing);
  TableBuilder builder(result.table, selection.extra_attributes.size());
  if (*format == Format::kGtf) {
    read_gtf(lines, context, selection, builder);
  } else if (*format == Format::kGff3) {
    read_gff3(lines, context, selection, builder);
  } else {
    read_saf(lines, context, builder);
  }

  for (int32_t g = 0; g < builder.n_genes(); ++g) {
    if (has_control(builder.gene(g))) {
      fail(shown + " line " + std::to_string(builder.first_line(g)) + ": gene ID " +
           quoted(builder.gene(g)) + " contains a tab, line break or other control character");
    }
  }
  if (builder.n_genes() == 0) {
    if (*format == Format::kSaf) fail(shown + ": no features");
    std::string types;
    for (const std::string& type : context.other_types(12)) {
      types += (types.empty() ? "" : ", ") + type;
    }
    fail(shown + ": no " + listed(selection.feature_types) +
         " features with a gene (feature types in the file: " + (types.empty() ? "none" : types) +
         ")");
  }
  builder.finish();
  result.skipped = context.skipped();
  result.first_skipped_line = context.first_skipped_line();
  result.first_skipped_message = context.first_skipped_message();
  return result;
}

}  // namespace dulse::annotation
