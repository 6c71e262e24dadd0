#include "count/gene_counts.hpp"

namespace dulse::count {

void GeneCounts::merge(const GeneCounts& other) {
  for (size_t g = 0; g < units_.size(); ++g) units_[g] += other.units_[g];
  fractional_ = fractional_ || other.fractional_;
}

std::vector<double> GeneCounts::values() const {
  std::vector<double> values(units_.size());
  for (size_t g = 0; g < units_.size(); ++g) {
    values[g] = static_cast<double>(units_[g]) / static_cast<double>(kOne);
  }
  return values;
}

}  // namespace dulse::count
