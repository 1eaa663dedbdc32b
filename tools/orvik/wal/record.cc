#include "wal/record.h"

#include <zlib.h>

#include <cstring>

namespace orvik_host::wal {
namespace {

void put32(char *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

void put64(char *p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

uint32_t get32(const char *p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

uint64_t get64(const char *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

uint32_t checksum(const char *header, std::string_view payload) {
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, reinterpret_cast<const Bytef *>(header + 4), 4);
  crc = crc32(crc, reinterpret_cast<const Bytef *>(header + 12), RECORD_HEADER_BYTES - 12);
  // zlib takes lengths as uInt; payloads are bounded far below its range.
  crc = crc32(crc, reinterpret_cast<const Bytef *>(payload.data()), static_cast<uInt>(payload.size()));
  return static_cast<uint32_t>(crc);
}

}  // namespace

void encode_record_header(uint8_t type, int64_t time_ms, std::string_view payload, char out[RECORD_HEADER_BYTES]) {
  std::memcpy(out, RECORD_MARKER, 4);
  put32(out + 4, static_cast<uint32_t>(payload.size()));
  out[12] = static_cast<char>(type);
  put64(out + 13, static_cast<uint64_t>(time_ms));
  put32(out + 8, checksum(out, payload));
}

parse_outcome parse_record(std::string_view bytes, size_t at, record_view *out, size_t *size) {
  if (at >= bytes.size()) return parse_outcome::truncated;
  const size_t left = bytes.size() - at;
  const char *p = bytes.data() + at;
  if (std::memcmp(p, RECORD_MARKER, left < 4 ? left : 4) != 0) return parse_outcome::bad;
  if (left < RECORD_HEADER_BYTES) return parse_outcome::truncated;
  const uint32_t length = get32(p + 4);
  if (length > MAX_RECORD_PAYLOAD_BYTES) return parse_outcome::bad;
  if (left - RECORD_HEADER_BYTES < length) return parse_outcome::truncated;
  const std::string_view payload(p + RECORD_HEADER_BYTES, length);
  if (get32(p + 8) != checksum(p, payload)) return parse_outcome::bad;
  out->type = static_cast<uint8_t>(p[12]);
  out->time_ms = static_cast<int64_t>(get64(p + 13));
  out->payload = payload;
  *size = RECORD_HEADER_BYTES + length;
  return parse_outcome::ok;
}

size_t find_marker(std::string_view bytes, size_t from) {
  while (from < bytes.size()) {
    const void *hit = std::memchr(bytes.data() + from, RECORD_MARKER[0], bytes.size() - from);
    if (!hit) break;
    const size_t at = static_cast<size_t>(static_cast<const char *>(hit) - bytes.data());
    const size_t left = bytes.size() - at;
    if (std::memcmp(bytes.data() + at, RECORD_MARKER, left < 4 ? left : 4) == 0) return at;
    from = at + 1;
  }
  return bytes.size();
}

}  // namespace orvik_host::wal
