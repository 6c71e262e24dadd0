#include "count/assignment_writer.hpp"

#include <cstring>

#include "bam/bytes.hpp"

namespace dulse::count {

namespace {

// featureCounts' number of targets for a read set aside: 0 for the rows decided before any
// feature is looked at for the read as a whole, -1 for the others.
int unassigned_number(const char* row) {
  for (const char* early : {"Unassigned_Unmapped", "Unassigned_MappingQuality",
                            "Unassigned_Singleton"}) {
    if (std::strcmp(row, early) == 0) return 0;
  }
  return -1;
}

bam::RecordOutput::Format output_format(AssignmentWriter::Format format) {
  switch (format) {
    case AssignmentWriter::Format::kCore: return bam::RecordOutput::Format::kText;
    case AssignmentWriter::Format::kSam: return bam::RecordOutput::Format::kSam;
    default: return bam::RecordOutput::Format::kBam;
  }
}

}  // namespace

AssignmentWriter::AssignmentWriter(Format format, std::vector<std::string> targets)
    : format_(format), targets_(std::move(targets)), output_(output_format(format)) {}

int AssignmentWriter::error() const { return output_.error(); }

bool AssignmentWriter::open(const char* path, const bam::AlignmentInput& input, int threads) {
  return output_.open(path, input, threads);
}

void AssignmentWriter::note(const Read& earlier, const Read* later, const char* row,
                            const int32_t* targets, size_t n_targets) {
  if (output_.failed()) return;
  listed_.clear();
  for (size_t t = 0; t < n_targets; ++t) {
    if (t > 0) listed_.push_back(',');
    listed_ += targets_[static_cast<size_t>(targets[t])];
  }
  int number = n_targets > 0 ? static_cast<int>(n_targets) : unassigned_number(row);
  if (format_ == Format::kCore) {
    line_.assign(bam::stored_name(earlier.stored));
    line_.push_back('\t');
    line_ += row;
    line_.push_back('\t');
    line_ += std::to_string(number);
    line_.push_back('\t');
    line_ += n_targets > 0 ? listed_ : std::string("NA");
    line_.push_back('\n');
    output_.write(line_.data(), line_.size());
    return;
  }
  if (later != nullptr) write_record(*later, row, listed_, number);
  write_record(earlier, row, listed_, number);
}

void AssignmentWriter::write_record(const Read& read, const char* row, const std::string& listed,
                                    int number) {
  if (read.stored.size() < 4 + bam::kCoreLength) return;
  record_.assign(read.stored.begin(), read.stored.end());
  bam::append_tag(record_, "XS", 'Z', row, std::strlen(row) + 1);
  if (!listed.empty()) {
    uint8_t word[4];
    bam::put_le32(word, static_cast<uint32_t>(number));
    bam::append_tag(record_, "XN", 'i', word, 4);
    bam::append_tag(record_, "XT", 'Z', listed.c_str(), listed.size() + 1);
  }
  output_.write_record(record_);
}

bool AssignmentWriter::close() { return output_.close(); }

}  // namespace dulse::count
