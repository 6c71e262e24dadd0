// The record loop, written once for every record source.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/weight.hpp"
#include "run.hpp"

namespace dulse {

// The counters of raw_stats, in its order. Every record counted in primary_mapped_records ends
// in exactly one of the six counters that follow it.
struct Counters {
  int64_t total_records = 0;
  int64_t primary_mapped_records = 0;
  int64_t below_mapq = 0;
  int64_t multimapping_discarded = 0;
  int64_t no_annotated_contig = 0;
  int64_t no_feature = 0;
  int64_t ambiguous = 0;
  int64_t assigned_records = 0;
  double assigned_weight = 0.0;  // summed record by record, not derived from counts
};

// What the assignment of one weighted record came to.
enum class Outcome { kFailed = -1, kNoFeature, kAmbiguous, kAssigned };

// A Path bundles a record source with the TidTable and the counts in the form that source
// works with. It provides:
//   int next();                          1 a record is in place, 0 the end, -1 failure
//   Record& record();
//   int find_contig(Record&, Contig*);   1 found, 0 no entry (or None), -1 failure
//   Outcome assign(Record&, Contig&, int32_t strand_mode, double weight);
//                                        settles the record: its gene's count grows by weight
//                                        when exactly one gene was found
//
// Each record reads only what its path needs: a record set aside by a flag has nothing else
// read, and a record weighted zero never reaches the index.
template <class Path>
int record_loop(Path& path, const Options& options, Counters& counters) {
  for (;;) {
    int got = path.next();
    if (got <= 0) return got;
    auto& record = path.record();
    ++counters.total_records;

    int skip = record.is_unmapped();
    if (skip == 0) skip = record.is_secondary();
    if (skip == 0) skip = record.is_supplementary();
    if (skip != 0) {
      if (skip < 0) return -1;
      continue;
    }
    ++counters.primary_mapped_records;

    int below = record.below_mapq(options.mapq_min);
    if (below != 0) {
      if (below < 0) return -1;
      ++counters.below_mapq;
      continue;
    }

    typename Path::Contig contig;
    int found = path.find_contig(record, &contig);
    if (found <= 0) {
      if (found < 0) return -1;
      ++counters.no_annotated_contig;
      continue;
    }

    double weight = _read_weight_fast(record, options.multi_mode, options.use_nh_tag);
    if (weight == -1.0 && PyErr_Occurred()) return -1;
    if (weight == 0.0) {
      ++counters.multimapping_discarded;
      continue;
    }

    switch (path.assign(record, contig, options.strand_mode, weight)) {
      case Outcome::kFailed:
        return -1;
      case Outcome::kAmbiguous:
        ++counters.ambiguous;
        break;
      case Outcome::kNoFeature:
        ++counters.no_feature;
        break;
      case Outcome::kAssigned:
        ++counters.assigned_records;
        counters.assigned_weight += weight;
        break;
    }
  }
}

}  // namespace dulse
