#include "bam/record_output.hpp"

#include "bam/bytes.hpp"
#include "bam/sam_text.hpp"

namespace dulse::bam {

Record view_of(const uint8_t* stored, size_t n) {
  Record r{};
  const uint8_t* core = stored + 4;
  r.tid = static_cast<int32_t>(le32(core));
  r.pos = static_cast<int32_t>(le32(core + 4));
  r.l_qname = le32(core + 8) & 0xff;
  r.mapq = static_cast<uint8_t>(le32(core + 8) >> 8);
  r.flag = static_cast<uint16_t>(le32(core + 12) >> 16);
  r.n_cigar = le32(core + 12) & 0xffff;
  r.l_qseq = static_cast<int32_t>(le32(core + 16));
  r.mtid = static_cast<int32_t>(le32(core + 20));
  r.mpos = static_cast<int32_t>(le32(core + 24));
  r.isize = static_cast<int32_t>(le32(core + 28));
  r.core = core;
  r.body = core + kCoreLength;
  r.body_length = static_cast<uint32_t>(n - 4 - kCoreLength);
  return r;
}

std::string_view stored_name(const std::vector<uint8_t>& stored) {
  if (stored.size() < 4 + kCoreLength) return {};
  uint32_t l_qname = stored[4 + 8];
  const char* name = reinterpret_cast<const char*>(stored.data() + 4 + kCoreLength);
  return std::string_view(name, l_qname > 0 ? l_qname - 1 : 0);
}

void append_tag(std::vector<uint8_t>& record, const char name[2], char type, const void* value,
                size_t n) {
  record.push_back(static_cast<uint8_t>(name[0]));
  record.push_back(static_cast<uint8_t>(name[1]));
  record.push_back(static_cast<uint8_t>(type));
  const auto* bytes = static_cast<const uint8_t*>(value);
  record.insert(record.end(), bytes, bytes + n);
}

int RecordOutput::error() const {
  return format_ == Format::kBam ? bgzf_.error() : text_.error();
}

bool RecordOutput::write(const void* data, size_t n) {
  bool written = format_ == Format::kBam ? bgzf_.write(data, n) : text_.write(data, n);
  failed_ = failed_ || !written;
  return written;
}

bool RecordOutput::open(const char* path, const AlignmentInput& input, int threads) {
  names_ = input.reference_names();
  bool opened = format_ == Format::kBam ? bgzf_.open(path, threads) : text_.open(path);
  if (!opened) {
    failed_ = true;
    return false;
  }
  const std::string& text = input.header_text();
  if (format_ == Format::kSam) {
    write(text.data(), text.size());
  } else if (format_ == Format::kBam) {
    std::vector<uint8_t> header = {'B', 'A', 'M', 1, 0, 0, 0, 0};
    put_le32(header.data() + 4, static_cast<uint32_t>(text.size()));
    header.insert(header.end(), text.begin(), text.end());
    const std::vector<uint32_t>& lengths = input.reference_lengths();
    uint8_t word[4];
    put_le32(word, static_cast<uint32_t>(names_.size()));
    header.insert(header.end(), word, word + 4);
    for (size_t t = 0; t < names_.size(); ++t) {
      put_le32(word, static_cast<uint32_t>(names_[t].size() + 1));
      header.insert(header.end(), word, word + 4);
      header.insert(header.end(), names_[t].begin(), names_[t].end());
      header.push_back(0);
      put_le32(word, t < lengths.size() ? lengths[t] : 0);
      header.insert(header.end(), word, word + 4);
    }
    write(header.data(), header.size());
  }
  return !failed_;
}

bool RecordOutput::write_record(std::vector<uint8_t>& record) {
  if (failed_ || record.size() < 4 + kCoreLength) return !failed_;
  put_le32(record.data(), static_cast<uint32_t>(record.size() - 4));
  return write_record(record.data(), record.size());
}

bool RecordOutput::write_record(const uint8_t* record, size_t n) {
  if (failed_ || n < 4 + kCoreLength) return !failed_;
  if (format_ != Format::kSam) return write(record, n);
  line_.clear();
  append_sam_line(view_of(record, n), names_, line_);
  line_.push_back('\n');
  return write(line_.data(), line_.size());
}

bool RecordOutput::close() {
  bool closed = format_ == Format::kBam ? bgzf_.close() : text_.close();
  return closed && !failed_;
}

}  // namespace dulse::bam
