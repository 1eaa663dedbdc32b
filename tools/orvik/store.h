// One orvik store shared by every thread of the host. The library takes no
// locks, so every call goes through one mutex here, and answers are copied out
// before it is released (an answer text lives only until the next call).
#ifndef ORVIK_HOST_STORE_H
#define ORVIK_HOST_STORE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "orvik.h"

namespace orvik_host {

struct ingest_result {
  int32_t stored = -1;  // samples stored, -1 when the document was rejected
  std::string error;    // the library's last-error text when stored is -1
};

class locked_store {
 public:
  // Sizes of 0 take the library's defaults. Returns null with the library's
  // message in *error when the store cannot be made.
  static std::unique_ptr<locked_store> create(uint32_t max_series, uint32_t samples_per_series,
                                              std::string *error);
  ~locked_store();
  locked_store(const locked_store &) = delete;
  locked_store &operator=(const locked_store &) = delete;

  // Holds the store for a sequence of questions that must see the same
  // series, without copying the answers out: each answer stays valid until
  // the session's next question or its end.
  class session {
   public:
    std::string_view query(const std::string &expr, int64_t time_ms);
    std::string_view query_range(const std::string &expr, int64_t start_ms, int64_t end_ms, int64_t step_ms);
    uint32_t series_count() const { return orvik_series_count(db_); }

   private:
    friend class locked_store;
    explicit session(locked_store &store) : lock_(store.mutex_), db_(store.db_) {}
    std::unique_lock<std::mutex> lock_;
    orvik_db *db_;
  };
  session open_session() { return session(*this); }

  std::string query(const std::string &expr, int64_t time_ms);
  std::string query_range(const std::string &expr, int64_t start_ms, int64_t end_ms, int64_t step_ms);
  std::string label_names();
  std::string label_values(const std::string &label);
  ingest_result ingest_snapshot(const std::string &json, int64_t timestamp_ms);
  uint32_t series_count();
  uint64_t total_samples();

 private:
  explicit locked_store(orvik_db *db) : db_(db) {}
  std::mutex mutex_;
  orvik_db *db_;
};

}  // namespace orvik_host

#endif
