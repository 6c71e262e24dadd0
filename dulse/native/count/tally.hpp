// What counting adds up, on one thread: the counters and, for each strandedness rule kept, the
// counts of every gene. Tallies of several threads merge into one, exactly.
#pragma once

#include <vector>

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
  // With --byReadGroup, one tally per read group of the header; this one then keeps what
  // belongs to the file (records, pending mates) and the reads of groups the header lacks,
  // which no column shows.
  std::vector<Tally> groups;

  // Counts are kept for the chosen rule, or for every rule when the settings ask.
  static bool keeps(const Settings& settings, Strandedness rule) {
    return settings.counts_for_every_rule || rule == settings.strandedness;
  }
  Tally(const Settings& settings, int32_t n_genes, size_t n_groups = 0) {
    for (int s = 0; s < kStrandednessCount; ++s) {
      if (keeps(settings, static_cast<Strandedness>(s))) counts[s] = GeneCounts(n_genes);
    }
    if (n_groups > 0) add_groups(n_groups, settings, n_genes);
  }
  // One tally per read group, writing to this one's logs.
  void add_groups(size_t n, const Settings& settings, int32_t n_genes) {
    groups.assign(n, Tally(settings, n_genes));
    for (Tally& group : groups) {
      group.log = log;
      group.htseq_log = htseq_log;
    }
  }
  void merge(const Tally& other) {
    for (size_t g = 0; g < groups.size() && g < other.groups.size(); ++g) {
      groups[g].merge(other.groups[g]);
    }
    counters.add(other.counters);
    junctions.merge(other.junctions);
    for (int s = 0; s < kStrandednessCount; ++s) {
      if (counts[s].size() > 0) counts[s].merge(other.counts[s]);
    }
  }
};

}  // namespace dulse::count
