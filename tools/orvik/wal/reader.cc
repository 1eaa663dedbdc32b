#include "wal/reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace orvik_host::wal {

log_reader::log_reader(std::string dir, position from, bool follow)
    : dir_(std::move(dir)), follow_(follow), segment_(from.segment), offset_(from.offset) {}

// Loads the current segment from offset_ on. False when there is no segment
// at or after segment_ (yet).
bool log_reader::load(bool final) {
  std::vector<segment_info> segments;
  if (!list_segments(dir_, &segments, &error_)) return false;
  size_t i = 0;
  while (i < segments.size() && segments[i].seq < segment_) ++i;
  if (i == segments.size()) return false;
  if (segments[i].seq != segment_) {
    // Position 0 means "the oldest there is"; any other absent segment was
    // removed before this reader came to it.
    if (segment_ != 0) ++counts_.missing;
    segment_ = segments[i].seq;
    offset_ = 0;
  }
  final_ = final || !follow_ || i + 1 < segments.size();

  const std::string path = segment_path(dir_, segment_);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) error_ = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  uint64_t size = 0;
  if (::fstat(fd, &st) == 0) size = static_cast<uint64_t>(st.st_size);
  buffer_start_ = offset_ < SEGMENT_HEADER_BYTES ? 0 : offset_;
  uint64_t want = size > buffer_start_ ? size - buffer_start_ : 0;
  uint64_t beyond = 0;
  if (want > MAX_SEGMENT_READ_BYTES) {
    beyond = want - MAX_SEGMENT_READ_BYTES;
    want = MAX_SEGMENT_READ_BYTES;
  }
  buffer_.resize(want);
  size_t got = 0;
  while (got < want) {
    const ssize_t n = ::pread(fd, buffer_.data() + got, want - got, static_cast<off_t>(buffer_start_ + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  buffer_.resize(got);
  if (beyond > 0 && final_) {
    ++counts_.torn;
    counts_.skipped_bytes += beyond;
  }
  if (buffer_start_ == 0) {
    if (buffer_.size() >= SEGMENT_HEADER_BYTES &&
        std::string_view(buffer_).substr(0, SEGMENT_HEADER_BYTES) == SEGMENT_MAGIC) {
      offset_ = SEGMENT_HEADER_BYTES;
    } else if (buffer_.size() < SEGMENT_HEADER_BYTES && !final_) {
      return false;  // being created
    } else {
      offset_ = 0;  // a damaged header: the records after it are still read
    }
  }
  loaded_ = true;
  return true;
}

bool log_reader::advance() {
  std::vector<segment_info> segments;
  if (!list_segments(dir_, &segments, &error_)) return false;
  for (const segment_info &s : segments) {
    if (s.seq > segment_) {
      segment_ = s.seq;
      offset_ = 0;
      loaded_ = false;
      return true;
    }
  }
  return false;
}

bool log_reader::next(log_record *out) {
  bool reloaded = false;
  for (;;) {
    if (!loaded_) {
      if (!load(false)) return false;
      reloaded = true;
    }
    const std::string_view bytes(buffer_);
    const size_t at = static_cast<size_t>(offset_ - buffer_start_);
    if (at >= bytes.size()) {
      if (final_) {
        if (!advance()) return false;
      } else {
        // The segment being written: look again once, for records written
        // since it was loaded.
        loaded_ = false;
        if (reloaded) return false;
      }
      continue;
    }
    record_view record;
    size_t size = 0;
    const parse_outcome outcome = parse_record(bytes, at, &record, &size);
    if (outcome == parse_outcome::ok) {
      if (limited_ && limit_ < position{segment_, offset_ + size}) return false;
      out->type = record.type;
      out->time_ms = record.time_ms;
      out->payload = record.payload;
      out->at = {segment_, offset_};
      offset_ += size;
      out->end = {segment_, offset_};
      ++counts_.records;
      return true;
    }
    size_t resume = find_marker(bytes, at + 1);
    while (resume < bytes.size() && parse_record(bytes, resume, &record, &size) != parse_outcome::ok) {
      resume = find_marker(bytes, resume + 1);
    }
    if (resume < bytes.size()) {
      ++counts_.corrupt;
      counts_.skipped_bytes += resume - at;
      offset_ += resume - at;
      continue;
    }
    if (!final_) {
      // A record still being written, or damage the writer may yet write
      // past: look again later, and decide once the segment is finished.
      loaded_ = false;
      if (reloaded) return false;
      continue;
    }
    ++counts_.torn;
    counts_.skipped_bytes += bytes.size() - at;
    offset_ += bytes.size() - at;
  }
}

position replay_start(const std::string &dir, int64_t since_ms, uint64_t max_bytes) {
  std::vector<segment_info> segments;
  std::string error;
  if (!list_segments(dir, &segments, &error) || segments.empty()) return {};
  size_t first = segments.size() - 1;
  uint64_t bytes = segments[first].bytes;
  while (first > 0) {
    const segment_info &older = segments[first - 1];
    if (older.modified_ms < since_ms) break;
    if (max_bytes > 0 && bytes + older.bytes > max_bytes) break;
    bytes += older.bytes;
    --first;
  }
  return {segments[first].seq, 0};
}

}  // namespace orvik_host::wal
