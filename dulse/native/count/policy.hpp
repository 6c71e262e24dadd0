// A counting policy: the rules of one peer (featureCounts', htseq-count's) for what a read or a
// fragment comes to. The loop over records and the pairing are the same for every policy.
#pragma once

#include <memory>
#include <vector>

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
};

// The policy that `settings` ask for, counting into `tally`.
std::unique_ptr<Policy> make_policy(const index::FeatureIndex& index, const Settings& settings,
                                    const std::vector<int32_t>& tid_contig, Tally& tally);

}  // namespace dulse::count
