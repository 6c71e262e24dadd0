#include "count/junctions.hpp"

#include <algorithm>
#include <limits>

#include "bam/cigar.hpp"

namespace dulse::count {

namespace {

int32_t clamp_place(int64_t place) {
  return static_cast<int32_t>(std::min<int64_t>(place, std::numeric_limits<int32_t>::max()));
}

}  // namespace

void JunctionWalk::step(uint32_t op, int64_t length, int64_t at) {
  if (done_) return;
  bool cuts = op == bam::kSkip || op == bam::kDeletion || op == bam::kInsertion;
  if (!cuts) {
    if (bam::is_aligned(op) && pending_) {
      out_.push_back(junction_);
      pending_ = false;
    }
    return;
  }
  // The cut closes this section: an N before it is met by it, however empty.
  if (pending_) {
    out_.push_back(junction_);
    pending_ = false;
  }
  if (sections_ >= max_sections_) {
    done_ = true;
    return;
  }
  ++sections_;
  if (op == bam::kSkip) {
    junction_ = Junction{clamp_place(at), clamp_place(at + length + 1)};
    pending_ = true;
  }
}

std::vector<JunctionCounts::Row> JunctionCounts::rows() const {
  std::vector<Row> rows;
  rows.reserve(counts_.size());
  for (const auto& [k, n] : counts_) rows.push_back(Row{k.tid, Junction{k.left, k.right}, n});
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    if (a.tid != b.tid) return a.tid < b.tid;
    if (a.junction.left != b.junction.left) return a.junction.left < b.junction.left;
    return a.junction.right < b.junction.right;
  });
  return rows;
}

}  // namespace dulse::count
