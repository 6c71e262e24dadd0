#include "index/feature_index.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

namespace dulse::index {

namespace {

// Subtrees of at most 2^(kScanLevel + 1) - 1 items are scanned straight through.
constexpr int kScanLevel = 3;

int root_level(size_t n) {
  int level = 0;
  while ((size_t{2} << level) <= n) ++level;
  return level;  // 2^level <= n < 2^(level + 1)
}

// Fills max_end over the subtree of position i at `level`, whose leftmost position holds an
// item; returns that maximum. A right subtree is entered only when it holds an item too.
template <class Item>
int32_t fill_max_end(Item* items, size_t n, size_t i, int level) {
  int32_t own = i < n ? items[i].end : INT32_MIN;
  if (level == 0) {
    if (i < n) items[i].max_end = own;
    return own;
  }
  size_t half = size_t{1} << (level - 1);
  int32_t left = fill_max_end(items, n, i - half, level - 1);
  int32_t right = i + 1 < n ? fill_max_end(items, n, i + half, level - 1) : INT32_MIN;
  int32_t best = std::max(own, std::max(left, right));
  if (i < n) items[i].max_end = best;
  return best;
}

}  // namespace

FeatureIndex::FeatureIndex(const std::vector<Row>& rows, std::vector<std::string> contig_names,
                           int32_t n_genes)
    : contig_names_(std::move(contig_names)), n_genes_(n_genes) {
  auto n_contigs = static_cast<int32_t>(contig_names_.size());
  for (int32_t c = 0; c < n_contigs; ++c) contig_numbers_.emplace(contig_names_[c], c);
  std::vector<int32_t> order(rows.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&rows](int32_t a, int32_t b) {
    if (rows[a].contig != rows[b].contig) return rows[a].contig < rows[b].contig;
    return rows[a].start < rows[b].start;
  });
  items_.reserve(rows.size());
  contig_begin_.assign(static_cast<size_t>(n_contigs) + 1, 0);
  for (int32_t row : order) {
    const Row& r = rows[row];
    items_.push_back(Item{r.start, r.end, r.end, row, r.gene, r.strand});
    ++contig_begin_[static_cast<size_t>(r.contig) + 1];
  }
  for (size_t c = 1; c < contig_begin_.size(); ++c) contig_begin_[c] += contig_begin_[c - 1];
  for (size_t c = 0; c + 1 < contig_begin_.size(); ++c) {
    index_contig(items_.data() + contig_begin_[c], contig_begin_[c + 1] - contig_begin_[c]);
  }
}

void FeatureIndex::index_contig(Item* items, size_t n) {
  if (n > 0) fill_max_end(items, n, (size_t{1} << root_level(n)) - 1, root_level(n));
}

class FeatureIndex::Query {
 public:
  Query(const Item* items, size_t n, int32_t start, int32_t end, std::vector<Hit>& hits)
      : items_(items), n_(n), start_(start), end_(end), hits_(hits) {}

  void visit(size_t i, int level) {
    if (i < n_ && items_[i].max_end <= start_) return;
    if (level <= kScanLevel) {
      size_t last = std::min(i + (size_t{1} << level) - 1, n_ - 1);
      for (size_t k = i + 1 - (size_t{1} << level); k <= last && items_[k].start < end_; ++k) {
        take(items_[k]);
      }
      return;
    }
    size_t half = size_t{1} << (level - 1);
    visit(i - half, level - 1);
    if (i >= n_ || items_[i].start >= end_) return;
    take(items_[i]);
    if (i + 1 < n_) visit(i + half, level - 1);
  }

 private:
  void take(const Item& item) {
    if (item.end <= start_) return;
    int32_t overlap = std::min(item.end, end_) - std::max(item.start, start_);
    hits_.push_back(Hit{item.feature, item.gene, overlap, item.strand, item.start, item.end});
  }

  const Item* items_;
  size_t n_;
  int32_t start_;
  int32_t end_;
  std::vector<Hit>& hits_;
};

void FeatureIndex::query(int32_t contig, int32_t start, int32_t end,
                         std::vector<Hit>& hits) const {
  if (contig < 0 || contig >= n_contigs() || start >= end) return;
  size_t begin = contig_begin_[static_cast<size_t>(contig)];
  size_t n = contig_begin_[static_cast<size_t>(contig) + 1] - begin;
  if (n == 0) return;
  int level = root_level(n);
  Query(items_.data() + begin, n, start, end, hits).visit((size_t{1} << level) - 1, level);
}

}  // namespace dulse::index
