#include "annotation/featurecounts_layout.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace dulse::annotation {

namespace {

constexpr size_t kSelectionRun = 11;

void selection_sort(int32_t* rows, size_t n, const int32_t* start) {
  for (size_t i = 0; i + 1 < n; ++i) {
    size_t least = i;
    for (size_t j = i + 1; j < n; ++j) {
      if (start[rows[least]] > start[rows[j]]) least = j;
    }
    if (least != i) std::swap(rows[i], rows[least]);
  }
}

void merge_sort(int32_t* rows, size_t n, const int32_t* start, int32_t* scratch) {
  if (n <= kSelectionRun) {
    selection_sort(rows, n, start);
    return;
  }
  const size_t half = n / 2;
  merge_sort(rows, half, start, scratch);
  merge_sort(rows + half, n - half, start, scratch);
  std::copy(rows, rows + n, scratch);
  size_t i = 0, j = half, out = 0;
  while (i < half && j < n) {
    rows[out++] = start[scratch[i]] < start[scratch[j]] ? scratch[i++] : scratch[j++];
  }
  while (i < half) rows[out++] = scratch[i++];
  while (j < n) rows[out++] = scratch[j++];
}

int strand_slot(uint8_t strand) { return strand == '+' ? 0 : strand == '-' ? 1 : 2; }

void append_number(std::string& out, int64_t value) {
  char digits[24];
  auto done = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, static_cast<size_t>(done.ptr - digits));
}

}  // namespace

GeneListing list_gene_rows(const FeatureColumns& c) {
  const size_t n = c.n;
  const auto n_contigs = static_cast<size_t>(c.n_contigs);
  const auto n_genes = static_cast<size_t>(c.n_genes);

  // The rows of each contig, in file order, then sorted as featureCounts sorts them.
  std::vector<size_t> contig_begin(n_contigs + 1, 0);
  for (size_t r = 0; r < n; ++r) ++contig_begin[static_cast<size_t>(c.contig[r]) + 1];
  for (size_t k = 0; k < n_contigs; ++k) contig_begin[k + 1] += contig_begin[k];
  std::vector<int32_t> visit(n);
  {
    std::vector<size_t> fill(contig_begin.begin(), contig_begin.end() - 1);
    for (size_t r = 0; r < n; ++r) {
      visit[fill[static_cast<size_t>(c.contig[r])]++] = static_cast<int32_t>(r);
    }
  }
  {
    std::vector<int32_t> scratch(n);
    for (size_t k = 0; k < n_contigs; ++k) {
      merge_sort(visit.data() + contig_begin[k], contig_begin[k + 1] - contig_begin[k], c.start,
                 scratch.data());
    }
  }

  // Blocks (gene, contig, strand), numbered as they are first met.
  std::vector<int32_t> block_of_row(n);
  std::vector<int32_t> block_gene;
  std::vector<int32_t> open_block(n_genes * 3, -1);  // of the contig being walked
  std::vector<int32_t> open_contig(n_genes * 3, -1);
  for (size_t v = 0; v < n; ++v) {
    const int32_t r = visit[v];
    const size_t slot = static_cast<size_t>(c.gene[r]) * 3 + strand_slot(c.strand[r]);
    if (open_contig[slot] != c.contig[r]) {
      open_contig[slot] = c.contig[r];
      open_block[slot] = static_cast<int32_t>(block_gene.size());
      block_gene.push_back(c.gene[r]);
    }
    block_of_row[r] = open_block[slot];
  }
  open_block = std::vector<int32_t>();
  open_contig = std::vector<int32_t>();

  // Blocks gene by gene (in the order met), then their rows in the order walked.
  const size_t n_blocks = block_gene.size();
  std::vector<size_t> block_size(n_blocks, 0);
  for (size_t r = 0; r < n; ++r) ++block_size[static_cast<size_t>(block_of_row[r])];
  GeneListing listing;
  listing.gene_begin.assign(n_genes + 1, 0);
  std::vector<size_t> gene_blocks_begin(n_genes + 1, 0);
  for (size_t b = 0; b < n_blocks; ++b) {
    listing.gene_begin[static_cast<size_t>(block_gene[b]) + 1] += block_size[b];
    ++gene_blocks_begin[static_cast<size_t>(block_gene[b]) + 1];
  }
  for (size_t g = 0; g < n_genes; ++g) {
    listing.gene_begin[g + 1] += listing.gene_begin[g];
    gene_blocks_begin[g + 1] += gene_blocks_begin[g];
  }
  std::vector<size_t> block_at(n_blocks);
  {
    std::vector<size_t> next_row(listing.gene_begin.begin(), listing.gene_begin.end() - 1);
    for (size_t b = 0; b < n_blocks; ++b) {
      size_t& at = next_row[static_cast<size_t>(block_gene[b])];
      block_at[b] = at;
      at += block_size[b];
    }
  }
  listing.rows.resize(n);
  for (size_t v = 0; v < n; ++v) {
    const int32_t r = visit[v];
    listing.rows[block_at[static_cast<size_t>(block_of_row[r])]++] = r;
  }

  // Each block's rows are sorted by start: its covered bases are one sweep.
  listing.length.assign(n_genes, 0);
  for (size_t g = 0; g < n_genes; ++g) {
    int64_t total = 0;
    int32_t reach = 0;
    int32_t block = -1;
    for (size_t k = listing.gene_begin[g]; k < listing.gene_begin[g + 1]; ++k) {
      const int32_t r = listing.rows[k];
      if (block_of_row[r] != block) {
        block = block_of_row[r];
        reach = c.start[r];
      }
      if (c.end[r] > reach) {
        total += c.end[r] - std::max(c.start[r], reach);
        reach = c.end[r];
      }
    }
    listing.length[g] = total;
  }
  return listing;
}

void append_layout_columns(const FeatureColumns& c, const GeneListing& listing,
                           const std::vector<std::string>& contig_names, int32_t gene,
                           std::string& out) {
  const size_t begin = listing.gene_begin[static_cast<size_t>(gene)];
  const size_t end = listing.gene_begin[static_cast<size_t>(gene) + 1];
  for (int column = 0; column < 4; ++column) {
    if (column > 0) out += '\t';
    for (size_t k = begin; k < end; ++k) {
      const int32_t r = listing.rows[k];
      if (k > begin) out += ';';
      if (column == 0) {
        out += contig_names[static_cast<size_t>(c.contig[r])];
      } else if (column == 1) {
        append_number(out, int64_t{c.start[r]} + 1);
      } else if (column == 2) {
        append_number(out, c.end[r]);
      } else {
        out += static_cast<char>(c.strand[r]);
      }
    }
  }
  out += '\t';
  append_number(out, listing.length[static_cast<size_t>(gene)]);
}

GeneTexts featurecounts_values(const GeneListing& listing, const ExtraAttribute& attribute) {
  GeneTexts out;
  const size_t n_genes = listing.gene_begin.size() - 1;
  out.offsets.push_back(0);
  for (size_t g = 0; g < n_genes; ++g) {
    const size_t from = out.text.size();
    for (size_t k = listing.gene_begin[g]; k < listing.gene_begin[g + 1]; ++k) {
      if (k > listing.gene_begin[g]) out.text += ';';
      const int32_t v = attribute.value_of[static_cast<size_t>(listing.rows[k])];
      if (v < 0) {
        out.text += kNoValue;
      } else {
        out.text += attribute.values[static_cast<size_t>(v)];
      }
    }
    // All the pieces the same (split at every ';', as featureCounts splits them): one is shown.
    const std::string_view joined = std::string_view(out.text).substr(from);
    const size_t cut = joined.find(';');
    if (cut != std::string_view::npos) {
      const std::string_view first = joined.substr(0, cut);
      bool same = true;
      for (size_t at = cut + 1; same;) {
        const size_t next = joined.find(';', at);
        const size_t length = next == std::string_view::npos ? next : next - at;
        same = joined.substr(at, length) == first;
        if (next == std::string_view::npos) break;
        at = next + 1;
      }
      if (same) out.text.resize(from + cut);
    }
    out.offsets.push_back(out.text.size());
  }
  return out;
}

GeneTexts htseq_values(const FeatureColumns& c, const ExtraAttribute& attribute) {
  std::vector<int32_t> last(static_cast<size_t>(c.n_genes), -1);
  for (size_t r = 0; r < c.n; ++r) last[static_cast<size_t>(c.gene[r])] = attribute.value_of[r];
  GeneTexts out;
  out.offsets.push_back(0);
  for (int32_t v : last) {
    if (v >= 0) out.text += attribute.values[static_cast<size_t>(v)];
    out.offsets.push_back(out.text.size());
  }
  return out;
}

}  // namespace dulse::annotation
