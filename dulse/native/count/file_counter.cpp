#include "count/file_counter.hpp"

#include "count/mate_table.hpp"
#include "count/read.hpp"
#include "count/rules.hpp"

namespace dulse::count {

namespace {

constexpr int64_t kCancelCheckInterval = 4096;

std::string where(const std::vector<std::string>& names, int32_t tid, int32_t pos) {
  std::string contig = tid >= 0 && static_cast<size_t>(tid) < names.size() ? names[tid] : "*";
  return contig + ":" + std::to_string(static_cast<int64_t>(pos) + 1);
}

}  // namespace

FileCounter::FileCounter(const index::FeatureIndex& index, const Settings& settings)
    : index_(index), settings_(settings) {
  for (int s = 0; s < kStrandednessCount; ++s) {
    if (keeps(static_cast<Strandedness>(s))) counts_[s] = GeneCounts(index.n_genes());
  }
}

CountStatus FileCounter::count(bam::AlignmentInput& input, Interrupt* interrupt) {
  const std::vector<std::string>& names = input.reference_names();
  std::vector<int32_t> tid_contig(names.size(), -1);
  for (size_t t = 0; t < names.size(); ++t) {
    tid_contig[t] = index_.contig_of(names[t]);
    if (tid_contig[t] >= 0) ++contigs_matched_;
  }
  GeneCounts* const kept[kStrandednessCount] = {
      keeps(Strandedness::kUnstranded) ? &counts_[0] : nullptr,
      keeps(Strandedness::kForward) ? &counts_[1] : nullptr,
      keeps(Strandedness::kReverse) ? &counts_[2] : nullptr};
  Rules rules(index_, settings_, tid_contig, counters_, kept);
  auto settle = [&rules](Read& read) { rules.count_fragment(read, nullptr); };

  const bool fragments = settings_.paired && settings_.count_fragments;
  const bool by_position = fragments && input.sort_order() == bam::SortOrder::kCoordinate;
  MateTable table;
  Read read;
  Read mate;
  uint64_t last_place = 0;
  int64_t paired_records = 0;
  for (;;) {
    if (interrupt != nullptr && counters_.records % kCancelCheckInterval == 0 &&
        interrupt->requested()) {
      return fail(CountStatus::kCancelled, "interrupted");
    }
    int got = input.next();
    if (got < 0) return fail(CountStatus::kUnreadable, input.message());
    if (got == 0) break;
    const bam::Record& record = input.record();
    ++counters_.records;
    load_read(record, kDefaultMaxBlocks, read);
    if (read.has(kPaired)) {
      if (!settings_.paired) {
        return fail(CountStatus::kPairedNotAsked,
                    "record " + std::to_string(counters_.records) + " is one of a pair");
      }
      ++paired_records;
    }
    if (!fragments) {
      rules.count_read(read);
      continue;
    }
    if (by_position) {
      uint64_t here = MateTable::place(read.tid, read.pos);
      if (here < last_place) {
        return fail(CountStatus::kOutOfOrder,
                    "record " + std::to_string(counters_.records) + " (" +
                        where(names, read.tid, read.pos) +
                        ") comes after a later position, although the header says the file "
                        "is sorted by coordinate");
      }
      last_place = here;
      table.settle_before(read.tid, read.pos, settle);
    }
    if (!can_pair(read)) {
      rules.count_fragment(read, nullptr);
      continue;
    }
    std::string_view name = name_of(record);
    PairKey key = pair_key(read);
    if (table.take_mate(name, key, read, mate)) {
      rules.count_fragment(mate, &read);
      continue;
    }
    if (by_position &&
        MateTable::place(read.mtid, read.mpos) < MateTable::place(read.tid, read.pos)) {
      rules.count_fragment(read, nullptr);  // its mate would have come already
      continue;
    }
    table.hold(name, key, read, by_position);
    if (static_cast<int64_t>(table.size()) > counters_.pending_peak) {
      counters_.pending_peak = static_cast<int64_t>(table.size());
    }
  }
  table.settle_all(settle);
  counters_.take_rule(settings_.strandedness);
  if (settings_.paired && paired_records == 0) {
    return fail(CountStatus::kNoPairs, "not one record is one of a pair");
  }
  return CountStatus::kDone;
}

}  // namespace dulse::count
