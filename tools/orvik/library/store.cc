#include "library/store.h"

#include <algorithm>
#include <ctime>
#include <map>

namespace orvik_host {

namespace {

// orvik_create's defaults and limit for max_series (orvik.h).
constexpr uint32_t LIBRARY_DEFAULT_SERIES = 1024;
constexpr uint32_t LIBRARY_MAX_SERIES = 1u << 30;

// Every series of a store, each at its newest appended sample.
constexpr const char *EVERY_SERIES = "{__name__!=\"\"}";

// Appends of one request are made in runs of this many, so that queries
// wait for one run at most, never for a whole large request.
constexpr size_t APPENDS_PER_LOCK = 1000;

}  // namespace

void rejection_log::report(const ingest_result &result) {
  if (result.not_stored <= 0) return;
  for (const std::string &cause : causes_)
    if (cause == result.error) return;
  if (causes_.size() >= MAX_CAUSES) return;
  causes_.push_back(result.error);
  out_ << "orvik: " << result.not_stored << " values of a snapshot not stored: " << result.error
       << " (said once per cause)\n"
       << std::flush;
}

std::unique_ptr<locked_store> locked_store::create(uint32_t max_series, uint32_t samples_per_series,
                                                   std::string *error) {
  orvik_db *db = orvik_create(max_series, samples_per_series);
  if (!db) {
    if (error) *error = orvik_last_error();
    return nullptr;
  }
  // One series more than the store holds: a document that fills the scratch
  // names more series than the store could ever take. The series table is
  // zeroed memory that is touched only as series arrive.
  const uint32_t held = max_series ? max_series : LIBRARY_DEFAULT_SERIES;
  const uint32_t scratch_series = held < LIBRARY_MAX_SERIES ? held + 1 : held;
  orvik_db *scratch = orvik_create(scratch_series, 1);
  if (!scratch) {
    if (error) *error = orvik_last_error();
    orvik_free(db);
    return nullptr;
  }
  return std::unique_ptr<locked_store>(new locked_store(db, scratch, scratch_series));
}

locked_store::~locked_store() {
  orvik_free(scratch_);
  orvik_free(db_);
}

std::string locked_store::query(const std::string &expr, int64_t time_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  return orvik_query(db_, expr.c_str(), time_ms);
}

std::string locked_store::query_range(const std::string &expr, int64_t start_ms, int64_t end_ms,
                                      int64_t step_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  return orvik_query_range(db_, expr.c_str(), start_ms, end_ms, step_ms);
}

std::string_view locked_store::session::query(const std::string &expr, int64_t time_ms) {
  return orvik_query(db_, expr.c_str(), time_ms);
}

std::string_view locked_store::session::query_range(const std::string &expr, int64_t start_ms, int64_t end_ms,
                                                    int64_t step_ms) {
  return orvik_query_range(db_, expr.c_str(), start_ms, end_ms, step_ms);
}

std::string locked_store::label_names() {
  std::lock_guard<std::mutex> lock(mutex_);
  return orvik_get_label_names(db_);
}

std::string locked_store::label_values(const std::string &label) {
  std::lock_guard<std::mutex> lock(mutex_);
  return orvik_get_label_values(db_, label.c_str());
}

ingest_result locked_store::ingest_snapshot(const std::string &json, int64_t timestamp_ms) {
  ingest_result result;
  std::vector<stored_sample> stored;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Both ingests must stamp undated samples alike, even across a second.
    if (listener_ && timestamp_ms <= 0) timestamp_ms = static_cast<int64_t>(std::time(nullptr)) * 1000;
    // A refused orvik_create leaves a message that no ingestion can leave: if
    // it is still there afterwards, no append failed and nothing was lost,
    // and the scratch store is not needed to count.
    orvik_free(orvik_create(LIBRARY_MAX_SERIES + 1, 1));
    const std::string untouched = orvik_last_error();
    result.stored = orvik_ingest_snapshot_json(db_, json.c_str(), timestamp_ms);
    // The last-error text is shared by the whole process; read it while the
    // lock still keeps other calls out.
    result.error = orvik_last_error();
    if (result.stored < 0) return result;
    const bool failed = result.error != untouched;
    if (!failed) result.error.clear();
    const bool report = listener_ && result.stored > 0;
    if (failed || report) {
      const int32_t carried = orvik_ingest_snapshot_json(scratch_, json.c_str(), timestamp_ms);
      const bool scratch_full = orvik_series_count(scratch_) == scratch_series_;
      if (report) stored = scratch_samples(carried > result.stored || scratch_full);
      orvik_clear(scratch_);
      if (failed) {
        result.not_stored = static_cast<int64_t>(carried) - result.stored;
        if (scratch_full && result.not_stored <= 0) result.not_stored = 1;
        if (result.not_stored <= 0) {
          // Values skipped alike by both stores (an invalid name) were never
          // carried as samples.
          result.not_stored = 0;
          result.error.clear();
        } else {
          rejected_samples_ += static_cast<uint64_t>(result.not_stored);
          if (log_) log_->report(result);
        }
      }
    }
  }
  if (!stored.empty()) listener_(std::move(stored));
  return result;
}

std::vector<stored_sample> locked_store::scratch_samples(bool refused) {
  std::vector<series> elements = read_series(orvik_query(scratch_, EVERY_SERIES, 0));
  std::vector<stored_sample> samples;
  samples.reserve(elements.size());
  std::map<label_list, int64_t> newest;
  if (refused)
    for (series &s : read_series(orvik_query(db_, EVERY_SERIES, 0)))
      if (!s.points.empty()) newest.emplace(std::move(s.metric), s.points.front().time_ms);
  for (series &s : elements) {
    if (s.points.empty()) continue;
    const point &p = s.points.front();
    if (refused) {
      auto it = newest.find(s.metric);
      if (it == newest.end() || it->second != p.time_ms) continue;
    }
    samples.push_back(stored_sample{std::make_shared<const label_list>(std::move(s.metric)), p.value, p.time_ms});
  }
  return samples;
}

append_outcome locked_store::append_samples(const std::vector<append_item> &items) {
  append_outcome outcome;
  std::map<std::string, size_t> refused;
  for (size_t begin = 0; begin < items.size(); begin += APPENDS_PER_LOCK) {
    const size_t end = std::min(items.size(), begin + APPENDS_PER_LOCK);
    std::vector<stored_sample> stored;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = begin; i < end; ++i) {
        const append_item &item = items[i];
        const append_series &series = *item.series;
        if (orvik_append(db_, series.name.c_str(), series.labels_json.c_str(), item.value, item.timestamp_ms) == 0) {
          ++outcome.stored;
          if (listener_) stored.push_back(stored_sample{series.metric, item.value, item.timestamp_ms});
        } else {
          ++refused[orvik_last_error()];
        }
      }
    }
    if (!stored.empty()) listener_(std::move(stored));
  }
  outcome.refused.assign(refused.begin(), refused.end());
  return outcome;
}

void locked_store::report_stored_samples(stored_listener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  listener_ = std::move(listener);
}

uint64_t locked_store::rejected_samples() {
  std::lock_guard<std::mutex> lock(mutex_);
  return rejected_samples_;
}

void locked_store::log_rejections_to(std::ostream *out) {
  std::lock_guard<std::mutex> lock(mutex_);
  log_.reset(out ? new rejection_log(*out) : nullptr);
}

uint32_t locked_store::series_count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return orvik_series_count(db_);
}

uint64_t locked_store::total_samples() {
  std::lock_guard<std::mutex> lock(mutex_);
  return orvik_total_samples(db_);
}

}  // namespace orvik_host
