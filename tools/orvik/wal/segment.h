// The segment files of a log directory: their names, their header, and the
// listing a writer, a reader and retention share.
#ifndef ORVIK_HOST_WAL_SEGMENT_H
#define ORVIK_HOST_WAL_SEGMENT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvik_host::wal {

// Each segment opens with these bytes; the version is the last two.
inline constexpr std::string_view SEGMENT_MAGIC = "orvikw01";
inline constexpr size_t SEGMENT_HEADER_BYTES = 8;

// A place in the log: a segment's sequence number and a byte offset in it.
// Offsets before the first record (0 among them) mean the segment's start.
struct position {
  uint64_t segment = 0;
  uint64_t offset = 0;
};

inline bool operator<(const position &a, const position &b) {
  return a.segment != b.segment ? a.segment < b.segment : a.offset < b.offset;
}
inline bool operator==(const position &a, const position &b) { return a.segment == b.segment && a.offset == b.offset; }

// "0000000042.wal": ten digits, so that names sort as their numbers do.
std::string segment_name(uint64_t seq);
bool parse_segment_name(std::string_view name, uint64_t *seq);
std::string segment_path(const std::string &dir, uint64_t seq);

struct segment_info {
  uint64_t seq = 0;
  uint64_t bytes = 0;
  int64_t modified_ms = 0;  // the last write to it
};

// The segments of `dir` in sequence order; other files are left alone.
// False (and *error) when the directory cannot be read.
bool list_segments(const std::string &dir, std::vector<segment_info> *out, std::string *error);

}  // namespace orvik_host::wal

#endif
