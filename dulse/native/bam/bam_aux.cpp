#include "bam/bam_aux.hpp"
#include "bam/bytes.hpp"

#include <cstring>

namespace dulse::bam {

const uint8_t* skip_variable_value(const uint8_t* s, const uint8_t* end) {
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

AuxLookup lookup_aux(const uint8_t* aux, size_t len, const char tag[2], const uint8_t** type_ptr) {
  const char tags[1][2] = {{tag[0], tag[1]}};
  AuxLookup found;
  lookup_aux_tags<1>(aux, len, tags, &found, type_ptr);
  return found;
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
