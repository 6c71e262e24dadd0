// The rows of a FeatureTable as parallel arrays (as numpy holds them), for what is computed
// from the rows after reading: the featureCounts layout and the merged interval index.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dulse::annotation {

struct FeatureColumns {
  const int32_t* contig;
  const int32_t* start;  // 0-based
  const int32_t* end;    // exclusive
  const uint8_t* strand;  // '+', '-' or '.'
  const int32_t* gene;
  size_t n;
  int32_t n_contigs;
  int32_t n_genes;
};

}  // namespace dulse::annotation
