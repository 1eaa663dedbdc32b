#include "base/base64.h"

#include <cstdint>

namespace orvik_host {
namespace {

constexpr char DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int digit_value(unsigned char c) {
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

std::optional<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int pad = 0;
    if (last && text[i + 3] == '=') pad = text[i + 2] == '=' ? 2 : 1;
    uint32_t group = 0;
    for (size_t j = 0; j < 4; ++j) {
      int digit = j >= 4 - static_cast<size_t>(pad) ? 0 : digit_value(static_cast<unsigned char>(text[i + j]));
      if (digit < 0) return std::nullopt;
      group = group << 6 | static_cast<uint32_t>(digit);
    }
    out.push_back(static_cast<char>(group >> 16));
    if (pad < 2) out.push_back(static_cast<char>(group >> 8 & 0xff));
    if (pad < 1) out.push_back(static_cast<char>(group & 0xff));
  }
  return out;
}

}  // namespace orvik_host
