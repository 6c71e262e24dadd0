#include "count/junctions.hpp"

#include <algorithm>
#include <limits>

namespace dulse::count {

namespace {

int32_t clamp_place(int64_t place) {
  return static_cast<int32_t>(std::min<int64_t>(place, std::numeric_limits<int32_t>::max()));
}

}  // namespace

void find_junctions(const bam::Cigar& cigar, int32_t pos, int max_sections,
                    std::vector<Junction>& out) {
  out.clear();
  int64_t at = pos;  // 0-based reference place of the next base
  int sections = 1;  // the section being walked is the sections-th
  bool pending = false;  // an N ended the last section
  Junction junction{0, 0};
  for (uint32_t k = 0; k < cigar.count; ++k) {
    uint32_t op = cigar.op(k);
    int64_t n = cigar.length(k);
    bool cuts = op == bam::kSkip || op == bam::kDeletion || op == bam::kInsertion;
    if (!cuts) {
      if (bam::is_aligned(op) && pending) {
        out.push_back(junction);
        pending = false;
      }
      if (bam::consumes_reference(op)) at += n;
      continue;
    }
    // The cut closes this section: an N before it is met by it, however empty.
    if (pending) {
      out.push_back(junction);
      pending = false;
    }
    if (sections >= max_sections) return;
    ++sections;
    if (op == bam::kSkip) {
      junction = Junction{clamp_place(at), clamp_place(at + n + 1)};
      pending = true;
    }
    if (bam::consumes_reference(op)) at += n;
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
