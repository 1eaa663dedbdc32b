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

namespace orvik_host::promql {

struct query_outcome {
  int status = 200;        // 400 for a query refused, 422 for one that cannot be evaluated
  std::string error_type;  // "bad_data" or "execution" when status is not 200
  std::string error;
  std::string body;  // the answer document when status is 200
};

// An instant query at time_ms (0 or less: now, in whole seconds).
query_outcome instant_query(locked_store &store, std::string_view text, int64_t time_ms);

// A range query; the window's defaults are the store's (end now, start 15
// minutes before, step 15 s). A scalar answers one element with an empty
// metric, at most MAX_SCALAR_STEPS steps. Groups are asked of the store while
// its evaluations (questions x steps x series in the store) stay within
// max_evaluations; the groups past that are computed in the host.
query_outcome range_query(locked_store &store, std::string_view text, int64_t start_ms, int64_t end_ms,
                          int64_t step_ms, uint64_t max_evaluations = UINT64_MAX);

// How many elements the answer at time_ms holds (series, or groups of an
// aggregation), for bounding a range query before it is evaluated; nothing
// when the text is refused. Costs one instant question.
std::optional<size_t> answer_size(locked_store &store, std::string_view text, int64_t time_ms);

inline constexpr int64_t MAX_SCALAR_STEPS = 11000;

}  // namespace orvik_host::promql

#endif
