// Counts one alignment file: every record read once, in file order, paired on the fly when
// asked, each template handed to the rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bam/alignment_input.hpp"
#include "count/counters.hpp"
#include "count/gene_counts.hpp"
#include "count/settings.hpp"
#include "index/feature_index.hpp"

namespace dulse::count {

class Interrupt {
 public:
  virtual ~Interrupt() = default;
  virtual bool requested() = 0;
};

enum class CountStatus {
  kDone,
  kUnreadable,          // the input failed; message() says what and where
  kPairedNotAsked,      // paired records in a run without -p
  kNoPairs,             // -p, but not one record is paired
  kOutOfOrder,          // the header says coordinate-sorted, the records are not
  kCancelled,
};

class FileCounter {
 public:
  FileCounter(const index::FeatureIndex& index, const Settings& settings);

  // `interrupt`, when given, is asked every few thousand records whether to stop.
  CountStatus count(bam::AlignmentInput& input, Interrupt* interrupt);

  const Counters& counters() const { return counters_; }
  // The counts under a strandedness rule: the chosen one, or any with counts_for_every_rule.
  const GeneCounts& counts(Strandedness rule) const { return counts_[static_cast<int>(rule)]; }
  const std::string& message() const { return message_; }
  bool keeps(Strandedness rule) const {
    return settings_.counts_for_every_rule || rule == settings_.strandedness;
  }
  // The contigs of the file that the annotation has.
  int32_t contigs_matched() const { return contigs_matched_; }

 private:
  CountStatus fail(CountStatus status, std::string message) {
    message_ = std::move(message);
    return status;
  }

  const index::FeatureIndex& index_;
  const Settings& settings_;
  Counters counters_;
  GeneCounts counts_[kStrandednessCount];
  std::string message_;
  int32_t contigs_matched_ = 0;
};

}  // namespace dulse::count
