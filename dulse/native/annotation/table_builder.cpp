#include "annotation/table_builder.hpp"

namespace dulse::annotation {

TableBuilder::TableBuilder(FeatureTable& table, size_t n_extras) : table_(table) {
  for (size_t k = 0; k < n_extras; ++k) extra_values_.emplace_back(new Interner());
}

void TableBuilder::add(std::string_view contig, int32_t start, int32_t end,
                       std::string_view gene, char strand, long line,
                       const std::string_view* extras) {
  if (last_gene_number_ < 0 || gene != last_gene_) {
    bool added;
    last_gene_number_ = genes_.intern(gene, &added);
    last_gene_ = genes_[last_gene_number_];
    if (added) first_lines_.push_back(line);
  }
  if (last_contig_number_ < 0 || contig != last_contig_) {
    last_contig_number_ = contigs_.intern(contig);
    last_contig_ = contigs_[last_contig_number_];
  }
  Feature feature;
  feature.contig = last_contig_number_;
  feature.start = start;
  feature.end = end;
  feature.gene = last_gene_number_;
  feature.strand = strand == '+' ? Strand::kPlus : strand == '-' ? Strand::kMinus : Strand::kBoth;
  table_.push_back(feature);
  for (size_t k = 0; k < extra_values_.size(); ++k) {
    table_.extras[k].value_of.push_back(extras[k].empty() ? -1
                                                          : extra_values_[k]->intern(extras[k]));
  }
}

void TableBuilder::finish() {
  table_.genes.reserve(static_cast<size_t>(genes_.size()));
  for (int32_t g = 0; g < genes_.size(); ++g) table_.genes.emplace_back(genes_[g]);
  for (int32_t c = 0; c < contigs_.size(); ++c) table_.contigs.emplace_back(contigs_[c]);
  for (size_t k = 0; k < extra_values_.size(); ++k) {
    const Interner& values = *extra_values_[k];
    for (int32_t v = 0; v < values.size(); ++v) table_.extras[k].values.emplace_back(values[v]);
  }
}

}  // namespace dulse::annotation
