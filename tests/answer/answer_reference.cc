#include "answer_reference.h"

namespace orvik {

yyjson_mut_doc *new_query_document(const char *result_type, yyjson_mut_val **result) {
  *result = nullptr;
  yyjson_mut_val *root;
  yyjson_mut_doc *doc = new_success_document(&root);
  if (root == nullptr) return doc;
  yyjson_mut_val *data = yyjson_mut_obj_add_obj(doc, root, "data");
  if (data == nullptr) return doc;
  yyjson_mut_obj_add_str(doc, data, "resultType", result_type);
  *result = yyjson_mut_obj_add_arr(doc, data, "result");
  return doc;
}

void add_metric_object(yyjson_mut_doc *doc, yyjson_mut_val *element, const series_entry *entry) {
  yyjson_mut_val *metric = yyjson_mut_obj(doc);
  if (!yyjson_mut_obj_add_val(doc, element, "metric", metric) || entry == nullptr) return;

  yyjson_mut_obj_add(metric, yyjson_mut_str(doc, "__name__"), yyjson_mut_strcpy(doc, entry->name));

  yyjson_doc *labels;
  yyjson_val *root = read_series_labels(*entry, &labels);
  if (root != nullptr) {
    yyjson_obj_iter iter = yyjson_obj_iter_with(root);
    yyjson_val *key;
    while ((key = yyjson_obj_iter_next(&iter)) != nullptr) {
      yyjson_val *val = yyjson_obj_iter_get_val(key);
      if (!yyjson_is_str(val)) continue;
      yyjson_mut_obj_add(metric, yyjson_mut_strncpy(doc, yyjson_get_str(key), yyjson_get_len(key)),
                         yyjson_mut_strncpy(doc, yyjson_get_str(val), yyjson_get_len(val)));
    }
  }
  yyjson_doc_free(labels);
}

yyjson_mut_val *make_value_pair(yyjson_mut_doc *doc, int64_t timestamp_ms, double value, char *buf) {
  yyjson_mut_val *pair = yyjson_mut_arr(doc);
  if (pair == nullptr) return nullptr;
  yyjson_mut_arr_append(pair, yyjson_mut_real(doc, static_cast<double>(timestamp_ms) / 1000.0));
  size_t len = format_double_val(value, buf);
  yyjson_mut_arr_append(pair, yyjson_mut_strncpy(doc, buf, len));
  return pair;
}

const char *query_by_document(orvik_db *db, const char *query, int64_t time_ms) {
  promql_query parsed;
  if (const char *rejected = reject_query(db, query, &parsed)) return rejected;
  if (time_ms <= 0) time_ms = now_whole_seconds_ms();

  yyjson_mut_val *result;
  yyjson_mut_doc *doc = new_query_document("vector", &result);
  if (result == nullptr) return finish_answer(db, doc);

  char value_text[VALUE_TEXT_SIZE];
  auto element = [&](const series_entry *entry, int64_t used_ms, double value) {
    yyjson_mut_val *e = yyjson_mut_arr_add_obj(doc, result);
    if (e == nullptr) return;
    add_metric_object(doc, e, entry);
    yyjson_mut_obj_add_val(doc, e, "value", make_value_pair(doc, used_ms, value, value_text));
  };
  if (parsed.aggregation != AGG_NONE) {
    element(nullptr, time_ms, aggregate_at(db, &parsed, time_ms));
  } else {
    for_each_selected(db, parsed, [&](const series_entry &entry) {
      int64_t used_ms = time_ms;
      double value = eval_sample(&entry, &parsed, time_ms, &used_ms);
      element(&entry, used_ms, value);
    });
  }
  return finish_answer(db, doc);
}

const char *query_range_by_document(orvik_db *db, const char *query, int64_t start_ms, int64_t end_ms,
                                    int64_t step_ms) {
  promql_query parsed;
  if (const char *rejected = reject_query(db, query, &parsed)) return rejected;
  const query_window w = resolve_window(start_ms, end_ms, step_ms);

  yyjson_mut_val *result;
  yyjson_mut_doc *doc = new_query_document("matrix", &result);
  if (result == nullptr) return finish_answer(db, doc);

  char value_text[VALUE_TEXT_SIZE];
  auto element = [&](const series_entry *entry, auto &&value_at) {
    yyjson_mut_val *e = yyjson_mut_arr_add_obj(doc, result);
    if (e == nullptr) return;
    add_metric_object(doc, e, entry);
    yyjson_mut_val *values = yyjson_mut_obj_add_arr(doc, e, "values");
    if (values == nullptr) return;
    int64_t t = w.start;
    do {
      yyjson_mut_arr_append(values, make_value_pair(doc, t, value_at(t), value_text));
    } while (next_step(w, &t));
  };
  if (parsed.aggregation != AGG_NONE) {
    element(nullptr, [&](int64_t t) { return aggregate_at(db, &parsed, t); });
  } else {
    for_each_selected(db, parsed, [&](const series_entry &entry) {
      element(&entry, [&](int64_t t) {
        int64_t used_ms = t;
        return eval_sample(&entry, &parsed, t, &used_ms);
      });
    });
  }
  return finish_answer(db, doc);
}

}  // namespace orvik
