// What became of the reads of one file, as featureCounts' summary names the outcomes, plus
// what dulse measures beside them. Every read (or, counting fragments, every pair) ends in
// exactly one of the featureCounts outcomes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "count/settings.hpp"

namespace dulse::count {

struct Counters {
  int64_t assigned = 0;
  int64_t unmapped = 0;
  int64_t read_type = 0;
  int64_t singleton = 0;
  int64_t mapping_quality = 0;
  int64_t chimera = 0;
  int64_t fragment_length = 0;
  int64_t duplicate = 0;
  int64_t multimapping = 0;
  int64_t secondary = 0;
  int64_t nonsplit = 0;
  int64_t no_features = 0;
  int64_t overlapping_length = 0;
  int64_t ambiguity = 0;

  int64_t records = 0;  // records read from the file
  // Reads (fragments) that reached the features on contigs the annotation lacks.
  int64_t no_annotated_contig = 0;
  // Records whose optional fields are damaged before a tag counting looks for (NH, HI): the
  // tag then counts as absent, as featureCounts and htslib take it.
  int64_t corrupt_tags = 0;
  // What the reads (or fragments) that reached the features came to under each strandedness,
  // the chosen one included: strandedness measured in the same pass.
  struct RuleTally {
    int64_t assigned = 0;
    int64_t no_features = 0;
    int64_t ambiguity = 0;
    int64_t overlapping_length = 0;
  };
  RuleTally by_rule[kStrandednessCount];
  int64_t pending_peak = 0;  // the most mates waiting for their mate at any one time

  // htseq-count's special counters, under its rules. A multi-mapping fragment counted under
  // --nonunique is counted in alignment_not_unique and goes on to the others.
  struct Htseq {
    int64_t no_feature = 0;
    int64_t ambiguous = 0;
    int64_t too_low_aqual = 0;
    int64_t not_aligned = 0;
    int64_t alignment_not_unique = 0;
    int64_t assigned = 0;  // fragments counted for one gene alone
    int64_t missing_mates = 0;  // paired records counted without their mate
  } htseq;
  // How htseq-count tells paired files: by the first record. -1 until it is seen.
  int64_t first_record_paired = -1;
  int64_t first_single_record = 0;  // the first record without the paired flag, or 0

  // Fills the summary's rows that depend on the strandedness from its tally.
  void take_rule(Strandedness rule) {
    const RuleTally& tally = by_rule[static_cast<int>(rule)];
    assigned = tally.assigned;
    no_features = tally.no_features;
    ambiguity = tally.ambiguity;
    overlapping_length = tally.overlapping_length;
  }
  void add(const Counters& other);
};

struct CounterName {
  const char* name;
  int64_t Counters::*field;
};

struct HtseqCounterName {
  const char* name;
  int64_t Counters::Htseq::*field;
};

// htseq-count's special counters, in its order.
inline constexpr HtseqCounterName kHtseqRows[] = {
    {"__no_feature", &Counters::Htseq::no_feature},
    {"__ambiguous", &Counters::Htseq::ambiguous},
    {"__too_low_aQual", &Counters::Htseq::too_low_aqual},
    {"__not_aligned", &Counters::Htseq::not_aligned},
    {"__alignment_not_unique", &Counters::Htseq::alignment_not_unique},
};

// featureCounts' summary rows, in its order.
inline constexpr CounterName kSummaryRows[] = {
    {"Assigned", &Counters::assigned},
    {"Unassigned_Unmapped", &Counters::unmapped},
    {"Unassigned_Read_Type", &Counters::read_type},
    {"Unassigned_Singleton", &Counters::singleton},
    {"Unassigned_MappingQuality", &Counters::mapping_quality},
    {"Unassigned_Chimera", &Counters::chimera},
    {"Unassigned_FragmentLength", &Counters::fragment_length},
    {"Unassigned_Duplicate", &Counters::duplicate},
    {"Unassigned_MultiMapping", &Counters::multimapping},
    {"Unassigned_Secondary", &Counters::secondary},
    {"Unassigned_NonSplit", &Counters::nonsplit},
    {"Unassigned_NoFeatures", &Counters::no_features},
    {"Unassigned_Overlapping_Length", &Counters::overlapping_length},
    {"Unassigned_Ambiguity", &Counters::ambiguity},
};

inline void Counters::add(const Counters& other) {
  for (const CounterName& row : kSummaryRows) this->*row.field += other.*row.field;
  records += other.records;
  no_annotated_contig += other.no_annotated_contig;
  corrupt_tags += other.corrupt_tags;
  for (int s = 0; s < kStrandednessCount; ++s) {
    by_rule[s].assigned += other.by_rule[s].assigned;
    by_rule[s].no_features += other.by_rule[s].no_features;
    by_rule[s].ambiguity += other.by_rule[s].ambiguity;
    by_rule[s].overlapping_length += other.by_rule[s].overlapping_length;
  }
  if (other.pending_peak > pending_peak) pending_peak = other.pending_peak;
  for (const HtseqCounterName& row : kHtseqRows) htseq.*row.field += other.htseq.*row.field;
  htseq.assigned += other.htseq.assigned;
  htseq.missing_mates += other.htseq.missing_mates;
  if (other.first_record_paired >= 0) first_record_paired = other.first_record_paired;
  if (other.first_single_record > 0 &&
      (first_single_record == 0 || other.first_single_record < first_single_record)) {
    first_single_record = other.first_single_record;
  }
}

}  // namespace dulse::count
