// featureCounts' rules for one template: a single-end read, or the one or two records of a
// pair. Each template is either set aside under one of the summary's outcomes or assigned to
// the genes its aligned blocks overlap.
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

  // A read counted alone: single-end, or in paired mode a record that has no mate.
  void count_read(const Read& read);
  // Both records of a pair, in either order.
  void count_pair(const Read& one, const Read& other);

 private:
  // The outcome of the checks that come before the features are looked at: a counter to grow,
  // or nullptr to go on to the features.
  int64_t Counters::*screen(const Read* first, const Read* second) const;
  // Looks the reads' blocks up, then assigns under each strandedness: tallied in
  // counters_.by_rule, counted where counts_ asks.
  void assign(const Read* first, const Read* second, int32_t nh);
  // false when the annotation lacks the read's contig.
  bool collect_hits(const Read& read);
  // Whether a hit on a feature of `strand` counts for a template whose read 1 lies on the
  // reverse strand (`reverse`).
  static bool strand_passes(Strandedness rule, index::Strand strand, bool reverse);

  const index::FeatureIndex& index_;
  const Settings& settings_;
  const std::vector<int32_t>& tid_contig_;
  Counters& counters_;
  GeneCounts* counts_[kStrandednessCount];
  std::vector<index::Hit> hits_;  // reused from template to template
  std::vector<int32_t> genes_;
};

}  // namespace dulse::count
