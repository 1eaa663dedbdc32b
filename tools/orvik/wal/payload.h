// What the server logs: the payload types of records and their encodings.
#ifndef ORVIK_HOST_WAL_PAYLOAD_H
#define ORVIK_HOST_WAL_PAYLOAD_H

#include <cstdint>
#include <string>
#include <string_view>

namespace orvik_host::wal {

// Types below 16 are the server's own; a reader skips (and counts) records
// of a type it does not know, so that a newer server's log stays readable.
enum record_type : uint8_t {
  // A snapshot document, collected or posted: its time in ms (8 bytes,
  // little-endian), then the JSON text compressed in the snappy block
  // format: 17 bytes a sample for the example machine snapshots (29 as
  // text), 12 for a 1,024-series metric list (85 as text), at about 20 us
  // for a 100 KB document (bench/wal_bench.cc).
  SNAPSHOT_RECORD = 1,
  // A remote-write request body as received: a WriteRequest message in the
  // snappy block format, read back with remote_write::decode_write_request.
  // Logging the body unchanged costs no encoding on the write path, and it
  // is already compressed: 11 bytes a sample for a batch of one sample per
  // series with five labels, against 123 as protobuf.
  REMOTE_WRITE_RECORD = 2,
};

// A snapshot document as it is posted or collected: well under this.
inline constexpr size_t MAX_SNAPSHOT_JSON_BYTES = 1024 * 1024;

std::string snapshot_payload(int64_t timestamp_ms, std::string_view json);

// Reads a SNAPSHOT_RECORD payload. False (and *error) for a payload that is
// too short, not snappy, or inflates past MAX_SNAPSHOT_JSON_BYTES (checked
// from the snappy header before inflating).
bool read_snapshot_payload(std::string_view payload, int64_t *timestamp_ms, std::string *json, std::string *error);

}  // namespace orvik_host::wal

#endif
