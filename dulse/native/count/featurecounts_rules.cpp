#include "count/featurecounts_rules.hpp"

#include <algorithm>
#include <cstdlib>

namespace dulse::count {

namespace {

// The strand a record counts on: its own, flipped for read 2 of a pair.
bool counts_reverse(const Read& read) {
  return read.reverse() != (read.has(kPaired) && read.has(kRead2));
}

// A feature without a strand ('.') is, to featureCounts, on neither strand: no read lies on its
// strand (-s 1 never counts it) and every read lies on the other (-s 2 always does).
bool strand_passes(Strandedness rule, index::Strand strand, bool reverse) {
  if (rule == Strandedness::kUnstranded) return true;
  bool same = strand != index::kBoth && (strand == index::kMinus) == reverse;
  return rule == Strandedness::kForward ? same : !same;
}

}  // namespace

bool FeatureCountsRules::set_aside(const Read& read) const {
  return (!settings_.count_secondary && read.has(kSecondary)) ||
         (!settings_.count_supplementary && read.has(kSupplementary));
}

void FeatureCountsRules::count_read(const Read& read) {
  Outcome outcome = nullptr;
  if (set_aside(read)) {
    outcome = &Counters::secondary;
  } else if (read.has(kUnmapped)) {
    outcome = &Counters::unmapped;
  } else if (settings_.paired && settings_.both_ends_mapped && !read.has(kPaired)) {
    outcome = &Counters::singleton;
  } else if (read.mapq < settings_.min_mapq) {
    outcome = &Counters::mapping_quality;
  } else {
    outcome = record_checks(read);
  }
  if (outcome != nullptr) {
    ++(counters_.*outcome);
    return;
  }
  const Read* reads[] = {&read};
  assign(reads, 1);
}

FeatureCountsRules::Outcome FeatureCountsRules::record_checks(const Read& read) const {
  if (settings_.ignore_duplicates && read.has(kDuplicate)) return &Counters::duplicate;
  if (read.has(kUnmapped)) return nullptr;
  if (!settings_.multi_mapping && read.nh > 1) return &Counters::multimapping;
  if (settings_.primary_only && read.has(kSecondary)) return &Counters::secondary;
  return nullptr;
}

// -C's test: mates on different contigs or on the same strand. A record alone is judged by its
// mate fields when it says its mate is mapped; a pair with an unmapped end never is chimeric.
bool FeatureCountsRules::is_chimeric(const Read& earlier, const Read* later) const {
  if (later != nullptr) {
    if (earlier.has(kUnmapped) || later->has(kUnmapped)) return false;
    return earlier.tid != later->tid || earlier.reverse() == later->reverse();
  }
  if (earlier.has(kUnmapped) || !earlier.has(kPaired) || earlier.has(kMateUnmapped)) return false;
  return earlier.mtid != earlier.tid || earlier.reverse() == earlier.has(kMateReverse);
}

FeatureCountsRules::Outcome FeatureCountsRules::fragment_checks(const Read& earlier, const Read* later) const {
  bool any_mapped = !earlier.has(kUnmapped) || (later != nullptr && !later->has(kUnmapped));
  if (!any_mapped && (later != nullptr || !earlier.has(kPaired))) return &Counters::unmapped;
  if (settings_.both_ends_mapped) {
    auto aligned = [](const Read& read) {
      return read.has(kPaired) && !read.has(kUnmapped) && !read.has(kMateUnmapped);
    };
    if (!aligned(earlier) || (later != nullptr && !aligned(*later))) return &Counters::singleton;
  }
  bool chimeric = is_chimeric(earlier, later);
  if (settings_.exclude_chimeric && chimeric) return &Counters::chimera;
  if (settings_.check_fragment_length && !chimeric) {
    // |TLEN| of the record that came last.
    int64_t length = std::llabs(static_cast<int64_t>(later != nullptr ? later->isize : earlier.isize));
    if (length < settings_.min_fragment_length || length > settings_.max_fragment_length) {
      return &Counters::fragment_length;
    }
  }
  // The record that came last is looked at first.
  Outcome first = later != nullptr ? record_checks(*later) : record_checks(earlier);
  Outcome second = later != nullptr ? record_checks(earlier) : first;
  if (first != nullptr && first == second) return first;
  bool low = earlier.mapq < settings_.min_mapq &&
             (later == nullptr || later->mapq < settings_.min_mapq);
  if (low) return &Counters::mapping_quality;
  return first != nullptr ? first : second;
}

void FeatureCountsRules::count_fragment(const Read& earlier, const Read* later) {
  Outcome outcome = set_aside(earlier) || (later != nullptr && set_aside(*later))
                        ? &Counters::secondary
                        : fragment_checks(earlier, later);
  if (outcome != nullptr) {
    ++(counters_.*outcome);
    return;
  }
  const Read* reads[2];
  int n = 0;
  for (const Read* read : {&earlier, later}) {
    if (read != nullptr && !read->has(kUnmapped)) reads[n++] = read;
  }
  if (n == 0) {
    // A record alone, unmapped, whose mate is not in the file: it reaches no feature.
    for (auto& tally : counters_.by_rule) ++tally.no_features;
    return;
  }
  assign(reads, n);
}

void FeatureCountsRules::genes_under(Strandedness rule, size_t begin, size_t end, bool reverse) {
  size_t first_gene = genes_.size();
  for (size_t h = begin; h < end; ++h) {
    const index::Hit& hit = hits_[h];
    if (strand_passes(rule, hit.strand, reverse) &&
        std::find(genes_.begin() + static_cast<ptrdiff_t>(first_gene), genes_.end(), hit.gene) ==
            genes_.end()) {
      genes_.push_back(hit.gene);
    }
  }
}

void FeatureCountsRules::assign(const Read* const* reads, int n) {
  hits_.clear();
  size_t ends[3] = {0, 0, 0};  // reads[r]'s hits are hits_[ends[r], ends[r + 1])
  bool annotated = false;
  int32_t nh = 1;
  for (int r = 0; r < n; ++r) {
    const Read& read = *reads[r];
    nh = std::max(nh, read.nh);
    int32_t contig = read.tid >= 0 && static_cast<size_t>(read.tid) < tid_contig_.size()
                         ? tid_contig_[static_cast<size_t>(read.tid)]
                         : -1;
    if (contig >= 0) {
      annotated = true;
      for (const Block& block : read.blocks) index_.query(contig, block.start, block.end, hits_);
    }
    ends[r + 1] = hits_.size();
  }
  if (!annotated) ++counters_.no_annotated_contig;
  if (hits_.empty()) {
    for (auto& tally : counters_.by_rule) ++tally.no_features;
    return;
  }

  for (int s = 0; s < kStrandednessCount; ++s) {
    auto rule = static_cast<Strandedness>(s);
    // Each record's genes, then the union: genes_[0, cut[0]) are the first record's,
    // genes_[cut[0], cut[1]) the second's.
    genes_.clear();
    size_t cut[2] = {0, 0};
    for (int r = 0; r < n; ++r) {
      genes_under(rule, ends[r], ends[r + 1], counts_reverse(*reads[r]));
      cut[r] = genes_.size();
    }
    // The genes chosen: with -O all of them; else the only one; else the one both records hit,
    // when there is exactly one such.
    std::vector<int32_t>& chosen = genes_;
    size_t n_chosen = 0;
    int32_t single = -1;
    if (n == 2) {
      // Genes of the second record not among the first's join the union.
      for (size_t g = cut[0]; g < cut[1]; ++g) {
        bool shared = std::find(genes_.begin(), genes_.begin() + static_cast<ptrdiff_t>(cut[0]),
                                genes_[g]) != genes_.begin() + static_cast<ptrdiff_t>(cut[0]);
        if (shared) {
          single = single == -1 ? genes_[g] : -2;  // -2: more than one shared
        }
      }
      size_t kept = cut[0];
      for (size_t g = cut[0]; g < cut[1]; ++g) {
        if (std::find(genes_.begin(), genes_.begin() + static_cast<ptrdiff_t>(cut[0]),
                      genes_[g]) == genes_.begin() + static_cast<ptrdiff_t>(cut[0])) {
          genes_[kept++] = genes_[g];
        }
      }
      genes_.resize(kept);
    }
    n_chosen = chosen.size();
    Counters::RuleTally& tally = counters_.by_rule[s];
    const int32_t* give = nullptr;
    size_t n_give = 0;
    if (n_chosen == 0) {
      ++tally.no_features;
    } else if (n_chosen == 1 || settings_.multi_overlap) {
      give = chosen.data();
      n_give = n_chosen;
    } else if (single >= 0) {
      give = &single;
      n_give = 1;
    } else {
      ++tally.ambiguity;
    }
    if (give == nullptr) continue;
    ++tally.assigned;
    if (counts_[s] == nullptr) continue;
    uint32_t denominator = 1;
    if (settings_.fraction) {
      if (settings_.multi_mapping && !settings_.primary_only) {
        denominator *= static_cast<uint32_t>(nh);
      }
      if (settings_.multi_overlap) denominator *= static_cast<uint32_t>(n_give);
    }
    for (size_t g = 0; g < n_give; ++g) counts_[s]->add(give[g], denominator);
  }
}

}  // namespace dulse::count
