#include "http/listen_address.h"

namespace orvik_host {

std::optional<listen_address> parse_listen_address(std::string_view text) {
  listen_address address;
  size_t colon;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    // "[]" is no address; taken as the empty host it would bind every one.
    if (close == std::string_view::npos || close == 1 || close + 1 >= text.size() || text[close + 1] != ':')
      return std::nullopt;
    address.host = std::string(text.substr(1, close - 1));
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    address.host = std::string(text.substr(0, colon));
    if (address.host.find(':') != std::string::npos) return std::nullopt;
  }
  if (address.host.empty()) address.host = "0.0.0.0";
  const std::string_view port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5) return std::nullopt;
  for (char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    address.port = address.port * 10 + (c - '0');
  }
  if (address.port > 65535) return std::nullopt;
  return address;
}

}  // namespace orvik_host
