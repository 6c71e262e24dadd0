#include "count/overlap_rules.hpp"

#include <algorithm>

namespace dulse::count {

namespace {

// overlap >= fraction * length, with the fraction as featureCounts keeps it.
bool reaches(int64_t overlap, float fraction, int64_t length) {
  return fraction <= 0 || static_cast<double>(overlap) >= static_cast<double>(fraction) *
                                                             static_cast<double>(length);
}

}  // namespace

int64_t OverlapRules::covered(const Piece* begin, const Piece* end) {
  int64_t total = 0;
  int32_t reach = INT32_MIN;
  for (const Piece* p = begin; p != end; ++p) {
    if (p->start >= reach) {
      total += p->end - p->start;
      reach = p->end;
    } else if (p->end > reach) {
      total += p->end - reach;
      reach = p->end;
    }
  }
  return total;
}

bool OverlapRules::feature_passes(int64_t length, int64_t overlap) const {
  if (!reaches(overlap, settings_.min_feature_fraction, length)) return false;
  return settings_.max_feature_non_overlap < 0 ||
         length - overlap <= settings_.max_feature_non_overlap;
}

bool OverlapRules::gene_passes(int64_t overlap, int64_t bases) const {
  if (overlap < settings_.min_overlap) return false;
  if (!reaches(overlap, settings_.min_fraction, bases)) return false;
  return settings_.max_non_overlap < 0 || bases - overlap <= settings_.max_non_overlap;
}

OverlapRules::Verdict OverlapRules::judge(std::vector<Piece>& pieces, int64_t bases,
                                          std::vector<int32_t>& chosen, size_t* left) {
  chosen.clear();
  kept_.clear();
  if (settings_.min_feature_fraction <= 0 && settings_.max_feature_non_overlap < 0) {
    // No rule on a feature's own overlap: every feature stays.
    kept_.swap(pieces);
  } else {
    std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) {
      return a.feature != b.feature ? a.feature < b.feature : a.start < b.start;
    });
    for (size_t i = 0; i < pieces.size();) {
      size_t j = i;
      while (j < pieces.size() && pieces[j].feature == pieces[i].feature) ++j;
      if (feature_passes(pieces[i].feature_length, covered(&pieces[i], &pieces[0] + j))) {
        kept_.insert(kept_.end(), pieces.begin() + static_cast<ptrdiff_t>(i),
                     pieces.begin() + static_cast<ptrdiff_t>(j));
      }
      i = j;
    }
  }
  if (kept_.empty()) return Verdict::kNoFeatures;

  // The pieces of one record come in the order of their starts, and mostly of one gene.
  auto by_gene = [](const Piece& a, const Piece& b) {
    return a.gene != b.gene ? a.gene < b.gene : a.start < b.start;
  };
  if (!std::is_sorted(kept_.begin(), kept_.end(), by_gene)) {
    std::sort(kept_.begin(), kept_.end(), by_gene);
  }
  candidates_.clear();
  for (size_t i = 0; i < kept_.size();) {
    size_t j = i;
    unsigned records = 0;
    while (j < kept_.size() && kept_[j].gene == kept_[i].gene) records |= 1u << kept_[j++].record;
    int64_t overlap = covered(&kept_[i], &kept_[0] + j);
    if (gene_passes(overlap, bases)) {
      candidates_.push_back(
          Candidate{kept_[i].gene, overlap, static_cast<int>((records & 1) + (records >> 1))});
    }
    i = j;
  }
  if (candidates_.empty()) return Verdict::kOverlappingLength;
  *left = candidates_.size();
  choose(chosen);
  return chosen.empty() ? Verdict::kAmbiguity : Verdict::kAssigned;
}

void OverlapRules::choose(std::vector<int32_t>& chosen) const {
  bool all = settings_.multi_overlap || candidates_.size() == 1;
  if (settings_.largest_overlap) {
    int64_t most = 0;
    for (const Candidate& c : candidates_) most = std::max(most, c.overlap);
    size_t tied = 0;
    for (const Candidate& c : candidates_) tied += c.overlap == most;
    if (tied > 1 && !settings_.multi_overlap) return;
    for (const Candidate& c : candidates_) {
      if (c.overlap == most) chosen.push_back(c.gene);
    }
    return;
  }
  if (all) {
    for (const Candidate& c : candidates_) chosen.push_back(c.gene);
    return;
  }
  int most = 0;
  for (const Candidate& c : candidates_) most = std::max(most, c.votes);
  const Candidate* winner = nullptr;
  for (const Candidate& c : candidates_) {
    if (c.votes != most) continue;
    if (winner != nullptr) return;
    winner = &c;
  }
  chosen.push_back(winner->gene);
}

}  // namespace dulse::count
