#include "annotation/merged_index.hpp"

#include <algorithm>

namespace dulse::annotation {

namespace {

struct Piece {
  int32_t start;
  int32_t end;
  uint32_t order;  // file order, a '.' feature's two strands one after the other
  int32_t gene;
  uint8_t strand;
};

}  // namespace

MergedIntervals merge_intervals(const FeatureColumns& c) {
  const auto n_contigs = static_cast<size_t>(c.n_contigs);
  std::vector<size_t> contig_begin(n_contigs + 1, 0);
  for (size_t r = 0; r < c.n; ++r) {
    contig_begin[static_cast<size_t>(c.contig[r]) + 1] += c.strand[r] == '.' ? 2 : 1;
  }
  for (size_t k = 0; k < n_contigs; ++k) contig_begin[k + 1] += contig_begin[k];
  std::vector<Piece> pieces(contig_begin[n_contigs]);
  {
    std::vector<size_t> fill(contig_begin.begin(), contig_begin.end() - 1);
    uint32_t order = 0;
    for (size_t r = 0; r < c.n; ++r) {
      size_t& at = fill[static_cast<size_t>(c.contig[r])];
      if (c.strand[r] == '.') {
        pieces[at++] = {c.start[r], c.end[r], order++, c.gene[r], '+'};
        pieces[at++] = {c.start[r], c.end[r], order++, c.gene[r], '-'};
      } else {
        pieces[at++] = {c.start[r], c.end[r], order++, c.gene[r], c.strand[r]};
      }
    }
  }

  MergedIntervals out;
  // Per gene and strand, the interval it last added on the contig being merged.
  std::vector<size_t> last(static_cast<size_t>(c.n_genes) * 2);
  std::vector<int32_t> last_contig(static_cast<size_t>(c.n_genes) * 2, -1);
  for (size_t k = 0; k < n_contigs; ++k) {
    auto first = pieces.begin() + static_cast<std::ptrdiff_t>(contig_begin[k]);
    auto end = pieces.begin() + static_cast<std::ptrdiff_t>(contig_begin[k + 1]);
    std::sort(first, end, [](const Piece& a, const Piece& b) {
      if (a.start != b.start) return a.start < b.start;
      if (a.end != b.end) return a.end < b.end;
      return a.order < b.order;
    });
    for (auto p = first; p != end; ++p) {
      const size_t slot = static_cast<size_t>(p->gene) * 2 + (p->strand == '-' ? 1 : 0);
      if (last_contig[slot] == static_cast<int32_t>(k) && p->start <= out.end[last[slot]]) {
        out.end[last[slot]] = std::max(out.end[last[slot]], p->end);
        continue;
      }
      last_contig[slot] = static_cast<int32_t>(k);
      last[slot] = out.start.size();
      out.contig.push_back(static_cast<int32_t>(k));
      out.start.push_back(p->start);
      out.end.push_back(p->end);
      out.gene.push_back(p->gene);
      out.strand.push_back(p->strand);
    }
  }
  return out;
}

}  // namespace dulse::annotation
