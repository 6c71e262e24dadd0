#include "annotation/text_checks.hpp"

#include <cstdint>
#include <cstdio>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dulse::annotation {

namespace {

// The length of the valid UTF-8 sequence at p (n bytes left, p[0] >= 0x80), or 0.
size_t utf8_sequence(const unsigned char* p, size_t n) {
  const unsigned char b = p[0];
  size_t length;
  unsigned char low = 0x80, high = 0xbf;  // the allowed range of the second byte
  if (b >= 0xc2 && b <= 0xdf) {
    length = 2;
  } else if (b >= 0xe0 && b <= 0xef) {
    length = 3;
    if (b == 0xe0) low = 0xa0;
    if (b == 0xed) high = 0x9f;  // no surrogates
  } else if (b >= 0xf0 && b <= 0xf4) {
    length = 4;
    if (b == 0xf0) low = 0x90;
    if (b == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (n < length || p[1] < low || p[1] > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (p[k] < 0x80 || p[k] > 0xbf) return 0;
  }
  return length;
}

bool plain(unsigned char c) { return (c >= 0x20 && c < 0x7f) || c == '\t'; }

}  // namespace

TextScan scan_text(const char* text, size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t at = 0;
  while (at < n) {
#if defined(__SSE2__)
    // Sixteen bytes at a time: signed, bytes below 0x20 and from 0x80 up compare less.
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i tab = _mm_set1_epi8('\t');
    const __m128i del = _mm_set1_epi8(0x7f);
    while (at + 16 <= n) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
      __m128i odd = _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi8(v, tab), _mm_cmplt_epi8(v, space)),
                                 _mm_cmpeq_epi8(v, del));
      int mask = _mm_movemask_epi8(odd);
      if (mask != 0) {
        at += static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        break;
      }
      at += 16;
    }
#endif
    while (at < n && plain(p[at])) ++at;
    if (at == n) break;
    const unsigned char c = p[at];
    if (c == '\r') return {TextScan::kCarriageReturn, at};
    if (c < 0x80) return {TextScan::kControl, at};
    size_t length = utf8_sequence(p + at, n - at);
    if (length == 0) return {TextScan::kNotUtf8, at};
    at += length;
  }
  return {TextScan::kClean, n};
}

std::string quoted(std::string_view text) {
  const bool has_single = text.find('\'') != std::string_view::npos;
  const bool has_double = text.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  std::string out(1, quote);
  for (size_t k = 0; k < text.size(); ++k) {
    const auto c = static_cast<unsigned char>(text[k]);
    char escape[8];
    if (c == '\\' || c == static_cast<unsigned char>(quote)) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    } else if (c == 0xc2 && k + 1 < text.size() &&
               (static_cast<unsigned char>(text[k + 1]) <= 0xa0 ||
                static_cast<unsigned char>(text[k + 1]) == 0xad)) {
      // U+0080 to U+00A0 and U+00AD, which Python does not count as printable.
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[k + 1]));
      out += escape;
      ++k;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += quote;
  return out;
}

}  // namespace dulse::annotation
