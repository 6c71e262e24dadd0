#include "bam/bam_reader.hpp"
#include "bam/bytes.hpp"
#include "bam/cigar.hpp"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace dulse::bam {

namespace {

constexpr uint8_t kMagic[4] = {'B', 'A', 'M', 1};
constexpr uint32_t kCoreLength = 32;
constexpr uint16_t kUnmapped = 4;

}  // namespace

bool Reader::Buffer::reserve(size_t n) {
  if (n <= capacity) return true;
  size_t grown = capacity < 4096 ? 4096 : capacity;
  while (grown < n) grown *= 2;
  auto* moved = static_cast<uint8_t*>(std::realloc(data, grown));
  if (moved == nullptr) return false;
  data = moved;
  capacity = grown;
  return true;
}

void Reader::Buffer::release() {
  std::free(data);
  data = nullptr;
  size = capacity = 0;
}

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
  int opened = bgzf_.open(std::move(source));
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
  aux_.release();
  n_targets_ = 0;
  finished_ = 0;
  names_.clear();
  hd_line_.clear();
  record_ = Record{};
}

// The binary header, with the checks under which htslib returns no header: the magic, every
// length present, a reference count >= 0, name lengths > 0, and header text whose lines (up to
// its first NUL) all start with '@'. The text and names are kept only when asked for, and then
// only the @HD line of the text.
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
    for (size_t i = 0; i < take && !text_ended; ++i) {
      if (p[i] == 0) {
        text_ended = true;
      } else {
        if (last == '\n' && p[i] != '@') return kBadHeader;
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
  }
  n_targets_ = n_targets;
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

int Reader::next() {
  if (finished_ != 0) return finished_;

  // The block length and the fixed-length core. htslib reads them apart, and a failure while
  // reading the first is "truncated" (-2), while reading the second -3.
  uint8_t gathered[4 + kCoreLength];
  const uint8_t* head;
  if (bgzf_.buffered() >= sizeof gathered) {
    head = bgzf_.cursor();
    bgzf_.skip(sizeof gathered);
  } else {
    long got = bgzf_.read(gathered, 4);
    if (got != 4) return finish(got == 0 ? kEnd : kTruncated);
    if (static_cast<int32_t>(le32(gathered)) < static_cast<int32_t>(kCoreLength)) {
      return finish(kErrorRecord);
    }
    if (bgzf_.read(gathered + 4, kCoreLength) != static_cast<long>(kCoreLength)) {
      return finish(kErrorCore);
    }
    head = gathered;
  }
  auto block_len = static_cast<int32_t>(le32(head));
  if (block_len < static_cast<int32_t>(kCoreLength)) return finish(kErrorRecord);
  const uint8_t* core = head + 4;
  Record r;
  r.tid = static_cast<int32_t>(le32(core));
  r.pos = static_cast<int32_t>(le32(core + 4));
  uint32_t bin_mq_nl = le32(core + 8);
  uint32_t flag_nc = le32(core + 12);
  r.l_qseq = static_cast<int32_t>(le32(core + 16));
  r.mtid = static_cast<int32_t>(le32(core + 20));
  r.mpos = static_cast<int32_t>(le32(core + 24));
  r.isize = static_cast<int32_t>(le32(core + 28));
  r.mapq = static_cast<uint8_t>(bin_mq_nl >> 8);
  r.flag = static_cast<uint16_t>(flag_nc >> 16);
  r.n_cigar = flag_nc & 0xffff;
  uint32_t l_qname = bin_mq_nl & 0xff;

  // The lengths must fit in the record (checked before any of it is read).
  uint32_t body_len = static_cast<uint32_t>(block_len) - kCoreLength;
  if (r.l_qseq < 0 || l_qname < 1) return finish(kErrorRecord);
  uint64_t seq_bytes = (static_cast<uint64_t>(r.l_qseq) + 1) >> 1;
  uint64_t fixed = uint64_t{r.n_cigar} * 4 + l_qname + seq_bytes + static_cast<uint64_t>(r.l_qseq);
  if (fixed > body_len) return finish(kErrorRecord);

  const uint8_t* body;
  if (bgzf_.buffered() >= body_len) {
    body = bgzf_.cursor();
    bgzf_.skip(body_len);
  } else {
    if (!read_body(body_len)) return finish(kErrorRecord);
    body = body_.data;
  }
  r.qname = reinterpret_cast<const char*>(body);
  r.l_qname = l_qname;
  r.cigar = body + l_qname;
  r.aux = body + fixed;
  r.aux_len = body_len - static_cast<uint32_t>(fixed);
  record_ = r;

  if (r.n_cigar > 0) {
    // A placeholder CIGAR (one soft clip of the whole query) on a placed record means that the
    // real one may be waiting in the CG tag.
    if (le32(r.cigar) == (kSoftClip | static_cast<uint32_t>(r.l_qseq) << 4) && r.tid >= 0 &&
        r.pos >= 0) {
      if (take_cigar_from_cg(body_len, l_qname, body) < 0) return finish(kErrorRecord);
    }
    if (r.l_qseq > 0 && (r.flag & kUnmapped) == 0) {
      int64_t qlen = 0;
      const uint8_t* op = record_.cigar;
      for (uint32_t k = 0; k < record_.n_cigar; ++k, op += 4) {
        uint32_t v = le32(op);
        if (consumes_query(v & 0xf)) qlen += v >> 4;
      }
      if (qlen != r.l_qseq) return finish(kErrorRecord);
    }
  }
  if (r.tid >= n_targets_ || r.tid < -1 || r.mtid >= n_targets_ || r.mtid < -1) {
    return finish(kErrorCore);
  }
  // htslib's return value, in its int: it wraps negative for a block length within 4 of 2^31,
  // and pysam then raises with that number.
  auto length = static_cast<int32_t>(4u + static_cast<uint32_t>(block_len));
  if (length < 0) return finish(length);
  return length;
}

// htslib's move of a CIGAR from the CG tag: when the aux area holds CG as a B array of I or i
// with at least as many elements as the placeholder has operations (and fewer than 2^29),
// those elements become the CIGAR and the CG field leaves the aux area. 0 when nothing moved
// or after the move, -1 when the aux area is corrupt at or before CG or the record would grow
// beyond what htslib can hold.
int Reader::take_cigar_from_cg(uint32_t body_len, uint32_t l_qname, const uint8_t* body) {
  const uint8_t* cg = nullptr;
  AuxLookup found = lookup_aux(record_.aux, record_.aux_len, "CG", &cg);
  if (found == AuxLookup::kCorrupt) return -1;
  if (found == AuxLookup::kAbsent) return 0;
  if (cg[0] != 'B' || (cg[1] != 'I' && cg[1] != 'i')) return 0;
  uint32_t cg_len = le32(cg + 2);
  if (cg_len < record_.n_cigar || cg_len >= (1u << 29)) return 0;

  // htslib holds the query name padded with NULs to a multiple of 4 bytes (4 more when the name
  // fills a multiple of 4 without its NUL), and the whole record in an int32-sized buffer.
  uint64_t qname_held = l_qname % 4 != 0 ? l_qname + (4 - l_qname % 4)
                        : body[l_qname - 1] == 0 ? l_qname
                                                 : l_qname + 4;
  uint64_t held = uint64_t{body_len} + (qname_held - l_qname);
  if (held + uint64_t{cg_len} * 4 - uint64_t{record_.n_cigar} * 4 > INT32_MAX) return -1;

  size_t field_start = static_cast<size_t>(cg - 2 - record_.aux);
  size_t field_end = field_start + 8 + size_t{cg_len} * 4;
  size_t rest = record_.aux_len - field_end;
  if (!aux_.reserve(field_start + rest + 1)) return -1;
  std::memcpy(aux_.data, record_.aux, field_start);
  std::memcpy(aux_.data + field_start, record_.aux + field_end, rest);
  record_.cigar = cg + 6;
  record_.n_cigar = cg_len;
  record_.aux = aux_.data;
  record_.aux_len = static_cast<uint32_t>(field_start + rest);
  return 0;
}

}  // namespace dulse::bam
