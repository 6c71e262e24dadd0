// Every feature of an annotation in flat arrays, sorted by contig and start (features of one
// start in featureCounts' order, see featurecounts_order.hpp), with one query:
// the features that overlap a range, each with the length of the overlap.
//
// A contig's features are kept in two runs. Short features (kShortLength bases or fewer), the
// great majority, lie in a run whose items carry the largest end of the items up to them; a
// query finds the first item starting at or after its end (through a table of bins) and walks
// down while that running maximum still reaches its start, which it does for at most
// kShortLength bases. The walk reads items of eight bytes, and the names of a hit (feature and
// gene) from a parallel array: records read in no order miss the cache at nearly every query,
// and the smaller the arrays, the more of them stays in it.
// The few long features lie in an implicit interval tree: the item at position i sits at the
// level given by the number of trailing 1 bits of i, its children at i -/+ 2^(level-1), and
// each item carries the largest end within its subtree, so a query skips every subtree that
// ends before the range. Positions past the run's last item are virtual nodes whose existing
// descendants all lie in their left subtree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace dulse::index {

// A feature's strand: kBoth matches reads of either strand.
enum Strand : uint8_t { kPlus = 0, kMinus = 1, kBoth = 2 };

struct Hit {
  int32_t feature;  // the row of the feature in the annotation
  int32_t gene;
  int32_t start;    // the feature's own start and end
  int32_t end;
  int32_t overlap;  // bases of the range on the feature, at least 1
  Strand strand;
};

class FeatureIndex {
 public:
  // One row per feature: contig number (into contig_names), 0-based start, exclusive end
  // (start < end), strand, gene number.
  struct Row {
    int32_t contig;
    int32_t start;
    int32_t end;
    int32_t gene;
    Strand strand;
  };

  static constexpr int32_t kShortLength = 8192;

  FeatureIndex(const std::vector<Row>& rows, std::vector<std::string> contig_names,
               int32_t n_genes);

  // The number of the contig of that name, or -1.
  int32_t contig_of(std::string_view name) const {
    auto found = contig_numbers_.find(std::string(name));
    return found == contig_numbers_.end() ? -1 : found->second;
  }
  const std::vector<std::string>& contig_names() const { return contig_names_; }

  int32_t n_contigs() const { return static_cast<int32_t>(contig_names_.size()); }
  int32_t n_genes() const { return n_genes_; }
  int32_t n_features() const { return n_features_; }
  // Whether any feature lies on the contig.
  bool has_features(int32_t contig) const {
    if (contig < 0 || contig >= n_contigs()) return false;
    const Contig& c = contigs_[static_cast<size_t>(contig)];
    return c.short_end > c.short_begin || c.long_end > c.long_begin;
  }

  // Readies the cache for a query near `pos` on `contig` that comes `distance` records from
  // now (1 or kLookAhead): the farther fetches the query's bin, the nearer the items the bin
  // points at and their names. Records read in no order would otherwise wait on misses of the
  // cache, one after the other, at every query.
  static constexpr int kLookAhead = 2;
  void prepare(int distance, int32_t contig, int32_t pos) const;
  // Whether two places fall in one bin, so that the first readies the cache for the second.
  static bool same_bin(int32_t pos, int32_t other) {
    return (pos >> kBinShift) == (other >> kBinShift);
  }

  // Appends every feature of `contig` that overlaps [start, end) to `hits`, in the order of
  // the index. A contig outside the index has no features.
  void query(int32_t contig, int32_t start, int32_t end, std::vector<Hit>& hits) const;

 private:
  // An item of the long run.
  struct Item {
    int32_t start;
    int32_t end;
    int32_t max_end;  // the largest end within its subtree
    int32_t feature;
    int32_t gene;
    Strand strand;
  };
  struct Contig {
    size_t short_begin, short_end;  // into short_
    size_t long_begin, long_end;    // into long_
    size_t bins_begin;              // into bins_: bins_[bins_begin + b] is the first short
    size_t n_bins;                  // item of the contig starting at or after b << kBinShift
  };
  static constexpr int kBinShift = 14;

  // A short item as the walk reads it: `reach` is the largest end of the items up to this one,
  // less its start. Items are sorted by start and none is longer than kShortLength, so reach
  // is at most kShortLength too.
  struct Packed {
    int32_t start;
    uint16_t length : 14;
    uint16_t strand : 2;
    uint16_t reach;
  };
  static_assert(kShortLength < (1 << 14) && sizeof(Packed) == 8);
  // What a hit of a short item names, beside it in short_names_.
  struct Names {
    int32_t feature;
    int32_t gene;
  };
  class TreeQuery;
  // The first short item of the contig starting at or after `end`, and where its bin begins.
  size_t first_after(const Contig& c, int32_t end) const;
  void query_short(const Contig& c, int32_t start, int32_t end, std::vector<Hit>& hits) const;

  std::vector<Packed> short_;
  std::vector<Names> short_names_;
  std::vector<Item> long_;
  std::vector<uint32_t> bins_;
  std::vector<int32_t> rank_;  // rank_[row]: the feature's place in the index's order
  std::vector<Contig> contigs_;
  std::vector<std::string> contig_names_;
  std::unordered_map<std::string, int32_t> contig_numbers_;
  int32_t n_genes_;
  int32_t n_features_ = 0;
};

}  // namespace dulse::index
