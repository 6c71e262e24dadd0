// The interval index of dulse.quantify._core_fast: per contig, each gene's intervals on each
// strand with overlapping and touching ones merged (a '.' feature stands on both strands),
// sorted by start. Merging leaves the set of genes under every base, and so every assignment,
// unchanged.
#pragma once

#include <cstdint>
#include <vector>

#include "annotation/feature_columns.hpp"

namespace dulse::annotation {

struct MergedIntervals {
  std::vector<int32_t> contig;  // contig by contig, in contig order
  std::vector<int32_t> start;
  std::vector<int32_t> end;
  std::vector<int32_t> gene;
  std::vector<uint8_t> strand;  // '+' or '-'
};

// The intervals in the order the index lists them: by start, then end, then file order (a
// '.' feature's '+' interval before its '-' one); a merged interval sits where its first
// part does.
MergedIntervals merge_intervals(const FeatureColumns& columns);

}  // namespace dulse::annotation
