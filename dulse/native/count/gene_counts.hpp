// The counts of every gene, in featureCounts' fixed point: a count of 1 is 2^16 units, and a
// weight of 1/d adds floor(2^16 / d) units, so three thirds make 0.99998 as featureCounts has
// them. Sums of whole units do not depend on the order in which reads arrive, nor on how the
// work was split between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dulse::count {

class GeneCounts {
 public:
  static constexpr int64_t kOne = int64_t{1} << 16;

  explicit GeneCounts(int32_t n_genes = 0) : units_(static_cast<size_t>(n_genes), 0) {}

  // Adds 1/denominator (denominator >= 1) to the gene.
  void add(int32_t gene, uint32_t denominator) {
    int64_t units = denominator == 1 ? kOne : kOne / denominator;
    units_[static_cast<size_t>(gene)] += units;
    if (denominator != 1) fractional_ = true;
  }
  void merge(const GeneCounts& other);

  std::vector<double> values() const;
  // Whether any weight below 1 was added.
  bool fractional() const { return fractional_; }
  size_t size() const { return units_.size(); }

 private:
  std::vector<int64_t> units_;
  bool fractional_ = false;
};

}  // namespace dulse::count
