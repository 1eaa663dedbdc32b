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

std::unique_ptr<snapshot_reader> snapshot_reader::create(uint32_t max_series, std::string *error) {
  // The series table is zeroed memory that is touched only as series arrive.
  const uint32_t held = max_series ? max_series : LIBRARY_DEFAULT_SERIES;
  const uint32_t series = held < LIBRARY_MAX_SERIES ? held + 1 : held;
  orvik_db *db = orvik_create(series, 1);
  if (!db) {
    if (error) *error = orvik_last_error();
    return nullptr;
  }
  return std::unique_ptr<snapshot_reader>(new snapshot_reader(db, series));
}

snapshot_reader::~snapshot_reader() { orvik_free(db_); }

int32_t snapshot_reader::read(const std::string &json, int64_t timestamp_ms, std::vector<series> *out,
                              bool *overflow, std::string *error, std::vector<std::string> *cut) {
  out->clear();
  *overflow = false;
  const int32_t carried = orvik_ingest_snapshot_json(db_, json.c_str(), timestamp_ms);
  if (carried < 0) {
    if (error) *error = orvik_last_error();
    orvik_clear(db_);
    return -1;
  }
  *overflow = orvik_series_count(db_) == series_;
  *out = read_series(orvik_query(db_, EVERY_SERIES, 0));
  // A series that answers without labels has the label text "{}", or a text
  // the store cut, which no longer parses. Appending to the name with "{}"
  // tells them apart: it makes a new series unless one with "{}" is there.
  // Two of one name that both answer bare cannot both be "{}".
  std::map<std::string, int> bare;
  for (const series &s : *out)
    if (s.metric.size() == 1) ++bare[metric_name(s.metric)];
  std::set<std::string> cut_names;
  for (const auto &[name, count] : bare) {
    const uint32_t before = orvik_series_count(db_);
    if (count > 1 || (orvik_append(db_, name.c_str(), "{}", 0.0, timestamp_ms) >= 0 &&
                      orvik_series_count(db_) > before))
      cut_names.insert(name);
  }
  if (!cut_names.empty()) {
    out->erase(std::remove_if(out->begin(), out->end(),
                              [&](const series &s) {
                                return s.metric.size() == 1 && cut_names.count(metric_name(s.metric));
                              }),
               out->end());
    if (cut) cut->insert(cut->end(), cut_names.begin(), cut_names.end());
  }
  orvik_clear(db_);
  return carried;
}

std::unique_ptr<locked_store> locked_store::create(uint32_t max_series, uint32_t samples_per_series,
                                                   std::string *error) {
  orvik_db *db = orvik_create(max_series, samples_per_series);
  if (!db) {
    if (error) *error = orvik_last_error();
    return nullptr;
  }
  auto snapshots = snapshot_reader::create(max_series, error);
  if (!snapshots) {
    orvik_free(db);
    return nullptr;
  }
  return std::unique_ptr<locked_store>(new locked_store(db, std::move(snapshots)));
}

locked_store::~locked_store() { orvik_free(db_); }

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

namespace {

int64_t wall_clock_ms() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

std::string series_identity(label_list labels) {
  std::sort(labels.begin(), labels.end());
  std::string identity;
  for (const auto &[name, value] : labels) {
    identity += name;
    identity += '\0';
    identity += value;
    identity += '\0';
  }
  return identity;
}

locked_store::append_result locked_store::append_locked(const append_series &series, double value,
                                                         int64_t timestamp_ms) {
  auto newest = newest_.find(series.identity);
  if (newest != newest_.end()) {
    if (timestamp_ms < newest->second) return append_result::out_of_order;
    if (timestamp_ms == newest->second) return append_result::resent;
  }
  if (orvik_append(db_, series.name.c_str(), series.labels_json.c_str(), value, timestamp_ms) != 0)
    return append_result::refused;
  if (newest != newest_.end()) newest->second = timestamp_ms;
  else newest_.emplace(series.identity, timestamp_ms);
  return append_result::stored;
}

ingest_result locked_store::ingest_snapshot(const std::string &json, int64_t timestamp_ms) {
  ingest_result result;
  std::vector<stored_sample> stored;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (timestamp_ms <= 0) timestamp_ms = wall_clock_ms();
    // The staging store is asked only for what it holds exactly: each
    // series' identity and its last time in the document. Values are stored
    // by the library itself, from the document, never from answer text.
    std::vector<series> staged;
    bool overflow = false;
    std::vector<std::string> cut;
    const int32_t carried = snapshots_->read(json, timestamp_ms, &staged, &overflow, &result.error, &cut);
    if (carried < 0) return result;
    result.error.clear();
    std::vector<std::string> identities;
    identities.reserve(staged.size());
    bool any_newer = staged.empty() || overflow;
    for (const series &s : staged) {
      identities.push_back(series_identity(s.metric));
      if (s.points.empty()) continue;
      const auto newest = newest_.find(identities.back());
      if (newest == newest_.end() || s.points.front().time_ms > newest->second) {
        any_newer = true;
      } else if (s.points.front().time_ms < newest->second) {
        ++result.out_of_order;
      }
    }
    if (result.out_of_order > 0) {
      result.stored = 0;
      result.not_stored = carried > 0 ? carried : result.out_of_order;
      result.error = OUT_OF_ORDER;
      rejected_samples_ += static_cast<uint64_t>(result.not_stored);
      if (log_) log_->report(result);
      return result;
    }
    // Every series at exactly its newest time: the document was sent before.
    if (!any_newer) {
      result.stored = 0;
      return result;
    }
    // A refused orvik_create leaves a message that no ingestion can leave: if
    // it is still there afterwards, no append failed and nothing was lost.
    orvik_free(orvik_create(LIBRARY_MAX_SERIES + 1, 1));
    const std::string untouched = orvik_last_error();
    result.stored = orvik_ingest_snapshot_json(db_, json.c_str(), timestamp_ms);
    // The last-error text is shared by the whole process; read it while the
    // lock still keeps other calls out.
    const std::string after = orvik_last_error();
    if (result.stored < 0) {
      result.error = after;
      return result;
    }
    const bool failed = after != untouched;
    cut_names_.insert(cut.begin(), cut.end());
    if (!failed) {
      for (size_t i = 0; i < staged.size(); ++i) {
        if (staged[i].points.empty()) continue;
        const int64_t time_ms = staged[i].points.front().time_ms;
        newest_[identities[i]] = time_ms;
        if (listener_)
          stored.push_back(stored_sample{std::make_shared<const label_list>(std::move(staged[i].metric)),
                                         staged[i].points.front().value, time_ms});
      }
    } else {
      // Some values had no place: only the store itself says which series
      // it now ends at which time.
      std::map<label_list, int64_t> ends;
      for (series &s : read_series(orvik_query(db_, EVERY_SERIES, 0))) {
        if (s.points.empty()) continue;
        newest_[series_identity(s.metric)] = s.points.front().time_ms;
        if (listener_) ends.emplace(std::move(s.metric), s.points.front().time_ms);
      }
      for (series &s : staged) {
        if (s.points.empty()) continue;
        const auto end = ends.find(s.metric);
        if (end == ends.end() || end->second != s.points.front().time_ms) continue;
        stored.push_back(stored_sample{std::make_shared<const label_list>(std::move(s.metric)),
                                       s.points.front().value, end->second});
      }
      result.not_stored = static_cast<int64_t>(carried) - result.stored;
      if (overflow && result.not_stored <= 0) result.not_stored = 1;
      if (result.not_stored <= 0) {
        // Values skipped alike by both stores (an invalid name) were never
        // carried as samples.
        result.not_stored = 0;
      } else {
        result.error = after;
        rejected_samples_ += static_cast<uint64_t>(result.not_stored);
        if (log_) log_->report(result);
      }
    }
  }
  if (!stored.empty()) listener_(std::move(stored));
  return result;
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
        switch (append_locked(*item.series, item.value, item.timestamp_ms)) {
          case append_result::stored:
            ++outcome.stored;
            if (listener_) stored.push_back(stored_sample{item.series->metric, item.value, item.timestamp_ms});
            break;
          case append_result::resent: break;
          case append_result::out_of_order: ++refused[OUT_OF_ORDER]; break;
          case append_result::refused: ++refused[orvik_last_error()]; break;
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

std::set<std::string> locked_store::names_with_cut_labels() {
  std::lock_guard<std::mutex> lock(mutex_);
  return cut_names_;
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
