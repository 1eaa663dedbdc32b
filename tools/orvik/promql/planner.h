// The query front: a query text read with the full grammar, turned into
// questions the store answers exactly as meant, and their answers merged
// into one document. The command line and the server both ask through here.
#ifndef ORVIK_HOST_PROMQL_PLANNER_H
#define ORVIK_HOST_PROMQL_PLANNER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "library/store.h"
#include "promql/select.h"

namespace orvik_host::promql {

struct query_outcome {
  int status = 200;        // 400 for a query refused, 422 for one that cannot be evaluated
  std::string error_type;  // "bad_data" or "execution" when status is not 200
  std::string error;
  std::string body;  // the answer document when status is 200
};

// An instant query at time_ms (0 or less: now, in whole seconds). Past
// MAX_REGEX_WORK, 422 "execution" (as for range queries).
query_outcome instant_query(locked_store &store, std::string_view text, int64_t time_ms);

// A range query's window holds at most this many steps after its start
// (MAX_RANGE_STEPS + 1 step times), as a Prometheus server bounds it; the
// store itself puts no bound on the work. Every caller checks it here.
inline constexpr int64_t MAX_RANGE_STEPS = 11000;

// The step times of a window, with the store's defaults for what is 0 or
// less (end now, start 15 minutes before the end, step 15 s).
uint64_t window_steps(int64_t start_ms, int64_t end_ms, int64_t step_ms);

// Refusal text of a window over MAX_RANGE_STEPS.
inline constexpr const char *WINDOW_TOO_LONG =
    "exceeded maximum resolution of 11,000 points per timeseries. Try decreasing the query resolution (?step=XX)";

// A range query; the window's defaults are those of window_steps, and a
// window over MAX_RANGE_STEPS is refused with 400. A scalar answers one
// element with an empty metric. Groups are asked of the store while
// its evaluations (questions x steps x series in the store) stay within
// max_evaluations; the groups past that are computed in the host. `regex`,
// when given, is the budget of a request that also asked answer_size.
query_outcome range_query(locked_store &store, std::string_view text, int64_t start_ms, int64_t end_ms,
                          int64_t step_ms, uint64_t max_evaluations = UINT64_MAX, regex_budget *regex = nullptr);

struct answer_extent {
  size_t elements = 0;     // series, or groups of an aggregation
  bool asks_store = true;  // false for a scalar, computed in the host
};

// How large the answer at time_ms is, for bounding a range query before it
// is evaluated; nothing when the text is refused or its regular expressions
// exhaust `regex`. Costs one instant question.
std::optional<answer_extent> answer_size(locked_store &store, std::string_view text, int64_t time_ms,
                                         regex_budget *regex = nullptr);

}  // namespace orvik_host::promql

#endif
