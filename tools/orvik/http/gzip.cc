#include "http/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace orvik_host {

namespace {

// The JSON answers shrink tenfold and more, so a sixteenth of the text
// is room for most of them in one go; the floor keeps small answers from
// growing in many steps.
constexpr size_t FIRST_ROOM_DIVISOR = 16;
constexpr size_t FIRST_ROOM_MIN = 4096;

}  // namespace

std::optional<std::string> gzip_compress(std::string_view text, int level) {
  // Answers are bounded far below 4 GiB, the most zlib takes in one call.
  if (text.size() > UINT_MAX) return std::nullopt;
  z_stream z{};
  // 15 + 16: the largest window, with a gzip header and trailer. Memory
  // level 9 costs a fifth more time on the answers and gains nothing.
  if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
  // Not the worst case that deflateBound reserves: a buffer as long as the
  // text, zero-filled for output a tenth of it, costs more than compressing
  // (fresh pages fault in at every answer). The output grows as it comes.
  const size_t bound = deflateBound(&z, static_cast<uLong>(text.size()));
  std::string out;
  out.resize(std::min(bound, std::max(FIRST_ROOM_MIN, text.size() / FIRST_ROOM_DIVISOR)));
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  int result = Z_OK;
  try {
    while (result == Z_OK) {
      if (z.total_out == out.size()) out.resize(std::min<size_t>(UINT_MAX, 2 * out.size()));
      z.next_out = reinterpret_cast<Bytef *>(out.data() + z.total_out);
      z.avail_out = static_cast<uInt>(out.size() - z.total_out);
      // Z_OK: out of room, with more to come.
      result = deflate(&z, Z_FINISH);
    }
  } catch (const std::bad_alloc &) {
    result = Z_MEM_ERROR;
  }
  out.resize(z.total_out);
  deflateEnd(&z);
  if (result != Z_STREAM_END) return std::nullopt;
  // The compressed copy may wait long for a slow client and counts against
  // the answers in flight by its capacity; give back room it did not use
  // when that is more than a quarter of it.
  if (out.capacity() - out.size() > out.size() / 4) out.shrink_to_fit();
  return out;
}

}  // namespace orvik_host
