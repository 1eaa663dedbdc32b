#include "store.h"

namespace orvik_host {

std::unique_ptr<locked_store> locked_store::create(uint32_t max_series, uint32_t samples_per_series,
                                                   std::string *error) {
  orvik_db *db = orvik_create(max_series, samples_per_series);
  if (!db) {
    if (error) *error = orvik_last_error();
    return nullptr;
  }
  return std::unique_ptr<locked_store>(new locked_store(db));
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

ingest_result locked_store::ingest_snapshot(const std::string &json, int64_t timestamp_ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  ingest_result result;
  result.stored = orvik_ingest_snapshot_json(db_, json.c_str(), timestamp_ms);
  // The last-error text is shared by the whole process; read it while the
  // lock still keeps other calls out.
  if (result.stored < 0) result.error = orvik_last_error();
  return result;
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
