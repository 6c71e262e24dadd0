#include "count/htseq_rules.hpp"

#include <algorithm>

namespace dulse::count {

namespace {

void sort_unique(std::vector<int32_t>& genes, size_t from = 0) {
  auto begin = genes.begin() + static_cast<ptrdiff_t>(from);
  std::sort(begin, genes.end());
  genes.erase(std::unique(begin, genes.end()), genes.end());
}

// htseq-count takes a mate as aligned when the record says so and names its place.
bool mate_aligned(const Read& read) { return !read.has(kMateUnmapped) && read.mtid >= 0; }

uint64_t mix(uint64_t x) {
  // splitmix64's finaliser: the --nonunique random choice as a function of the seed and the
  // fragment, so that it does not depend on the order threads meet fragments in.
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

}  // namespace

bool HtseqRules::set_aside(const Read& read) const {
  return (!settings_.count_secondary && read.has(kSecondary)) ||
         (!settings_.count_supplementary && read.has(kSupplementary));
}

// htseq-count 1.99.2 counting pairs with one of the two kinds scored sets no record aside
// before pairing, and then (once an unaligned read 1 has made the pair __not_aligned) the
// fragments with a record, read 1 or read 2, of the kind not scored.
bool HtseqRules::read1_sets_aside() const {
  return settings_.read1_decides && settings_.count_secondary != settings_.count_supplementary;
}

bool HtseqRules::ignores(const Read& read) const {
  if (read1_sets_aside() && settings_.paired && read.has(kPaired)) return false;
  return set_aside(read);
}

// By name, mates pair when each record's aligned flag is what the other says of its mate and,
// when both are aligned, each lies where the other says; by position their template lengths
// must also be opposite. HI tags play no part.
PairKey HtseqRules::pair_key(const Read& read) const {
  constexpr int32_t kSomewhere = -3;
  int32_t own_tid = PairKey::kNowhere, own_pos = PairKey::kNowhere;
  int32_t mate_tid = PairKey::kNowhere, mate_pos = PairKey::kNowhere;
  if (read.mapped()) {
    own_tid = read.tid;
    own_pos = read.pos;
  }
  if (mate_aligned(read)) {
    mate_tid = read.mtid;
    mate_pos = read.mpos;
  }
  bool by_position = settings_.pairing == Pairing::kPosition;
  if (!by_position && (own_tid == PairKey::kNowhere || mate_tid == PairKey::kNowhere)) {
    if (own_tid != PairKey::kNowhere) own_tid = own_pos = kSomewhere;
    if (mate_tid != PairKey::kNowhere) mate_tid = mate_pos = kSomewhere;
  }
  bool first = read.has(kRead1);
  int64_t length = first ? read.isize : -static_cast<int64_t>(read.isize);
  return first ? PairKey{own_tid, own_pos, mate_tid, mate_pos, by_position, length}
               : PairKey{mate_tid, mate_pos, own_tid, own_pos, by_position, length};
}

void HtseqRules::count_read(const Read& read) { count(&read, nullptr, read.number, false); }

void HtseqRules::count_fragment(const Read& earlier, const Read* later) {
  uint64_t order;
  if (settings_.pairing == Pairing::kName) {
    order = earlier.number;  // a bundle of one name is counted from its first record on
  } else {
    order = later != nullptr ? later->number : kAtTheEnd + earlier.number;
  }
  const Read* first = nullptr;
  const Read* second = nullptr;
  for (const Read* read : {&earlier, later}) {
    if (read == nullptr) continue;
    (read->has(kRead2) && !read->has(kRead1) ? second : first) = read;
  }
  if (later == nullptr && earlier.has(kPaired)) ++counters_.htseq.missing_mates;
  count(first, second, order, true);
}

void HtseqRules::count(const Read* first, const Read* second, uint64_t order, bool pair) {
  noting_ = {first, second, order};
  const Read* present[2];
  int n_present = 0;
  for (const Read* read : {first, second}) {
    if (read != nullptr) present[n_present++] = read;
  }
  bool any_aligned = false, multi = false, low = false;
  bool nh_checked = false;
  for (int r = 0; r < n_present; ++r) {
    any_aligned = any_aligned || present[r]->mapped();
    low = low || present[r]->mapq < settings_.min_mapq;
    // htseq-count looks at read 1's NH, then read 2's, and stops at the first record
    // without the tag.
    if (!nh_checked && (!present[r]->has_nh || present[r]->nh > 1)) {
      multi = present[r]->nh > 1;
      nh_checked = true;
    }
  }
  if (pair && settings_.read1_decides) any_aligned = first != nullptr && first->mapped();
  if (!any_aligned) return settle(&Counters::Htseq::not_aligned, false);
  if (pair && read1_sets_aside() &&
      (set_aside(*first) || (second != nullptr && set_aside(*second)))) {
    return;
  }
  bool not_unique = multi && settings_.nonunique != Nonunique::kNone;
  if (multi) {
    if (!not_unique) return settle(&Counters::Htseq::alignment_not_unique, false);
    ++counters_.htseq.alignment_not_unique;
  }
  if (low) return settle(&Counters::Htseq::too_low_aqual, not_unique);
  const Read* reads[2];
  bool reverse[2];
  int n = 0;
  bool flip = settings_.strandedness == Strandedness::kReverse;
  if (first != nullptr && first->mapped()) {
    reads[n] = first;
    reverse[n++] = first->reverse() != flip;
  }
  if (second != nullptr && second->mapped()) {
    reads[n] = second;
    reverse[n++] = second->reverse() == flip;
  }
  if (!find_genes(reads, reverse, n) || genes_.empty()) {
    return settle(&Counters::Htseq::no_feature, not_unique);
  }
  settle(genes_.size() > 1 ? &Counters::Htseq::ambiguous : nullptr, not_unique);
}

void HtseqRules::settle(HtseqLog::Outcome outcome, bool not_unique) {
  if (log_ != nullptr) {
    log_->note(noting_.first, noting_.second, outcome, genes_.data(), genes_.size(), not_unique,
               noting_.order);
  }
  Counters::Htseq& c = counters_.htseq;
  if (outcome == nullptr) {
    ++c.assigned;
  } else {
    ++(c.*outcome);
    if (outcome != &Counters::Htseq::ambiguous || settings_.nonunique == Nonunique::kNone) return;
  }
  give(noting_.order);
}

void HtseqRules::give(uint64_t order) {
  auto n = static_cast<uint32_t>(genes_.size());
  if (settings_.nonunique == Nonunique::kFraction) {
    for (int32_t gene : genes_) counts_.add_in_order(order, gene, n);
  } else if (n == 1 || settings_.nonunique == Nonunique::kAll) {
    for (int32_t gene : genes_) counts_.add(gene, 1);
  } else if (settings_.nonunique == Nonunique::kRandom) {
    counts_.add(genes_[mix(settings_.random_seed ^ mix(order)) % n], 1);
  }
}

bool HtseqRules::find_genes(const Read* const* reads, const bool* reverse, int n) {
  genes_.clear();
  started_ = false;
  for (int r = 0; r < n; ++r) {
    const Read& read = *reads[r];
    int32_t contig = read.tid >= 0 && static_cast<size_t>(read.tid) < tid_contig_.size()
                         ? tid_contig_[static_cast<size_t>(read.tid)]
                         : -1;
    if (!read.blocks.empty() && !index_.has_features(contig)) return false;
    for (const Block& block : read.blocks) take_block(contig, block, reverse[r]);
  }
  if (settings_.overlap_mode == OverlapMode::kUnion) sort_unique(genes_);
  return true;
}

// One aligned block: its genes (union), or the genes of each stretch of bases under the same
// features intersected into genes_.
void HtseqRules::take_block(int32_t contig, const Block& block, bool reverse) {
  hits_.clear();
  index_.query(contig, block.start, block.end, hits_);
  bool stranded = settings_.strandedness != Strandedness::kUnstranded;
  index::Strand wanted = reverse ? index::kMinus : index::kPlus;
  size_t kept = 0;
  for (const index::Hit& hit : hits_) {
    if (!stranded || hit.strand == index::kBoth || hit.strand == wanted) hits_[kept++] = hit;
  }
  hits_.resize(kept);
  if (settings_.overlap_mode == OverlapMode::kUnion) {
    for (const index::Hit& hit : hits_) genes_.push_back(hit.gene);
    return;
  }
  bounds_.assign({block.start, block.end});
  for (const index::Hit& hit : hits_) {
    bounds_.push_back(std::max(hit.start, block.start));
    bounds_.push_back(std::min(hit.end, block.end));
  }
  sort_unique(bounds_);
  bool nonempty_only = settings_.overlap_mode == OverlapMode::kIntersectionNonempty;
  for (size_t b = 0; b + 1 < bounds_.size(); ++b) {
    here_.clear();
    for (const index::Hit& hit : hits_) {
      if (hit.start <= bounds_[b] && hit.end >= bounds_[b + 1]) here_.push_back(hit.gene);
    }
    if (here_.empty() && nonempty_only) continue;
    sort_unique(here_);
    if (!started_) {
      genes_ = here_;
      started_ = true;
      continue;
    }
    scratch_.clear();
    std::set_intersection(genes_.begin(), genes_.end(), here_.begin(), here_.end(),
                          std::back_inserter(scratch_));
    genes_.swap(scratch_);
  }
}

}  // namespace dulse::count
