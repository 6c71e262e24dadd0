// Reading an annotation file (GTF, GFF3 or SAF, gzipped or not) into a FeatureTable, in one
// pass over a stream.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "annotation/feature_table.hpp"
#include "annotation/format_readers.hpp"
#include "annotation/format_sniffer.hpp"

namespace dulse::annotation {

struct ReadOptions {
  std::string path;                // as open(2) takes it
  std::string shown;               // as messages name it
  std::optional<Format> format;    // told from the file when not given
  Selection selection;             // GTF and GFF3 only
  bool skip_missing = false;       // leave out features whose gene is unknown, else fail
};

struct ReadResult {
  FeatureTable table;
  Format format = Format::kGtf;
  long skipped = 0;                // features left out for want of a gene
  long first_skipped_line = 0;
  std::string first_skipped_message;
};

// Throws ReadError, whose message names the file (and line), for anything unreadable or
// malformed.
ReadResult read_annotation(const ReadOptions& options);

}  // namespace dulse::annotation
