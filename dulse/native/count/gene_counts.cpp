#include "count/gene_counts.hpp"

#include <algorithm>

namespace dulse::count {

void GeneCounts::merge(const GeneCounts& other) {
  for (size_t g = 0; g < units_.size(); ++g) units_[g] += other.units_[g];
  log_.insert(log_.end(), other.log_.begin(), other.log_.end());
  fractional_ = fractional_ || other.fractional_;
}

std::vector<double> GeneCounts::values() const {
  std::vector<double> values(units_.size());
  for (size_t g = 0; g < units_.size(); ++g) {
    values[g] = static_cast<double>(units_[g]) / static_cast<double>(kOne);
  }
  if (log_.empty()) return values;
  std::vector<Logged> ordered(log_);
  std::sort(ordered.begin(), ordered.end(), [](const Logged& a, const Logged& b) {
    return a.order != b.order ? a.order < b.order : a.gene < b.gene;
  });
  for (const Logged& added : ordered) {
    values[static_cast<size_t>(added.gene)] += 1.0 / static_cast<double>(added.denominator);
  }
  return values;
}

std::vector<uint8_t> GeneCounts::logged_genes() const {
  std::vector<uint8_t> logged(units_.size(), 0);
  for (const Logged& added : log_) logged[static_cast<size_t>(added.gene)] = 1;
  return logged;
}

}  // namespace dulse::count
