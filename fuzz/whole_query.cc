// Builds a small store from the first bytes of the input and asks it one
// question with the rest: an instant query, a range query or a label
// listing. Every answer must be valid JSON and either a well-formed success
// document or one of the two fixed error answers.
//
// Input: byte 0 picks the question (low two bits) and the number of appends
// (next four bits); three bytes per append pick the series, the value and
// the time; the question takes one (instant) or three (range) bytes for its
// times; the rest is the query text or label name.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include <yyjson.h>

#include "check.h"
#include "answer/answer.h"

using namespace orvik;

namespace {

constexpr int64_t T0 = 1700000000000;
constexpr int64_t MAX = std::numeric_limits<int64_t>::max();
constexpr int64_t MIN = std::numeric_limits<int64_t>::min();
// Keeps one range query's work bounded whatever window the input asks for.
constexpr uint64_t MAX_STEPS = 300;

const char *const kNames[] = {"cpu", "mem", "windows_cpu_time_total", "x:y"};
const char *const kLabels[] = {
    nullptr,
    "{}",
    R"({"core":"0","mode":"idle"})",
    R"({"core":"1","mode":"user"})",
    R"({"say":"a \"quoted\" word","path":"C:\\dir\\"})",
    R"({"__name__":"shadow","job":"api"})",
    R"({"uni":"h\u00e9llo \u2603","ctl":"a\nb\tc"})",
    R"({"n":1,"b":true,"r":2.5})",
    R"({"a":"","b":"x","c":"y"})",
    "not json",
    R"({"long":"vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv"})",
    R"({"k1":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa","k2":"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb","k3":"cccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccc","k4":"dddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd"})",
    R"({"mode":"idle"})",
    R"({"core":"0"})",
    R"({"Mode":"Idle","mode ":"x"})",
    R"({"z":"1","y":"2","x":"3","w":"4","v":"5"})",
};
const double kSpecialValues[] = {std::numeric_limits<double>::quiet_NaN(),
                                 -std::numeric_limits<double>::quiet_NaN(),
                                 std::numeric_limits<double>::infinity(),
                                 -std::numeric_limits<double>::infinity(),
                                 -0.0,
                                 1e14,
                                 99.99999999999999,
                                 1e30,
                                 -1e30,
                                 std::numeric_limits<double>::denorm_min(),
                                 std::numeric_limits<double>::max(),
                                 0.1 + 0.2,
                                 1.0 / 3.0,
                                 123456789012345.0,
                                 1e-5,
                                 -7.25};
const int64_t kTimes[] = {0, -1, 1, T0, T0 + 30000, T0 + 100000, MAX, MAX - 1, MIN, 900000, 500,
                          T0 + 500, T0 - 900000, MAX - 15000, 15000, T0 + 3600000};
const int64_t kSteps[] = {0, -1, 1, 1000, 15000, 60000, 86400000, MAX, MIN, 7, 999, 30000, 4000,
                          MAX / 2, 250, 3600000};

static_assert(sizeof kLabels / sizeof kLabels[0] == 16, "four bits pick the label set");
static_assert(sizeof kSpecialValues / sizeof kSpecialValues[0] == 16, "bytes 240 to 255 pick these");
static_assert(sizeof kTimes / sizeof kTimes[0] == 16 && sizeof kSteps / sizeof kSteps[0] == 16,
              "bytes below 16 pick these");

int64_t pick_time(uint8_t b) { return b < 16 ? kTimes[b] : T0 + static_cast<int64_t>(b) * 3000; }
int64_t pick_step(uint8_t b) { return b < 16 ? kSteps[b] : static_cast<int64_t>(b) * 1000; }

bool is_pretty_success(const char *answer) {
  return std::strncmp(answer, "{\n    \"status\": \"success\",\n    \"data\": ", 38) == 0;
}

void check_pair(yyjson_val *p) {
  FUZZ_CHECK(yyjson_arr_size(p) == 2 && yyjson_is_real(yyjson_arr_get(p, 0)) && yyjson_is_str(yyjson_arr_get(p, 1)));
}

// A query answer: an error answer, or a success document whose elements
// have a metric and one pair (vector) or `steps` pairs (matrix; 0 when the
// count depends on the clock).
void check_query_answer(const char *answer, bool matrix, uint64_t steps) {
  FUZZ_CHECK(answer != nullptr);
  if (std::strcmp(answer, MISSING_QUERY_ANSWER) == 0 || std::strcmp(answer, PARSE_ERROR_ANSWER) == 0) return;
  FUZZ_CHECK(is_pretty_success(answer));
  yyjson_doc *doc = yyjson_read(answer, std::strlen(answer), 0);
  FUZZ_CHECK(doc != nullptr);
  yyjson_val *root = yyjson_doc_get_root(doc);
  FUZZ_CHECK(yyjson_obj_size(root) == 2);
  yyjson_val *data = yyjson_obj_get(root, "data");
  FUZZ_CHECK(yyjson_equals_str(yyjson_obj_get(data, "resultType"), matrix ? "matrix" : "vector"));
  yyjson_val *result = yyjson_obj_get(data, "result");
  FUZZ_CHECK(yyjson_is_arr(result));
  size_t i, n;
  yyjson_val *el;
  yyjson_arr_foreach(result, i, n, el) {
    yyjson_val *metric = yyjson_obj_get(el, "metric");
    FUZZ_CHECK(yyjson_is_obj(metric));
    size_t j, m;
    yyjson_val *k, *v;
    yyjson_obj_foreach(metric, j, m, k, v) FUZZ_CHECK(yyjson_is_str(v));
    if (!matrix) {
      check_pair(yyjson_obj_get(el, "value"));
      continue;
    }
    yyjson_val *pairs = yyjson_obj_get(el, "values");
    FUZZ_CHECK(yyjson_is_arr(pairs));
    FUZZ_CHECK(steps == 0 || yyjson_arr_size(pairs) == steps);
    size_t a, b;
    yyjson_val *p;
    yyjson_arr_foreach(pairs, a, b, p) check_pair(p);
  }
  yyjson_doc_free(doc);
}

void check_list_answer(const char *answer, const char *first, size_t limit) {
  FUZZ_CHECK(answer != nullptr && is_pretty_success(answer));
  yyjson_doc *doc = yyjson_read(answer, std::strlen(answer), 0);
  FUZZ_CHECK(doc != nullptr);
  yyjson_val *data = yyjson_obj_get(yyjson_doc_get_root(doc), "data");
  FUZZ_CHECK(yyjson_is_arr(data) && yyjson_arr_size(data) <= limit);
  if (first != nullptr) FUZZ_CHECK(yyjson_equals_str(yyjson_arr_get_first(data), first));
  size_t i, n;
  yyjson_val *s;
  yyjson_arr_foreach(data, i, n, s) FUZZ_CHECK(yyjson_is_str(s));
  yyjson_doc_free(doc);
}

// The step a range query may take so that it runs at most MAX_STEPS steps;
// the window is resolved the way the query resolves it.
int64_t bounded_step(int64_t start, int64_t end, int64_t step) {
  if (end <= 0) end = now_whole_seconds_ms();
  start = start <= 0 ? end - 900000 : (start < end ? start : end);
  uint64_t span = static_cast<uint64_t>(end) - static_cast<uint64_t>(start);
  uint64_t effective = step > 0 ? static_cast<uint64_t>(step) : 15000;
  if (span / effective < MAX_STEPS) return step;
  return static_cast<int64_t>(span / (MAX_STEPS - 1) + 1);
}

uint64_t step_count(int64_t start, int64_t end, int64_t step) {
  if (end <= 0) return 0;
  start = start <= 0 ? end - 900000 : (start < end ? start : end);
  uint64_t span = static_cast<uint64_t>(end) - static_cast<uint64_t>(start);
  return span / static_cast<uint64_t>(step > 0 ? step : 15000) + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const int question = data[0] & 3;
  const size_t appends = (data[0] >> 2) & 15;
  size_t pos = 1;

  orvik_db *db = orvik_create(8, 4);
  if (db == nullptr) return 0;
  for (size_t a = 0; a < appends && pos + 3 <= size; ++a, pos += 3) {
    uint8_t s = data[pos], v = data[pos + 1], t = data[pos + 2];
    double value = v >= 240 ? kSpecialValues[v - 240] : v / 4.0 - 10.0;
    orvik_append(db, kNames[s & 3], kLabels[s >> 4], value, T0 + static_cast<int64_t>(t) * 7000 + 1);
  }

  uint8_t times[3] = {0, 0, 0};
  const size_t time_bytes = question == 0 ? 1 : question == 1 ? 3 : 0;
  for (size_t i = 0; i < time_bytes && pos < size; ++i) times[i] = data[pos++];
  std::string text(reinterpret_cast<const char *>(data) + pos, size - pos);
  text = text.c_str();  // up to the first NUL, as a C caller would pass it

  switch (question) {
    case 0:
      check_query_answer(orvik_query(db, text.c_str(), pick_time(times[0])), false, 0);
      break;
    case 1: {
      int64_t start = pick_time(times[0]), end = pick_time(times[1]);
      int64_t step = bounded_step(start, end, pick_step(times[2]));
      check_query_answer(orvik_query_range(db, text.c_str(), start, end, step), true, step_count(start, end, step));
      break;
    }
    case 2:
      check_list_answer(orvik_get_label_names(db), "__name__", 256);
      check_list_answer(orvik_get_label_values(db, "__name__"), nullptr, 512);
      break;
    default:
      check_list_answer(orvik_get_label_values(db, text.c_str()), nullptr, 512);
      break;
  }
  // Without a handle every question still answers.
  FUZZ_CHECK(std::strcmp(orvik_query(nullptr, text.c_str(), 0), MISSING_QUERY_ANSWER) == 0);
  orvik_free(db);
  return 0;
}
