// What counting adds up, on one thread: the counters and, for each strandedness rule kept, the
// counts of every gene. Tallies of several threads merge into one, exactly.
#pragma once

#include "count/assignment_log.hpp"
#include "count/counters.hpp"
#include "count/gene_counts.hpp"
#include "count/htseq_log.hpp"
#include "count/junctions.hpp"
#include "count/settings.hpp"

namespace dulse::count {

struct Tally {
  Counters counters;
  GeneCounts counts[kStrandednessCount];
  JunctionCounts junctions;  // with -J
  // Where each read's or fragment's outcome is written (-R), when anywhere; on one thread only.
  AssignmentLog* log = nullptr;
  // Where htseq-count's -o records go, when anywhere; on one thread only.
  HtseqLog* htseq_log = nullptr;

  // Counts are kept for the chosen rule, or for every rule when the settings ask.
  static bool keeps(const Settings& settings, Strandedness rule) {
    return settings.counts_for_every_rule || rule == settings.strandedness;
  }
  Tally(const Settings& settings, int32_t n_genes) {
    for (int s = 0; s < kStrandednessCount; ++s) {
      if (keeps(settings, static_cast<Strandedness>(s))) counts[s] = GeneCounts(n_genes);
    }
  }
  void merge(const Tally& other) {
    counters.add(other.counters);
    junctions.merge(other.junctions);
    for (int s = 0; s < kStrandednessCount; ++s) {
      if (counts[s].size() > 0) counts[s].merge(other.counts[s]);
    }
  }
};

}  // namespace dulse::count
