// The aggregation rules of sum, avg, min, max and count, shared by the
// instant query and every step of the range query.
#include "query/query.h"

namespace orvik {
namespace {
// The starting extremes are finite on purpose: min and max over values that
// are all NaN answer them (MIN_START and MAX_START), as callers have come to
// expect.
constexpr double MIN_START = 1e30;
constexpr double MAX_START = -1e30;

// Running values of one aggregated instant.
struct aggregation_state {
  int32_t count;
  double sum;
  double min;
  double max;
};

void aggregation_reset(aggregation_state *state) {
  state->count = 0;
  state->sum = 0.0;
  state->min = MIN_START;
  state->max = MAX_START;
}

// Keeps the running values that the result of Kind reads (AGG_SUM stands
// for the average too, AGG_COUNT for the count alone). An aggregation over
// every series of a store repeats this for each one: the comparisons a sum
// does not need cost it a third more.
template <int32_t Kind>
void add_value(aggregation_state *state, double value) {
  ++state->count;
  if constexpr (Kind == AGG_SUM) state->sum += value;
  // Ordered comparisons: a NaN never becomes the minimum or the maximum.
  if constexpr (Kind == AGG_MIN) {
    if (value < state->min) state->min = value;
  }
  if constexpr (Kind == AGG_MAX) {
    if (value > state->max) state->max = value;
  }
}

template <int32_t Kind>
void add_selected(const orvik_db *db, const promql_query *parsed, int64_t eval_ms, aggregation_state *state) {
  eval_hint hint;
  for_each_selected(db, *parsed, [&](const series_entry &entry) {
    int64_t used_ms = eval_ms;
    add_value<Kind>(state, eval_sample(&entry, parsed, eval_ms, &used_ms, &hint));
  });
}
// The aggregated value of the given AGG_* kind; 0 when nothing was added.
double aggregation_result(const aggregation_state *state, int32_t kind) {
  if (state->count == 0) return 0.0;
  switch (kind) {
    case AGG_SUM: return state->sum;
    case AGG_AVG: return state->sum / static_cast<double>(state->count);
    case AGG_MIN: return state->min;
    case AGG_MAX: return state->max;
    case AGG_COUNT: return static_cast<double>(state->count);
    default: return 0.0;
  }
}
}  // namespace

double aggregate_at(const orvik_db *db, const promql_query *parsed, int64_t eval_ms) {
  aggregation_state state;
  aggregation_reset(&state);
  switch (parsed->aggregation) {
    case AGG_SUM:
    case AGG_AVG: add_selected<AGG_SUM>(db, parsed, eval_ms, &state); break;
    case AGG_MIN: add_selected<AGG_MIN>(db, parsed, eval_ms, &state); break;
    case AGG_MAX: add_selected<AGG_MAX>(db, parsed, eval_ms, &state); break;
    default: add_selected<AGG_COUNT>(db, parsed, eval_ms, &state); break;
  }
  return aggregation_result(&state, parsed->aggregation);
}

}  // namespace orvik
