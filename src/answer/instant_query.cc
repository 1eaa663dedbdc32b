// orvik_query: one query at one instant, answered as a vector.
#include "answer/answer.h"

using namespace orvik;

extern "C" const char *orvik_query(orvik_db *db, const char *query, int64_t time_ms) {
  promql_query parsed;
  if (const char *rejected = reject_query(db, query, &parsed)) return rejected;
  if (time_ms <= 0) time_ms = now_whole_seconds_ms();

  answer_text out(db);
  out.begin_query("vector");
  auto element = [&](const series_entry *entry, int64_t used_ms, double value) {
    out.begin_element();
    out.metric_object(4, entry);
    out.lit(",");
    out.indent(4);
    out.lit("\"value\": ");
    out.value_pair(4, used_ms, value);
    out.indent(3);
    out.lit("}");
  };
  if (parsed.aggregation != AGG_NONE) {
    // The aggregate carries the evaluation time, not a sample's.
    element(nullptr, time_ms, aggregate_at(db, &parsed, time_ms));
  } else {
    eval_hint hint;
    for_each_selected(db, parsed, [&](const series_entry &entry) {
      // Once the buffer could not grow the answer is "{}": stop working.
      if (out.failed()) return;
      int64_t used_ms = time_ms;
      double value = eval_sample(&entry, &parsed, time_ms, &used_ms, &hint);
      element(&entry, used_ms, value);
    });
  }
  return out.finish_query();
}
