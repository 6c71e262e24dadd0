#include "bam/sam_text.hpp"

#include <cstdio>
#include <cstring>

#include "bam/bytes.hpp"

namespace dulse::bam {

namespace {

void append_number(std::string& out, int64_t value) { out += std::to_string(value); }

void append_float(std::string& out, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  out += text;
}

const char* reference(const std::vector<std::string>& names, int32_t tid) {
  return tid >= 0 && static_cast<size_t>(tid) < names.size() ? names[tid].c_str() : "*";
}

// One aux value of `type` at `p` (within `end`); the bytes it took, or 0 when it runs past.
size_t append_value(std::string& out, char type, const uint8_t* p, const uint8_t* end) {
  size_t room = static_cast<size_t>(end - p);
  switch (type) {
    case 'A':
      if (room < 1) return 0;
      out.push_back(static_cast<char>(*p));
      return 1;
    case 'c': if (room < 1) return 0; append_number(out, static_cast<int8_t>(*p)); return 1;
    case 'C': if (room < 1) return 0; append_number(out, *p); return 1;
    case 's': if (room < 2) return 0; append_number(out, static_cast<int16_t>(le16(p))); return 2;
    case 'S': if (room < 2) return 0; append_number(out, le16(p)); return 2;
    case 'i': if (room < 4) return 0; append_number(out, static_cast<int32_t>(le32(p))); return 4;
    case 'I': if (room < 4) return 0; append_number(out, le32(p)); return 4;
    case 'f': {
      if (room < 4) return 0;
      uint32_t bits = le32(p);
      float value;
      std::memcpy(&value, &bits, 4);
      append_float(out, value);
      return 4;
    }
    case 'd': {
      if (room < 8) return 0;
      uint64_t bits = uint64_t{le32(p)} | uint64_t{le32(p + 4)} << 32;
      double value;
      std::memcpy(&value, &bits, 8);
      append_float(out, value);
      return 8;
    }
    case 'Z':
    case 'H': {
      const void* nul = std::memchr(p, 0, room);
      if (nul == nullptr) return 0;
      size_t n = static_cast<size_t>(static_cast<const uint8_t*>(nul) - p);
      out.append(reinterpret_cast<const char*>(p), n);
      return n + 1;
    }
    default:
      return 0;
  }
}

}  // namespace

void append_sam_line(const Record& r, const std::vector<std::string>& names, std::string& out) {
  static const char kBases[] = "=ACMGRSVTWYHKDBN";
  static const char kOps[] = "MIDNSHP=X";
  const uint8_t* body = r.body;
  const uint8_t* end = body + r.body_length;
  out.append(reinterpret_cast<const char*>(body), r.l_qname > 0 ? r.l_qname - 1 : 0);
  out.push_back('\t');
  append_number(out, r.flag);
  out.push_back('\t');
  out += reference(names, r.tid);
  out.push_back('\t');
  append_number(out, int64_t{r.pos} + 1);
  out.push_back('\t');
  append_number(out, r.mapq);
  out.push_back('\t');
  uint32_t n_cigar = le32(r.core + 12) & 0xffff;
  const uint8_t* cigar = body + r.l_qname;
  if (n_cigar == 0) out.push_back('*');
  for (uint32_t k = 0; k < n_cigar; ++k) {
    uint32_t v = le32(cigar + 4 * k);
    append_number(out, v >> 4);
    out.push_back((v & 0xf) < 9 ? kOps[v & 0xf] : '?');
  }
  out.push_back('\t');
  if (r.mtid < 0) {
    out.push_back('*');
  } else if (r.mtid == r.tid) {
    out.push_back('=');
  } else {
    out += reference(names, r.mtid);
  }
  out.push_back('\t');
  append_number(out, int64_t{r.mpos} + 1);
  out.push_back('\t');
  append_number(out, r.isize);
  out.push_back('\t');
  const uint8_t* seq = cigar + 4 * n_cigar;
  auto length = static_cast<size_t>(r.l_qseq);
  if (length == 0) out.push_back('*');
  for (size_t i = 0; i < length; ++i) {
    out.push_back(kBases[(i % 2 == 0 ? seq[i / 2] >> 4 : seq[i / 2]) & 0xf]);
  }
  out.push_back('\t');
  const uint8_t* qual = seq + (length + 1) / 2;
  if (length == 0 || qual[0] == 0xff) {
    out.push_back('*');
  } else {
    for (size_t i = 0; i < length; ++i) out.push_back(static_cast<char>(qual[i] + 33));
  }
  // The aux fields as stored (the record's own bytes, CG and all).
  const uint8_t* p = qual + length;
  while (end - p >= 3) {
    char type = static_cast<char>(p[2]);
    out.push_back('\t');
    out.append(reinterpret_cast<const char*>(p), 2);
    out.push_back(':');
    p += 3;
    if (type == 'B') {
      if (end - p < 5) break;
      char sub = static_cast<char>(p[0]);
      uint32_t count = le32(p + 1);
      p += 5;
      out += "B:";
      out.push_back(sub);
      for (uint32_t k = 0; k < count; ++k) {
        out.push_back(',');
        size_t took = append_value(out, sub, p, end);
        if (took == 0) return;
        p += took;
      }
      continue;
    }
    bool integer = std::strchr("cCsSiI", type) != nullptr;
    out.push_back(integer ? 'i' : type);
    out.push_back(':');
    size_t took = append_value(out, type, p, end);
    if (took == 0) return;
    p += took;
  }
}

}  // namespace dulse::bam
