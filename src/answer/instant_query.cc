// orvik_query: one query at one instant, answered as a vector.
#include "answer/answer.h"

namespace orvik {

const char *query_by_document(orvik_db *db, const char *query, int64_t time_ms) {
  promql_query parsed;
  if (const char *rejected = reject_query(db, query, &parsed)) return rejected;
  if (time_ms <= 0) time_ms = now_whole_seconds_ms();

  yyjson_mut_val *result;
  yyjson_mut_doc *doc = new_query_document("vector", &result);
  if (result == nullptr) return finish_answer(db, doc);

  char value_text[VALUE_TEXT_SIZE];
  if (parsed.aggregation != AGG_NONE) {
    // The aggregate carries the evaluation time, not a sample's.
    double value = aggregate_at(db, &parsed, time_ms);
    yyjson_mut_val *element = yyjson_mut_arr_add_obj(doc, result);
    if (element != nullptr) {
      add_metric_object(doc, element, nullptr);
      yyjson_mut_obj_add_val(doc, element, "value", make_value_pair(doc, time_ms, value, value_text));
    }
    return finish_answer(db, doc);
  }

  for_each_selected(db, parsed, [&](const series_entry &entry) {
    int64_t used_ms = time_ms;
    double value = eval_sample(&entry, &parsed, time_ms, &used_ms);
    yyjson_mut_val *element = yyjson_mut_arr_add_obj(doc, result);
    if (element == nullptr) return;
    add_metric_object(doc, element, &entry);
    yyjson_mut_obj_add_val(doc, element, "value", make_value_pair(doc, used_ms, value, value_text));
  });
  return finish_answer(db, doc);
}

}  // namespace orvik

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
