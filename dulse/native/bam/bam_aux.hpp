// The aux area of a BAM record: finding a tag and reading its value.
//
// A tag is found as htslib finds it: walking the fields from the start, each one skipped by its
// type letter, a field whose type is unknown or whose value runs past the end stops the walk
// as corrupt, a Z or H value without its NUL runs to the end, and one or two stray bytes at
// the end are ignored. The tag found must itself be complete, or the area counts as corrupt.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bam/bytes.hpp"

namespace dulse::bam {

enum class AuxLookup { kFound, kAbsent, kCorrupt };

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
inline constexpr FixedSizes kFixedSizes;

// skip_value for the letters of no fixed size (Z, H, B and unknown ones).
const uint8_t* skip_variable_value(const uint8_t* s, const uint8_t* end);

// Skips the value whose type letter is at `s`: the next field's first byte, `end` when a Z or
// H value has no NUL, or nullptr when the value is corrupt.
inline const uint8_t* skip_value(const uint8_t* s, const uint8_t* end) {
  if (s >= end) return end;
  uint32_t fixed = kFixedSizes.size[*s];
  if (fixed != 0) return end - (s + 1) < static_cast<ptrdiff_t>(fixed) ? nullptr : s + 1 + fixed;
  return skip_variable_value(s, end);
}

// Looks for `tag` in `aux[0, len)`; on kFound, *type_ptr points at the tag's type letter.
AuxLookup lookup_aux(const uint8_t* aux, size_t len, const char tag[2], const uint8_t** type_ptr);

// The N tags when the area begins with them, in that order, each with a value of a fixed size
// (as aligners write NH and HI): their type letters into type_ptrs. False otherwise.
template <size_t N>
inline bool aux_tags_lead(const uint8_t* aux, size_t len, const char (*tags)[2],
                          const uint8_t** type_ptrs) {
  const uint8_t* end = aux + len;
  const uint8_t* s = aux + 2;
  for (size_t t = 0; t < N; ++t) {
    if (s >= end || s[-2] != static_cast<uint8_t>(tags[t][0]) ||
        s[-1] != static_cast<uint8_t>(tags[t][1])) {
      return false;
    }
    const uint8_t* next = kFixedSizes.size[*s] != 0 ? skip_value(s, end) : nullptr;
    if (next == nullptr) return false;
    type_ptrs[t] = s;
    s = next + 2;
  }
  return true;
}

// lookup_aux for N tags (N < 32) in one walk through the area: found[t] and type_ptrs[t] are
// what lookup_aux would give for tags[t]. Inline, for the loops that read every record's tags.
template <size_t N>
inline void lookup_aux_tags(const uint8_t* aux, size_t len, const char (*tags)[2],
                            AuxLookup* found, const uint8_t** type_ptrs) {
  static_assert(N > 0 && N < 32);
  if (aux_tags_lead<N>(aux, len, tags, type_ptrs)) {
    for (size_t t = 0; t < N; ++t) found[t] = AuxLookup::kFound;
    return;
  }
  for (size_t t = 0; t < N; ++t) found[t] = AuxLookup::kAbsent;
  const uint8_t* end = aux + len;
  if (len <= 2) return;
  unsigned open = (1u << N) - 1;  // bit t: tags[t] not met yet
  const uint8_t* s = aux + 2;
  for (;;) {
    const uint8_t* next = skip_value(s, end);
    for (size_t t = 0; t < N; ++t) {
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
  for (size_t t = 0; t < N; ++t) {
    if ((open >> t & 1u) != 0) found[t] = AuxLookup::kCorrupt;  // the walk stopped before it
  }
}

// The value at a tag that lookup_aux found, as pysam's get_tag reads it.
struct AuxValue {
  enum Kind {
    kInteger,  // c C s S i I: `integer`
    kReal,     // f (widened from 32 bits) and d: `real`
    kChar,     // A: `text` is the one byte
    kText,     // Z and H: `text` up to its NUL, which is not included
    kArray,    // B: `subtype`, `count`, `text` is the payload
  };
  Kind kind;
  char type;  // the type letter
  int64_t integer = 0;
  double real = 0.0;
  const uint8_t* text = nullptr;
  size_t text_len = 0;
  char subtype = 0;
  // For B: the element count as stored and the element size htslib gives the subtype (for Z,
  // H and B subtypes, the letter's code). `text_len` is the payload's extent as htslib checks
  // it, count * elem_size in 32-bit arithmetic: shorter than the true product only when that
  // product overflowed.
  uint32_t count = 0;
  uint32_t elem_size = 0;
};

// `type_ptr` must come from lookup_aux on the same area, which has checked the value's extent.
AuxValue decode_aux(const uint8_t* type_ptr);

// decode_aux's integer, for the integer types alone (c C s S i I): false for any other type.
inline bool aux_integer(const uint8_t* type_ptr, int64_t* value) {
  const uint8_t* s = type_ptr + 1;
  switch (type_ptr[0]) {
    case 'c': *value = static_cast<int8_t>(s[0]); return true;
    case 'C': *value = s[0]; return true;
    case 's': *value = static_cast<int16_t>(static_cast<uint16_t>(s[0] | s[1] << 8)); return true;
    case 'S': *value = s[0] | s[1] << 8; return true;
    case 'i': *value = static_cast<int32_t>(le32(s)); return true;
    case 'I': *value = le32(s); return true;
    default: return false;
  }
}

}  // namespace dulse::bam
