// Every feature of an annotation in one flat array, sorted by contig and start, with one query:
// the features that overlap a range, each with the length of the overlap.
//
// Each contig's run of the array is an implicit interval tree: the item at position i sits at
// the level given by the number of trailing 1 bits of i, its children at i -/+ 2^(level-1), and
// each item carries the largest end within its subtree, so a query skips every subtree that
// ends before the range. Positions past the contig's last item are virtual nodes whose
// existing descendants all lie in their left subtree.
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
  int32_t overlap;  // bases of the range on the feature, at least 1
  Strand strand;
  int32_t start;  // the feature's own range, for rules that look base by base
  int32_t end;
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

  FeatureIndex(const std::vector<Row>& rows, std::vector<std::string> contig_names,
               int32_t n_genes);

  // The number of the contig of that name, or -1.
  int32_t contig_of(std::string_view name) const {
    auto found = contig_numbers_.find(std::string(name));
    return found == contig_numbers_.end() ? -1 : found->second;
  }
  const std::vector<std::string>& contig_names() const { return contig_names_; }

  int32_t n_contigs() const { return static_cast<int32_t>(contig_begin_.size()) - 1; }
  // Whether any feature lies on the contig.
  bool has_features(int32_t contig) const {
    return contig >= 0 && contig < n_contigs() &&
           contig_begin_[static_cast<size_t>(contig) + 1] > contig_begin_[static_cast<size_t>(contig)];
  }
  int32_t n_genes() const { return n_genes_; }
  int32_t n_features() const { return static_cast<int32_t>(items_.size()); }

  // Appends every feature of `contig` that overlaps [start, end) to `hits`, in the order of
  // their starts (then of their rows). A contig outside the index has no features.
  void query(int32_t contig, int32_t start, int32_t end, std::vector<Hit>& hits) const;

 private:
  struct Item {
    int32_t start;
    int32_t end;
    int32_t max_end;  // the largest end in the item's subtree
    int32_t feature;
    int32_t gene;
    Strand strand;
  };

  class Query;
  void index_contig(Item* items, size_t n);

  std::vector<Item> items_;
  std::vector<size_t> contig_begin_;  // contig c holds items_[contig_begin_[c], [c + 1])
  std::vector<std::string> contig_names_;
  std::unordered_map<std::string, int32_t> contig_numbers_;
  int32_t n_genes_;
};

}  // namespace dulse::index
