// featureCounts' -R output: what each read or fragment came to, as CORE lines (name, summary
// row, number of targets, targets) or as the records themselves in SAM or BAM with the tags
// XS:Z (the row), XN:i (the number of targets) and XT:Z (the targets, comma-separated), the
// last two only for an assigned read. A fragment's records come later mate first, as
// featureCounts writes them; CORE gives a fragment one line.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bam/alignment_input.hpp"
#include "bam/record_output.hpp"
#include "count/assignment_log.hpp"

namespace dulse::count {

class AssignmentWriter : public AssignmentLog {
 public:
  enum class Format { kCore, kSam, kBam };

  // `targets`: the name of each target (gene, or with -f each feature's gene).
  AssignmentWriter(Format format, std::vector<std::string> targets);

  // Creates `path` and writes the header the input's records need. False with error() set.
  // BAM is compressed on `threads` threads.
  bool open(const char* path, const bam::AlignmentInput& input, int threads = 1);
  void note(const Read& earlier, const Read* later, const char* row, const int32_t* targets,
            size_t n_targets) override;
  // False with error() set when anything could not be written.
  bool close();
  int error() const;
  size_t n_targets() const { return targets_.size(); }

 private:
  void write_record(const Read& read, const char* row, const std::string& listed, int number);

  Format format_;
  std::vector<std::string> targets_;
  bam::RecordOutput output_;
  std::string line_;
  std::string listed_;
  std::vector<uint8_t> record_;
};

}  // namespace dulse::count
