// orvik_query_range: one query at evenly spaced step times, answered as a
// matrix.
#include <limits>

#include "answer/answer.h"

namespace orvik {
namespace {
constexpr int64_t DEFAULT_WINDOW_MS = 900000;
constexpr int64_t DEFAULT_STEP_MS = 15000;

struct window {
  int64_t start;
  int64_t end;
  int64_t step;
};

// Defaults in their order: the end first, the start from the end, then the
// step. Afterwards start <= end and step > 0.
window resolve_window(int64_t start_ms, int64_t end_ms, int64_t step_ms) {
  window w;
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

// Moves t to the next step time; false after the last one. The distance to
// the end is taken in unsigned arithmetic, so neither it nor t + step can
// overflow near the ends of the 64-bit range.
bool next_step(const window &w, int64_t *t) {
  uint64_t left = static_cast<uint64_t>(w.end) - static_cast<uint64_t>(*t);
  if (left < static_cast<uint64_t>(w.step)) return false;
  *t += w.step;
  return true;
}

void walk_series(orvik_db *db, const promql_query &parsed, const window &w, yyjson_mut_doc *doc,
                 yyjson_mut_val *result) {
  char value_text[VALUE_TEXT_SIZE];
  for_each_selected(db, parsed, [&](const series_entry &entry) {
    yyjson_mut_val *element = yyjson_mut_arr_add_obj(doc, result);
    if (element == nullptr) return;
    add_metric_object(doc, element, &entry);
    yyjson_mut_val *values = yyjson_mut_obj_add_arr(doc, element, "values");
    if (values == nullptr) return;
    int64_t t = w.start;
    do {
      // The pair carries the step time, whatever sample the value came from.
      int64_t used_ms = t;
      double value = eval_sample(&entry, &parsed, t, &used_ms);
      yyjson_mut_arr_append(values, make_value_pair(doc, t, value, value_text));
    } while (next_step(w, &t));
  });
}

void walk_aggregate(orvik_db *db, const promql_query &parsed, const window &w,
                    yyjson_mut_doc *doc, yyjson_mut_val *result) {
  yyjson_mut_val *element = yyjson_mut_arr_add_obj(doc, result);
  if (element == nullptr) return;
  add_metric_object(doc, element, nullptr);
  yyjson_mut_val *values = yyjson_mut_obj_add_arr(doc, element, "values");
  if (values == nullptr) return;
  char value_text[VALUE_TEXT_SIZE];
  int64_t t = w.start;
  do {
    double value = aggregate_at(db, &parsed, t);
    yyjson_mut_arr_append(values, make_value_pair(doc, t, value, value_text));
  } while (next_step(w, &t));
}

// "values": [ and the pairs of one element, then its closing brace.
template <typename Value>
void write_values(answer_text &out, const window &w, Value &&value_at) {
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

const char *query_range_by_document(orvik_db *db, const char *query, int64_t start_ms, int64_t end_ms,
                                    int64_t step_ms) {
  promql_query parsed;
  if (const char *rejected = reject_query(db, query, &parsed)) return rejected;
  window w = resolve_window(start_ms, end_ms, step_ms);

  yyjson_mut_val *result;
  yyjson_mut_doc *doc = new_query_document("matrix", &result);
  if (result != nullptr) {
    if (parsed.aggregation == AGG_NONE) {
      walk_series(db, parsed, w, doc, result);
    } else {
      walk_aggregate(db, parsed, w, doc, result);
    }
  }
  return finish_answer(db, doc);
}

}  // namespace orvik

using namespace orvik;

extern "C" const char *orvik_query_range(orvik_db *db, const char *query, int64_t start_ms,
                                         int64_t end_ms, int64_t step_ms) {
  promql_query parsed;
  if (const char *rejected = reject_query(db, query, &parsed)) return rejected;
  window w = resolve_window(start_ms, end_ms, step_ms);

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
