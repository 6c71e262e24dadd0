// A whole record (Record::core and Record::body) as a SAM line, without its line break.
#pragma once

#include <string>
#include <vector>

#include "bam/record_decoder.hpp"

namespace dulse::bam {

// Appends the record's eleven fields and its aux fields, tab-separated, to `out`.
void append_sam_line(const Record& record, const std::vector<std::string>& names,
                     std::string& out);

}  // namespace dulse::bam
