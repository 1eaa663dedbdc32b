// The log's writer: appends records to the newest segment and returns only
// once a record is durable under the sync policy, or with an error. Failure
// to write (a full disk, a file-size limit) is never fatal: the partial
// record is cut off again, the segment stays readable, and the next append
// simply tries again, so writes resume by themselves when space returns.
#ifndef ORVIK_HOST_WAL_WRITER_H
#define ORVIK_HOST_WAL_WRITER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "wal/retention.h"
#include "wal/segment.h"

namespace orvik_host::wal {

enum class sync_policy {
  // fdatasync before each append returns: one disk flush per write.
  each_write,
  // One fdatasync for every write that waits on it: a flush starts as soon
  // as the previous one has ended (and group_interval after its start, when
  // that is set), and covers every write made meanwhile. A write returns
  // after the flush that covers it. From eight writers on this machine's
  // disk that is 1,400 to 2,200 writes a second against 300 to 400 with
  // each_write; from one writer the two are alike. A 2 ms gap measured
  // within that noise with eight writers, and a 10 ms gap cut a lone
  // writer to 100 a second (bench/wal_bench.cc), hence no gap by default.
  grouped,
};

// A segment is closed past this size; the budget is spent in whole segments.
inline constexpr uint64_t DEFAULT_SEGMENT_BYTES = 8 * 1024 * 1024;
inline constexpr std::chrono::milliseconds DEFAULT_GROUP_INTERVAL{0};
inline constexpr std::chrono::milliseconds MAX_GROUP_INTERVAL{1000};

struct writer_options {
  std::string dir;
  sync_policy sync = sync_policy::grouped;
  std::chrono::milliseconds group_interval = DEFAULT_GROUP_INTERVAL;
  uint64_t segment_bytes = DEFAULT_SEGMENT_BYTES;
  retention_options retention;
  // A sender reads the log: segments it has not passed are kept past the
  // time horizon, and removed for the budget only with a count of what was
  // lost. Its position is read from the position file at open.
  bool sender = false;
  // Counts the samples of a record (for the loss count of unsent records);
  // without it each record counts as one.
  std::function<uint64_t(uint8_t type, std::string_view payload)> samples_in;
  // The clock of retention's horizon, in ms; the wall clock without it.
  std::function<int64_t()> now_ms;
};

struct writer_stats {
  uint64_t records = 0;
  uint64_t bytes = 0;
  uint64_t syncs = 0;
  uint64_t append_errors = 0;
  uint64_t segments_removed = 0;
  uint64_t unsent_records_dropped = 0;
  uint64_t unsent_samples_dropped = 0;
  uint64_t disk_bytes = 0;  // the segments at the last retention pass
  std::string last_error;
};

class log_writer {
 public:
  // Locks the directory (making it when missing), applies retention and
  // starts a fresh segment after every existing one, so that a torn end left
  // by a crash is never written after. Null and *error when the directory
  // cannot be made, locked or written: a server stops at start with it.
  static std::unique_ptr<log_writer> open(const writer_options &options, std::string *error);
  ~log_writer();  // flushes what is waiting, then releases the directory
  log_writer(const log_writer &) = delete;
  log_writer &operator=(const log_writer &) = delete;

  // Appends one record and returns once it is durable (true, *end where the
  // next record starts) or has failed (false, *error: "log write failed:
  // <reason>", the case for a 503). Safe from any number of threads.
  bool append(uint8_t type, int64_t time_ms, std::string_view payload, position *end, std::string *error);

  // Removes segments past the horizon or the budget (also done whenever a
  // segment is closed); call it now and then on a quiet log.
  void retain();

  // Records that the sender's receiver holds everything before `sent`: saved
  // in the position file, and segments before it become free to remove.
  bool acknowledge(const position &sent, std::string *error);

  // Waits until records end past `after` (for a sender at the end of the
  // log), or the timeout passes. True when there is more to read.
  bool wait_for_records(const position &after, std::chrono::milliseconds timeout);

  position end() const;
  writer_stats stats() const;
  const std::string &dir() const { return options_.dir; }

 private:
  struct segment_file;
  struct waiter;
  explicit log_writer(const writer_options &options);

  bool open_segment(std::string *error);
  bool close_segment(std::string *error);
  void retain_locked();
  void count_unsent(uint64_t seq);
  void complete_waiters(bool ok, const std::string &error);
  void sync_loop();
  int64_t now_ms() const;

  writer_options options_;
  int lock_fd_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable sync_wanted_;
  std::condition_variable synced_;
  std::condition_variable appended_;
  std::shared_ptr<segment_file> current_;
  uint64_t next_seq_ = 1;
  uint64_t synced_size_ = 0;  // of current_, the end of its last flush
  std::deque<waiter *> waiting_;
  position sent_;  // {0, 0}: nothing acknowledged yet
  position durable_end_;
  writer_stats stats_;
  bool stopping_ = false;
  std::thread syncer_;
};

}  // namespace orvik_host::wal

#endif
