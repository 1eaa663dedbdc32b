// The answer document steps the questions share: error answers, the
// success envelope and the hand-over of the written text. An allocation that
// fails inside yyjson leaves out the piece it was for (and the member or
// element that needed it); the rest is still written.
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
