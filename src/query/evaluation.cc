// Evaluation of one series at one instant. The answer is defined by ring
// position from the newest, in the order samples were appended; timestamps
// are compared as they stand and never sorted, so a series fed out of time
// order answers with the first sample (newest first) that qualifies. A ring
// in time order is searched instead of walked: there the first sample that
// qualifies walking from the newest is the one the search finds, and the
// cost of a step no longer grows with how far back it reaches.
#include <cstdint>

#include "query/query.h"

namespace orvik {
namespace {

// The first position in [lo, hi] at which below(i) holds, where below holds
// from some position on (times do not increase towards the oldest) and hi
// stands for "none before": hi itself is never tested. The search starts
// where t would lie were the samples spaced as the two newest are, which is
// where it does lie for a host appending at a fixed interval, and reads
// only samples the evaluation has just read or is about to; from there it
// gallops outwards to bracket the answer and halves the bracket, so a poor
// guess costs about twice the probes of a plain halving.
template <typename Below>
uint32_t search_below(const series_entry &e, int64_t t, uint32_t lo, uint32_t hi, Below below) {
  const uint32_t ref = lo > 0 ? lo - 1 : 0;
  const double spacing = static_cast<double>(nth_newest(e, 0).timestamp_ms) -
                         static_cast<double>(nth_newest(e, 1).timestamp_ms);
  const double behind = static_cast<double>(nth_newest(e, ref).timestamp_ms) - static_cast<double>(t);
  double at = spacing > 0 ? ref + behind / spacing : 0.0;
  if (!(at >= lo)) at = lo;
  if (at > hi - 1) at = hi - 1;
  const uint32_t guess = static_cast<uint32_t>(at);
  if (below(guess)) {
    hi = guess;
    for (uint64_t d = 1; hi - lo > d; d *= 2) {
      const uint32_t p = static_cast<uint32_t>(hi - d);
      if (!below(p)) {
        lo = p + 1;
        break;
      }
      hi = p;
    }
  } else {
    lo = guess + 1;
    for (uint64_t d = 1; lo + d - 1 < hi; d *= 2) {
      const uint32_t p = static_cast<uint32_t>(lo + d - 1);
      if (below(p)) {
        hi = p;
        break;
      }
      lo = p + 1;
    }
  }
  while (lo < hi) {
    const uint32_t mid = lo + (hi - lo) / 2;
    if (below(mid)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

// *hint is the answer's distance from lo that the previous search found:
// it is tried first, and holds the new distance afterwards.
// The answer is the one position where below starts to hold, so checking
// a candidate on both sides of it proves it.
template <typename Below>
uint32_t first_below(const series_entry &e, int64_t t, uint32_t lo, uint32_t hi, Below below, uint32_t *hint) {
  if (lo >= hi) return lo;
  const uint64_t hinted = static_cast<uint64_t>(lo) + *hint;
  if (hinted <= hi) {
    const uint32_t p = static_cast<uint32_t>(hinted);
    if ((p == lo || !below(p - 1)) && (p == hi || below(p))) return p;
  }
  const uint32_t found = search_below(e, t, lo, hi, below);
  *hint = found - lo;
  return found;
}

// Position of the sample in force at eval_ms: the newest one at or before
// it, or the oldest held when every sample is newer. A time of 0 or less
// means the newest sample.
uint32_t sample_in_force(const series_entry &e, int64_t eval_ms, eval_hint &hint) {
  if (eval_ms <= 0) return 0;
  if (e.ordered != 0) {
    // Most questions are about now: the newest sample answers them at once.
    if (nth_newest(e, 0).timestamp_ms <= eval_ms) return 0;
    return first_below(
        e, eval_ms, 0, e.count - 1, [&](uint32_t i) { return nth_newest(e, i).timestamp_ms <= eval_ms; },
        &hint.in_force);
  }
  for (uint32_t i = 0; i < e.count; ++i) {
    if (nth_newest(e, i).timestamp_ms <= eval_ms) return i;
  }
  return e.count - 1;
}

// Position of the oldest sample of the unbroken run from position from
// towards the oldest whose times are all at or after start; from itself
// when it is before start.
uint32_t run_end(const series_entry &e, uint32_t from, int64_t start, eval_hint &hint) {
  const uint32_t n = e.count;
  if (nth_newest(e, from).timestamp_ms < start) return from;
  if (e.ordered != 0) {
    // In time order the run ends just before the first position older
    // than start (n when there is none).
    return first_below(
               e, start, from + 1, n, [&](uint32_t i) { return nth_newest(e, i).timestamp_ms < start; },
               &hint.window) -
           1;
  }
  uint32_t last = from;
  while (last + 1 < n && nth_newest(e, last + 1).timestamp_ms >= start) ++last;
  return last;
}

// Per-second increase from an older sample a to the last sample l. A
// decrease counts as no increase (a counter reset is not corrected); NaN
// passes through.
inline double increase_per_second(const sample &a, const sample &l, eval_hint &hint) {
  int64_t diff;
  double dt;
  if (__builtin_sub_overflow(l.timestamp_ms, a.timestamp_ms, &diff)) {
    // Times at opposite ends of the range differ by more than 64 bits hold;
    // in double the difference keeps its sign and size.
    dt = (static_cast<double>(l.timestamp_ms) - static_cast<double>(a.timestamp_ms)) / 1000.0;
  } else if (diff == hint.span_ms) {
    // The same span gives the same quotient; the division is the longest
    // step of a rate, and series sampled together share their spans.
    dt = hint.span_s;
  } else {
    dt = static_cast<double>(diff) / 1000.0;
    hint.span_ms = diff;
    hint.span_s = dt;
  }
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
                   int64_t *used_ms, eval_hint *hint) {
  eval_hint none;
  eval_hint &h = hint != nullptr ? *hint : none;
  if (entry == nullptr || entry->count == 0) {
    *used_ms = eval_ms;
    return 0.0;
  }
  const series_entry &e = *entry;
  const uint32_t n = e.count;
  const int32_t fn = parsed->range_function;

  // Walking from the newest sample, the first one at or before eval_ms is
  // both the plain selector's sample and the last sample of a rate.
  const uint32_t k = sample_in_force(e, eval_ms, h);
  const sample &last = nth_newest(e, k);
  *used_ms = last.timestamp_ms;
  if (fn != FN_RATE && fn != FN_IRATE) return last.value;
  if (k == n - 1) return 0.0;  // also the single-sample series

  if (fn == FN_IRATE) return increase_per_second(nth_newest(e, k + 1), last, h);

  const int64_t reference = eval_ms > 0 ? eval_ms : nth_newest(e, 0).timestamp_ms;
  const int64_t start = window_start(reference, parsed->range_ms);
  // The first sample is the oldest of the unbroken run inside the window;
  // when even the one just before the last is outside it, that one is used.
  return increase_per_second(nth_newest(e, run_end(e, k + 1, start, h)), last, h);
}

}  // namespace orvik
