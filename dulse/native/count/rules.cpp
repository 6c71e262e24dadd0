#include "count/rules.hpp"

#include <algorithm>

namespace dulse::count {

namespace {

// The strand of a template is read 1's; read 2 lies on the opposite one.
bool template_reverse(const Read& read) {
  bool reverse = read.reverse();
  return read.has(kRead2) && read.has(kPaired) ? !reverse : reverse;
}

}  // namespace

bool Rules::strand_passes(Strandedness rule, index::Strand strand, bool reverse) {
  if (rule == Strandedness::kUnstranded || strand == index::kBoth) return true;
  bool same = (strand == index::kMinus) == reverse;
  return rule == Strandedness::kForward ? same : !same;
}

void Rules::count_read(const Read& read) {
  int64_t Counters::*outcome = screen(&read, nullptr);
  if (outcome != nullptr) {
    ++(counters_.*outcome);
    return;
  }
  assign(&read, nullptr, read.nh);
}

void Rules::count_pair(const Read& one, const Read& other) {
  const Read& first = one.has(kRead1) || !other.has(kRead1) ? one : other;
  const Read& second = &first == &one ? other : one;
  if (!settings_.count_fragments) {
    // Reads counted one by one, each under the checks of the pair.
    int64_t Counters::*outcome = screen(&first, &second);
    for (const Read* read : {&first, &second}) {
      if (outcome != nullptr) {
        ++(counters_.*outcome);
      } else if (!read->mapped()) {
        ++counters_.unmapped;
      } else {
        assign(read, nullptr, read->nh);
      }
    }
    return;
  }
  int64_t Counters::*outcome = screen(&first, &second);
  if (outcome != nullptr) {
    ++(counters_.*outcome);
    return;
  }
  const Read* a = first.mapped() ? &first : nullptr;
  const Read* b = second.mapped() ? &second : nullptr;
  if (a == nullptr) std::swap(a, b);
  assign(a, b, a->nh);
}

int64_t Counters::*Rules::screen(const Read* first, const Read* second) const {
  bool first_mapped = first->mapped();
  bool second_mapped = second != nullptr && second->mapped();
  if (!first_mapped && !second_mapped) return &Counters::unmapped;
  if (settings_.both_ends_mapped && second != nullptr && first_mapped != second_mapped) {
    return &Counters::singleton;
  }
  const Read* mapped = first_mapped ? first : second;
  if (settings_.min_mapq > 0) {
    bool passes = (first_mapped && first->mapq >= settings_.min_mapq) ||
                  (second_mapped && second->mapq >= settings_.min_mapq);
    if (!passes) return &Counters::mapping_quality;
  }
  if (settings_.exclude_chimeric && first_mapped && second_mapped && first->tid != second->tid) {
    return &Counters::chimera;
  }
  if (settings_.check_fragment_length && first_mapped && second_mapped) {
    int32_t length = mapped->isize < 0 ? -mapped->isize : mapped->isize;
    if (length < settings_.min_fragment_length || length > settings_.max_fragment_length) {
      return &Counters::fragment_length;
    }
  }
  if (settings_.ignore_duplicates &&
      (mapped->has(kDuplicate) || (second != nullptr && second->has(kDuplicate)))) {
    return &Counters::duplicate;
  }
  if (!settings_.multi_mapping && mapped->nh > 1) return &Counters::multimapping;
  if (settings_.primary_only && mapped->has(kSecondary)) return &Counters::secondary;
  return nullptr;
}

bool Rules::collect_hits(const Read& read) {
  int32_t contig = read.tid >= 0 && static_cast<size_t>(read.tid) < tid_contig_.size()
                       ? tid_contig_[static_cast<size_t>(read.tid)]
                       : -1;
  if (contig < 0) return false;
  for (const Block& block : read.blocks) index_.query(contig, block.start, block.end, hits_);
  return true;
}

void Rules::assign(const Read* first, const Read* second, int32_t nh) {
  hits_.clear();
  bool annotated = collect_hits(*first);
  if (second != nullptr) annotated = collect_hits(*second) || annotated;
  if (!annotated) ++counters_.no_annotated_contig;
  bool reverse = template_reverse(*first);

  for (int s = 0; s < kStrandednessCount; ++s) {
    auto rule = static_cast<Strandedness>(s);
    genes_.clear();
    for (const index::Hit& hit : hits_) {
      if (strand_passes(rule, hit.strand, reverse) &&
          std::find(genes_.begin(), genes_.end(), hit.gene) == genes_.end()) {
        genes_.push_back(hit.gene);
      }
    }
    Counters::RuleTally& tally = counters_.by_rule[s];
    if (genes_.empty()) {
      ++tally.no_features;
    } else if (genes_.size() > 1 && !settings_.multi_overlap) {
      ++tally.ambiguity;
    } else {
      ++tally.assigned;
      if (counts_[s] != nullptr) {
        uint32_t denominator = 1;
        if (settings_.fraction) {
          if (settings_.multi_mapping && nh > 1) denominator *= static_cast<uint32_t>(nh);
          if (settings_.multi_overlap) denominator *= static_cast<uint32_t>(genes_.size());
        }
        for (int32_t gene : genes_) counts_[s]->add(gene, denominator);
      }
    }
  }
}

}  // namespace dulse::count
