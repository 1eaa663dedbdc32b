// Standard base64 (RFC 4648, '+' and '/', padded), the one both sides of
// Basic authentication use: the server reading credentials, the remote-write
// sender writing them.
#ifndef ORVIK_HOST_BASE_BASE64_H
#define ORVIK_HOST_BASE_BASE64_H

#include <optional>
#include <string>
#include <string_view>

namespace orvik_host {

std::string base64_encode(std::string_view bytes);

// Null unless `text` is padded base64 and nothing else: no whitespace, no
// padding inside, no missing '='.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace orvik_host

#endif
