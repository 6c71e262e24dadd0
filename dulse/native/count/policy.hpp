// A counting policy: the rules of one peer (featureCounts', htseq-count's) for what a read or a
// fragment comes to, and for which records are mates. The loop over records is the same for
// every policy.
#pragma once

#include <memory>
#include <vector>

#include "count/mate_table.hpp"
#include "count/read.hpp"
#include "count/settings.hpp"
#include "count/tally.hpp"
#include "index/feature_index.hpp"

namespace dulse::count {

class Policy {
 public:
  virtual ~Policy() = default;
  // One read on its own (single-end reads, or every record when reads are counted).
  virtual void count_read(const Read& read) = 0;
  // A fragment: `earlier` came first in the file; `later` is null for a record alone.
  virtual void count_fragment(const Read& earlier, const Read* later) = 0;

  // A record left out before anything else: neither counted nor paired.
  virtual bool ignores(const Read&) const { return false; }
  // Where a pair lies, as both its records must say: records of one name with equal keys pair.
  virtual PairKey pair_key(const Read& read) const { return count::pair_key(read); }
  // Whether a record pairs with the earliest of several waiting mates (else the latest).
  virtual bool pairs_earliest() const { return false; }
};

// The policy that `settings` ask for, counting into `tally` (tid_contig and tid_length: see
// FeatureCountsRules).
std::unique_ptr<Policy> make_policy(const index::FeatureIndex& index, const Settings& settings,
                                    const std::vector<int32_t>& tid_contig,
                                    const std::vector<uint32_t>& tid_length, Tally& tally);

}  // namespace dulse::count
