#include "serve/storage.h"

#include <chrono>
#include <sstream>

#include "base/times.h"
#include "remote_write/codec.h"
#include "remote_write/receiver.h"
#include "wal/payload.h"
#include "wal/reader.h"
#include "wal/retention.h"

namespace orvik_host {

namespace {

// The loss count of a record the budget removed before it was sent: the
// samples of a remote-write batch; a snapshot counts as one, since reading
// its samples takes the library's mapping, which the writer's lock must
// not wait for.
uint64_t samples_of_record(uint8_t type, std::string_view payload) {
  if (type != wal::REMOTE_WRITE_RECORD) return 1;
  orvik_rw::WriteRequest request;
  const remote_write::decode_result decoded = remote_write::decode_write_request(
      payload, remote_write::MAX_WRITE_UNCOMPRESSED_BYTES, &request, remote_write::MAX_WRITE_SAMPLES);
  if (decoded.error != remote_write::decode_error::none) return 1;
  uint64_t count = 0;
  for (const orvik_rw::TimeSeries &series : request.timeseries()) count += static_cast<uint64_t>(series.samples_size());
  return count;
}

}  // namespace

std::unique_ptr<durable_log> durable_log::open(const storage_settings &settings, std::ostream &log,
                                               std::string *error) {
  std::unique_ptr<durable_log> opened(new durable_log(settings, log));
  storage_settings &s = opened->settings_;
  if (!s.budget_bytes) s.budget_bytes = wal::default_budget_bytes(s.series ? s.series : 1024, s.samples ? s.samples : 1440);
  wal::writer_options options;
  options.dir = s.path;
  options.sync = wal::sync_policy::grouped;
  options.retention.max_bytes = s.budget_bytes;
  options.retention.max_age_ms = s.depth_ms;
  options.sender = s.sender;
  options.samples_in = samples_of_record;
  opened->writer_ = wal::log_writer::open(options, error);
  if (!opened->writer_) return nullptr;
  return opened;
}

void durable_log::replay(locked_store &store) {
  const auto started = std::chrono::steady_clock::now();
  const wal::position from = wal::replay_start(settings_.path, now_ms() - settings_.depth_ms, settings_.budget_bytes);
  wal::log_reader reader(settings_.path, from, false);
  wal::log_record record;
  uint64_t samples = 0, not_stored = 0, unreadable = 0;
  std::string json, error;
  while (reader.next(&record)) {
    if (record.type == wal::SNAPSHOT_RECORD) {
      int64_t timestamp_ms = 0;
      if (!wal::read_snapshot_payload(record.payload, &timestamp_ms, &json, &error)) {
        ++unreadable;
        continue;
      }
      const ingest_result result = store.ingest_snapshot(json, timestamp_ms);
      if (result.stored < 0) ++unreadable;
      else samples += static_cast<uint64_t>(result.stored);
      if (result.not_stored > 0) not_stored += static_cast<uint64_t>(result.not_stored);
    } else if (record.type == wal::REMOTE_WRITE_RECORD) {
      orvik_rw::WriteRequest request;
      const remote_write::decode_result decoded = remote_write::decode_write_request(
          record.payload, remote_write::MAX_WRITE_UNCOMPRESSED_BYTES, &request, remote_write::MAX_WRITE_SAMPLES);
      if (decoded.error != remote_write::decode_error::none) {
        ++unreadable;
        continue;
      }
      const remote_write::write_outcome outcome = remote_write::store_write_request(store, request);
      samples += outcome.stored;
      for (const auto &[reason, count] : outcome.refused) not_stored += count;
    } else {
      ++unreadable;
    }
  }
  const wal::read_counts &counts = reader.counts();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  std::ostringstream line;
  line << "orvik: replayed " << counts.records << " records of " << settings_.path << " in " << took.count()
       << " ms: " << samples << " samples stored, " << not_stored << " not stored, " << unreadable
       << " records unreadable, " << counts.corrupt << " damaged stretches and " << counts.torn
       << " torn ends skipped (" << counts.skipped_bytes << " bytes)";
  if (!reader.error().empty()) line << "; " << reader.error();
  line << '\n';
  log_ << line.str() << std::flush;
}

bool durable_log::append(uint8_t type, std::string_view payload, std::string *error) {
  wal::position end;
  const bool ok = writer_->append(type, now_ms(), payload, &end, error);
  std::lock_guard<std::mutex> lock(outage_mutex_);
  if (!ok) {
    ++failed_writes_;
    if (!failing_)
      log_ << "orvik: " << *error << "; refusing writes with 503 until the log directory " << settings_.path
           << " takes them again\n"
           << std::flush;
    failing_ = true;
  } else if (failing_) {
    log_ << "orvik: the log takes writes again after " << failed_writes_ << " refused\n" << std::flush;
    failing_ = false;
    failed_writes_ = 0;
  }
  return ok;
}

}  // namespace orvik_host
