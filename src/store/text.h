// Text helpers every subsystem writes with: JSON string escaping, UTF-8-safe
// cutting and checking, and decimal integers without formatted printing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvik {

// Writes text[0, len) with the escaping JSON requires inside a string
// (quote, backslash, control characters) into out, which holds cap bytes
// (cap > 0). The output is NUL-terminated and cut to cap - 1 bytes; the
// result is the length of the uncut escaped text.
size_t json_escape(char *out, size_t cap, const char *text, size_t len);

// The longest prefix of text[0, len) of at most max bytes that does not end
// inside a UTF-8 sequence.
size_t utf8_prefix(const char *text, size_t len, size_t max);

// Whether text is well-formed UTF-8 (no overlongs, surrogates or values
// above U+10FFFF).
bool utf8_valid(const char *text);

// Copies src into dst[size] cut at a character boundary; returns the length.
size_t copy_text_cut(char *dst, size_t size, const char *src);

// Room write_decimal needs: twenty digits, a sign and the NUL.
constexpr size_t DECIMAL_SIZE = 22;

// Writes v in decimal, with a leading '-' when negative, NUL-terminated,
// into out[DECIMAL_SIZE]. Returns the length.
size_t write_decimal(char *out, uint64_t v, bool negative);

// Eight bytes from p, at any alignment.
inline uint64_t load64(const char *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Whether the n bytes (n >= 1) at a and b are equal. For the short texts
// compared once per series, where a call to a library comparison costs more
// than the comparison itself.
inline bool same_bytes(const char *a, const char *b, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    if (load64(a + i) != load64(b + i)) return false;
  }
  if (i == n) return true;
  if (n >= 8) return load64(a + n - 8) == load64(b + n - 8);
  for (; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace orvik
