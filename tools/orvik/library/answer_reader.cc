#include "library/answer_reader.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <memory>

#include <yyjson.h>

namespace orvik_host {
namespace {

struct doc_deleter {
  void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
using doc_ptr = std::unique_ptr<yyjson_doc, doc_deleter>;

doc_ptr parse(std::string_view text) {
  return doc_ptr(yyjson_read(text.data(), text.size(), 0));
}

std::string str_of(yyjson_val *val) {
  const char *s = yyjson_get_str(val);
  return s ? std::string(s, yyjson_get_len(val)) : std::string();
}

// A value pair: [seconds, "value text"].
bool read_pair(yyjson_val *pair, point &out) {
  if (!yyjson_is_arr(pair) || yyjson_arr_size(pair) != 2) return false;
  yyjson_val *time = yyjson_arr_get(pair, 0);
  yyjson_val *value = yyjson_arr_get(pair, 1);
  if (!yyjson_is_num(time) || !yyjson_is_str(value)) return false;
  out.time_ms = std::llround(yyjson_get_num(time) * 1000.0);
  out.text.assign(yyjson_get_str(value), yyjson_get_len(value));
  // from_chars reads "NaN" and "-Inf" as the answers write them, "+Inf"
  // without its sign; several times faster than strtod.
  const char *first = out.text.data(), *last = first + out.text.size();
  if (first != last && *first == '+') ++first;
  if (std::from_chars(first, last, out.value).ec != std::errc()) out.value = std::strtod(out.text.c_str(), nullptr);
  return true;
}

}  // namespace

answer_status read_status(std::string_view answer) {
  answer_status status;
  // The library writes every success answer with this beginning, so the
  // status of a large answer is known without reading all of it.
  constexpr std::string_view success_prefix = "{\n    \"status\": \"success\",";
  if (answer.substr(0, success_prefix.size()) == success_prefix) {
    status.success = true;
    return status;
  }
  doc_ptr doc = parse(answer);
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  const std::string state = str_of(yyjson_obj_get(root, "status"));
  if (state == "success") {
    status.success = true;
  } else if (state == "error") {
    status.error_type = str_of(yyjson_obj_get(root, "errorType"));
    status.error = str_of(yyjson_obj_get(root, "error"));
  } else {
    status.error_type = "internal";
    status.error = "the store gave no usable answer";
  }
  return status;
}

std::vector<series> read_series(std::string_view answer) {
  std::vector<series> result;
  doc_ptr doc = parse(answer);
  yyjson_val *data = yyjson_obj_get(doc ? yyjson_doc_get_root(doc.get()) : nullptr, "data");
  yyjson_val *elements = yyjson_obj_get(data, "result");
  size_t idx, max;
  yyjson_val *element;
  yyjson_arr_foreach(elements, idx, max, element) {
    series s;
    size_t member_idx, member_max;
    yyjson_val *key, *val;
    yyjson_val *metric = yyjson_obj_get(element, "metric");
    yyjson_obj_foreach(metric, member_idx, member_max, key, val) {
      s.metric.emplace_back(str_of(key), str_of(val));
    }
    point p;
    if (read_pair(yyjson_obj_get(element, "value"), p)) s.points.push_back(std::move(p));
    size_t pair_idx, pair_max;
    yyjson_val *pair;
    yyjson_val *values = yyjson_obj_get(element, "values");
    yyjson_arr_foreach(values, pair_idx, pair_max, pair) {
      if (read_pair(pair, p)) s.points.push_back(std::move(p));
    }
    result.push_back(std::move(s));
  }
  return result;
}

std::vector<std::string> read_string_list(std::string_view answer) {
  std::vector<std::string> list;
  doc_ptr doc = parse(answer);
  yyjson_val *data = yyjson_obj_get(doc ? yyjson_doc_get_root(doc.get()) : nullptr, "data");
  size_t idx, max;
  yyjson_val *item;
  yyjson_arr_foreach(data, idx, max, item) {
    if (yyjson_is_str(item)) list.push_back(str_of(item));
  }
  return list;
}

int64_t read_timestamp_member(std::string_view json) {
  doc_ptr doc = parse(json);
  yyjson_val *ts = yyjson_obj_get(doc ? yyjson_doc_get_root(doc.get()) : nullptr, "timestamp_ms");
  return yyjson_is_int(ts) ? yyjson_get_sint(ts) : 0;
}

std::string format_labels(const label_list &metric) {
  std::string text = "{";
  for (const auto &[name, value] : metric) {
    if (name == "__name__") continue;
    if (text.size() > 1) text += ',';
    text += name;
    text += "=\"";
    for (char c : value) {
      if (c == '"' || c == '\\') text += '\\';
      if (c == '\n') {
        text += "\\n";
        continue;
      }
      text += c;
    }
    text += '"';
  }
  return text + "}";
}

std::string metric_name(const label_list &metric) {
  for (const auto &[name, value] : metric)
    if (name == "__name__") return value;
  return std::string();
}

}  // namespace orvik_host
