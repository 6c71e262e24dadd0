#include "count/assignment_writer.hpp"

#include <cstring>

#include "bam/bytes.hpp"
#include "bam/sam_text.hpp"

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

std::string_view name_in(const std::vector<uint8_t>& stored) {
  if (stored.size() < 4 + bam::kCoreLength) return {};
  uint32_t l_qname = stored[4 + 8];
  const char* name = reinterpret_cast<const char*>(stored.data() + 4 + bam::kCoreLength);
  return std::string_view(name, l_qname > 0 ? l_qname - 1 : 0);
}

// A stored record as the decoder's view of it, for SAM text.
bam::Record view_of(const std::vector<uint8_t>& stored) {
  bam::Record r{};
  const uint8_t* core = stored.data() + 4;
  r.tid = static_cast<int32_t>(bam::le32(core));
  r.pos = static_cast<int32_t>(bam::le32(core + 4));
  r.l_qname = bam::le32(core + 8) & 0xff;
  r.mapq = static_cast<uint8_t>(bam::le32(core + 8) >> 8);
  r.flag = static_cast<uint16_t>(bam::le32(core + 12) >> 16);
  r.n_cigar = bam::le32(core + 12) & 0xffff;
  r.l_qseq = static_cast<int32_t>(bam::le32(core + 16));
  r.mtid = static_cast<int32_t>(bam::le32(core + 20));
  r.mpos = static_cast<int32_t>(bam::le32(core + 24));
  r.isize = static_cast<int32_t>(bam::le32(core + 28));
  r.core = core;
  r.body = core + bam::kCoreLength;
  r.body_length = static_cast<uint32_t>(stored.size() - 4 - bam::kCoreLength);
  return r;
}

}  // namespace

AssignmentWriter::AssignmentWriter(Format format, std::vector<std::string> targets)
    : format_(format), targets_(std::move(targets)) {}

int AssignmentWriter::error() const {
  return format_ == Format::kBam ? bgzf_.error() : text_.error();
}

bool AssignmentWriter::write(const void* data, size_t n) {
  bool written = format_ == Format::kBam ? bgzf_.write(data, n) : text_.write(data, n);
  failed_ = failed_ || !written;
  return written;
}

bool AssignmentWriter::open(const char* path, const bam::AlignmentInput& input) {
  names_ = input.reference_names();
  bool opened = format_ == Format::kBam ? bgzf_.open(path) : text_.open(path);
  if (!opened) {
    failed_ = true;
    return false;
  }
  const std::string& text = input.header_text();
  if (format_ == Format::kSam) {
    write(text.data(), text.size());
  } else if (format_ == Format::kBam) {
    std::vector<uint8_t> header = {'B', 'A', 'M', 1, 0, 0, 0, 0};
    bam::put_le32(header.data() + 4, static_cast<uint32_t>(text.size()));
    header.insert(header.end(), text.begin(), text.end());
    const std::vector<uint32_t>& lengths = input.reference_lengths();
    uint8_t word[4];
    bam::put_le32(word, static_cast<uint32_t>(names_.size()));
    header.insert(header.end(), word, word + 4);
    for (size_t t = 0; t < names_.size(); ++t) {
      bam::put_le32(word, static_cast<uint32_t>(names_[t].size() + 1));
      header.insert(header.end(), word, word + 4);
      header.insert(header.end(), names_[t].begin(), names_[t].end());
      header.push_back(0);
      bam::put_le32(word, t < lengths.size() ? lengths[t] : 0);
      header.insert(header.end(), word, word + 4);
    }
    write(header.data(), header.size());
  }
  return !failed_;
}

void AssignmentWriter::note(const Read& earlier, const Read* later, const char* row,
                            const int32_t* targets, size_t n_targets) {
  if (failed_) return;
  listed_.clear();
  for (size_t t = 0; t < n_targets; ++t) {
    if (t > 0) listed_.push_back(',');
    listed_ += targets_[static_cast<size_t>(targets[t])];
  }
  int number = n_targets > 0 ? static_cast<int>(n_targets) : unassigned_number(row);
  if (format_ == Format::kCore) {
    line_.assign(name_in(earlier.stored));
    line_.push_back('\t');
    line_ += row;
    line_.push_back('\t');
    line_ += std::to_string(number);
    line_.push_back('\t');
    line_ += n_targets > 0 ? listed_ : std::string("NA");
    line_.push_back('\n');
    write(line_.data(), line_.size());
    return;
  }
  if (later != nullptr) write_record(*later, row, listed_, number);
  write_record(earlier, row, listed_, number);
}

void AssignmentWriter::write_record(const Read& read, const char* row, const std::string& listed,
                                    int number) {
  if (read.stored.size() < 4 + bam::kCoreLength) return;
  bool assigned = !listed.empty();
  if (format_ == Format::kSam) {
    line_.clear();
    bam::append_sam_line(view_of(read.stored), names_, line_);
    line_ += "\tXS:Z:";
    line_ += row;
    if (assigned) {
      line_ += "\tXN:i:" + std::to_string(number) + "\tXT:Z:" + listed;
    }
    line_.push_back('\n');
    write(line_.data(), line_.size());
    return;
  }
  record_.assign(read.stored.begin(), read.stored.end());
  auto tag = [this](const char* name, char type, const void* value, size_t n) {
    record_.push_back(static_cast<uint8_t>(name[0]));
    record_.push_back(static_cast<uint8_t>(name[1]));
    record_.push_back(static_cast<uint8_t>(type));
    const auto* bytes = static_cast<const uint8_t*>(value);
    record_.insert(record_.end(), bytes, bytes + n);
  };
  tag("XS", 'Z', row, std::strlen(row) + 1);
  if (assigned) {
    uint8_t word[4];
    bam::put_le32(word, static_cast<uint32_t>(number));
    tag("XN", 'i', word, 4);
    tag("XT", 'Z', listed.c_str(), listed.size() + 1);
  }
  bam::put_le32(record_.data(), static_cast<uint32_t>(record_.size() - 4));
  write(record_.data(), record_.size());
}

bool AssignmentWriter::close() {
  bool closed = format_ == Format::kBam ? bgzf_.close() : text_.close();
  return closed && !failed_;
}

}  // namespace dulse::count
