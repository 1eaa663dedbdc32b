#include "store/text.h"

#include <cstring>

namespace orvik {

size_t json_escape(char *out, size_t cap, const char *text, size_t len) {
  static const char HEX_DIGITS[] = "0123456789abcdef";
  const size_t limit = cap - 1;
  size_t n = 0;
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    char esc[6];
    size_t k = 2;
    esc[0] = '\\';
    switch (c) {
      case '"': esc[1] = '"'; break;
      case '\\': esc[1] = '\\'; break;
      case '\b': esc[1] = 'b'; break;
      case '\f': esc[1] = 'f'; break;
      case '\n': esc[1] = 'n'; break;
      case '\r': esc[1] = 'r'; break;
      case '\t': esc[1] = 't'; break;
      default:
        if (c >= 0x20) {
          esc[0] = static_cast<char>(c);
          k = 1;
        } else {
          esc[1] = 'u';
          esc[2] = '0';
          esc[3] = '0';
          esc[4] = HEX_DIGITS[c >> 4];
          esc[5] = HEX_DIGITS[c & 0xF];
          k = 6;
        }
    }
    for (size_t j = 0; j < k; ++j, ++n) {
      if (n < limit) out[n] = esc[j];
    }
  }
  out[n < limit ? n : limit] = '\0';
  return n;
}

size_t utf8_prefix(const char *text, size_t len, size_t max) {
  if (len <= max) return len;
  if (max == 0) return 0;
  // Find the lead byte of the character holding byte max - 1.
  size_t lead = max - 1;
  size_t steps = 0;
  while (lead > 0 && steps < 3 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) {
    --lead;
    ++steps;
  }
  unsigned char c = static_cast<unsigned char>(text[lead]);
  size_t width = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
  return lead + width <= max ? max : lead;
}

size_t copy_text_cut(char *dst, size_t size, const char *src) {
  size_t n = utf8_prefix(src, std::strlen(src), size - 1);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
  return n;
}

bool utf8_valid(const char *text) {
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  while (*p) {
    // Runs of ASCII, the common case, need no decoding.
    while (*p != 0 && *p < 0x80) ++p;
    if (*p == 0) break;
    unsigned char c = *p;
    size_t width;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      width = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      width = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      width = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    for (size_t i = 1; i < width; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;  // also stops at the NUL
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    static const uint32_t MIN_FOR_WIDTH[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < MIN_FOR_WIDTH[width] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += width;
  }
  return true;
}

size_t write_decimal(char *out, uint64_t v, bool negative) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  size_t len = 0;
  if (negative) out[len++] = '-';
  while (n > 0) out[len++] = digits[--n];
  out[len] = '\0';
  return len;
}

}  // namespace orvik
