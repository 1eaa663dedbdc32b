// Reads the log back: at start to refill the store, and all along for the
// sender. Damage is skipped and counted, never fatal: after a torn or
// corrupt record the reader looks for the next marker that starts a whole
// record and goes on from there.
#ifndef ORVIK_HOST_WAL_READER_H
#define ORVIK_HOST_WAL_READER_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wal/record.h"
#include "wal/segment.h"

namespace orvik_host::wal {

// A segment is read whole into memory; the writer keeps segments far below
// this, so a larger file is not one of ours and the rest of it is skipped.
inline constexpr uint64_t MAX_SEGMENT_READ_BYTES = 256 * 1024 * 1024;

struct read_counts {
  uint64_t records = 0;        // whole records handed out
  uint64_t corrupt = 0;        // damaged stretches skipped with whole records after them
  uint64_t torn = 0;           // damaged ends of segments: a write the crash cut
  uint64_t skipped_bytes = 0;  // in both
  uint64_t missing = 0;        // segments removed before the reader came to them
};

struct log_record {
  uint8_t type = 0;
  int64_t time_ms = 0;
  std::string_view payload;  // valid until the next call to next()
  position at;               // where the record starts
  position end;              // where the next one would start
};

class log_reader {
 public:
  // Starts at `from`; a segment that is gone is passed over to the next.
  // With `follow`, the newest segment is the one being written: its end is
  // not damage but a record still coming, and next() returns false there to
  // be called again later. Without it (replay at start, once the writer has
  // opened a fresh segment) an incomplete end is a torn record.
  log_reader(std::string dir, position from, bool follow);

  // The next whole record, or false when there is none yet (or an error
  // reading the directory: error() says which).
  bool next(log_record *out);

  // Hands out no record that ends past `limit`: a sender passes the
  // writer's end(), so that it never sends a record whose write may yet
  // fail (and be retried by its client).
  void stop_at(const position &limit) {
    limited_ = true;
    limit_ = limit;
  }

  const read_counts &counts() const { return counts_; }
  // Where the reader continues: after the last record handed out.
  position where() const { return {segment_, offset_}; }
  const std::string &error() const { return error_; }

 private:
  bool load(bool final);
  bool advance();

  std::string dir_;
  bool follow_;
  uint64_t segment_;
  uint64_t offset_;
  std::string buffer_;  // the segment from buffer_start_ on
  uint64_t buffer_start_ = 0;
  bool loaded_ = false;
  bool final_ = false;  // the loaded bytes are all the segment will ever hold
  bool limited_ = false;
  position limit_;
  read_counts counts_;
  std::string error_;
};

// Where replay starts to read only the newest records: the oldest segment
// written to at or after `since_ms`, going back from the newest no further
// than `max_bytes` (0: no bound); the newest segment always counts.
position replay_start(const std::string &dir, int64_t since_ms, uint64_t max_bytes);

}  // namespace orvik_host::wal

#endif
