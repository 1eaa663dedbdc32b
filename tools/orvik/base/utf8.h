// UTF-8 as the JSON writer and the wire formats accept it: no overlong
// forms, no surrogates, nothing past U+10FFFF.
#ifndef ORVIK_HOST_UTF8_H
#define ORVIK_HOST_UTF8_H

#include <cstddef>
#include <string>
#include <string_view>

namespace orvik_host {

// Length of the well-formed sequence at text[i], or 0 when none starts there.
size_t utf8_sequence(std::string_view text, size_t i);
bool valid_utf8(std::string_view text);
// Each byte that starts no well-formed sequence becomes U+FFFD.
std::string replace_invalid_utf8(std::string_view text);

}  // namespace orvik_host

#endif
