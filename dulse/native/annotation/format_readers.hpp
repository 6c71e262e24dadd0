// The line readers of the three formats. Each hands the features of the selected types to a
// TableBuilder, with 0-based, half-open coordinates, in file order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "annotation/line_reader.hpp"
#include "annotation/read_context.hpp"
#include "annotation/table_builder.hpp"

namespace dulse::annotation {

struct Selection {
  std::vector<std::string> feature_types;    // third column; a feature of any of them counts
  std::vector<std::string> gene_attributes;  // several make one ID, joined with ':'
  std::vector<std::string> extra_attributes;

  bool selects(std::string_view type) const {
    for (const std::string& wanted : feature_types) {
      if (type == wanted) return true;
    }
    return false;
  }
};

void read_gtf(LineReader& lines, ReadContext& context, const Selection& selection,
              TableBuilder& builder);
void read_gff3(LineReader& lines, ReadContext& context, const Selection& selection,
               TableBuilder& builder);
void read_saf(LineReader& lines, ReadContext& context, TableBuilder& builder);

}  // namespace dulse::annotation
