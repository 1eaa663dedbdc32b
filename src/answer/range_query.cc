// orvik_query_range: one query at evenly spaced step times, answered as a
// matrix.
#include <limits>

#include "answer/answer.h"

namespace orvik {

query_window resolve_window(int64_t start_ms, int64_t end_ms, int64_t step_ms) {
  constexpr int64_t DEFAULT_WINDOW_MS = 900000;
  constexpr int64_t DEFAULT_STEP_MS = 15000;
  // Defaults in their order: the end first, the start from the end, then
  // the step.
  query_window w;
  w.end = end_ms > 0 ? end_ms : now_whole_seconds_ms();
  if (start_ms <= 0) {
    constexpr int64_t LOWEST = std::numeric_limits<int64_t>::min();
    w.start = w.end < LOWEST + DEFAULT_WINDOW_MS ? LOWEST : w.end - DEFAULT_WINDOW_MS;
  } else {
    w.start = start_ms < w.end ? start_ms : w.end;
  }
  w.step = step_ms > 0 ? step_ms : DEFAULT_STEP_MS;
  return w;
}

bool next_step(const query_window &w, int64_t *t) {
  // The distance to the end in unsigned arithmetic: exact however far apart.
  uint64_t left = static_cast<uint64_t>(w.end) - static_cast<uint64_t>(*t);
  if (left < static_cast<uint64_t>(w.step)) return false;
  *t += w.step;
  return true;
}

namespace {
// "values": [ and the pairs of one element, then its closing brace.
template <typename Value>
void write_values(answer_text &out, const query_window &w, Value &&value_at) {
  out.lit(",");
  out.indent(4);
  out.lit("\"values\": [");
  int64_t t = w.start;
  bool first = true;
  do {
    if (!first) out.lit(",");
    first = false;
    out.indent(5);
    // The pair carries the step time, whatever sample the value came from.
    out.value_pair(5, t, value_at(t));
  } while (!out.failed() && next_step(w, &t));
  out.indent(4);
  out.lit("]");
  out.indent(3);
  out.lit("}");
}
}  // namespace

}  // namespace orvik

using namespace orvik;

extern "C" const char *orvik_query_range(orvik_db *db, const char *query, int64_t start_ms,
                                         int64_t end_ms, int64_t step_ms) {
  promql_query parsed;
  if (const char *rejected = reject_query(db, query, &parsed)) return rejected;
  query_window w = resolve_window(start_ms, end_ms, step_ms);

  answer_text out(db);
  out.begin_query("matrix");
  if (parsed.aggregation == AGG_NONE) {
    eval_hint hint;
    for_each_selected(db, parsed, [&](const series_entry &entry) {
      // Once the buffer could not grow the answer is "{}": stop working.
      if (out.failed()) return;
      out.begin_element();
      out.metric_object(4, &entry);
      write_values(out, w, [&](int64_t t) {
        int64_t used_ms = t;
        return eval_sample(&entry, &parsed, t, &used_ms, &hint);
      });
    });
  } else {
    out.begin_element();
    out.metric_object(4, nullptr);
    write_values(out, w, [&](int64_t t) { return aggregate_at(db, &parsed, t); });
  }
  return out.finish_query();
}
