#include "count/read_ends.hpp"

#include <algorithm>

namespace dulse::count {

ReadEnds::ReadEnds(const Settings& settings, const std::vector<uint32_t>& contig_lengths)
    : settings_(settings), contig_lengths_(contig_lengths), five_(settings.extend5),
      three_(settings.extend3) {
  if (settings.min_overlap < 1) {
    five_ = three_ = static_cast<int32_t>(std::min<int64_t>(1 - int64_t{settings.min_overlap},
                                                            INT32_MAX));
  }
}

int64_t ReadEnds::shift_of(const Read& read, int64_t start, int64_t end) const {
  bool toward_end;
  switch (settings_.shift_direction) {
    case Shift::kUpstream: toward_end = read.reverse(); break;
    case Shift::kDownstream: toward_end = !read.reverse(); break;
    case Shift::kLeft: toward_end = false; break;
    default: toward_end = true; break;
  }
  if (!toward_end) return std::max<int64_t>(0, start - settings_.shift) - start;
  int64_t limit = INT32_MAX;
  if (read.tid >= 0 && static_cast<size_t>(read.tid) < contig_lengths_.size() &&
      contig_lengths_[static_cast<size_t>(read.tid)] > 0) {
    limit = contig_lengths_[static_cast<size_t>(read.tid)];
  }
  return std::min<int64_t>(limit, end + settings_.shift) - end;
}

BlockSpan ReadEnds::blocks(const Read& read, std::vector<Block>& scratch) const {
  if (unchanged() || read.blocks.empty()) return {read.blocks.begin(), read.blocks.end()};
  scratch.assign(read.blocks.begin(), read.blocks.end());
  Block& first = scratch.front();
  Block& last = scratch.back();
  if (settings_.shift != 0) {
    int64_t by = shift_of(read, first.start, last.end);
    for (Block& block : scratch) {
      block.start = static_cast<int32_t>(block.start + by);
      block.end = static_cast<int32_t>(block.end + by);
    }
  }
  bool reverse = read.reverse();
  int64_t before = reverse ? three_ : five_;
  int64_t after = reverse ? five_ : three_;
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
