#include "wal/writer.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "wal/directory.h"
#include "wal/position_file.h"
#include "wal/reader.h"
#include "wal/record.h"

namespace orvik_host::wal {
namespace {

// Smaller segments would spend more on creating files than on records.
constexpr uint64_t MIN_SEGMENT_BYTES = 1024;

std::string reason_of(int error) { return std::strerror(error); }

// Writes all of `first` and `second` at `offset`; false with errno set when
// the disk or a file-size limit stops it part way. A short write sets no
// errno, so the rest is written again until the kernel says why it stops.
bool write_at(int fd, uint64_t offset, std::string_view first, std::string_view second = {}) {
  struct iovec parts[2] = {{const_cast<char *>(first.data()), first.size()},
                           {const_cast<char *>(second.data()), second.size()}};
  size_t done = 0;
  const size_t total = first.size() + second.size();
  while (done < total) {
    struct iovec left[2];
    int count = 0;
    size_t skip = done;
    for (const iovec &part : parts) {
      if (skip >= part.iov_len) {
        skip -= part.iov_len;
        continue;
      }
      left[count++] = {static_cast<char *>(part.iov_base) + skip, part.iov_len - skip};
      skip = 0;
    }
    const ssize_t n = ::pwritev(fd, left, count, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

struct log_writer::segment_file {
  int fd = -1;
  uint64_t seq = 0;
  uint64_t size = 0;
  ~segment_file() {
    if (fd >= 0) ::close(fd);
  }
};

// An append in the grouped policy, waiting for the flush that covers it.
struct log_writer::waiter {
  uint64_t seq = 0;
  uint64_t end = 0;
  bool done = false;
  bool ok = false;
  std::string error;
};

log_writer::log_writer(const writer_options &options) : options_(options) {}

std::unique_ptr<log_writer> log_writer::open(const writer_options &options, std::string *error) {
  writer_options o = options;
  if (o.dir.empty()) {
    *error = "no log directory given";
    return nullptr;
  }
  o.group_interval = std::clamp(o.group_interval, std::chrono::milliseconds(0), MAX_GROUP_INTERVAL);
  // At least four segments fit the budget, so that removing the oldest
  // frees a quarter of it rather than all of it.
  if (o.retention.max_bytes > 0) o.segment_bytes = std::min(o.segment_bytes, o.retention.max_bytes / 4);
  o.segment_bytes = std::max(o.segment_bytes, MIN_SEGMENT_BYTES);

  std::unique_ptr<log_writer> writer(new log_writer(o));
  writer->lock_fd_ = lock_directory(o.dir, error);
  if (writer->lock_fd_ < 0) return nullptr;
  std::vector<segment_info> segments;
  if (!list_segments(o.dir, &segments, error)) return nullptr;
  if (!segments.empty()) writer->next_seq_ = segments.back().seq + 1;
  if (o.sender) {
    std::string ignored;  // a damaged position file: keep everything, resend rather than lose
    load_position(o.dir, &writer->sent_, &ignored);
  }
  {
    std::lock_guard<std::mutex> lock(writer->mutex_);
    std::string reason;
    if (!writer->open_segment(&reason)) {
      *error = "cannot write in the log directory " + o.dir + ": " + reason;
      return nullptr;
    }
  }
  if (o.sync == sync_policy::grouped) writer->syncer_ = std::thread([w = writer.get()] { w->sync_loop(); });
  return writer;
}

log_writer::~log_writer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  sync_wanted_.notify_all();
  appended_.notify_all();
  if (syncer_.joinable()) syncer_.join();
  current_.reset();
  release_directory(lock_fd_);
}

int64_t log_writer::now_ms() const {
  if (options_.now_ms) return options_.now_ms();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Under mutex_. A file that cannot be made whole (a full disk at its header)
// is removed again, so that the next attempt starts over under the same
// number.
bool log_writer::open_segment(std::string *error) {
  const std::string path = segment_path(options_.dir, next_seq_);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + reason_of(errno);
    return false;
  }
  const bool whole = write_at(fd, 0, SEGMENT_MAGIC) && ::fdatasync(fd) == 0;
  if (!whole || !sync_directory(options_.dir, error)) {
    if (!whole) *error = "cannot write " + path + ": " + reason_of(errno);
    ::close(fd);
    ::unlink(path.c_str());
    return false;
  }
  auto segment = std::make_shared<segment_file>();
  segment->fd = fd;
  segment->seq = next_seq_++;
  segment->size = SEGMENT_HEADER_BYTES;
  current_ = std::move(segment);
  synced_size_ = SEGMENT_HEADER_BYTES;
  durable_end_ = {current_->seq, SEGMENT_HEADER_BYTES};
  retain_locked();
  return true;
}

// Under mutex_: makes the current segment durable before the writer leaves
// it, completing whoever waits on it.
bool log_writer::close_segment(std::string *error) {
  if (!current_) return true;
  if (synced_size_ < current_->size) {
    ++stats_.syncs;
    if (::fdatasync(current_->fd) != 0) {
      *error = "cannot sync " + segment_path(options_.dir, current_->seq) + ": " + reason_of(errno);
      if (::ftruncate(current_->fd, static_cast<off_t>(synced_size_)) == 0) current_->size = synced_size_;
      complete_waiters(false, *error);
      synced_.notify_all();
      return false;
    }
    synced_size_ = current_->size;
    durable_end_ = {current_->seq, current_->size};
    complete_waiters(true, "");
    synced_.notify_all();
    appended_.notify_all();
  }
  current_.reset();
  return true;
}

void log_writer::complete_waiters(bool ok, const std::string &error) {
  while (!waiting_.empty()) {
    waiter *w = waiting_.front();
    if (ok && (!current_ || w->seq != current_->seq || w->end > synced_size_)) break;
    w->done = true;
    w->ok = ok;
    w->error = error;
    waiting_.pop_front();
  }
}

bool log_writer::append(uint8_t type, int64_t time_ms, std::string_view payload, position *end, std::string *error) {
  std::string reason;
  auto fail = [&](std::unique_lock<std::mutex> &lock) {
    if (!lock.owns_lock()) lock.lock();
    ++stats_.append_errors;
    stats_.last_error = reason;
    *error = "log write failed: " + reason;
    return false;
  };
  std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
  if (payload.size() > MAX_RECORD_PAYLOAD_BYTES) {
    reason = "a record of " + std::to_string(payload.size()) + " bytes is over the bound of " +
             std::to_string(MAX_RECORD_PAYLOAD_BYTES);
    return fail(lock);
  }
  char header[RECORD_HEADER_BYTES];
  encode_record_header(type, time_ms, payload, header);
  const uint64_t size = RECORD_HEADER_BYTES + payload.size();

  lock.lock();
  if (current_ && current_->size > SEGMENT_HEADER_BYTES && current_->size + size > options_.segment_bytes) {
    if (!close_segment(&reason)) return fail(lock);
  }
  if (!current_ && !open_segment(&reason)) return fail(lock);
  segment_file &segment = *current_;
  const uint64_t start = segment.size;
  if (!write_at(segment.fd, start, std::string_view(header, RECORD_HEADER_BYTES), payload)) {
    reason = "cannot write " + segment_path(options_.dir, segment.seq) + ": " + reason_of(errno);
    // Cut the partial record off again; should that fail too, the next
    // record is written over it, as writes go to the offset the writer keeps.
    (void)::ftruncate(segment.fd, static_cast<off_t>(start));
    return fail(lock);
  }
  segment.size = start + size;
  ++stats_.records;
  stats_.bytes += size;

  if (options_.sync == sync_policy::each_write) {
    ++stats_.syncs;
    if (::fdatasync(segment.fd) != 0) {
      reason = "cannot sync " + segment_path(options_.dir, segment.seq) + ": " + reason_of(errno);
      if (::ftruncate(segment.fd, static_cast<off_t>(start)) == 0) segment.size = start;
      return fail(lock);
    }
    synced_size_ = segment.size;
    durable_end_ = {segment.seq, segment.size};
    *end = durable_end_;
    appended_.notify_all();
    return true;
  }

  waiter w;
  w.seq = segment.seq;
  w.end = segment.size;
  waiting_.push_back(&w);
  sync_wanted_.notify_one();
  synced_.wait(lock, [&] { return w.done; });
  if (!w.ok) {
    reason = w.error;
    return fail(lock);
  }
  *end = {w.seq, w.end};
  return true;
}

void log_writer::sync_loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  auto last = std::chrono::steady_clock::now() - options_.group_interval;
  for (;;) {
    sync_wanted_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
    if (waiting_.empty()) return;
    // Writes that come while this waits share the flush.
    sync_wanted_.wait_until(lock, last + options_.group_interval, [&] { return stopping_; });
    if (waiting_.empty() || !current_) continue;
    const std::shared_ptr<segment_file> segment = current_;
    const uint64_t size = segment->size;
    last = std::chrono::steady_clock::now();
    lock.unlock();
    const int rc = ::fdatasync(segment->fd);
    const int saved = errno;
    lock.lock();
    ++stats_.syncs;
    if (segment != current_) continue;  // closed meanwhile, and flushed then
    if (rc == 0) {
      synced_size_ = std::max(synced_size_, size);
      durable_end_ = {segment->seq, synced_size_};
      complete_waiters(true, "");
      appended_.notify_all();
    } else {
      // What the failed flush covered may not be on disk: cut the segment
      // back to the last good flush and fail every write after it.
      const std::string reason = "cannot sync " + segment_path(options_.dir, segment->seq) + ": " + reason_of(saved);
      if (::ftruncate(segment->fd, static_cast<off_t>(synced_size_)) == 0) segment->size = synced_size_;
      complete_waiters(false, reason);
    }
    synced_.notify_all();
  }
}

void log_writer::retain() {
  std::lock_guard<std::mutex> lock(mutex_);
  retain_locked();
}

void log_writer::retain_locked() {
  std::vector<segment_info> segments;
  std::string error;
  if (!list_segments(options_.dir, &segments, &error)) return;
  const retention_plan plan = plan_retention(segments, options_.retention, options_.segment_bytes, now_ms(),
                                             options_.sender ? &sent_ : nullptr);
  for (uint64_t seq : plan.remove) {
    if (std::find(plan.unsent.begin(), plan.unsent.end(), seq) != plan.unsent.end()) count_unsent(seq);
    if (::unlink(segment_path(options_.dir, seq).c_str()) == 0) ++stats_.segments_removed;
  }
  if (!plan.remove.empty()) sync_directory(options_.dir, &error);
  uint64_t bytes = 0;
  for (const segment_info &s : segments) {
    if (std::find(plan.remove.begin(), plan.remove.end(), s.seq) == plan.remove.end()) bytes += s.bytes;
  }
  stats_.disk_bytes = bytes;
}

// What the sender loses when the budget takes a segment it has not sent.
void log_writer::count_unsent(uint64_t seq) {
  log_reader reader(options_.dir, {seq, seq == sent_.segment ? sent_.offset : 0}, false);
  log_record record;
  while (reader.next(&record) && record.at.segment == seq) {
    ++stats_.unsent_records_dropped;
    stats_.unsent_samples_dropped += options_.samples_in ? options_.samples_in(record.type, record.payload) : 1;
  }
}

bool log_writer::acknowledge(const position &sent, std::string *error) {
  if (!save_position(options_.dir, sent, error)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  sent_ = std::max(sent_, sent);
  return true;
}

bool log_writer::wait_for_records(const position &after, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return appended_.wait_for(lock, timeout, [&] { return after < durable_end_ || stopping_; }) && after < durable_end_;
}

position log_writer::end() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return durable_end_;
}

writer_stats log_writer::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

}  // namespace orvik_host::wal
