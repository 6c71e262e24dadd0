// featureCounts' rules on how many bases of a read lie on a feature, as established by running
// featureCounts 2.0.3 (tests/fc_model.py, `measure`, states them with the experiments' cases):
//
// 1. A feature's overlap is the number of its bases covered by the blocks of the read, or of
//    both records of a fragment, a base covered by both mates counted once.
//    --fracOverlapFeature (of the feature's length) and --nonOverlapFeature (its bases left
//    uncovered) drop a feature that falls short; a read whose features all drop lands in
//    Unassigned_NoFeatures.
// 2. A gene's overlap is the number of distinct bases of its remaining features that the blocks
//    cover. --minOverlap, --fracOverlap (of the read's bases) and --nonOverlap (the read's bases
//    less the overlap) drop a gene that falls short; a read whose genes all drop lands in
//    Unassigned_Overlapping_Length.
// 3. --largestOverlap chooses the gene of the largest overlap (several tied: all of them with
//    -O, else Unassigned_Ambiguity). Otherwise -O takes every gene left, else the only one, else
//    the one hit by more records of a fragment than any other.
// 4. With -O --fraction each gene chosen receives 1/n of the count, n the genes left after 2,
//    which with --largestOverlap may be more than were chosen.
//
// The fractions are featureCounts' single-precision floats compared in double precision: 8
// bases of 10 fall short of 0.8, since 0.8f is 0.800000012.
#pragma once

#include <cstdint>
#include <vector>

#include "count/settings.hpp"
#include "index/feature_index.hpp"

namespace dulse::count {

// The bases [start, end) of one block of one record on one feature.
struct Piece {
  int32_t feature;
  int32_t gene;
  int32_t start;
  int32_t end;
  int32_t feature_length;
  uint8_t record;  // 0 or 1: which record of a fragment
  index::Strand strand;  // the feature's
};

class OverlapRules {
 public:
  enum class Verdict { kAssigned, kNoFeatures, kOverlappingLength, kAmbiguity };

  explicit OverlapRules(const Settings& settings) : settings_(settings) {}

  // Judges one read or fragment from its pieces on the features of the strands that pass;
  // `bases` is its length for --fracOverlap and --nonOverlap. On kAssigned, `chosen` holds the
  // genes counted and `*left` the genes that passed the rules (the -O --fraction divisor).
  // Reorders `pieces`.
  Verdict judge(std::vector<Piece>& pieces, int64_t bases, std::vector<int32_t>& chosen,
                size_t* left);

 private:
  struct Candidate {
    int32_t gene;
    int64_t overlap;
    int votes;
  };

  // The bases covered by pieces [begin, end), sorted by start.
  static int64_t covered(const Piece* begin, const Piece* end);
  bool feature_passes(int64_t length, int64_t overlap) const;
  bool gene_passes(int64_t overlap, int64_t bases) const;
  void choose(std::vector<int32_t>& chosen) const;

  const Settings& settings_;
  std::vector<Piece> kept_;
  std::vector<Candidate> candidates_;
};

}  // namespace dulse::count
