// featureCounts' rules for what it counts: a read (single-end, or each read of a pair when
// reads are counted), or a fragment (the one or two records of a pair). Each is either set
// aside under one of the summary's outcomes or assigned to the genes its blocks overlap.
#pragma once

#include <cstdint>
#include <vector>

#include "count/counters.hpp"
#include "count/policy.hpp"
#include "count/gene_counts.hpp"
#include "count/overlap_rules.hpp"
#include "count/read.hpp"
#include "count/read_ends.hpp"
#include "count/settings.hpp"
#include "count/tally.hpp"
#include "index/feature_index.hpp"

namespace dulse::count {

class FeatureCountsRules : public Policy {
 public:
  // tid_contig maps the file's reference ids to the index's contigs (-1: none), tid_length
  // gives their lengths (0: not known). What is counted goes to `tally`, the counts of a rule
  // only where the tally keeps them.
  FeatureCountsRules(const index::FeatureIndex& index, const Settings& settings,
        const std::vector<int32_t>& tid_contig, const std::vector<uint32_t>& tid_length,
        Tally& tally)
      : index_(index), settings_(settings), tid_contig_(tid_contig), counters_(tally.counters),
        gene_rules_(static_cast<size_t>(index.n_genes()), 0), log_(tally.log),
        junctions_(settings.count_junctions ? &tally.junctions : nullptr),
        ends_(settings, tid_length), overlap_(settings) {
    for (int s = 0; s < kStrandednessCount; ++s) {
      counts_[s] = tally.counts[s].size() > 0 ? &tally.counts[s] : nullptr;
    }
  }

  // One read on its own: single-end reads, and every record when the reads of pairs are
  // counted.
  void count_read(const Read& read) override;
  // A fragment: `earlier` came first in the file; `later` is null for a record alone (no
  // mate in the file, or one that cannot pair).
  void count_fragment(const Read& earlier, const Read* later) override;

 private:
  using Outcome = int64_t Counters::*;

  bool set_aside(const Read& read) const;
  // The checks featureCounts makes on each record of a fragment: duplicates, then
  // multi-mapping, then secondary alignments. nullptr when the record passes.
  Outcome record_checks(const Read& read) const;
  Outcome fragment_checks(const Read& earlier, const Read* later) const;
  bool is_chimeric(const Read& earlier, const Read* later) const;

  // Looks the mapped records' blocks up and assigns them under each strandedness: tallied in
  // counters_.by_rule, counted where counts_ asks.
  void assign(const Read* const* reads, int n);
  // Appends to rule_genes_[s] the genes of the hits in hits_[begin, end) (one record's) that
  // pass rule s, each once, in the order of the first of its hits that does.
  void genes_by_rule(size_t begin, size_t end, bool reverse);
  // The overlap rules' path: the pieces of the records' blocks on the features hit, judged
  // under each strandedness (see overlap_rules.hpp).
  void assign_measured(const Read* const* reads, int n, const int32_t* contigs);
  // The records' length for the overlap fractions: their query lengths, less the bases the
  // mates share, where Read places them (reach_before, reach_after, insertions).
  int64_t fragment_bases(const Read* const* reads, int n) const;
  bool split_only_fails(const Read& earlier, const Read* later) const;
  // -J: the junctions of a read or fragment that passed the checks, each once per fragment.
  void add_junctions(const Read& earlier, const Read* later);
  void count_for(Strandedness rule, const int32_t* genes, size_t n, size_t divisor_genes,
                 int32_t nh);

  // -R: what the read or fragment being counted came to, under the chosen rule.
  static const char* row_name(Outcome outcome);
  void note(Outcome outcome, const int32_t* genes = nullptr, size_t n = 0);
  void note_rule(int rule, Outcome outcome, const int32_t* genes = nullptr, size_t n = 0);
  template <class Hits, class RecordOf>
  void meet(const Hits& hits, int n, RecordOf record_of, const bool* reverse);

  const index::FeatureIndex& index_;
  const Settings& settings_;
  const std::vector<int32_t>& tid_contig_;
  Counters& counters_;
  GeneCounts* counts_[kStrandednessCount];
  std::vector<index::Hit> hits_;  // reused from one read to the next
  std::vector<int32_t> genes_;
  std::vector<int32_t> rule_genes_[kStrandednessCount];
  // By gene, bit s: a hit of the gene passed rule s (genes_by_rule), zero again once it is
  // done; seen_ lists the genes it set. One look-up per hit: with -f, where a read lies on
  // many features, searching the genes seen instead took about 5% of the count.
  std::vector<uint8_t> gene_rules_;
  std::vector<int32_t> seen_;
  std::vector<int32_t> all_genes_;  // what the rules chose from every piece of a read
  AssignmentLog* log_;
  JunctionCounts* junctions_;
  struct Noting {
    const Read* earlier;
    const Read* later;
  } noting_{nullptr, nullptr};
  std::vector<int32_t> met_;     // the genes of the hits, as featureCounts meets them
  std::vector<int32_t> listed_;
  ReadEnds ends_;
  OverlapRules overlap_;
  std::vector<Block> scratch_[2];
  std::vector<Piece> pieces_;      // every record's pieces
  std::vector<Piece> rule_pieces_;  // those whose strand passes one rule
};

}  // namespace dulse::count
