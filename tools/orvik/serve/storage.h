// `serve --storage.path`: every accepted write goes to the write-ahead log
// before it is acknowledged, and the store is refilled from the log at start.
#ifndef ORVIK_HOST_SERVE_STORAGE_H
#define ORVIK_HOST_SERVE_STORAGE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

#include "library/store.h"
#include "wal/writer.h"

namespace orvik_host {

// How far back a ring reaches when nothing says how often it is written:
// the collect interval servers are run with most.
inline constexpr int64_t DEFAULT_SAMPLE_INTERVAL_MS = 15000;

struct storage_settings {
  std::string path;
  uint64_t budget_bytes = 0;  // 0: wal::default_budget_bytes(series, samples)
  int64_t depth_ms = 0;       // how far back the rings reach
  bool sender = false;        // a remote-write sender reads the log
  uint32_t series = 0;        // the store's sizes (0: the library's defaults)
  uint32_t samples = 0;
};

class durable_log {
 public:
  // Null with *error when the directory cannot be made, locked or written.
  static std::unique_ptr<durable_log> open(const storage_settings &settings, std::ostream &log, std::string *error);

  // Refills the store from the newest records: enough to reach back
  // depth_ms within the budget, read in the order they were written, each
  // stored as it was when it was accepted. Says what it read on `log`.
  void replay(locked_store &store);

  // Appends one record, durable when it returns true. False and *error
  // when the disk refuses it: the write must be refused with 503. The first
  // failure of an outage and the first success after it are logged.
  bool append(uint8_t type, std::string_view payload, std::string *error);

  void retain() { writer_->retain(); }
  wal::log_writer *writer() { return writer_.get(); }
  const storage_settings &settings() const { return settings_; }

 private:
  durable_log(storage_settings settings, std::ostream &log) : settings_(std::move(settings)), log_(log) {}
  storage_settings settings_;
  std::ostream &log_;
  std::unique_ptr<wal::log_writer> writer_;
  std::mutex outage_mutex_;
  bool failing_ = false;
  uint64_t failed_writes_ = 0;
};

}  // namespace orvik_host

#endif
