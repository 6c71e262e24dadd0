// htseq-count's rules for what a read (single-end) or a fragment (the one or two records of a
// pair) comes to: one of its five special counters, or the genes under its aligned bases.
//
// The checks, in order: no record aligned (__not_aligned); read 1 or read 2 with NH > 1 (the
// look stops at the first record without an NH tag)
// (__alignment_not_unique, the end of it unless --nonunique spreads such fragments); any record,
// aligned or not, with MAPQ below -a (__too_low_aQual); an aligned block on a contig without
// features (__no_feature). Then the genes: at each aligned base (M, = and X; read 2's blocks
// on the other strand), the genes whose features cover it on the strand the rule asks for;
// over all bases their union, their intersection, or the intersection of the non-empty ones.
// None is __no_feature, several __ambiguous (spread by --nonunique all, fraction or random),
// one the gene's count.
#pragma once

#include <cstdint>
#include <vector>

#include "count/counters.hpp"
#include "count/gene_counts.hpp"
#include "count/htseq_log.hpp"
#include "count/policy.hpp"
#include "count/read.hpp"
#include "count/settings.hpp"
#include "count/tally.hpp"
#include "index/feature_index.hpp"

namespace dulse::count {

class HtseqRules : public Policy {
 public:
  HtseqRules(const index::FeatureIndex& index, const Settings& settings,
             const std::vector<int32_t>& tid_contig, Tally& tally)
      : index_(index), settings_(settings), tid_contig_(tid_contig), counters_(tally.counters),
        counts_(tally.counts[static_cast<int>(settings.strandedness)]), log_(tally.htseq_log) {}

  void count_read(const Read& read) override;
  void count_fragment(const Read& earlier, const Read* later) override;

  bool ignores(const Read& read) const override;
  PairKey pair_key(const Read& read) const override;
  bool pairs_earliest() const override { return true; }

  // Fragments that settle at the end of the file (mates missing, paired by position) come
  // after every other, as htseq-count counts them once the file is read.
  static constexpr uint64_t kAtTheEnd = uint64_t{1} << 62;

 private:
  bool set_aside(const Read& read) const;
  bool read1_sets_aside() const;
  // read 1 and read 2 of a fragment (either may be null), counted as the fragment at `order`.
  void count(const Read* first, const Read* second, uint64_t order, bool pair);
  // Fills genes_ with the fragment's genes; false when a block lies on a contig without
  // features.
  bool find_genes(const Read* const* reads, const bool* reverse, int n);
  void take_block(int32_t contig, const Block& block, bool reverse);
  void give(uint64_t order);
  // Counts the fragment in `outcome` (null: the one gene of genes_) and notes it for -o.
  void settle(HtseqLog::Outcome outcome, bool not_unique);

  const index::FeatureIndex& index_;
  const Settings& settings_;
  const std::vector<int32_t>& tid_contig_;
  Counters& counters_;
  GeneCounts& counts_;
  HtseqLog* log_;
  struct Noting {
    const Read* first;
    const Read* second;
    uint64_t order;
  } noting_{nullptr, nullptr, 0};
  // Reused from one fragment to the next.
  std::vector<index::Hit> hits_;
  std::vector<int32_t> bounds_;
  std::vector<int32_t> here_;
  std::vector<int32_t> genes_;
  std::vector<int32_t> scratch_;
  bool started_ = false;  // intersections: a first set has been taken
};

}  // namespace dulse::count
