// The part of a read that is looked up among the features: its aligned blocks moved together
// (--readShiftSize), extended at its ends (--readExtension5/3, and --minOverlap below 1, which
// is an extension of 1 - N bases at both ends in their place), then reduced to the one base at
// its 5' or 3' end (--read2pos). The 5' end of a record is the start of its first block on the
// forward strand and the end of its last block on the reverse, by the record's own reverse
// flag. A read moved toward its contig's start stops at base 0, one moved toward its end stops
// where that end is (the header's length; a read already past it moves back to it); an
// extended start stops at base 0.
#pragma once

#include <cstdint>
#include <vector>

#include "count/read.hpp"
#include "count/settings.hpp"

namespace dulse::count {

class ReadEnds {
 public:
  // `contig_lengths`: the file's reference lengths by reference id (0: not known).
  ReadEnds(const Settings& settings, const std::vector<uint32_t>& contig_lengths);

  // Whether the blocks looked up are the read's own.
  bool unchanged() const {
    return settings_.shift == 0 && five_ == 0 && three_ == 0 && settings_.read_position == 0;
  }
  // The blocks of `read` to look up: its own, or `scratch` filled with the changed ones.
  BlockSpan blocks(const Read& read, std::vector<Block>& scratch) const;

 private:
  // How far the read moves: below 0 toward the contig's start.
  int64_t shift_of(const Read& read, int64_t start, int64_t end) const;

  const Settings& settings_;
  const std::vector<uint32_t>& contig_lengths_;
  int32_t five_;
  int32_t three_;
};

}  // namespace dulse::count
