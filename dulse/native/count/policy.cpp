#include "count/policy.hpp"

#include "count/featurecounts_rules.hpp"
#include "count/htseq_rules.hpp"

namespace dulse::count {

std::unique_ptr<Policy> make_policy(const index::FeatureIndex& index, const Settings& settings,
                                    const std::vector<int32_t>& tid_contig,
                                    const std::vector<uint32_t>& tid_length, Tally& tally) {
  if (settings.htseq()) return std::make_unique<HtseqRules>(index, settings, tid_contig, tally);
  return std::make_unique<FeatureCountsRules>(index, settings, tid_contig, tid_length, tally);
}

}  // namespace dulse::count
