// The answer document steps every question shares: error answers, the query
// skeleton, metric objects, value pairs and the hand-over of the written
// text. An allocation that fails inside yyjson leaves out the piece it was
// for (and the member or element that needed it); the rest is still written.
#include <cstdlib>

#include "answer/answer.h"

namespace orvik {

const char MISSING_QUERY_ANSWER[] =
    "{\"status\":\"error\",\"errorType\":\"bad_data\",\"error\":\"missing query parameter\"}";
const char PARSE_ERROR_ANSWER[] =
    "{\"status\":\"error\",\"errorType\":\"bad_data\",\"error\":\"parse error: invalid PromQL\"}";

const char *reject_query(orvik_db *db, const char *query, promql_query *parsed) {
  if (db == nullptr || query == nullptr || query[0] == '\0') {
    return set_result_json(db, MISSING_QUERY_ANSWER);
  }
  if (parse_promql(query, parsed) != 0) return set_result_json(db, PARSE_ERROR_ANSWER);
  return nullptr;
}

yyjson_mut_doc *new_success_document(yyjson_mut_val **root) {
  *root = nullptr;
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  if (doc == nullptr) return nullptr;
  *root = yyjson_mut_obj(doc);
  if (*root == nullptr) return doc;
  yyjson_mut_doc_set_root(doc, *root);
  yyjson_mut_obj_add_str(doc, *root, "status", "success");
  return doc;
}

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
      // Duplicate names are kept: a label called __name__ follows the
      // series name as a second member.
      yyjson_mut_obj_add(metric, yyjson_mut_strncpy(doc, yyjson_get_str(key), yyjson_get_len(key)),
                         yyjson_mut_strncpy(doc, yyjson_get_str(val), yyjson_get_len(val)));
    }
  }
  yyjson_doc_free(labels);
}

yyjson_mut_val *make_value_pair(yyjson_mut_doc *doc, int64_t timestamp_ms, double value,
                                char *buf) {
  yyjson_mut_val *pair = yyjson_mut_arr(doc);
  if (pair == nullptr) return nullptr;
  yyjson_mut_arr_append(pair, yyjson_mut_real(doc, static_cast<double>(timestamp_ms) / 1000.0));
  size_t len = format_double_val(value, buf);
  yyjson_mut_arr_append(pair, yyjson_mut_strncpy(doc, buf, len));
  return pair;
}

const char *finish_answer(orvik_db *db, yyjson_mut_doc *doc) {
  size_t len = 0;
  char *text = yyjson_mut_write_opts(doc, YYJSON_WRITE_PRETTY, nullptr, &len, nullptr);
  const char *answer = set_result_json(db, text);
  // yyjson's default allocator made the text.
  std::free(text);
  yyjson_mut_doc_free(doc);
  return answer;
}

}  // namespace orvik
