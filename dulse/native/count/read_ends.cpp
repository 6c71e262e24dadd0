#include "count/read_ends.hpp"

#include <algorithm>
#include <cstdint>

namespace dulse::count {

ReadEnds::ReadEnds(const Settings& settings)
    : settings_(settings), five_(settings.extend5), three_(settings.extend3) {
  if (settings.min_overlap < 1) {
    five_ = three_ = static_cast<int32_t>(std::min<int64_t>(1 - int64_t{settings.min_overlap},
                                                            INT32_MAX));
  }
}

BlockSpan ReadEnds::blocks(const Read& read, std::vector<Block>& scratch) const {
  if (unchanged() || read.blocks.empty()) return {read.blocks.begin(), read.blocks.end()};
  scratch.assign(read.blocks.begin(), read.blocks.end());
  bool reverse = read.reverse();
  int64_t before = reverse ? three_ : five_;
  int64_t after = reverse ? five_ : three_;
  Block& first = scratch.front();
  Block& last = scratch.back();
  first.start = static_cast<int32_t>(std::max<int64_t>(0, first.start - before));
  last.end = static_cast<int32_t>(std::min<int64_t>(INT32_MAX, last.end + after));
  if (settings_.read_position != 0) {
    bool at_start = (settings_.read_position == 5) != reverse;
    int32_t base = at_start ? first.start : last.end - 1;
    scratch.assign(1, Block{base, base + 1});
  }
  return {scratch.data(), scratch.data() + scratch.size()};
}

}  // namespace dulse::count
