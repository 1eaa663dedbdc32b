// What the engine asks of a store: the series a selector names, with their
// raw points in a window. The engine asks once per selector for the whole
// window a query needs and slices it per step itself.
#ifndef ORVIK_HOST_PROMQL_STORAGE_H
#define ORVIK_HOST_PROMQL_STORAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "promql/parser.h"
#include "promql/value.h"

namespace orvik_host::promql {

// A question a store may answer itself at every step, exactly as the engine
// would: a selector, or rate or irate of one, optionally under sum, avg or
// count without grouping.
struct pushdown {
  enum class function { none, rate, irate };
  function fn = function::none;
  int64_t range_ms = 0;
  std::string aggregation;  // "", "sum", "avg" or "count"
  const std::vector<matcher> *matchers = nullptr;
};

class storage {
 public:
  virtual ~storage() = default;

  // Answers the question at start, start + step, ... (n steps) into *out, as
  // series whose points sit at the step times, and sets *answered; leaves
  // *answered false when the store would not answer exactly as the engine
  // does, and the engine then computes it from raw points. False with
  // *error for a failure of the store.
  virtual bool push_down(const pushdown &, int64_t /*start*/, int64_t /*step*/, size_t /*n*/, range_vector *,
                         bool *answered, std::string *) {
    *answered = false;
    return true;
  }

  // Appends to *out every series that passes all matchers and has a point in
  // [mint, maxt] (ms, both ends included), with those points in time order.
  // With `previous`, each series' newest point before mint comes first as
  // well, and a series with only such a point is answered too: a selector
  // takes the newest sample at or before its time however old it is, and
  // rate falls back to the sample before its range. At most max_points
  // points in all; past that, false with *error naming the bound, as for any
  // other failure of the store.
  virtual bool select(const std::vector<matcher> &matchers, int64_t mint, int64_t maxt, bool previous,
                      size_t max_points, range_vector *out, std::string *error) = 0;
};

// A store held in memory, for tests and for hosts that already hold their
// series.
class memory_storage : public storage {
 public:
  // Points must come in time order; labels in any order (they are sorted).
  void add(label_set metric, std::vector<point> points);

  bool select(const std::vector<matcher> &matchers, int64_t mint, int64_t maxt, bool previous, size_t max_points,
              range_vector *out, std::string *error) override;

  size_t selects() const { return selects_; }

 private:
  range_vector series_;
  size_t selects_ = 0;
};

}  // namespace orvik_host::promql

#endif
