// How one alignment file is counted: featureCounts' options, one field each.
#pragma once

#include <cstdint>

namespace dulse::count {

// Which strand of a feature a read must lie on to count for it.
enum class Strandedness : uint8_t {
  kUnstranded = 0,  // -s 0: either
  kForward = 1,     // -s 1: the read's (read 1's, for pairs) strand is the feature's
  kReverse = 2,     // -s 2: the opposite strand
};
constexpr int kStrandednessCount = 3;

struct Settings {
  bool paired = false;               // -p: records with the paired flag are read as pairs
  bool count_fragments = false;      // --countReadPairs: one count per pair, not per read
  bool both_ends_mapped = false;     // -B: a pair counts only with both ends mapped
  bool exclude_chimeric = false;     // -C: not pairs whose ends lie on different contigs
  bool check_fragment_length = false;  // -P, with the bounds of -d and -D
  int32_t min_fragment_length = 50;
  int32_t max_fragment_length = 600;
  Strandedness strandedness = Strandedness::kUnstranded;  // -s
  // Keep the counts of every gene under all three strandedness rules, not only the chosen one
  // (for choosing the rule once the file is counted).
  bool counts_for_every_rule = false;
  int32_t min_mapq = 0;              // -Q
  bool multi_mapping = false;        // -M: count multi-mapping reads (NH > 1) too
  bool fraction = false;             // --fraction: 1/NH with -M, 1/n with -O, both multiplied
  bool primary_only = false;         // --primary: leave secondary alignments out
  bool multi_overlap = false;        // -O: a read on several genes counts for each
  bool ignore_duplicates = false;    // --ignoreDup: leave records flagged duplicate out
};

}  // namespace dulse::count
