#include "wal/payload.h"

#include <snappy.h>

namespace orvik_host::wal {

std::string snapshot_payload(int64_t timestamp_ms, std::string_view json) {
  std::string out(8, '\0');
  const uint64_t t = static_cast<uint64_t>(timestamp_ms);
  for (int i = 0; i < 8; ++i) out[static_cast<size_t>(i)] = static_cast<char>((t >> (8 * i)) & 0xff);
  std::string compressed;
  snappy::Compress(json.data(), json.size(), &compressed);
  out += compressed;
  return out;
}

bool read_snapshot_payload(std::string_view payload, int64_t *timestamp_ms, std::string *json, std::string *error) {
  if (payload.size() < 8) {
    *error = "snapshot record shorter than its timestamp";
    return false;
  }
  uint64_t t = 0;
  for (int i = 7; i >= 0; --i) t = (t << 8) | static_cast<unsigned char>(payload[static_cast<size_t>(i)]);
  const std::string_view body = payload.substr(8);
  size_t length = 0;
  if (!snappy::GetUncompressedLength(body.data(), body.size(), &length)) {
    *error = "snapshot record is not snappy-compressed";
    return false;
  }
  if (length > MAX_SNAPSHOT_JSON_BYTES) {
    *error = "snapshot record inflates past " + std::to_string(MAX_SNAPSHOT_JSON_BYTES) + " bytes";
    return false;
  }
  if (!snappy::Uncompress(body.data(), body.size(), json)) {
    *error = "snapshot record is not snappy-compressed";
    return false;
  }
  *timestamp_ms = static_cast<int64_t>(t);
  return true;
}

}  // namespace orvik_host::wal
