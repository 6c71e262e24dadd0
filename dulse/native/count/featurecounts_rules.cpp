#include "count/featurecounts_rules.hpp"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace dulse::count {

namespace {

// The strand a record counts on: its own, flipped for read 2 of a pair.
bool counts_reverse(const Read& read) {
  return read.reverse() != (read.has(kPaired) && read.has(kRead2));
}

// A block as the mates' overlap takes it: the first reaching back over the soft clip before it,
// the last on over the one after it (Read::reach_before, reach_after).
std::pair<int64_t, int64_t> reaching(const Read& read, size_t b) {
  const Block& block = read.blocks.data()[b];
  int64_t start = block.start, end = block.end;
  if (b == 0) start -= read.reach_before;
  if (b + 1 == read.blocks.size()) end += read.reach_after;
  return {start, end};
}

// The bases of `read`'s insertions placed on a base that `mate`'s blocks reach.
int64_t inserted_on(const Read& read, const Read& mate) {
  int64_t bases = 0;
  for (const Insertion& insertion : read.insertions) {
    for (size_t b = 0; b < mate.blocks.size(); ++b) {
      auto [start, end] = reaching(mate, b);
      if (insertion.at >= start && insertion.at < end) {
        bases += insertion.length;
        break;
      }
    }
  }
  return bases;
}

// A feature without a strand ('.') is, to featureCounts, on neither strand: no read lies on its
// strand (-s 1 never counts it) and every read lies on the other (-s 2 always does).
constexpr bool strand_passes(Strandedness rule, index::Strand strand, bool reverse) {
  if (rule == Strandedness::kUnstranded) return true;
  bool same = strand != index::kBoth && (strand == index::kMinus) == reverse;
  return rule == Strandedness::kForward ? same : !same;
}

// The rules a hit passes, bit s for rule s, by the feature's strand and the record's.
struct RuleMasks {
  unsigned masks[3][2] = {};
  constexpr RuleMasks() {
    for (int strand = 0; strand < 3; ++strand) {
      for (int reverse = 0; reverse < 2; ++reverse) {
        for (int s = 0; s < kStrandednessCount; ++s) {
          if (strand_passes(static_cast<Strandedness>(s), static_cast<index::Strand>(strand),
                            reverse != 0)) {
            masks[strand][reverse] |= 1u << s;
          }
        }
      }
    }
  }
};
constexpr RuleMasks kRuleMasks;

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
  if (outcome == nullptr && split_only_fails(read, nullptr)) outcome = &Counters::nonsplit;
  noting_ = {&read, nullptr};
  if (outcome != nullptr) {
    ++(counters_.*outcome);
    note(outcome);
    return;
  }
  if (junctions_ != nullptr) add_junctions(read, nullptr);
  const Read* reads[] = {&read};
  assign(reads, 1);
}

const char* FeatureCountsRules::row_name(Outcome outcome) {
  for (const CounterName& row : kSummaryRows) {
    if (row.field == outcome) return row.name;
  }
  return "";
}

void FeatureCountsRules::note(Outcome outcome, const int32_t* genes, size_t n) {
  if (log_ == nullptr) return;
  const char* row = outcome == &Counters::nonsplit &&
                            settings_.split_rule == SplitRule::kNonSplitOnly
                        ? "Unassigned_Split"
                        : row_name(outcome);
  if (n == 0) {
    log_->note(*noting_.earlier, noting_.later, row, nullptr, 0);
    return;
  }
  // featureCounts lists the targets as it met them: the later record's hits first.
  listed_.clear();
  for (int32_t gene : met_) {
    if (std::find(genes, genes + n, gene) != genes + n) listed_.push_back(gene);
  }
  log_->note(*noting_.earlier, noting_.later, row, listed_.data(), listed_.size());
}

void FeatureCountsRules::note_rule(int s, Outcome outcome, const int32_t* genes, size_t n) {
  if (log_ != nullptr && s == static_cast<int>(settings_.strandedness)) note(outcome, genes, n);
}

// The genes of the hits in the order featureCounts meets them, each once: the record that came
// later first, each record's in the order of its hits, of those on a strand the chosen rule
// takes (a gene met first on the other strand comes where it is met on the right one).
template <class Hits, class RecordOf>
void FeatureCountsRules::meet(const Hits& hits, int n, RecordOf record_of, const bool* reverse) {
  met_.clear();
  for (int r = n - 1; r >= 0; --r) {
    for (const auto& hit : hits) {
      if (record_of(hit) == r && strand_passes(settings_.strandedness, hit.strand, reverse[r]) &&
          std::find(met_.begin(), met_.end(), hit.gene) == met_.end()) {
        met_.push_back(hit.gene);
      }
    }
  }
}

// --splitOnly, after every other check: reads with no N, and fragments whose records are all
// mapped with no N. Counting fragments, a pair with an unmapped mate passes, and so does a lone
// record that says its mate is unmapped or is not paired.
bool FeatureCountsRules::split_only_fails(const Read& earlier, const Read* later) const {
  if (settings_.split_rule != SplitRule::kSplitOnly) return false;
  bool fragments = settings_.paired && settings_.count_fragments;
  for (const Read* read : {&earlier, later}) {
    if (read == nullptr) continue;
    if (read->has(kUnmapped) || read->spliced) return false;
    if (fragments && (read->has(kMateUnmapped) || !read->has(kPaired))) return false;
  }
  return true;
}

void FeatureCountsRules::add_junctions(const Read& earlier, const Read* later) {
  for (const Junction& junction : earlier.junctions) junctions_->add(earlier.tid, junction);
  if (later == nullptr) return;
  for (const Junction& junction : later->junctions) {
    bool shared = later->tid == earlier.tid &&
                  std::find(earlier.junctions.begin(), earlier.junctions.end(), junction) !=
                      earlier.junctions.end();
    if (!shared) junctions_->add(later->tid, junction);
  }
}

FeatureCountsRules::Outcome FeatureCountsRules::record_checks(const Read& read) const {
  if (settings_.ignore_duplicates && read.has(kDuplicate)) return &Counters::duplicate;
  if (read.has(kUnmapped)) return nullptr;
  if (!settings_.multi_mapping && read.nh > 1) return &Counters::multimapping;
  if (settings_.primary_only && read.has(kSecondary)) return &Counters::secondary;
  // --nonSplitOnly's row is the summary's Unassigned_NonSplit, named Unassigned_Split then.
  if (settings_.split_rule == SplitRule::kNonSplitOnly && read.spliced) return &Counters::nonsplit;
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
  if (outcome == nullptr && split_only_fails(earlier, later)) outcome = &Counters::nonsplit;
  noting_ = {&earlier, later};
  if (outcome != nullptr) {
    ++(counters_.*outcome);
    note(outcome);
    return;
  }
  if (junctions_ != nullptr) add_junctions(earlier, later);
  const Read* reads[2];
  int n = 0;
  for (const Read* read : {&earlier, later}) {
    if (read != nullptr && !read->has(kUnmapped)) reads[n++] = read;
  }
  if (n == 0) {
    // A record alone, unmapped, whose mate is not in the file: it reaches no feature.
    for (auto& tally : counters_.by_rule) ++tally.no_features;
    note(&Counters::no_features);
    return;
  }
  assign(reads, n);
}

void FeatureCountsRules::genes_by_rule(size_t begin, size_t end, bool reverse) {
  seen_.clear();
  for (size_t h = begin; h < end; ++h) {
    const index::Hit& hit = hits_[h];
    uint8_t& rules = gene_rules_[static_cast<size_t>(hit.gene)];
    unsigned fresh = kRuleMasks.masks[hit.strand][reverse ? 1 : 0] & ~unsigned{rules};
    if (fresh == 0) continue;
    if (rules == 0) seen_.push_back(hit.gene);
    rules = static_cast<uint8_t>(rules | fresh);
    for (int s = 0; s < kStrandednessCount; ++s) {
      if ((fresh >> s & 1u) != 0) rule_genes_[s].push_back(hit.gene);
    }
  }
  for (int32_t gene : seen_) gene_rules_[static_cast<size_t>(gene)] = 0;
}

void FeatureCountsRules::assign(const Read* const* reads, int n) {
  int32_t contigs[2] = {-1, -1};
  bool annotated = false;
  for (int r = 0; r < n; ++r) {
    int32_t tid = reads[r]->tid;
    contigs[r] = tid >= 0 && static_cast<size_t>(tid) < tid_contig_.size()
                     ? tid_contig_[static_cast<size_t>(tid)]
                     : -1;
    annotated = annotated || contigs[r] >= 0;
  }
  if (!annotated) ++counters_.no_annotated_contig;
  // --largestOverlap alone chooses among several genes: the reads of one gene, most of them,
  // take the path below, and the others are measured (their hits looked up again).
  bool choosing = settings_.measures_only_to_choose();
  if (settings_.measures_overlap() && !choosing) {
    assign_measured(reads, n, contigs);
    return;
  }

  hits_.clear();
  size_t ends[3] = {0, 0, 0};  // reads[r]'s hits are hits_[ends[r], ends[r + 1])
  int32_t nh = 1;
  for (int r = 0; r < n; ++r) {
    const Read& read = *reads[r];
    nh = std::max(nh, read.nh);
    if (contigs[r] >= 0) {
      for (const Block& block : ends_.blocks(read, scratch_[r])) {
        index_.query(contigs[r], block.start, block.end, hits_);
      }
    }
    ends[r + 1] = hits_.size();
  }
  if (hits_.empty()) {
    for (auto& tally : counters_.by_rule) ++tally.no_features;
    note(&Counters::no_features);
    return;
  }
  // Most reads and fragments hit one gene alone: under each rule it is then assigned to that
  // gene, when a hit passes the rule, or has no features.
  int32_t gene = hits_.front().gene;
  bool one_gene = true;
  for (const index::Hit& hit : hits_) one_gene = one_gene && hit.gene == gene;
  if (choosing && !one_gene) {
    assign_measured(reads, n, contigs);
    return;
  }
  if (log_ != nullptr) {
    bool reverse[2] = {counts_reverse(*reads[0]), n > 1 && counts_reverse(*reads[1])};
    meet(hits_, n, [this, &ends](const index::Hit& hit) {
      auto at = static_cast<size_t>(&hit - hits_.data());
      return at < ends[1] ? 0 : 1;
    }, reverse);
  }
  if (one_gene) {
    unsigned passed = 0;
    for (int r = 0; r < n; ++r) {
      int reverse = counts_reverse(*reads[r]) ? 1 : 0;
      for (size_t h = ends[r]; h < ends[r + 1]; ++h) {
        passed |= kRuleMasks.masks[hits_[h].strand][reverse];
      }
    }
    for (int s = 0; s < kStrandednessCount; ++s) {
      if ((passed >> s & 1u) != 0) {
        count_for(static_cast<Strandedness>(s), &gene, 1, 1, nh);
        note_rule(s, &Counters::assigned, &gene, 1);
      } else {
        ++counters_.by_rule[s].no_features;
        note_rule(s, &Counters::no_features);
      }
    }
    return;
  }

  // Under each rule, each record's genes, then the union: rule_genes_[s][0, cut[s][0]) are the
  // first record's, [cut[s][0], cut[s][1]) the second's.
  size_t cut[kStrandednessCount][2] = {};
  for (std::vector<int32_t>& genes : rule_genes_) genes.clear();
  for (int r = 0; r < n; ++r) {
    genes_by_rule(ends[r], ends[r + 1], counts_reverse(*reads[r]));
    for (int s = 0; s < kStrandednessCount; ++s) cut[s][r] = rule_genes_[s].size();
  }
  for (int s = 0; s < kStrandednessCount; ++s) {
    auto rule = static_cast<Strandedness>(s);
    // The genes chosen: with -O all of them; else the only one; else the one both records hit,
    // when there is exactly one such.
    std::vector<int32_t>& chosen = rule_genes_[s];
    int32_t single = -1;
    if (n == 2) {
      // Genes of the second record not among the first's join the union.
      auto first_begin = chosen.begin();
      auto first_end = chosen.begin() + static_cast<ptrdiff_t>(cut[s][0]);
      size_t kept = cut[s][0];
      for (size_t g = cut[s][0]; g < cut[s][1]; ++g) {
        if (std::find(first_begin, first_end, chosen[g]) != first_end) {
          single = single == -1 ? chosen[g] : -2;  // -2: more than one shared
        } else {
          chosen[kept++] = chosen[g];
        }
      }
      chosen.resize(kept);
    }
    size_t n_chosen = chosen.size();
    Counters::RuleTally& tally = counters_.by_rule[s];
    if (n_chosen == 0) {
      ++tally.no_features;
      note_rule(s, &Counters::no_features);
    } else if (n_chosen == 1 || settings_.multi_overlap) {
      count_for(rule, chosen.data(), n_chosen, n_chosen, nh);
      note_rule(s, &Counters::assigned, chosen.data(), n_chosen);
    } else if (single >= 0) {
      count_for(rule, &single, 1, 1, nh);
      note_rule(s, &Counters::assigned, &single, 1);
    } else {
      ++tally.ambiguity;
      note_rule(s, &Counters::ambiguity);
    }
  }
}

void FeatureCountsRules::count_for(Strandedness rule, const int32_t* genes, size_t n,
                                   size_t divisor_genes, int32_t nh) {
  auto s = static_cast<int>(rule);
  ++counters_.by_rule[s].assigned;
  if (counts_[s] == nullptr) return;
  uint32_t denominator = 1;
  if (settings_.fraction) {
    if (settings_.multi_mapping && !settings_.primary_only) {
      denominator *= static_cast<uint32_t>(nh);
    }
    if (settings_.multi_overlap) denominator *= static_cast<uint32_t>(divisor_genes);
  }
  for (size_t g = 0; g < n; ++g) counts_[s]->add(genes[g], denominator);
}

int64_t FeatureCountsRules::fragment_bases(const Read* const* reads, int n) const {
  int64_t bases = 0;
  for (int r = 0; r < n; ++r) bases += reads[r]->query_length;
  if (n == 2 && reads[0]->tid == reads[1]->tid) {
    for (size_t i = 0; i < reads[0]->blocks.size(); ++i) {
      auto [a_start, a_end] = reaching(*reads[0], i);
      for (size_t j = 0; j < reads[1]->blocks.size(); ++j) {
        auto [b_start, b_end] = reaching(*reads[1], j);
        bases -= std::max<int64_t>(0, std::min(a_end, b_end) - std::max(a_start, b_start));
      }
    }
    bases -= inserted_on(*reads[0], *reads[1]) + inserted_on(*reads[1], *reads[0]);
  }
  return bases;
}

void FeatureCountsRules::assign_measured(const Read* const* reads, int n,
                                         const int32_t* contigs) {
  pieces_.clear();
  int32_t nh = 1;
  bool reverse[2] = {false, false};
  for (int r = 0; r < n; ++r) {
    const Read& read = *reads[r];
    nh = std::max(nh, read.nh);
    reverse[r] = counts_reverse(read);
    if (contigs[r] < 0) continue;
    for (const Block& block : ends_.blocks(read, scratch_[r])) {
      hits_.clear();
      index_.query(contigs[r], block.start, block.end, hits_);
      for (const index::Hit& hit : hits_) {
        pieces_.push_back(Piece{hit.feature, hit.gene, std::max(block.start, hit.start),
                                std::min(block.end, hit.end), hit.end - hit.start,
                                static_cast<uint8_t>(r), hit.strand});
      }
    }
  }
  if (pieces_.empty()) {
    for (auto& tally : counters_.by_rule) ++tally.no_features;
    note(&Counters::no_features);
    return;
  }
  if (log_ != nullptr) meet(pieces_, n, [](const Piece& piece) { return piece.record; }, reverse);
  int64_t bases = settings_.measures_length() ? fragment_bases(reads, n) : 0;
  // Mostly every rule keeps all of the pieces or none: the pieces are then judged once, in
  // place. A rule that keeps all of them comes to what the first such rule came to.
  unsigned keep_all = ~0u, keep_any = 0;
  for (const Piece& piece : pieces_) {
    unsigned passes = kRuleMasks.masks[piece.strand][reverse[piece.record] ? 1 : 0];
    keep_all &= passes;
    keep_any |= passes;
  }
  bool mixed = keep_all != keep_any;
  bool judged_all = false;
  OverlapRules::Verdict all_verdict = OverlapRules::Verdict::kNoFeatures;
  size_t all_left = 0;
  for (int s = 0; s < kStrandednessCount; ++s) {
    auto rule = static_cast<Strandedness>(s);
    unsigned bit = 1u << s;
    size_t left = 0;
    OverlapRules::Verdict verdict;
    const std::vector<int32_t>* chosen = &genes_;
    if ((keep_any & bit) == 0) {
      verdict = OverlapRules::Verdict::kNoFeatures;
    } else if ((keep_all & bit) != 0) {
      if (!judged_all) {
        std::vector<Piece>* judged = &pieces_;
        if (mixed) {
          rule_pieces_ = pieces_;  // the judge reorders what it is given
          judged = &rule_pieces_;
        }
        all_verdict = overlap_.judge(*judged, bases, all_genes_, &all_left);
        judged_all = true;
      }
      verdict = all_verdict;
      left = all_left;
      chosen = &all_genes_;
    } else {
      rule_pieces_.clear();
      for (const Piece& piece : pieces_) {
        if ((kRuleMasks.masks[piece.strand][reverse[piece.record] ? 1 : 0] & bit) != 0) {
          rule_pieces_.push_back(piece);
        }
      }
      verdict = overlap_.judge(rule_pieces_, bases, genes_, &left);
    }
    Counters::RuleTally& tally = counters_.by_rule[s];
    switch (verdict) {
      case OverlapRules::Verdict::kAssigned:
        count_for(rule, chosen->data(), chosen->size(), left, nh);
        note_rule(s, &Counters::assigned, chosen->data(), chosen->size());
        break;
      case OverlapRules::Verdict::kNoFeatures:
        ++tally.no_features;
        note_rule(s, &Counters::no_features);
        break;
      case OverlapRules::Verdict::kOverlappingLength:
        ++tally.overlapping_length;
        note_rule(s, &Counters::overlapping_length);
        break;
      case OverlapRules::Verdict::kAmbiguity:
        ++tally.ambiguity;
        note_rule(s, &Counters::ambiguity);
        break;
    }
  }
}

}  // namespace dulse::count
