// The features of an annotation, as every reader delivers them and the feature index takes
// them: one row per feature line kept (a GFF3 feature whose Parent chains lead to two genes is
// one row per gene), in file order, with contigs and genes numbered in order of first
// appearance.
//
// The rows are kept as columns, one vector per field, which numpy arrays can take over as they
// are: an annotation of millions of features is never held twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dulse::annotation {

// A feature's strand as the file gives it; kBoth stands for '.' (and '?'): either strand.
enum class Strand : uint8_t { kPlus = '+', kMinus = '-', kBoth = '.' };

struct Feature {
  int32_t contig;  // into FeatureTable::contigs
  int32_t start;   // 0-based
  int32_t end;     // exclusive; start < end
  int32_t gene;    // into FeatureTable::genes
  Strand strand;
};

// An attribute carried to the outputs beside the counts (featureCounts' --extraAttributes,
// htseq-count's --additional-attr): its value on every feature row.
struct ExtraAttribute {
  std::string name;
  std::vector<std::string> values;  // the distinct values, in order of first appearance
  std::vector<int32_t> value_of;    // per feature row, into values; -1: none, or empty
};

struct FeatureTable {
  std::vector<std::string> contigs;
  std::vector<std::string> genes;
  // The rows, field by field: row r is (contig[r], start[r], end[r], gene[r], strand[r]).
  std::vector<int32_t> contig;
  std::vector<int32_t> start;
  std::vector<int32_t> end;
  std::vector<int32_t> gene;
  std::vector<Strand> strand;
  std::vector<ExtraAttribute> extras;  // in the order they were asked for

  size_t size() const { return contig.size(); }
  Feature row(size_t r) const { return {contig[r], start[r], end[r], gene[r], strand[r]}; }
  void push_back(const Feature& f) {
    contig.push_back(f.contig);
    start.push_back(f.start);
    end.push_back(f.end);
    gene.push_back(f.gene);
    strand.push_back(f.strand);
  }
};

}  // namespace dulse::annotation
