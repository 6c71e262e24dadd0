// Fills a FeatureTable: numbers genes and contigs in order of first appearance (of the rows
// kept) and appends the rows, with their values of the extra attributes.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "annotation/feature_table.hpp"
#include "annotation/interner.hpp"

namespace dulse::annotation {

class TableBuilder {
 public:
  TableBuilder(FeatureTable& table, size_t n_extras);

  // Appends one row; strand is the file's letter ('?' counts as '.'). `extras` holds one value
  // per extra attribute (empty: none).
  void add(std::string_view contig, int32_t start, int32_t end, std::string_view gene,
           char strand, long line, const std::string_view* extras);

  int32_t n_genes() const { return genes_.size(); }
  std::string_view gene(int32_t number) const { return genes_[number]; }
  // The line of the first row of a gene.
  long first_line(int32_t gene) const { return first_lines_[static_cast<size_t>(gene)]; }

  // Copies the names into the table; the builder is done.
  void finish();

 private:
  FeatureTable& table_;
  Interner genes_;
  Interner contigs_;
  std::vector<std::unique_ptr<Interner>> extra_values_;
  std::vector<long> first_lines_;
  // Consecutive rows mostly share their gene and contig.
  std::string_view last_gene_;
  int32_t last_gene_number_ = -1;
  std::string_view last_contig_;
  int32_t last_contig_number_ = -1;
};

}  // namespace dulse::annotation
