// One record of the log as it lies in a segment file. Every record carries a
// marker, its length and a checksum, so that a reader can tell a whole record
// from a torn or overwritten one and find the next whole record after it.
//
//   offset  size  field
//        0     4  marker, the bytes 'o' 'v' 'w' 'l'
//        4     4  payload length, little-endian
//        8     4  CRC-32 (zlib's) of bytes 4..8 and 12..end, little-endian
//       12     1  payload type (payload.h)
//       13     8  time of the record in ms, little-endian two's complement
//       21     -  payload
#ifndef ORVIK_HOST_WAL_RECORD_H
#define ORVIK_HOST_WAL_RECORD_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvik_host::wal {

inline constexpr char RECORD_MARKER[4] = {'o', 'v', 'w', 'l'};
inline constexpr size_t RECORD_HEADER_BYTES = 21;
// The largest payload: a remote-write body is at most 1 MiB and a snapshot
// document 1 MiB before compression, so 4 MiB leaves room for either with
// payloads stored uncompressed. A length past it is damage, never a record,
// which also keeps a corrupt length from making a reader wait for bytes
// that will never come.
inline constexpr size_t MAX_RECORD_PAYLOAD_BYTES = 4 * 1024 * 1024;

struct record_view {
  uint8_t type = 0;
  int64_t time_ms = 0;
  std::string_view payload;
};

// Fills the header of a record holding `payload`.
void encode_record_header(uint8_t type, int64_t time_ms, std::string_view payload, char out[RECORD_HEADER_BYTES]);

enum class parse_outcome {
  ok,         // a whole record whose checksum matches
  truncated,  // a plausible start whose bytes run past the end of `bytes`
  bad,        // no marker, a length past the bound or a checksum that fails
};

// Reads the record starting at bytes[at]; on ok fills *out (its payload
// points into `bytes`) and *size with the record's bytes, header included.
parse_outcome parse_record(std::string_view bytes, size_t at, record_view *out, size_t *size);

// The offset of the first marker at or after `from`, or bytes.size().
size_t find_marker(std::string_view bytes, size_t from);

}  // namespace orvik_host::wal

#endif
