#include "index/feature_index.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "index/featurecounts_order.hpp"

namespace dulse::index {

namespace {

// Subtrees of at most 2^(kScanLevel + 1) - 1 items are scanned straight through.
constexpr int kScanLevel = 3;
// Bins of at most this many short items are searched from their first item on.
constexpr size_t kLinearSearch = 32;

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

// Appends a hit field by field. A Hit built whole and copied in was stored in pieces and read
// back at once, which the processor cannot forward from its store buffer: every hit waited.
void add_hit(std::vector<Hit>& hits, int32_t feature, int32_t gene, int32_t start, int32_t end,
             int32_t overlap, Strand strand) {
  Hit& hit = hits.emplace_back();
  hit.feature = feature;
  hit.gene = gene;
  hit.start = start;
  hit.end = end;
  hit.overlap = overlap;
  hit.strand = strand;
}

}  // namespace

FeatureIndex::FeatureIndex(const std::vector<Row>& rows, std::vector<std::string> contig_names,
                           int32_t n_genes)
    : contig_names_(std::move(contig_names)), n_genes_(n_genes),
      n_features_(static_cast<int32_t>(rows.size())) {
  auto n_contigs = static_cast<int32_t>(contig_names_.size());
  for (int32_t c = 0; c < n_contigs; ++c) contig_numbers_.emplace(contig_names_[c], c);
  std::vector<int32_t> order(rows.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&rows](int32_t a, int32_t b) { return rows[a].contig < rows[b].contig; });
  std::vector<int32_t> buffer;
  auto start_of = [&rows](int32_t row) { return rows[row].start; };
  for (size_t from = 0; from < order.size();) {
    size_t to = from;
    while (to < order.size() && rows[order[to]].contig == rows[order[from]].contig) ++to;
    sort_as_featurecounts(order.data() + from, to - from, buffer, start_of);
    from = to;
  }
  rank_.resize(order.size());
  for (size_t k = 0; k < order.size(); ++k) rank_[order[k]] = static_cast<int32_t>(k);
  contigs_.assign(static_cast<size_t>(n_contigs), Contig{0, 0, 0, 0, 0, 0});
  size_t next = 0;
  for (int32_t c = 0; c < n_contigs; ++c) {
    Contig& contig = contigs_[static_cast<size_t>(c)];
    contig.short_begin = short_.size();
    contig.long_begin = long_.size();
    int32_t reach = INT32_MIN;
    for (; next < order.size() && rows[order[next]].contig == c; ++next) {
      const Row& r = rows[order[next]];
      if (r.end - r.start <= kShortLength) {
        reach = std::max(reach, r.end);
        short_.push_back(Packed{r.start, static_cast<uint16_t>(r.end - r.start), r.strand,
                                static_cast<uint16_t>(reach - r.start)});
        short_names_.push_back(Names{order[next], r.gene});
      } else {
        long_.push_back(Item{r.start, r.end, r.end, order[next], r.gene, r.strand});
      }
    }
    contig.short_end = short_.size();
    contig.long_end = long_.size();
    size_t n_long = contig.long_end - contig.long_begin;
    if (n_long > 0) {
      fill_max_end(long_.data() + contig.long_begin, n_long, (size_t{1} << root_level(n_long)) - 1,
                   root_level(n_long));
    }
    // bins_[b]: the first short item starting at or after b << kBinShift.
    contig.bins_begin = bins_.size();
    size_t n_short = contig.short_end - contig.short_begin;
    if (n_short > 0) {
      int32_t last_start = short_[contig.short_end - 1].start;
      contig.n_bins = (static_cast<size_t>(last_start) >> kBinShift) + 1;
      size_t item = contig.short_begin;
      for (size_t b = 0; b < contig.n_bins; ++b) {
        int64_t bin_start = static_cast<int64_t>(b) << kBinShift;
        while (item < contig.short_end && short_[item].start < bin_start) ++item;
        bins_.push_back(static_cast<uint32_t>(item - contig.short_begin));
      }
    }
  }
}

class FeatureIndex::TreeQuery {
 public:
  TreeQuery(const Item* items, size_t n, int32_t start, int32_t end, std::vector<Hit>& hits)
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
    add_hit(hits_, item.feature, item.gene, item.start, item.end, overlap, item.strand);
  }

  const Item* items_;
  size_t n_;
  int32_t start_;
  int32_t end_;
  std::vector<Hit>& hits_;
};

size_t FeatureIndex::first_after(const Contig& c, int32_t end) const {
  size_t n = c.short_end - c.short_begin;
  size_t bin = static_cast<size_t>(end - 1) >> kBinShift;
  if (bin >= c.n_bins) return n;
  size_t lo = bins_[c.bins_begin + bin];
  size_t hi = bin + 1 < c.n_bins ? bins_[c.bins_begin + bin + 1] : n;
  const Packed* items = short_.data() + c.short_begin;
  if (hi - lo > kLinearSearch) {
    return static_cast<size_t>(
        std::lower_bound(items + lo, items + hi, end,
                         [](const Packed& item, int32_t value) { return item.start < value; }) -
        items);
  }
  size_t i = lo;
  while (i < hi && items[i].start < end) ++i;
  return i;
}

void FeatureIndex::prepare(int distance, int32_t contig, int32_t pos) const {
  if (contig < 0 || contig >= n_contigs() || pos < 0) return;
  const Contig& c = contigs_[static_cast<size_t>(contig)];
  size_t bin = static_cast<size_t>(pos) >> kBinShift;
  if (bin >= c.n_bins) return;
  const uint32_t* first = &bins_[c.bins_begin + bin];
  if (distance >= kLookAhead) {
    __builtin_prefetch(first);
    return;
  }
  size_t lo = c.short_begin + *first;
  __builtin_prefetch(short_.data() + lo);
  __builtin_prefetch(short_names_.data() + lo);
}

void FeatureIndex::query_short(const Contig& c, int32_t start, int32_t end,
                               std::vector<Hit>& hits) const {
  const Packed* items = short_.data() + c.short_begin;
  const Names* names = short_names_.data() + c.short_begin;
  if (c.short_end == c.short_begin) return;
  size_t i = first_after(c, end);
  // Walk down while some item up to here still reaches past `start` (the largest end up to an
  // item never falls going up, so the items walked are those from `first` to i), then take
  // the hits among them in the index's order.
  size_t first = i;
  while (first > 0 && items[first - 1].start + items[first - 1].reach > start) --first;
  for (size_t j = first; j < i; ++j) {
    const Packed& item = items[j];
    int32_t item_end = item.start + item.length;
    if (item_end > start) {
      int32_t overlap = std::min(item_end, end) - std::max(item.start, start);
      add_hit(hits, names[j].feature, names[j].gene, item.start, item_end, overlap,
              static_cast<Strand>(item.strand));
    }
  }
}

void FeatureIndex::query(int32_t contig, int32_t start, int32_t end,
                         std::vector<Hit>& hits) const {
  if (contig < 0 || contig >= n_contigs() || start >= end) return;
  const Contig& c = contigs_[static_cast<size_t>(contig)];
  size_t first = hits.size();
  query_short(c, start, end, hits);
  size_t n_long = c.long_end - c.long_begin;
  if (n_long == 0) return;
  size_t middle = hits.size();
  int level = root_level(n_long);
  TreeQuery(long_.data() + c.long_begin, n_long, start, end, hits)
      .visit((size_t{1} << level) - 1, level);
  if (middle != first && middle != hits.size()) {
    // Both runs hit: one order, the index's.
    std::inplace_merge(hits.begin() + static_cast<ptrdiff_t>(first),
                       hits.begin() + static_cast<ptrdiff_t>(middle), hits.end(),
                       [this](const Hit& a, const Hit& b) {
                         return a.start != b.start ? a.start < b.start
                                                   : rank_[a.feature] < rank_[b.feature];
                       });
  }
}

}  // namespace dulse::index
