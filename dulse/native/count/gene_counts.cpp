#include "count/gene_counts.hpp"

#include <algorithm>
#include <utility>

namespace dulse::count {

void GeneCounts::merge(const GeneCounts& other) {
  for (size_t g = 0; g < whole_.size(); ++g) whole_[g] += other.whole_[g];
  for (const auto& [key, n] : other.parts_) parts_[key] += n;
}

std::vector<double> GeneCounts::values() const {
  std::vector<double> values(whole_.begin(), whole_.end());
  std::vector<std::pair<uint64_t, int64_t>> parts(parts_.begin(), parts_.end());
  std::sort(parts.begin(), parts.end());
  for (const auto& [key, n] : parts) {
    values[key >> 32] += static_cast<double>(n) / static_cast<double>(key & 0xffffffffu);
  }
  return values;
}

}  // namespace dulse::count
