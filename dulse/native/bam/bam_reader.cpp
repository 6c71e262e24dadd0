#include "bam/bam_reader.hpp"
#include "bam/bytes.hpp"
#include "bam/cigar.hpp"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace dulse::bam {

namespace {

constexpr uint8_t kMagic[4] = {'B', 'A', 'M', 1};

}  // namespace

namespace {

// Whether htslib opens `path` as the file of that name: not "-" (standard input), no "##idx##"
// (which separates an index name), and no URL scheme (2 to 11 letters, digits, '+', '-' or '.'
// before a ':'), which htslib hands to a scheme handler even when it does not know the scheme.
bool is_plain_path(const char* path) {
  if (std::strcmp(path, "-") == 0 || std::strstr(path, "##idx##") != nullptr) return false;
  size_t i = 0;
  while (i < 12 && (std::isalnum(static_cast<unsigned char>(path[i])) || path[i] == '+' ||
                    path[i] == '-' || path[i] == '.')) {
    ++i;
  }
  return !(path[i] == ':' && i >= 2 && i <= 11);
}

}  // namespace

int Reader::open(const char* path, Access access) {
  close();
  if (access == Access::kRegularFile && !is_plain_path(path)) return kNotPlainPath;
  int opened = bgzf_.open(path, access);
  if (opened != 0) return opened;
  return start(false);
}

int Reader::open_keeping_header(FileSource&& source) {
  close();
  int opened = bgzf_.open(std::move(source), true);
  if (opened != 0) return opened;
  return start(true);
}

int Reader::start(bool keep_header) {
  // The format is told from the first bytes inflated, as pysam tells it before opening.
  uint8_t start[1024];
  size_t n = bgzf_.peek_start(start, sizeof start);
  if (n < sizeof kMagic || std::memcmp(start, kMagic, sizeof kMagic) != 0) {
    close();
    return kNotBam;
  }
  int header = read_header(keep_header);
  if (header != 0) {
    close();
    return header;
  }
  return 0;
}

void Reader::close() {
  bgzf_.close();
  body_.release();
  decoder_.release();
  decoder_.clear();
  decoder_.set_n_targets(0);
  finished_ = 0;
  names_.clear();
  hd_line_.clear();
  text_.clear();
  lengths_.clear();
}

// The binary header, with the checks under which htslib returns no header: the magic, every
// length present, a reference count >= 0, name lengths > 0, and header text whose lines (up to
// its first NUL) all start with '@' (unless lenient). The text and names are kept only when
// asked for, and then only the @HD line of the text.
int Reader::read_header(bool keep_header) {
  uint8_t word[4];
  if (bgzf_.read(word, 4) != 4 || std::memcmp(word, kMagic, 4) != 0) return kBadHeader;
  if (bgzf_.read(word, 4) != 4) return kBadHeader;
  uint64_t text_left = le32(word);
  uint8_t last = '\n';
  bool text_ended = false;
  bool in_first_line = true;
  while (text_left > 0) {
    if (bgzf_.buffered() == 0 && bgzf_.refill() <= 0) return kBadHeader;
    size_t take = bgzf_.buffered() < text_left ? bgzf_.buffered() : text_left;
    const uint8_t* p = bgzf_.cursor();
    if (keep_header && keep_text_ && !text_ended) {
      const auto* text = reinterpret_cast<const char*>(p);
      text_.append(text, strnlen(text, take));
    }
    for (size_t i = 0; i < take && !text_ended; ++i) {
      if (p[i] == 0) {
        text_ended = true;
      } else {
        if (last == '\n' && p[i] != '@' && !decoder_.lenient()) return kBadHeader;
        if (keep_header && in_first_line) {
          if (p[i] == '\n' || p[i] == '\r') {
            in_first_line = false;
          } else if (hd_line_.size() < 4096) {
            hd_line_.push_back(static_cast<char>(p[i]));
          }
        }
        last = p[i];
      }
    }
    bgzf_.skip(take);
    text_left -= take;
  }
  if (bgzf_.read(word, 4) != 4) return kBadHeader;
  auto n_targets = static_cast<int32_t>(le32(word));
  if (n_targets < 0) return kBadHeader;
  for (int32_t i = 0; i < n_targets; ++i) {
    if (bgzf_.read(word, 4) != 4) return kBadHeader;
    auto name_len = static_cast<int32_t>(le32(word));
    if (name_len <= 0) return kBadHeader;
    uint8_t name_last = 0;
    if (keep_header) names_.emplace_back();
    if (!skip_bytes(static_cast<uint64_t>(name_len), &name_last,
                    keep_header ? &names_.back() : nullptr)) {
      return kBadHeader;
    }
    if (keep_header && !names_.back().empty() && names_.back().back() == '\0') {
      names_.back().resize(std::strlen(names_.back().c_str()));
    }
    // htslib adds a NUL to a name without one, which needs one byte more than an int32 holds.
    if (name_last != 0 && name_len == INT32_MAX) return kBadHeader;
    if (bgzf_.read(word, 4) != 4) return kBadHeader;
    if (keep_header) lengths_.push_back(le32(word));
  }
  decoder_.set_n_targets(n_targets);
  if (keep_header && hd_line_.compare(0, 4, "@HD\t") != 0) hd_line_.clear();
  return 0;
}

bool Reader::skip_bytes(uint64_t n, uint8_t* last, std::string* kept) {
  while (n > 0) {
    if (bgzf_.buffered() == 0 && bgzf_.refill() <= 0) return false;
    size_t take = bgzf_.buffered() < n ? bgzf_.buffered() : n;
    *last = bgzf_.cursor()[take - 1];
    if (kept != nullptr) kept->append(reinterpret_cast<const char*>(bgzf_.cursor()), take);
    bgzf_.skip(take);
    n -= take;
  }
  return true;
}

// Gathers a record body that does not lie within the current block. The buffer grows with the
// bytes that actually arrive, so a length field that promises more than the file holds costs
// no more memory than the file.
bool Reader::read_body(uint32_t n) {
  body_.size = 0;
  while (body_.size < n) {
    if (bgzf_.buffered() == 0 && bgzf_.refill() <= 0) return false;
    size_t take = n - body_.size;
    if (take > bgzf_.buffered()) take = bgzf_.buffered();
    if (!body_.reserve(body_.size + take)) return false;
    std::memcpy(body_.data + body_.size, bgzf_.cursor(), take);
    bgzf_.skip(take);
    body_.size += take;
  }
  return true;
}

bool Reader::detach(FileSource* source, ByteBuffer* rest) {
  size_t n = bgzf_.buffered();
  if (!rest->reserve(n)) return false;
  std::memcpy(rest->data, bgzf_.cursor(), n);
  rest->size = n;
  return bgzf_.release_source(source);
}

int Reader::next() {
  if (finished_ != 0) return finished_;

  // The block length and the fixed-length core. htslib reads them apart, and a failure while
  // reading the first is "truncated" (-2), while reading the second -3.
  uint8_t gathered[kBlockLengthSize + kCoreLength];
  const uint8_t* head;
  if (bgzf_.buffered() >= sizeof gathered) {
    head = bgzf_.cursor();
    bgzf_.skip(sizeof gathered);
  } else {
    long got = bgzf_.read(gathered, kBlockLengthSize);
    if (got != kBlockLengthSize) return finish(got == 0 ? kEnd : kTruncated);
    if (static_cast<int32_t>(le32(gathered)) < static_cast<int32_t>(kCoreLength)) {
      return finish(kErrorRecord);
    }
    if (bgzf_.read(gathered + kBlockLengthSize, kCoreLength) != static_cast<long>(kCoreLength)) {
      return finish(kErrorCore);
    }
    head = gathered;
  }
  int status = decoder_.begin(head);
  if (status != 0) return finish(status);

  uint32_t body_len = decoder_.body_length();
  const uint8_t* body;
  if (bgzf_.buffered() >= body_len) {
    body = bgzf_.cursor();
    bgzf_.skip(body_len);
  } else {
    if (!read_body(body_len)) return finish(kErrorRecord);
    body = body_.data;
  }
  int length = decoder_.finish(body);
  return length > 0 ? length : finish(length);
}

}  // namespace dulse::bam
