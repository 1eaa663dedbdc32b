#include "base/utf8.h"

namespace orvik_host {

// Length of the well-formed UTF-8 sequence at text[i], or 0 when the byte there
// does not start one (stray continuation, overlong form, surrogate, past
// U+10FFFF, cut short).
size_t utf8_sequence(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t width;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    width = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    width = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    width = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + width > text.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < width; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  return width;
}

// The JSON writer refuses invalid UTF-8 and the reply would be "{}"; a
// parameter echoed in a message keeps its readable part this way.
std::string replace_invalid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t width = utf8_sequence(text, i);
    if (width == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text, i, width);
      i += width;
    }
  }
  return out;
}

bool valid_utf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t width = utf8_sequence(text, i);
    if (width == 0) return false;
    i += width;
  }
  return true;
}

}  // namespace orvik_host
