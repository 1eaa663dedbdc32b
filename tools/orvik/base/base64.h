// Base64 (RFC 4648, with padding) for basic-authentication credentials.
#ifndef ORVIK_HOST_BASE_BASE64_H
#define ORVIK_HOST_BASE_BASE64_H

#include <optional>
#include <string>
#include <string_view>

namespace orvik_host {

std::string base64_encode(std::string_view in);

// Nullopt for a length that is not a multiple of four, a byte outside the
// alphabet or padding anywhere but at the end.
std::optional<std::string> base64_decode(std::string_view in);

}  // namespace orvik_host

#endif
