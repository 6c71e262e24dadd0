#include "count/file_counter.hpp"

#include "count/chunk_counter.hpp"

namespace dulse::count {

namespace {

constexpr uint64_t kInterruptInterval = 4096;

}  // namespace

CountStatus FileCounter::count(bam::AlignmentInput& input, int threads, Interrupt* interrupt) {
  FileContext file(index_, settings_, input.reference_names(), input.reference_lengths(),
                   input.sort_order() == bam::SortOrder::kCoordinate);
  if (settings_.by_read_group) {
    file.set_read_groups(input.header_text());
    tally_.add_groups(file.read_groups.size(), settings_, index_.n_genes());
    read_groups_ = file.read_groups;
  }
  contigs_matched_ = file.contigs_matched();
  tid_contig_ = file.tid_contig;
  if (threads > 1 && !input.is_sam() && tally_.log == nullptr &&
      tally_.htseq_log == nullptr) {
    ChunkCounter chunks(file, tally_, threads);
    // A file that cannot be read in chunks (plain gzip) is counted on this thread.
    if (chunks.attach(input)) {
      CountStatus status = chunks.count(interrupt);
      if (status != CountStatus::kDone) {
        message_ = chunks.message();
        return status;
      }
      return finish(chunks.records(), chunks.paired_records());
    }
  }
  return count_here(input, file, interrupt);
}

CountStatus FileCounter::count_here(bam::AlignmentInput& input, const FileContext& file,
                                    Interrupt* interrupt) {
  RecordStep step(file, tally_);
  for (uint64_t number = 1;; ++number) {
    if (interrupt != nullptr && number % kInterruptInterval == 0 && interrupt->requested()) {
      message_ = "interrupted";
      return CountStatus::kCancelled;
    }
    int got = input.next();
    if (got < 0) {
      message_ = input.message();
      return CountStatus::kUnreadable;
    }
    if (got == 0) break;
    if (file.look_ahead) {
      step.look_ahead(input.record().tid, input.record().pos,
                      [&input](int k) { return input.ahead(k); });
    }
    CountStatus status = step.take(input.record(), number);
    if (status != CountStatus::kDone) {
      message_ = step.message();
      return status;
    }
  }
  step.settle_all();
  return finish(input.records(), step.paired_records());
}

CountStatus FileCounter::finish(uint64_t records, int64_t paired_records) {
  tally_.counters.records = static_cast<int64_t>(records);
  paired_records_ = paired_records;
  if (settings_.paired && !settings_.htseq() && paired_records == 0) {
    message_ = "not one record is one of a pair";
    return CountStatus::kNoPairs;
  }
  tally_.counters.take_rule(settings_.strandedness);
  for (Tally& group : tally_.groups) group.counters.take_rule(settings_.strandedness);
  return CountStatus::kDone;
}

}  // namespace dulse::count
