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
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
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
  int64_t out_of_order = 0;  // of not_stored: older than their series' newest
  std::string error;      // the library's last-error text when stored is -1,
                          // else the first cause when not_stored is above 0
};

// The text that names a series in the order check: its labels, __name__
// among them, sorted. Equal for every spelling of one label set.
std::string series_identity(label_list labels);

// The message of a sample refused for being older than the newest sample
// of its series, as remote-write senders know it.
inline constexpr char OUT_OF_ORDER[] = "out of order sample";

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

// How a snapshot document becomes samples is the library's alone: the
// document is ingested into a staging store of one sample per series (one
// series more than the store it feeds holds, so that a document naming too
// many series shows), whose series are read back and then cleared. Whoever
// needs a snapshot's series and times (the store's order check, the sender
// reading the log) asks it, never a mapping of its own.
class snapshot_reader {
 public:
  static std::unique_ptr<snapshot_reader> create(uint32_t max_series, std::string *error);
  ~snapshot_reader();
  snapshot_reader(const snapshot_reader &) = delete;
  snapshot_reader &operator=(const snapshot_reader &) = delete;

  // The document's series, each at the last sample the document names for
  // it; answers the number of values the library carried, or -1 and *error
  // when it rejects the document. `*overflow`: it named more series than
  // max_series. Values come back through answer text (14 significant
  // digits) and a series named twice keeps its last value: good for
  // identities and times, never for storing. A series whose label text the
  // store cut answers without labels, as if it were another series: it is
  // left out of *out and its name added to *cut (null: not wanted). Not safe
  // from two threads at once.
  int32_t read(const std::string &json, int64_t timestamp_ms, std::vector<series> *out, bool *overflow,
               std::string *error, std::vector<std::string> *cut = nullptr);

 private:
  snapshot_reader(orvik_db *db, uint32_t series) : db_(db), series_(series) {}
  orvik_db *db_;
  uint32_t series_;
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
  std::string identity;  // series_identity(*metric)
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
  // Stores the document's values with orvik_ingest_snapshot_json, exactly
  // as the library maps them. The order rule comes first: the document is
  // read by snapshot_reader only for each series' identity and its time in
  // the document; if any series is older than its newest stored sample, the
  // whole document is refused (stored 0, every carried value not_stored and
  // out of order, error OUT_OF_ORDER) before anything is stored. If every
  // series is at exactly its newest time the document is a resend and is
  // skipped (stored 0, nothing refused); otherwise it is stored whole, and a
  // series among newer ones that sits at its newest time gets that sample a
  // second time. Limit: the staging store keeps one sample per series, the
  // last the document names, and the library appends in document order, so
  // an older sample of a series named twice in one document is not seen by
  // the check. A value the store could not keep (a full table, a failed
  // allocation) shows as not_stored, is added to rejected_samples() and
  // reported to the log. A timestamp of 0 or less is now, in ms.
  ingest_result ingest_snapshot(const std::string &json, int64_t timestamp_ms);
  uint32_t series_count();
  uint64_t total_samples();
  // Values carried by snapshots but not stored, since the store was made.
  uint64_t rejected_samples();
  // Where rejections are reported from now on; null for nowhere.
  void log_rejections_to(std::ostream *out);
  // Names of which the store holds a series whose label text it cut. Every
  // series of such a name that answers without labels may be one of them.
  std::set<std::string> names_with_cut_labels();

  // One orvik_append per item, in order. A sample older than the newest
  // stored sample of its series is refused as OUT_OF_ORDER: the rings keep
  // samples in append order, and a late sample would be answered as the
  // newest. One at the same time as the newest is a resend (a client that
  // retries after a lost answer, a replayed record) and is skipped without
  // counting as refused or stored.
  append_outcome append_samples(const std::vector<append_item> &items);

  // From now on every ingest and append tells `listener` which samples it
  // stored. Call before other threads use the store.
  void report_stored_samples(stored_listener listener);

 private:
  enum class append_result { stored, resent, out_of_order, refused };
  // One append with the order check, the mutex held.
  append_result append_locked(const append_series &series, double value, int64_t timestamp_ms);

  locked_store(orvik_db *db, std::unique_ptr<snapshot_reader> snapshots)
      : db_(db), snapshots_(std::move(snapshots)) {}
  std::mutex mutex_;
  orvik_db *db_;
  std::unique_ptr<snapshot_reader> snapshots_;
  // The library answers no per-series "newest time" without a query, so the
  // order check keeps its own: the time of the newest stored sample of
  // every series, by series_identity. It grows with the series the store
  // took and is bounded with them (the store never forgets a series).
  std::unordered_map<std::string, int64_t> newest_;
  uint64_t rejected_samples_ = 0;
  std::set<std::string> cut_names_;  // bounded by the series, as newest_ is
  std::unique_ptr<rejection_log> log_;
  stored_listener listener_;
};

}  // namespace orvik_host

#endif
