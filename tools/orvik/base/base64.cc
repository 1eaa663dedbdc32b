#include "base/base64.h"

#include <cstdint>

namespace orvik_host {

namespace {
constexpr char DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int digit_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string base64_encode(std::string_view in) {
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t n = static_cast<uint32_t>(static_cast<uint8_t>(in[i])) << 16;
    if (i + 1 < in.size()) n |= static_cast<uint32_t>(static_cast<uint8_t>(in[i + 1])) << 8;
    if (i + 2 < in.size()) n |= static_cast<uint8_t>(in[i + 2]);
    out += DIGITS[(n >> 18) & 63];
    out += DIGITS[(n >> 12) & 63];
    out += i + 1 < in.size() ? DIGITS[(n >> 6) & 63] : '=';
    out += i + 2 < in.size() ? DIGITS[n & 63] : '=';
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view in) {
  if (in.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(in.size() / 4 * 3);
  for (size_t i = 0; i < in.size(); i += 4) {
    const bool last = i + 4 == in.size();
    uint32_t n = 0;
    int padding = 0;
    for (size_t j = 0; j < 4; ++j) {
      const char c = in[i + j];
      if (c == '=' && last && j >= 2 && (j == 3 || in[i + 3] == '=')) {
        ++padding;
        n <<= 6;
        continue;
      }
      const int v = digit_value(c);
      if (v < 0 || padding) return std::nullopt;
      n = (n << 6) | static_cast<uint32_t>(v);
    }
    out += static_cast<char>((n >> 16) & 0xff);
    if (padding < 2) out += static_cast<char>((n >> 8) & 0xff);
    if (padding < 1) out += static_cast<char>(n & 0xff);
  }
  return out;
}

}  // namespace orvik_host
