// One orvik store shared by every thread of the host. The library takes no
// locks, so every call goes through one mutex here, and answers are copied out
// before it is released (an answer text lives only until the next call).
#ifndef ORVIK_HOST_STORE_H
#define ORVIK_HOST_STORE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "library/answer_reader.h"
#include "orvik.h"

namespace orvik_host {

struct ingest_result {
  int32_t stored = -1;    // samples stored, -1 when the document was rejected
  int64_t not_stored = 0; // values the document carried that were not stored
                          // (a lower bound when it named more series than
                          // the store can hold)
  std::string error;      // the library's last-error text when stored is -1
                          // or not_stored is above 0
};

// Says once per cause that a snapshot's values were not stored, so that a
// table that stays full costs one line, not one per snapshot. The causes are
// the library's few fixed messages; past MAX_CAUSES distinct ones, new ones
// are only counted.
class rejection_log {
 public:
  static constexpr size_t MAX_CAUSES = 32;
  explicit rejection_log(std::ostream &out) : out_(out) {}
  void report(const ingest_result &result);

 private:
  std::ostream &out_;
  std::vector<std::string> causes_;
};

// A sample the store took, its series named as the answers name it. Samples
// of one series share its label set.
struct stored_sample {
  std::shared_ptr<const label_list> metric;
  double value = 0.0;
  int64_t timestamp_ms = 0;
};

// Told of every sample stored, outside the store's lock.
using stored_listener = std::function<void(std::vector<stored_sample>)>;

// A series for append_samples: its name, its other labels as a JSON object
// text, and the whole label set to report it under. Made once for all the
// samples of a series in one request, so that a request of many samples
// costs one label set per series, not per sample.
struct append_series {
  std::string name;
  std::string labels_json;
  std::shared_ptr<const label_list> metric;
};

struct append_item {
  std::shared_ptr<const append_series> series;
  double value = 0.0;
  int64_t timestamp_ms = 0;
};

struct append_outcome {
  size_t stored = 0;
  // The library's message for each cause of refusal, with its count.
  std::vector<std::pair<std::string, size_t>> refused;
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
  // Stores the document's values. When an append failed on the way, finds
  // out how many values the document carried by ingesting it also into a
  // scratch store of one sample per series, one series more than this store
  // holds, emptied after each call. A value the store could not keep (a full
  // table, a failed allocation) shows as not_stored, is added to
  // rejected_samples() and reported to the log. With a listener (below) the
  // scratch store is used every time, to learn which samples were stored.
  ingest_result ingest_snapshot(const std::string &json, int64_t timestamp_ms);
  uint32_t series_count();
  uint64_t total_samples();
  // Values carried by snapshots but not stored, since the store was made.
  uint64_t rejected_samples();
  // Where rejections are reported from now on; null for nowhere.
  void log_rejections_to(std::ostream *out);

  // One orvik_append per item, in order.
  append_outcome append_samples(const std::vector<append_item> &items);

  // From now on every ingest and append tells `listener` which samples it
  // stored. Call before other threads use the store.
  void report_stored_samples(stored_listener listener);

 private:
  // The samples the ingest just made of `json` as the scratch store holds
  // them, with the mutex held. `refused`: the store kept fewer than the
  // scratch, so only those that now end their series in the store count.
  std::vector<stored_sample> scratch_samples(bool refused);

  locked_store(orvik_db *db, orvik_db *scratch, uint32_t scratch_series)
      : db_(db), scratch_(scratch), scratch_series_(scratch_series) {}
  std::mutex mutex_;
  orvik_db *db_;
  orvik_db *scratch_;
  uint32_t scratch_series_;
  uint64_t rejected_samples_ = 0;
  std::unique_ptr<rejection_log> log_;
  stored_listener listener_;
};

}  // namespace orvik_host

#endif
