#include "bam/bam_aux.hpp"
#include "bam/bytes.hpp"

#include <cstring>

namespace dulse::bam {

namespace {

// htslib's sizes: the value size of the fixed types; for Z, H and B the letter itself, which
// is also what a B array of such a subtype takes per element; 0 for an unknown letter.
constexpr uint32_t type_size(uint8_t type) {
  switch (type) {
    case 'A': case 'c': case 'C': return 1;
    case 's': case 'S': return 2;
    case 'i': case 'I': case 'f': return 4;
    case 'd': return 8;
    case 'Z': case 'H': case 'B': return type;
    default: return 0;
  }
}

// The value size of each type letter of a fixed size, 0 for the others (Z, H, B and unknown
// letters), so that the common fields are skipped without a switch.
struct FixedSizes {
  uint8_t size[256] = {};
  constexpr FixedSizes() {
    for (int letter = 0; letter < 256; ++letter) {
      uint32_t n = type_size(static_cast<uint8_t>(letter));
      size[letter] = static_cast<uint8_t>(n <= 8 ? n : 0);
    }
  }
};
constexpr FixedSizes kFixed;

// Skips the value whose type letter is at `s`: the next field's first byte, `end` when a Z or
// H value has no NUL, or nullptr when the value is corrupt.
inline const uint8_t* skip_value(const uint8_t* s, const uint8_t* end) {
  if (s >= end) return end;
  uint32_t fixed = kFixed.size[*s];
  if (fixed != 0) return end - (s + 1) < static_cast<ptrdiff_t>(fixed) ? nullptr : s + 1 + fixed;
  uint32_t size = type_size(*s);
  ++s;
  switch (size) {
    case 'Z': case 'H': {
      auto* nul = static_cast<const uint8_t*>(std::memchr(s, 0, static_cast<size_t>(end - s)));
      return nul != nullptr ? nul + 1 : end;
    }
    case 'B': {
      if (end - s < 5) return nullptr;
      uint32_t elem = type_size(*s);
      uint32_t n = le32(s + 1);
      s += 5;
      uint32_t bytes = elem * n;  // 32-bit, as htslib computes it
      if (elem == 0 || end - s < static_cast<ptrdiff_t>(bytes)) return nullptr;
      return s + bytes;
    }
    default:
      return nullptr;
  }
}

}  // namespace

AuxLookup lookup_aux(const uint8_t* aux, size_t len, const char tag[2], const uint8_t** type_ptr) {
  const uint8_t* end = aux + len;
  if (len <= 2) return AuxLookup::kAbsent;
  const uint8_t* s = aux + 2;
  for (;;) {
    if (s[-2] == static_cast<uint8_t>(tag[0]) && s[-1] == static_cast<uint8_t>(tag[1])) {
      const uint8_t* e = skip_value(s, end);
      if (e == nullptr) return AuxLookup::kCorrupt;
      if ((*s == 'Z' || *s == 'H') && e[-1] != 0) return AuxLookup::kCorrupt;
      *type_ptr = s;
      return AuxLookup::kFound;
    }
    const uint8_t* next = skip_value(s, end);
    if (next == nullptr) return AuxLookup::kCorrupt;
    if (end - next <= 2) return AuxLookup::kAbsent;
    s = next + 2;
  }
}

void lookup_aux_tags(const uint8_t* aux, size_t len, const char (*tags)[2], size_t n,
                     AuxLookup* found, const uint8_t** type_ptrs) {
  for (size_t t = 0; t < n; ++t) found[t] = AuxLookup::kAbsent;
  const uint8_t* end = aux + len;
  if (len <= 2) return;
  unsigned open = (1u << n) - 1;  // bit t: tags[t] not met yet
  const uint8_t* s = aux + 2;
  for (;;) {
    const uint8_t* next = skip_value(s, end);
    for (size_t t = 0; t < n; ++t) {
      if ((open >> t & 1u) == 0 || s[-2] != static_cast<uint8_t>(tags[t][0]) ||
          s[-1] != static_cast<uint8_t>(tags[t][1])) {
        continue;
      }
      open &= ~(1u << t);
      bool bad = next == nullptr || ((*s == 'Z' || *s == 'H') && next[-1] != 0);
      found[t] = bad ? AuxLookup::kCorrupt : AuxLookup::kFound;
      if (!bad) type_ptrs[t] = s;
    }
    if (open == 0) return;
    if (next == nullptr) break;
    if (end - next <= 2) return;
    s = next + 2;
  }
  for (size_t t = 0; t < n; ++t) {
    if ((open >> t & 1u) != 0) found[t] = AuxLookup::kCorrupt;  // the walk stopped before it
  }
}

AuxValue decode_aux(const uint8_t* p) {
  AuxValue v{};
  v.type = static_cast<char>(p[0]);
  if (aux_integer(p, &v.integer)) {
    v.kind = AuxValue::kInteger;
    return v;
  }
  const uint8_t* s = p + 1;
  switch (p[0]) {
    case 'f': {
      uint32_t bits = le32(s);
      float f;
      std::memcpy(&f, &bits, sizeof f);
      v.kind = AuxValue::kReal;
      v.real = f;
      break;
    }
    case 'd': {
      uint64_t bits = le32(s) | uint64_t{le32(s + 4)} << 32;
      std::memcpy(&v.real, &bits, sizeof v.real);
      v.kind = AuxValue::kReal;
      break;
    }
    case 'A': v.kind = AuxValue::kChar; v.text = s; v.text_len = 1; break;
    case 'Z': case 'H':
      v.kind = AuxValue::kText;
      v.text = s;
      v.text_len = std::strlen(reinterpret_cast<const char*>(s));
      break;
    default:  // 'B'; lookup_aux finds no other letter
      v.kind = AuxValue::kArray;
      v.subtype = static_cast<char>(s[0]);
      v.elem_size = type_size(s[0]);
      v.count = le32(s + 1);
      v.text = s + 5;
      v.text_len = v.elem_size * v.count;
      break;
  }
  return v;
}

}  // namespace dulse::bam
