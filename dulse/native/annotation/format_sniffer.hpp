// GTF, GFF3 or SAF, told from the first lines of a file, else from its name.
#pragma once

#include <optional>
#include <string>

#include "annotation/line_reader.hpp"

namespace dulse::annotation {

enum class Format { kGtf, kGff3, kSaf };

const char* format_name(Format format);

// Reads up to `lines` lines and goes back to where it started; no answer when they do not
// tell (comments and blank lines only, or columns of no known shape).
std::optional<Format> sniff_format(LineReader& reader, int lines = 200);

// From the name's extension (.gtf, .gff3, .saf, each maybe with .gz).
std::optional<Format> format_from_name(const std::string& path);

}  // namespace dulse::annotation
