// featureCounts' rules for what it counts: a read (single-end, or each read of a pair when
// reads are counted), or a fragment (the one or two records of a pair). Each is either set
// aside under one of the summary's outcomes or assigned to the genes its blocks overlap.
#pragma once

#include <cstdint>
#include <vector>

#include "count/counters.hpp"
#include "count/gene_counts.hpp"
#include "count/read.hpp"
#include "count/settings.hpp"
#include "index/feature_index.hpp"

namespace dulse::count {

class Rules {
 public:
  // tid_contig maps the file's reference ids to the index's contigs (-1: none). counts[s] takes
  // the counts under strandedness s, where it is not null.
  Rules(const index::FeatureIndex& index, const Settings& settings,
        const std::vector<int32_t>& tid_contig, Counters& counters,
        GeneCounts* const (&counts)[kStrandednessCount])
      : index_(index), settings_(settings), tid_contig_(tid_contig), counters_(counters),
        counts_{counts[0], counts[1], counts[2]} {}

  // One read on its own: single-end reads, and every record when the reads of pairs are
  // counted.
  void count_read(const Read& read);
  // A fragment: `earlier` came first in the file; `later` is null for a record alone (no
  // mate in the file, or one that cannot pair).
  void count_fragment(const Read& earlier, const Read* later);

 private:
  using Outcome = int64_t Counters::*;

  // The checks featureCounts makes on each record of a fragment: duplicates, then
  // multi-mapping, then secondary alignments. nullptr when the record passes.
  Outcome record_checks(const Read& read) const;
  Outcome fragment_checks(const Read& earlier, const Read* later) const;
  bool is_chimeric(const Read& earlier, const Read* later) const;

  // Looks the mapped records' blocks up and assigns them under each strandedness: tallied in
  // counters_.by_rule, counted where counts_ asks.
  void assign(const Read* const* reads, int n);
  // Appends the genes of the hits that pass `rule` to genes_, from hits_[begin, end).
  void genes_under(Strandedness rule, size_t begin, size_t end, bool reverse);

  const index::FeatureIndex& index_;
  const Settings& settings_;
  const std::vector<int32_t>& tid_contig_;
  Counters& counters_;
  GeneCounts* counts_[kStrandednessCount];
  std::vector<index::Hit> hits_;  // reused from one read to the next
  std::vector<int32_t> genes_;
};

}  // namespace dulse::count
