// Evaluation of one series at one instant. Samples are walked by ring
// position from the newest, in the order they were appended; timestamps are
// compared as they stand and never sorted, so a series fed out of time order
// answers with the first sample (newest first) that qualifies.
#include <cstdint>

#include "query/query.h"

namespace orvik {
namespace {

// Position of the sample in force at eval_ms: the newest one at or before
// it, or the oldest held when every sample is newer. A time of 0 or less
// means the newest sample.
uint32_t sample_in_force(const series_entry &e, int64_t eval_ms) {
  if (eval_ms <= 0) return 0;
  for (uint32_t i = 0; i < e.count; ++i) {
    if (nth_newest(e, i).timestamp_ms <= eval_ms) return i;
  }
  return e.count - 1;
}

// Per-second increase from an older sample a to the last sample l. A
// decrease counts as no increase (a counter reset is not corrected); NaN
// passes through.
double increase_per_second(const sample &a, const sample &l) {
  int64_t diff;
  // Times at opposite ends of the range differ by more than 64 bits hold;
  // in double the difference keeps its sign and size.
  double dt = __builtin_sub_overflow(l.timestamp_ms, a.timestamp_ms, &diff)
                  ? static_cast<double>(l.timestamp_ms) - static_cast<double>(a.timestamp_ms)
                  : static_cast<double>(diff);
  dt /= 1000.0;
  if (dt <= 0.0001) return 0.0;
  double d = l.value - a.value;
  if (d < 0) d = 0;
  return d / dt;
}

// reference - range, held at the limits of the type: a window reaching
// below the smallest time takes in every sample.
int64_t window_start(int64_t reference, int64_t range_ms) {
  int64_t start;
  if (!__builtin_sub_overflow(reference, range_ms, &start)) return start;
  return range_ms > 0 ? INT64_MIN : INT64_MAX;
}

}  // namespace

double eval_sample(const series_entry *entry, const promql_query *parsed, int64_t eval_ms,
                   int64_t *used_ms) {
  if (entry == nullptr || entry->count == 0) {
    *used_ms = eval_ms;
    return 0.0;
  }
  const series_entry &e = *entry;
  const uint32_t n = e.count;
  const int32_t fn = parsed->range_function;

  // Walking from the newest sample, the first one at or before eval_ms is
  // both the plain selector's sample and the last sample of a rate.
  const uint32_t k = sample_in_force(e, eval_ms);
  const sample &last = nth_newest(e, k);
  *used_ms = last.timestamp_ms;
  if (fn != FN_RATE && fn != FN_IRATE) return last.value;
  if (k == n - 1) return 0.0;  // also the single-sample series

  if (fn == FN_IRATE) return increase_per_second(nth_newest(e, k + 1), last);

  const int64_t reference = eval_ms > 0 ? eval_ms : nth_newest(e, 0).timestamp_ms;
  const int64_t start = window_start(reference, parsed->range_ms);
  // The first sample is the oldest of the unbroken run inside the window;
  // when even the one just before the last is outside it, that one is used.
  uint32_t first = k + 1;
  if (nth_newest(e, first).timestamp_ms >= start) {
    while (first + 1 < n && nth_newest(e, first + 1).timestamp_ms >= start) ++first;
  }
  return increase_per_second(nth_newest(e, first), last);
}

}  // namespace orvik
