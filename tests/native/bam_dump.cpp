// Prints what the BAM decoder reads from a file, in the terms pysam gives it, so that tests can
// compare the two record by record.
//
//   bam_dump FILE            one line per record, then the final code
//   bam_dump --count FILE    the number of records and the final code only
//
// First line: "open <code> targets <n> eof_marker <0|1>". Per record:
// "<flag> <mapq> <tid> <blocks> <NH>", where <blocks> is get_blocks() as Python prints it and
// <NH> is one of: absent | int:<value> | float:<%.17g> | str:<hex of the UTF-8 text> |
// array:<typecode>:<count>:<hex of the payload> | error:<the exception get_tag raises>.
// Last line: "status <code>".
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "bam/bam_reader.hpp"

namespace {

using dulse::bam::AuxValue;
using dulse::bam::Reader;
using dulse::bam::Record;

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// pysam's get_blocks(): M, = and X emit a block and advance, D and N advance, nothing else
// counts; the position runs in unsigned 32-bit arithmetic.
void append_blocks(const Record& r, std::string& out) {
  out += '[';
  uint32_t pos = static_cast<uint32_t>(r.pos);
  bool first = true;
  char buf[64];
  for (uint32_t k = 0; k < r.n_cigar; ++k) {
    uint32_t v = le32(r.cigar + 4 * k);
    uint32_t op = v & 0xf, len = v >> 4;
    if (op == 0 || op == 7 || op == 8) {
      std::snprintf(buf, sizeof buf, "%s(%" PRIu32 ", %" PRIu32 ")", first ? "" : ", ", pos,
                    static_cast<uint32_t>(pos + len));
      out += buf;
      first = false;
      pos += len;
    } else if (op == 2 || op == 3) {
      pos += len;
    }
  }
  out += ']';
}

// Python's strict UTF-8 decoder: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const uint8_t* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    uint8_t c = s[i];
    size_t more;
    uint8_t lo = 0x80, hi = 0xbf;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xc2 && c <= 0xdf) {
      more = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
      more = 2;
      if (c == 0xe0) lo = 0xa0;
      if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      more = 3;
      if (c == 0xf0) lo = 0x90;
      if (c == 0xf4) hi = 0x8f;
    } else {
      return false;
    }
    if (n - i - 1 < more) return false;
    for (size_t k = 1; k <= more; ++k) {
      uint8_t t = s[i + k];
      if (t < (k == 1 ? lo : 0x80) || t > (k == 1 ? hi : 0xbf)) return false;
    }
    i += more + 1;
  }
  return true;
}

void append_hex(const uint8_t* p, size_t n, std::string& out) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 0xf];
  }
}

// get_tag("NH") as pysam computes it.
void append_nh(const Record& r, std::string& out) {
  const uint8_t* p = dulse::bam::find_aux(r, "NH");
  if (p == nullptr) {
    out += "absent";
    return;
  }
  AuxValue v = dulse::bam::decode_aux(p, r);
  char buf[64];
  switch (v.kind) {
    case AuxValue::kInteger:
      std::snprintf(buf, sizeof buf, "int:%" PRId64, v.integer);
      out += buf;
      break;
    case AuxValue::kReal:
      std::snprintf(buf, sizeof buf, "float:%.17g", v.real);
      out += buf;
      break;
    case AuxValue::kChar:
      // '%c' of a signed char: a byte of 0x80 or more is a negative code point.
      if (v.text[0] >= 0x80) {
        out += "error:OverflowError";
      } else {
        out += "str:";
        append_hex(v.text, 1, out);
      }
      break;
    case AuxValue::kText:
      if (!valid_utf8(v.text, v.text_len)) {
        out += "error:UnicodeDecodeError";
      } else {
        out += "str:";
        append_hex(v.text, v.text_len, out);
      }
      break;
    case AuxValue::kArray: {
      static const char htslib_types[] = "cCsSiIf";
      static const char python_types[] = "bBhHiIf";
      const char* at = v.subtype != 0 ? std::strchr(htslib_types, v.subtype) : nullptr;
      if (at == nullptr) {
        out += "error:ValueError";
        break;
      }
      if (static_cast<int32_t>(v.count) < 0) {  // pysam takes the count as an int32
        out += "error:MemoryError";
        break;
      }
      std::snprintf(buf, sizeof buf, "array:%c:%" PRIu32 ":", python_types[at - htslib_types],
                    v.count);
      out += buf;
      append_hex(v.text, v.text_len, out);
      break;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool count_only = argc == 3 && std::strcmp(argv[1], "--count") == 0;
  if (argc != 2 && !count_only) {
    std::fprintf(stderr, "usage: %s [--count] FILE.bam\n", argv[0]);
    return 2;
  }
  Reader reader;
  int opened = reader.open(argv[argc - 1]);
  std::printf("open %d targets %d eof_marker %d\n", opened, static_cast<int>(reader.n_targets()),
              reader.has_eof_marker() ? 1 : 0);
  if (opened != 0) return 1;
  int64_t records = 0;
  int status;
  std::string line;
  while ((status = reader.next()) > 0) {
    ++records;
    if (count_only) continue;
    const Record& r = reader.record();
    line.clear();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%u %u %d ", static_cast<unsigned>(r.flag),
                  static_cast<unsigned>(r.mapq), static_cast<int>(r.tid));
    line += buf;
    append_blocks(r, line);
    line += ' ';
    append_nh(r, line);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  if (count_only) std::printf("records %" PRId64 "\n", records);
  std::printf("status %d\n", status);
  reader.close();
  return 0;
}
