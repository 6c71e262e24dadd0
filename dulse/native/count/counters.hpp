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
  // Reads (or fragments) that would be assigned under each strandedness, the chosen one
  // included: strandedness measured in the same pass.
  int64_t assigned_as[kStrandednessCount] = {0, 0, 0};
  int64_t pending_peak = 0;  // the most mates waiting for their mate at any one time

  void add(const Counters& other);
};

struct CounterName {
  const char* name;
  int64_t Counters::*field;
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
  for (int s = 0; s < kStrandednessCount; ++s) assigned_as[s] += other.assigned_as[s];
  if (other.pending_peak > pending_peak) pending_peak = other.pending_peak;
}

}  // namespace dulse::count
