// The Chr, Start, End, Strand and Length columns of featureCounts' counts file, as
// featureCounts 2.0 writes them: every feature row of a gene (repeats kept), 1-based and
// inclusive, joined with ';'.
//
// The order is featureCounts' own. It puts the rows of each contig (contigs in order of first
// appearance) through its sort by start, which is not stable: a merge sort that takes the
// right-hand row on equal starts, over runs of up to 11 rows sorted by selection. Walking the
// sorted rows, each gene lists its rows in blocks, one per contig and strand, in the order
// the blocks are first met. Length is the number of bases its blocks cover, each block
// counted on its own (bases that rows on two strands share count twice).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/feature_columns.hpp"
#include "annotation/feature_table.hpp"

namespace dulse::annotation {

struct GeneListing {
  std::vector<int32_t> rows;        // gene by gene, each in featureCounts' order
  std::vector<size_t> gene_begin;   // gene g holds rows[gene_begin[g], gene_begin[g + 1])
  std::vector<int64_t> length;      // per gene
};

GeneListing list_gene_rows(const FeatureColumns& columns);

// Appends "Chr\tStart\tEnd\tStrand\tLength" of gene `gene` to `out`.
void append_layout_columns(const FeatureColumns& columns, const GeneListing& listing,
                           const std::vector<std::string>& contig_names, int32_t gene,
                           std::string& out);

// Texts one per gene, end to end: gene g's is text[offsets[g], offsets[g + 1]).
struct GeneTexts {
  std::string text;
  std::vector<size_t> offsets;
};

// What featureCounts writes for a row without the attribute, or with an empty value.
inline constexpr std::string_view kNoValue = "NA";

// An extra attribute as featureCounts' --extraAttributes writes it: the value of every row in
// the listing's order ("NA" where a row has none), joined with ';', or just one value when all
// the pieces are the same.
GeneTexts featurecounts_values(const GeneListing& listing, const ExtraAttribute& attribute);

// An extra attribute as htseq-count's --additional-attr writes it: the value on the gene's
// last row in file order, empty when it has none.
GeneTexts htseq_values(const FeatureColumns& columns, const ExtraAttribute& attribute);

}  // namespace dulse::annotation
