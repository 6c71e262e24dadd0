// The counts of every gene, kept exactly. Every weight a read gives a gene is 1/d for a whole d
// (1/NH, 1/genes, their product), so each gene keeps how many whole counts and how many 1/d
// parts it received; its value is summed from those in one fixed order. The value then does not
// depend on the order in which reads arrive, nor on how the work was split between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace dulse::count {

class GeneCounts {
 public:
  explicit GeneCounts(int32_t n_genes = 0) : whole_(static_cast<size_t>(n_genes), 0) {}

  // Adds 1/denominator (denominator >= 1) to the gene.
  void add(int32_t gene, uint32_t denominator) {
    if (denominator == 1) {
      ++whole_[static_cast<size_t>(gene)];
    } else {
      ++parts_[static_cast<uint64_t>(gene) << 32 | denominator];
    }
  }
  void merge(const GeneCounts& other);

  // The value of every gene: its whole counts, then its parts by ascending denominator.
  std::vector<double> values() const;
  bool fractional() const { return !parts_.empty(); }
  size_t size() const { return whole_.size(); }

 private:
  std::vector<int64_t> whole_;
  std::unordered_map<uint64_t, int64_t> parts_;  // gene << 32 | denominator -> parts
};

}  // namespace dulse::count
