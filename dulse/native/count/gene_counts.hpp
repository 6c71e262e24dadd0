// The counts of every gene.
//
// featureCounts' fixed point: a count of 1 is 2^16 units, and a weight of 1/d adds
// floor(2^16 / d) units, so three thirds make 0.99998 as featureCounts has them. Sums of whole
// units do not depend on the order in which reads arrive, nor on how the work was split
// between threads.
//
// htseq-count's fractions (--nonunique fraction) are floating-point sums in the order its
// fragments are counted, and its output prints them to the last digit, so 1 + 1/3 + 1/3 is not
// 1/3 + 1/3 + 1. Those additions are logged with the fragment's place in the file and summed
// in that order once every thread's log is in: the same values for any number of threads.
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
  // Adds 1/denominator to the gene in floating point, as the fragment at `order` in the file.
  void add_in_order(uint64_t order, int32_t gene, uint32_t denominator) {
    log_.push_back(Logged{order, gene, denominator});
  }
  void merge(const GeneCounts& other);

  // The values: fixed-point units, plus the logged additions summed in order.
  std::vector<double> values() const;
  // Per gene, whether any logged addition reached it (htseq-count prints those as floats).
  std::vector<uint8_t> logged_genes() const;
  // Whether any weight below 1 was added.
  bool fractional() const { return fractional_ || !log_.empty(); }
  size_t size() const { return units_.size(); }

 private:
  struct Logged {
    uint64_t order;
    int32_t gene;
    uint32_t denominator;
  };

  std::vector<int64_t> units_;
  std::vector<Logged> log_;
  bool fractional_ = false;
};

}  // namespace dulse::count
