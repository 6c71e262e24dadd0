#include "annotation/attributes.hpp"

namespace dulse::annotation {

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// How many bytes at p (n left, p[0] >= 0x80) one U+FFFD replaces, or the length of a valid
// sequence (then `valid` is set): the longest prefix that could still begin a character.
size_t utf8_piece(const unsigned char* p, size_t n, bool* valid) {
  const unsigned char b = p[0];
  size_t length;
  unsigned char low = 0x80, high = 0xbf;
  *valid = false;
  if (b >= 0xc2 && b <= 0xdf) {
    length = 2;
  } else if (b >= 0xe0 && b <= 0xef) {
    length = 3;
    if (b == 0xe0) low = 0xa0;
    if (b == 0xed) high = 0x9f;
  } else if (b >= 0xf0 && b <= 0xf4) {
    length = 4;
    if (b == 0xf0) low = 0x90;
    if (b == 0xf4) high = 0x8f;
  } else {
    return 1;
  }
  size_t k = 1;
  for (; k < length && k < n; ++k) {
    unsigned char lo = k == 1 ? low : 0x80, hi = k == 1 ? high : 0xbf;
    if (p[k] < lo || p[k] > hi) return k;
  }
  if (k < length) return k;
  *valid = true;
  return length;
}

// Percent escapes of a run of ASCII text, decoded as UTF-8 with replacement.
void decode_run(std::string_view run, std::string& out) {
  std::string bytes;
  for (size_t k = 0; k < run.size(); ++k) {
    int hi, lo;
    if (run[k] == '%' && k + 2 < run.size() && (hi = hex_digit(run[k + 1])) >= 0 &&
        (lo = hex_digit(run[k + 2])) >= 0) {
      bytes += static_cast<char>(hi * 16 + lo);
      k += 2;
    } else {
      bytes += run[k];
    }
  }
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (size_t k = 0; k < bytes.size();) {
    if (p[k] < 0x80) {
      out += bytes[k++];
      continue;
    }
    bool valid;
    size_t piece = utf8_piece(p + k, bytes.size() - k, &valid);
    if (valid) {
      out.append(bytes, k, piece);
    } else {
      out += "\xef\xbf\xbd";
    }
    k += piece;
  }
}

}  // namespace

bool AttributeScanner::next(Attribute& out) {
  const std::string_view c = column_;
  while (at_ < c.size() && (blank(c[at_]) || c[at_] == ';')) ++at_;
  if (at_ >= c.size()) return false;
  const size_t begin = at_;
  out = Attribute();
  size_t k = at_;
  while (k < c.size() && !blank(c[k]) && c[k] != '=' && c[k] != ';' && c[k] != '"') ++k;
  out.key = c.substr(begin, k - begin);
  size_t after_key = k;
  while (k < c.size() && blank(c[k])) ++k;
  const bool spaced = k > after_key;
  bool equals = false;
  if (!out.key.empty() && k < c.size() && c[k] == '=') {
    equals = true;
    ++k;
    while (k < c.size() && blank(c[k])) ++k;
  }
  size_t end;  // where the attribute's part of the column ends (its semicolon, or the end)
  if (!out.key.empty() && (equals || spaced) && k < c.size() && c[k] == '"') {
    size_t v = k + 1;
    while (v < c.size() && c[v] != '"') v += c[v] == '\\' && v + 1 < c.size() ? 2 : 1;
    out.has_value = true;
    out.quoted = true;
    out.text = c.substr(k + 1, std::min(v, c.size()) - (k + 1));
    end = v < c.size() ? c.find(';', v + 1) : c.size();
  } else {
    end = c.find(';', k);
    if (end == std::string_view::npos) end = c.size();
    if (!out.key.empty() && equals) {
      out.has_value = true;
      out.text = trimmed(c.substr(k, end - k));
    } else if (!out.key.empty() && spaced && k < end) {
      size_t w = k;
      while (w < end && !blank(c[w]) && c[w] != '"') ++w;
      out.has_value = w > k;
      out.text = c.substr(k, w - k);
    }
  }
  if (end == std::string_view::npos) end = c.size();
  // The part as a plain split at semicolons would give it, for messages.
  size_t plain_end = c.find(';', begin);
  if (plain_end == std::string_view::npos) plain_end = c.size();
  out.whole = trimmed(c.substr(begin, plain_end - begin));
  at_ = end;
  return true;
}

std::string_view attribute_value(const Attribute& a, std::string& scratch) {
  if (!a.quoted || a.text.find('\\') == std::string_view::npos) return a.text;
  scratch.clear();
  for (size_t k = 0; k < a.text.size(); ++k) {
    if (a.text[k] == '\\' && k + 1 < a.text.size() &&
        (a.text[k + 1] == '"' || a.text[k + 1] == '\\')) {
      ++k;
    }
    scratch += a.text[k];
  }
  return scratch;
}

void percent_decode(std::string_view text, std::string& out) {
  size_t k = 0;
  while (k < text.size()) {
    size_t run = k;
    while (run < text.size() && static_cast<unsigned char>(text[run]) < 0x80) ++run;
    decode_run(text.substr(k, run - k), out);
    size_t other = run;
    while (other < text.size() && static_cast<unsigned char>(text[other]) >= 0x80) ++other;
    out.append(text, run, other - run);
    k = other;
  }
}

}  // namespace dulse::annotation
