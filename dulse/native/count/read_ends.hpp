// The part of a read that is looked up among the features: its aligned blocks, extended at its
// ends (--readExtension5/3, and --minOverlap below 1, which is an extension of 1 - N bases at
// both ends in their place), then reduced to the one base at its 5' or 3' end (--read2pos).
// The 5' end of a record is the start of its first block on the forward strand and the end of
// its last block on the reverse, by the record's own reverse flag; a start stops at base 0.
#pragma once

#include <vector>

#include "count/read.hpp"
#include "count/settings.hpp"

namespace dulse::count {

class ReadEnds {
 public:
  explicit ReadEnds(const Settings& settings);

  // Whether the blocks looked up are the read's own.
  bool unchanged() const { return five_ == 0 && three_ == 0 && settings_.read_position == 0; }
  // The blocks of `read` to look up: its own, or `scratch` filled with the changed ones.
  BlockSpan blocks(const Read& read, std::vector<Block>& scratch) const;

 private:
  const Settings& settings_;
  int32_t five_;
  int32_t three_;
};

}  // namespace dulse::count
