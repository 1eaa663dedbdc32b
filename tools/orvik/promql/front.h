// The query front: a query text read with the whole grammar, evaluated by
// the engine over the store's samples, answered as typed values. The command
// line and the server both ask through here.
#ifndef ORVIK_HOST_PROMQL_FRONT_H
#define ORVIK_HOST_PROMQL_FRONT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "library/store.h"
#include "promql/engine.h"

namespace orvik_host::promql {

struct query_outcome {
  int status = 200;        // 400 for a query refused, 422 for one that cannot be evaluated
  std::string error_type;  // "bad_data" or "execution" when status is not 200
  std::string error;
  query_value value;       // the answer when status is 200
};

// A range query's window holds at most this many steps after its start
// (MAX_RANGE_STEPS + 1 step times), as a Prometheus server bounds it. Every
// caller checks it through window_steps.
inline constexpr int64_t MAX_RANGE_STEPS = 11000;

// The step times of a window, with the store's defaults for what is 0 or
// less (end now, start 15 minutes before the end, step 15 s).
uint64_t window_steps(int64_t start_ms, int64_t end_ms, int64_t step_ms);

// Refusal text of a window over MAX_RANGE_STEPS.
inline constexpr const char *WINDOW_TOO_LONG =
    "exceeded maximum resolution of 11,000 points per timeseries. Try decreasing the query resolution (?step=XX)";

// The work a query may ask (--query.max-evaluations, --query.max-points).
// Evaluations: a range query over the store is refused before it runs when
// its steps times the series in the store pass the bound, and every
// evaluation of the engine is counted against it as the query runs; walking
// the store's samples may cost twice as much again (see front.cc). Points: the elements times the steps of the
// answer; the engine holds at most POINTS_HELD_FACTOR times as many while it
// works.
struct front_limits {
  uint64_t max_evaluations = UINT64_MAX;
  uint64_t max_points = UINT64_MAX;
};
inline constexpr uint64_t POINTS_HELD_FACTOR = 2;
// ... and never fewer than this (1 MB), so that a small answer bound leaves
// room for the intermediate values of its few series.
inline constexpr uint64_t MIN_POINTS_HELD = 65536;

// An instant query at time_ms (0 or less: now, in whole seconds).
query_outcome instant_query(locked_store &store, std::string_view text, int64_t time_ms,
                            const front_limits &limits = {});

// A range query; the window's defaults are those of window_steps, and a
// window over MAX_RANGE_STEPS is refused with 400.
query_outcome range_query(locked_store &store, std::string_view text, int64_t start_ms, int64_t end_ms,
                          int64_t step_ms, const front_limits &limits = {});

}  // namespace orvik_host::promql

#endif
