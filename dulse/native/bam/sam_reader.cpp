#include "bam/sam_reader.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "bam/bytes.hpp"
#include "bam/cigar.hpp"

namespace dulse::bam {

namespace {

// The tab-separated fields of a line, as (pointer, length) pairs.
struct Field {
  const char* text;
  size_t length;
  std::string str() const { return std::string(text, length); }
  bool is(const char* word) const {
    return length == std::strlen(word) && std::memcmp(text, word, length) == 0;
  }
};

size_t split(const char* text, size_t length, Field* fields, size_t max) {
  size_t n = 0;
  const char* end = text + length;
  while (n < max) {
    const char* tab = static_cast<const char*>(std::memchr(text, '\t', end - text));
    const char* stop = tab != nullptr ? tab : end;
    fields[n++] = Field{text, static_cast<size_t>(stop - text)};
    if (tab == nullptr) break;
    text = tab + 1;
  }
  return n;
}

// A whole decimal number in [low, high]; false for anything else.
bool parse_int(Field field, int64_t low, int64_t high, int64_t* out) {
  if (field.length == 0 || field.length > 20) return false;
  size_t i = 0;
  bool negative = field.text[0] == '-';
  if (negative || field.text[0] == '+') i = 1;
  if (i == field.length) return false;
  int64_t value = 0;
  for (; i < field.length; ++i) {
    char c = field.text[i];
    if (c < '0' || c > '9') return false;
    if (value > (INT64_MAX - (c - '0')) / 10) return false;
    value = value * 10 + (c - '0');
  }
  if (negative) value = -value;
  if (value < low || value > high) return false;
  *out = value;
  return true;
}

int cigar_code(char c) {
  static const char kLetters[] = "MIDNSHP=X";
  const char* at = std::strchr(kLetters, c);
  return c != 0 && at != nullptr ? static_cast<int>(at - kLetters) : -1;
}

void append_bytes(std::vector<uint8_t>& out, const void* data, size_t n) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  out.insert(out.end(), bytes, bytes + n);
}

void append_le32(std::vector<uint8_t>& out, uint32_t value) {
  uint8_t word[4];
  put_le32(word, value);
  append_bytes(out, word, 4);
}

// One optional field TAG:TYPE:VALUE in BAM's binary form; false when it is malformed.
bool encode_aux(Field field, std::vector<uint8_t>& out) {
  if (field.length < 5 || field.text[2] != ':' || field.text[4] != ':') return false;
  append_bytes(out, field.text, 2);
  char type = field.text[3];
  Field value{field.text + 5, field.length - 5};
  switch (type) {
    case 'A':
      if (value.length != 1) return false;
      out.push_back('A');
      out.push_back(static_cast<uint8_t>(value.text[0]));
      return true;
    case 'i': {
      int64_t v;
      if (!parse_int(value, INT32_MIN, UINT32_MAX, &v)) return false;
      out.push_back(v > INT32_MAX ? 'I' : 'i');
      append_le32(out, static_cast<uint32_t>(v));
      return true;
    }
    case 'f': {
      std::string text = value.str();
      char* end = nullptr;
      float v = std::strtof(text.c_str(), &end);
      if (text.empty() || *end != '\0') return false;
      uint32_t bits;
      std::memcpy(&bits, &v, 4);
      out.push_back('f');
      append_le32(out, bits);
      return true;
    }
    case 'Z':
    case 'H':
      out.push_back(static_cast<uint8_t>(type));
      append_bytes(out, value.text, value.length);
      out.push_back(0);
      return true;
    case 'B': {
      if (value.length < 1) return false;
      char subtype = value.text[0];
      int size = std::strchr("cC", subtype) ? 1 : std::strchr("sS", subtype) ? 2
                 : std::strchr("iIf", subtype) ? 4 : 0;
      if (subtype == 0 || size == 0) return false;
      out.push_back('B');
      out.push_back(static_cast<uint8_t>(subtype));
      size_t count_at = out.size();
      append_le32(out, 0);
      uint32_t count = 0;
      Field rest{value.text + 1, value.length - 1};
      while (rest.length > 0) {
        if (rest.text[0] != ',') return false;
        const char* start = rest.text + 1;
        const char* comma = static_cast<const char*>(std::memchr(start, ',', rest.length - 1));
        size_t n = comma != nullptr ? static_cast<size_t>(comma - start) : rest.length - 1;
        Field element{start, n};
        uint32_t bits;
        if (subtype == 'f') {
          std::string text = element.str();
          char* end = nullptr;
          float v = std::strtof(text.c_str(), &end);
          if (text.empty() || *end != '\0') return false;
          std::memcpy(&bits, &v, 4);
        } else {
          int64_t v;
          if (!parse_int(element, INT32_MIN, UINT32_MAX, &v)) return false;
          bits = static_cast<uint32_t>(v);
        }
        uint8_t word[4];
        put_le32(word, bits);
        append_bytes(out, word, static_cast<size_t>(size));
        ++count;
        rest = Field{start + n, rest.length - 1 - n};
      }
      put_le32(out.data() + count_at, count);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

int SamReader::open(FileSource&& source) {
  source_ = std::move(source);
  const char* text;
  size_t length;
  while (next_line(&text, &length)) {
    if (length == 0) continue;
    if (text[0] != '@') {
      held_line_.assign(text, length);
      held_ = true;
      return 0;
    }
    int status = parse_header_line(text, length);
    if (status != 0) return status;
  }
  if (source_.failed()) return finished_ = kReadFailed;
  return 0;
}

bool SamReader::next_line(const char** text, size_t* length) {
  long_line_.clear();
  for (;;) {
    size_t available = source_.available();
    const auto* data = reinterpret_cast<const char*>(source_.data());
    const char* newline = static_cast<const char*>(std::memchr(data, '\n', available));
    if (newline != nullptr) {
      deliver(static_cast<size_t>(newline - data), 1, text, length);
      return true;
    }
    // No line break in the buffer: a line longer than the buffer is gathered piece by piece.
    if (available >= FileSource::kMinCapacity) {
      long_line_.append(data, available);
      source_.consume(available);
      available = 0;
    }
    if (source_.fill(available + 1) <= available) {
      if (source_.failed() || (available == 0 && long_line_.empty())) return false;
      deliver(available, 0, text, length);  // the last line, without a line break
      return true;
    }
  }
}

void SamReader::deliver(size_t n, size_t terminator, const char** text, size_t* length) {
  const auto* data = reinterpret_cast<const char*>(source_.data());
  ++line_;
  if (long_line_.empty()) {
    *text = data;
    *length = n;
  } else {
    long_line_.append(data, n);
    *text = long_line_.data();
    *length = long_line_.size();
  }
  source_.consume(n + terminator);
  if (*length > 0 && (*text)[*length - 1] == '\r') --*length;
}

int SamReader::parse_header_line(const char* text, size_t length) {
  Field fields[64];
  size_t n = split(text, length, fields, 64);
  if (whole_ || keep_header_text_) {
    header_text_.append(text, length);
    header_text_.push_back('\n');
  }
  if (fields[0].is("@HD")) {
    if (hd_line_.empty()) hd_line_.assign(text, length);
  } else if (fields[0].is("@SQ")) {
    std::string name;
    bool named = false;
    for (size_t i = 1; i < n; ++i) {
      if (fields[i].length >= 3 && std::memcmp(fields[i].text, "SN:", 3) == 0) {
        name.assign(fields[i].text + 3, fields[i].length - 3);
        named = true;
      }
    }
    if (!named || name.empty()) return fail("an @SQ line without a reference name (SN:)");
    if (tids_.count(name) != 0) return fail("reference '" + name + "' appears twice in @SQ");
    uint32_t reference_length = 0;
    for (size_t i = 1; i < n; ++i) {
      int64_t value;
      if (fields[i].length > 3 && std::memcmp(fields[i].text, "LN:", 3) == 0 &&
          parse_int(Field{fields[i].text + 3, fields[i].length - 3}, 0, INT32_MAX, &value)) {
        reference_length = static_cast<uint32_t>(value);
      }
    }
    lengths_.push_back(reference_length);
    tids_.emplace(name, static_cast<int32_t>(names_.size()));
    names_.push_back(std::move(name));
  }
  return 0;
}

int SamReader::next() {
  if (finished_ != 0) return finished_;
  const char* text;
  size_t length;
  if (held_) {
    held_ = false;
    text = held_line_.data();
    length = held_line_.size();
  } else {
    do {
      if (!next_line(&text, &length)) return finished_ = source_.failed() ? kReadFailed : kEnd;
    } while (length == 0);
  }
  if (text[0] == '@') return fail("a header line among the records");
  return parse_record(text, length);
}

int SamReader::parse_record(const char* text, size_t length) {
  Field f[12];
  size_t n = split(text, length, f, 12);
  if (n < 11) {
    return fail("expected at least 11 tab-separated fields, found " + std::to_string(n));
  }
  Record r{};
  int64_t flag, pos, mapq, mpos, isize;
  if (!parse_int(f[1], 0, 0xffff, &flag)) return fail("FLAG '" + f[1].str() + "' is not 0 to 65535");
  if (!parse_int(f[3], 0, INT32_MAX, &pos)) return fail("POS '" + f[3].str() + "' is not a position");
  if (!parse_int(f[4], 0, 255, &mapq)) return fail("MAPQ '" + f[4].str() + "' is not 0 to 255");
  if (!parse_int(f[7], 0, INT32_MAX, &mpos)) return fail("PNEXT '" + f[7].str() + "' is not a position");
  if (!parse_int(f[8], INT32_MIN + 1, INT32_MAX, &isize)) {
    return fail("TLEN '" + f[8].str() + "' is not a whole number");
  }
  r.flag = static_cast<uint16_t>(flag);
  r.pos = static_cast<int32_t>(pos - 1);
  r.mapq = static_cast<uint8_t>(mapq);
  r.mpos = static_cast<int32_t>(mpos - 1);
  r.isize = static_cast<int32_t>(isize);

  auto tid_of = [this](Field name, int32_t* tid) {
    if (name.is("*")) {
      *tid = -1;
      return true;
    }
    auto found = tids_.find(name.str());
    if (found == tids_.end()) return false;
    *tid = found->second;
    return true;
  };
  if (!tid_of(f[2], &r.tid)) {
    return fail("reference '" + f[2].str() + "' is not among the header's @SQ lines");
  }
  if (f[6].is("=")) {
    r.mtid = r.tid;
  } else if (!tid_of(f[6], &r.mtid)) {
    return fail("mate reference '" + f[6].str() + "' is not among the header's @SQ lines");
  }
  if (f[0].length == 0 || f[0].length > 254) return fail("QNAME must be 1 to 254 characters");

  body_.clear();
  append_bytes(body_, f[0].text, f[0].length);
  body_.push_back(0);
  uint32_t n_cigar = 0;
  if (!f[5].is("*")) {
    uint64_t run = 0;
    bool digits = false;
    for (size_t i = 0; i < f[5].length; ++i) {
      char c = f[5].text[i];
      if (c >= '0' && c <= '9') {
        run = run * 10 + static_cast<uint64_t>(c - '0');
        digits = true;
        if (run >= (uint64_t{1} << 28)) return fail("CIGAR '" + f[5].str() + "' has too long an operation");
        continue;
      }
      int code = cigar_code(c);
      if (code < 0 || !digits) return fail("CIGAR '" + f[5].str() + "' is malformed");
      append_le32(body_, static_cast<uint32_t>(run << 4 | static_cast<uint32_t>(code)));
      ++n_cigar;
      run = 0;
      digits = false;
    }
    if (digits) return fail("CIGAR '" + f[5].str() + "' is malformed");
  }
  r.l_qseq = f[9].is("*") ? 0 : static_cast<int32_t>(f[9].length);
  size_t seq_start = body_.size();
  if (whole_) {
    // Room for the sequence and qualities, filled once the aux fields are in.
    body_.resize(body_.size() + (static_cast<size_t>(r.l_qseq) + 1) / 2 +
                 static_cast<size_t>(r.l_qseq));
  }
  size_t aux_start = body_.size();
  if (n == 12) {
    Field rest{f[11].text, static_cast<size_t>(text + length - f[11].text)};
    Field tags[1];
    while (rest.length > 0) {
      split(rest.text, rest.length, tags, 1);
      if (!encode_aux(tags[0], body_)) {
        return fail("optional field '" + tags[0].str() + "' is malformed");
      }
      if (tags[0].length == rest.length) break;
      rest = Field{tags[0].text + tags[0].length + 1, rest.length - tags[0].length - 1};
    }
  }
  r.qname = reinterpret_cast<const char*>(body_.data());
  r.l_qname = static_cast<uint32_t>(f[0].length + 1);
  r.n_cigar = n_cigar;
  r.cigar = body_.data() + r.l_qname;
  r.aux = body_.data() + aux_start;
  r.aux_len = static_cast<uint32_t>(body_.size() - aux_start);
  if (whole_) complete_record(r, f[9].text, f[9].is("*") ? 0 : f[9].length, f[10].text,
                              f[10].is("*") ? 0 : f[10].length, seq_start);
  record_ = r;
  return 1;
}

namespace {

// htslib's bin of a 0-based range [begin, end).
uint32_t bin_of(int64_t begin, int64_t end) {
  --end;
  if (begin >> 14 == end >> 14) return static_cast<uint32_t>(((1 << 15) - 1) / 7 + (begin >> 14));
  if (begin >> 17 == end >> 17) return static_cast<uint32_t>(((1 << 12) - 1) / 7 + (begin >> 17));
  if (begin >> 20 == end >> 20) return static_cast<uint32_t>(((1 << 9) - 1) / 7 + (begin >> 20));
  if (begin >> 23 == end >> 23) return static_cast<uint32_t>(((1 << 6) - 1) / 7 + (begin >> 23));
  if (begin >> 26 == end >> 26) return static_cast<uint32_t>(((1 << 3) - 1) / 7 + (begin >> 26));
  return 0;
}

}  // namespace

void SamReader::complete_record(Record& r, const char* seq, size_t seq_length, const char* qual,
                                size_t qual_length, size_t seq_start) {
  static const char kCodes[] = "=ACMGRSVTWYHKDBN";
  uint8_t* packed = body_.data() + seq_start;
  for (size_t i = 0; i < seq_length; ++i) {
    const char* code = std::strchr(kCodes, seq[i] >= 'a' && seq[i] <= 'z' ? seq[i] - 32 : seq[i]);
    uint8_t value = code != nullptr && seq[i] != 0 ? static_cast<uint8_t>(code - kCodes) : 15;
    packed[i / 2] = static_cast<uint8_t>(i % 2 == 0 ? value << 4 : (packed[i / 2] | value));
  }
  uint8_t* quality = packed + (seq_length + 1) / 2;
  for (size_t i = 0; i < seq_length; ++i) {
    quality[i] = qual_length == seq_length ? static_cast<uint8_t>(qual[i] - 33) : 0xff;
  }
  int64_t end = r.pos;
  for (uint32_t k = 0; k < r.n_cigar; ++k) {
    uint32_t v = le32(r.cigar + 4 * k);
    if (consumes_reference(v & 0xf)) end += v >> 4;
  }
  if (end <= r.pos) end = r.pos + 1;
  uint32_t bin = r.pos < 0 ? 4680 : bin_of(r.pos, end);
  put_le32(core_, static_cast<uint32_t>(r.tid));
  put_le32(core_ + 4, static_cast<uint32_t>(r.pos));
  put_le32(core_ + 8, bin << 16 | uint32_t{r.mapq} << 8 | r.l_qname);
  put_le32(core_ + 12, uint32_t{r.flag} << 16 | r.n_cigar);
  put_le32(core_ + 16, static_cast<uint32_t>(r.l_qseq));
  put_le32(core_ + 20, static_cast<uint32_t>(r.mtid));
  put_le32(core_ + 24, static_cast<uint32_t>(r.mpos));
  put_le32(core_ + 28, static_cast<uint32_t>(r.isize));
  r.core = core_;
  r.body = body_.data();
  r.body_length = static_cast<uint32_t>(body_.size());
}

}  // namespace dulse::bam
