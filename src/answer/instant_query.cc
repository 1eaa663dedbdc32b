// orvik_query: one query at one instant, answered as a vector.
#include "answer/answer.h"

using namespace orvik;

extern "C" const char *orvik_query(orvik_db *db, const char *query, int64_t time_ms) {
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
