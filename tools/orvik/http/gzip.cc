#include "http/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <system_error>
#include <thread>

#include "http/limits.h"

namespace orvik_host {

namespace {

// The JSON answers shrink tenfold and more, so a sixteenth of the text
// is room for most of them in one go; the floor keeps small answers from
// growing in many steps.
constexpr size_t FIRST_ROOM_DIVISOR = 16;
constexpr size_t FIRST_ROOM_MIN = 4096;
// The farthest back a deflate match reaches.
constexpr size_t WINDOW_BYTES = 32 * 1024;

// Appends the raw deflate data of `text` to `out`, matches reaching back
// into `before` (the text just ahead of it). `last`: the final piece, which
// ends the stream; any other ends on a byte boundary with the stream open,
// so that the next piece's data can follow it directly. False when zlib or
// the heap fails.
bool deflate_piece(std::string_view before, std::string_view text, int level, bool last, std::string &out) {
  z_stream z{};
  // -15: raw data with the largest window; the gzip frame is written around
  // the pieces. Memory level 9 costs a fifth more time on the answers and
  // gains nothing.
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  before = before.substr(before.size() - std::min(before.size(), WINDOW_BYTES));
  if (!before.empty() &&
      deflateSetDictionary(&z, reinterpret_cast<const Bytef *>(before.data()), static_cast<uInt>(before.size())) != Z_OK) {
    deflateEnd(&z);
    return false;
  }
  // Not the worst case that deflateBound reserves: a buffer as long as the
  // text, zero-filled for output a tenth of it, costs more than compressing
  // (fresh pages fault in at every answer). The output grows as it comes.
  const size_t start = out.size();
  size_t used = start;
  const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  int result = Z_OK;
  try {
    out.resize(start + std::max(FIRST_ROOM_MIN, text.size() / FIRST_ROOM_DIVISOR));
    do {
      if (used == out.size()) out.resize(out.size() + (out.size() - start));
      z.next_out = reinterpret_cast<Bytef *>(out.data() + used);
      z.avail_out = static_cast<uInt>(std::min<size_t>(UINT_MAX, out.size() - used));
      result = deflate(&z, flush);
      used = out.size() - z.avail_out;
      // Z_OK with no room left: more output to come. With room left after a
      // sync flush, the piece is all out.
    } while (result == Z_OK && (last || z.avail_out == 0));
  } catch (const std::bad_alloc &) {
    result = Z_MEM_ERROR;
  }
  deflateEnd(&z);
  out.resize(used);
  return last ? result == Z_STREAM_END : result == Z_OK;
}

void put_le32(std::string &out, uLong value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xff));
}

}  // namespace

std::optional<std::string> gzip_compress(std::string_view text, int level) {
  // Answers are bounded far below 4 GiB, the most zlib takes in one call.
  if (text.size() > UINT_MAX) return std::nullopt;
  // The member header: deflate, no name, no time, unknown system.
  std::string out("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10);
  const auto crc_of = [](std::string_view piece) {
    return crc32(0, reinterpret_cast<const Bytef *>(piece.data()), static_cast<uInt>(piece.size()));
  };
  uLong crc = 0;
  bool ok = false;
  bool split = text.size() >= GZIP_SPLIT_BYTES;
  if (split) {
    // The second half on a thread of its own, while this one does the first:
    // the answer's client waits idle meanwhile, and a large answer is out in
    // a little over half the time. The two halves make one member, readable
    // by every client.
    const size_t half = text.size() / 2;
    std::string tail;
    bool tail_ok = false;
    uLong tail_crc = 0;
    try {
      std::thread helper([&] {
        tail_ok = deflate_piece(text.substr(0, half), text.substr(half), level, true, tail);
        tail_crc = crc_of(text.substr(half));
      });
      ok = deflate_piece({}, text.substr(0, half), level, false, out);
      crc = crc_of(text.substr(0, half));
      helper.join();
      ok = ok && tail_ok;
      crc = crc32_combine(crc, tail_crc, static_cast<z_off_t>(text.size() - half));
      if (ok) out += tail;
    } catch (const std::system_error &) {
      // No thread to be had: in one piece, then.
      split = false;
      out.resize(10);
    } catch (const std::bad_alloc &) {
      return std::nullopt;
    }
  }
  if (!split) {
    ok = deflate_piece({}, text, level, true, out);
    crc = crc_of(text);
  }
  if (!ok) return std::nullopt;
  try {
    put_le32(out, crc);
    put_le32(out, static_cast<uLong>(text.size()));
  } catch (const std::bad_alloc &) {
    return std::nullopt;
  }
  // The compressed copy may wait long for a slow client and counts against
  // the answers in flight by its capacity; give back room it did not use
  // when that is more than a quarter of it.
  if (out.capacity() - out.size() > out.size() / 4) out.shrink_to_fit();
  return out;
}

}  // namespace orvik_host
