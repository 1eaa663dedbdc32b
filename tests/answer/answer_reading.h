// Reading answers back in tests: parse the JSON and pull out the parts a
// test looks at.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <yyjson.h>

struct pair_reading {
  double seconds;
  std::string value;
};

struct element_reading {
  std::vector<std::pair<std::string, std::string>> metric;  // in document order
  std::vector<pair_reading> pairs;  // one for a vector element
};

// Parses a query answer ("vector" or "matrix"); fails the test when the
// text is not a success document of that shape.
inline std::vector<element_reading> read_result(const char *answer) {
  std::vector<element_reading> out;
  yyjson_doc *doc = yyjson_read(answer, std::strlen(answer), 0);
  EXPECT_NE(doc, nullptr) << answer;
  yyjson_val *root = yyjson_doc_get_root(doc);
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(root, "status")), "success") << answer;
  yyjson_val *data = yyjson_obj_get(root, "data");
  const char *type = yyjson_get_str(yyjson_obj_get(data, "resultType"));
  bool matrix = type != nullptr && std::strcmp(type, "matrix") == 0;
  yyjson_val *result = yyjson_obj_get(data, "result");
  EXPECT_TRUE(yyjson_is_arr(result)) << answer;
  size_t i, n;
  yyjson_val *el;
  yyjson_arr_foreach(result, i, n, el) {
    element_reading e;
    yyjson_val *metric = yyjson_obj_get(el, "metric");
    size_t j, m;
    yyjson_val *k, *v;
    yyjson_obj_foreach(metric, j, m, k, v) {
      e.metric.emplace_back(yyjson_get_str(k), yyjson_get_str(v));
    }
    auto read_pair = [&](yyjson_val *p) {
      e.pairs.push_back({yyjson_get_real(yyjson_arr_get(p, 0)), yyjson_get_str(yyjson_arr_get(p, 1))});
    };
    if (matrix) {
      size_t a, b;
      yyjson_val *p;
      yyjson_arr_foreach(yyjson_obj_get(el, "values"), a, b, p) read_pair(p);
    } else {
      read_pair(yyjson_obj_get(el, "value"));
    }
    out.push_back(std::move(e));
  }
  yyjson_doc_free(doc);
  return out;
}

// The strings of a label answer's "data" array.
inline std::vector<std::string> read_list(const char *answer) {
  std::vector<std::string> out;
  yyjson_doc *doc = yyjson_read(answer, std::strlen(answer), 0);
  EXPECT_NE(doc, nullptr) << answer;
  yyjson_val *root = yyjson_doc_get_root(doc);
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(root, "status")), "success") << answer;
  yyjson_val *data = yyjson_obj_get(root, "data");
  EXPECT_TRUE(yyjson_is_arr(data)) << answer;
  size_t i, n;
  yyjson_val *s;
  yyjson_arr_foreach(data, i, n, s) out.emplace_back(yyjson_get_str(s));
  yyjson_doc_free(doc);
  return out;
}

constexpr char kMissingQuery[] =
    R"({"status":"error","errorType":"bad_data","error":"missing query parameter"})";
constexpr char kParseError[] =
    R"({"status":"error","errorType":"bad_data","error":"parse error: invalid PromQL"})";
