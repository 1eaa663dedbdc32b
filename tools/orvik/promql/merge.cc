#include "promql/merge.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <yyjson.h>

namespace orvik_host::promql {
namespace {

yyjson_mut_val *pair(yyjson_mut_doc *doc, int64_t time_ms, std::string_view text) {
  yyjson_mut_val *p = yyjson_mut_arr(doc);
  // Seconds as the store writes them: the shortest text, ".0" for whole ones.
  yyjson_mut_arr_append(p, yyjson_mut_real(doc, static_cast<double>(time_ms) / 1000.0));
  yyjson_mut_arr_append(p, yyjson_mut_strncpy(doc, text.data(), text.size()));
  return p;
}

// Written as the store writes its answers, so that an answer reads alike
// whether the store or the host made it.
std::string write(yyjson_mut_doc *doc) {
  size_t len = 0;
  char *text = doc ? yyjson_mut_write(doc, YYJSON_WRITE_PRETTY, &len) : nullptr;
  if (!text) return "{}";
  std::string out(text, len);
  std::free(text);
  return out;
}

// {"status":"success","data":{"resultType":type,"result":<result>}}
void envelope(yyjson_mut_doc *doc, const char *type, yyjson_mut_val *result) {
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_str(doc, root, "status", "success");
  yyjson_mut_val *data = yyjson_mut_obj_add_obj(doc, root, "data");
  yyjson_mut_obj_add_str(doc, data, "resultType", type);
  yyjson_mut_obj_add_val(doc, data, "result", result);
}

}  // namespace

std::string value_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char buf[32];
  const int n = std::snprintf(buf, sizeof buf, "%.14g", value);
  return std::string(buf, static_cast<size_t>(n));
}

bool library_success(std::string_view answer) {
  // The store writes "status" first, in a compact or a pretty document.
  const size_t at = answer.find("\"status\"");
  if (at == std::string_view::npos || at > 16) return false;
  const size_t value = answer.find('"', at + 8);
  return value != std::string_view::npos && answer.substr(value, 9) == "\"success\"";
}

result_writer::result_writer(const char *result_type)
    : doc_(yyjson_mut_doc_new(nullptr)), vector_(std::string_view(result_type) == "vector") {
  if (!doc_) return;
  result_ = yyjson_mut_arr(doc_);
  envelope(doc_, result_type, result_);
}

result_writer::~result_writer() { yyjson_mut_doc_free(doc_); }

void result_writer::add(const label_list &labels, const std::vector<point> &points) {
  if (!result_) return;
  yyjson_mut_val *element = yyjson_mut_arr_add_obj(doc_, result_);
  yyjson_mut_val *metric = yyjson_mut_obj_add_obj(doc_, element, "metric");
  for (const auto &[name, value] : labels) {
    yyjson_mut_obj_add(metric, yyjson_mut_strncpy(doc_, name.data(), name.size()),
                       yyjson_mut_strncpy(doc_, value.data(), value.size()));
  }
  if (vector_) {
    if (!points.empty()) yyjson_mut_obj_add_val(doc_, element, "value", pair(doc_, points[0].time_ms, points[0].text));
    return;
  }
  yyjson_mut_val *values = yyjson_mut_obj_add_arr(doc_, element, "values");
  for (const point &p : points) yyjson_mut_arr_append(values, pair(doc_, p.time_ms, p.text));
}

std::string result_writer::finish() { return result_ ? write(doc_) : "{}"; }

std::string scalar_document(int64_t time_ms, double value) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  if (!doc) return "{}";
  envelope(doc, "scalar", pair(doc, time_ms, value_text(value)));
  std::string out = write(doc);
  yyjson_mut_doc_free(doc);
  return out;
}

}  // namespace orvik_host::promql
