#include "http/gzip.h"

#include <zlib.h>

#include <climits>

namespace orvik_host {

std::optional<std::string> gzip_compress(std::string_view text, int level) {
  z_stream z{};
  // 15 + 16: the largest window, with a gzip header and trailer.
  if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
  std::string out;
  out.resize(deflateBound(&z, static_cast<uLong>(text.size())));
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
  z.next_out = reinterpret_cast<Bytef *>(out.data());
  // Answers are bounded far below 4 GiB, the most zlib takes in one call.
  if (text.size() > UINT_MAX || out.size() > UINT_MAX) {
    deflateEnd(&z);
    return std::nullopt;
  }
  z.avail_in = static_cast<uInt>(text.size());
  z.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (result != Z_STREAM_END) return std::nullopt;
  // The bound reserved room for incompressible text; answers shrink about
  // tenfold, and the compressed copy may wait long for a slow client.
  out.shrink_to_fit();
  return out;
}

}  // namespace orvik_host
