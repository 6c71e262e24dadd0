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

// Looks for `tag` in `aux[0, len)`; on kFound, *type_ptr points at the tag's type letter.
AuxLookup lookup_aux(const uint8_t* aux, size_t len, const char tag[2], const uint8_t** type_ptr);

// lookup_aux for up to 8 tags in one walk through the area: found[t] and type_ptrs[t] are what
// lookup_aux would give for tags[t].
void lookup_aux_tags(const uint8_t* aux, size_t len, const char (*tags)[2], size_t n,
                     AuxLookup* found, const uint8_t** type_ptrs);

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
