// Counts one alignment file: every record read once, in file order, on this thread or, for a
// BGZF-compressed BAM and more than one thread, in chunks on several (see chunk_counter.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bam/alignment_input.hpp"
#include "count/record_step.hpp"
#include "count/settings.hpp"
#include "count/tally.hpp"
#include "index/feature_index.hpp"

namespace dulse::count {

// Asked from the thread that called count(), every few thousand records or a few times a
// second, and when a signal interrupts a blocked read, whether to stop.
using Interrupt = bam::Interruption;

class FileCounter {
 public:
  FileCounter(const index::FeatureIndex& index, const Settings& settings)
      : index_(index), settings_(settings), tally_(settings, index.n_genes()) {}

  // Counts on `threads` threads (1: this one alone, as always when outcomes are logged).
  CountStatus count(bam::AlignmentInput& input, int threads, Interrupt* interrupt);
  // Before count(): where each read's or fragment's outcome goes (-R), in file order.
  void set_log(AssignmentLog* log) { tally_.log = log; }
  // Before count(): where htseq-count's -o records go, in the order it writes them.
  void set_htseq_log(HtseqLog* log) { tally_.htseq_log = log; }

  const Counters& counters() const { return tally_.counters; }
  // The counts under a strandedness rule: the chosen one, or any with counts_for_every_rule.
  const GeneCounts& counts(Strandedness rule) const {
    return tally_.counts[static_cast<int>(rule)];
  }
  const std::string& message() const { return message_; }
  // The contigs of the file that the annotation has.
  int32_t contigs_matched() const { return contigs_matched_; }
  // The file's reference ids -> the index's contigs (-1: none), once count() began.
  const std::vector<int32_t>& tid_contig() const { return tid_contig_; }
  int64_t paired_records() const { return paired_records_; }
  // With --byReadGroup, once count() began: the header's read groups, and a tally for each.
  const std::vector<std::string>& read_groups() const { return read_groups_; }
  const std::vector<Tally>& group_tallies() const { return tally_.groups; }
  const Tally& tally() const { return tally_; }

 private:
  CountStatus count_here(bam::AlignmentInput& input, const FileContext& file,
                         Interrupt* interrupt);
  CountStatus finish(uint64_t records, int64_t paired_records);

  const index::FeatureIndex& index_;
  const Settings& settings_;
  Tally tally_;
  std::string message_;
  int32_t contigs_matched_ = 0;
  std::vector<int32_t> tid_contig_;
  std::vector<std::string> read_groups_;
  int64_t paired_records_ = 0;
};

}  // namespace dulse::count
