// gzip for answers, with zlib.
#ifndef ORVIK_HOST_HTTP_GZIP_H
#define ORVIK_HOST_HTTP_GZIP_H

#include <optional>
#include <string>
#include <string_view>

namespace orvik_host {

// The gzip member of `text` at zlib level `level` (1 fastest, 9 smallest);
// null when zlib fails (no memory). Texts of GZIP_SPLIT_BYTES and more are
// compressed in two halves at once, on this thread and one it starts.
std::optional<std::string> gzip_compress(std::string_view text, int level);

}  // namespace orvik_host

#endif
