#include "http/request.h"

#include <cstdio>
#include <cstdlib>

namespace orvik_host {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool matches(std::string_view pattern, std::string_view path, std::vector<std::string> *captures) {
  const size_t star = pattern.find('*');
  if (star == std::string_view::npos) return pattern == path;
  const std::string_view head = pattern.substr(0, star), tail = pattern.substr(star + 1);
  if (path.size() <= head.size() + tail.size() || path.substr(0, head.size()) != head ||
      path.substr(path.size() - tail.size()) != tail)
    return false;
  const std::string_view middle = path.substr(head.size(), path.size() - head.size() - tail.size());
  if (middle.find('/') != std::string_view::npos) return false;
  if (captures) captures->emplace_back(middle);
  return true;
}

}  // namespace

bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

const std::string *http_request::header(std::string_view name) const {
  for (const auto &field : headers)
    if (equal_nocase(field.first, name)) return &field.second;
  return nullptr;
}

const route *find_route(const std::vector<route> &routes, std::string_view path,
                        std::vector<std::string> *captures) {
  for (const route &r : routes) {
    std::vector<std::string> found;
    if (matches(r.path, path, &found)) {
      if (captures) *captures = std::move(found);
      return &r;
    }
  }
  return nullptr;
}

std::optional<std::string> percent_decode(std::string_view text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      const int h = i + 1 < text.size() ? hex_digit(text[i + 1]) : -1;
      const int l = i + 2 < text.size() ? hex_digit(text[i + 2]) : -1;
      if (h < 0 || l < 0) return std::nullopt;
      c = static_cast<char>(h * 16 + l);
      i += 2;
    } else if (c == '+' && plus_is_space) {
      c = ' ';
    }
    if (c == '\0') return std::nullopt;
    out.push_back(c);
  }
  return out;
}

bool parse_form(std::string_view text, request_params &params, std::string &error) {
  while (!text.empty()) {
    const size_t amp = text.find('&');
    const std::string_view pair = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t eq = pair.find('=');
    auto name = percent_decode(pair.substr(0, eq), true);
    auto value = percent_decode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), true);
    if (!name || !value) {
      error = "invalid parameter: cannot decode \"" + log_text(pair) +
              "\" (a broken %-escape or a NUL byte)";
      return false;
    }
    params.emplace(std::move(*name), std::move(*value));
  }
  return true;
}

bool accepts_gzip(std::string_view accept_encoding) {
  while (!accept_encoding.empty()) {
    const size_t comma = accept_encoding.find(',');
    std::string_view item = accept_encoding.substr(0, comma);
    accept_encoding =
        comma == std::string_view::npos ? std::string_view() : accept_encoding.substr(comma + 1);
    const size_t semi = item.find(';');
    const std::string_view coding = trim(item.substr(0, semi));
    if (!equal_nocase(coding, "gzip") && coding != "*") continue;
    if (semi == std::string_view::npos) return true;
    std::string_view parameter = trim(item.substr(semi + 1));
    if (parameter.size() < 2 || lower(parameter[0]) != 'q' || parameter[1] != '=') return true;
    const std::string q(trim(parameter.substr(2)));
    return std::strtod(q.c_str(), nullptr) > 0.0;
  }
  return false;
}

std::string log_text(std::string_view target) {
  constexpr size_t shown = 200;
  std::string out;
  size_t i = 0;
  for (; i < target.size() && out.size() < shown; ++i) {
    const unsigned char c = static_cast<unsigned char>(target[i]);
    if (c < 0x20 || c >= 0x7f || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (i < target.size()) out += "...";
  return out;
}

}  // namespace orvik_host
