// The whole C interface driven by a sequence of calls read from the input:
// create (small sizes), append, ingest, clear, every question, free, and
// calls without a handle. After every call it checks what a host relies on:
//  - the series count never exceeds the table size;
//  - the sample count equals the appends that returned 0 since the last
//    clear (or create), plus what each ingest call said it stored;
//  - a failed append changes no count and leaves a known message;
//  - every answer is valid JSON: a success document or one of the two
//    error answers, and questions never touch the last-error text;
//  - asked again on an unchanged store, a question with a fixed time gives
//    the same answer;
//  - spellings of one label set appended in turn, out of time order, name
//    one series, and a ring marked as in time order is in time order.
//
// Input: calls one after another, each an operation byte followed by its
// arguments. A text argument is one length byte: with the high bit set it
// picks an entry of a fixed list (names, label texts, queries, snapshots);
// otherwise that many raw bytes follow (cut at a NUL, as a C caller's text
// would be). A time byte below 16 picks a special time; others are
// T0 + b * 3 s. An operation byte from 0xF0 up appends one label set in
// each of its spellings.
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
constexpr int MAX_CALLS = 96;
// Keeps one range question's work small whatever window the input asks.
constexpr uint64_t MAX_STEPS = 40;

const char *const kNames[] = {"cpu", "mem", "windows_cpu_time_total", "x:y", "up", "a\xc3\xa9", "\xff\xfe",
                              "n\"q"};
const char *const kLabels[] = {
    "",
    "{}",
    R"({"core":"0","mode":"idle"})",
    R"({"mode":"user","core":"1"})",
    R"({"say":"a \"quoted\" word","path":"C:\\dir\\"})",
    R"({"__name__":"shadow","job":"api"})",
    R"({"uni":"h\u00e9llo \u2603","ctl":"a\nb\tc"})",
    R"({"n":1,"b":true,"r":2.5,"z":null,"a":[1]})",
    "not json",
    R"({"core":"0"})",
    R"({"k1":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa","k2":"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb","k3":"cccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccc","k4":"dddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd"})",
    R"({"":"x","mode":"idle"})",
};
// Each row one label set in several spellings, all naming the same series.
const char *const kSpellings[][3] = {
    {R"({"core":"0","mode":"idle"})", R"({"mode":"idle","core":"0"})", R"( { "mode" : "idle" , "core" : "0" } )"},
    {"", "{}", "{ }"},
    {R"({"a":"é"})", "{\"a\":\"\xc3\xa9\"}", R"({"a":"é"})"},
    {R"({"q":""","b":"\"})", R"({"b":"\","q":"""})", R"({"b":"\","q":"""})"},
};

const char *const kQueries[] = {
    "cpu",
    "sum(cpu)",
    "rate(cpu[1m])",
    "{core=\"0\"}",
    "count(cpu{mode!=\"idle\"})",
    "max(irate(windows_cpu_time_total[5m]))",
    "avg(mem)",
    "min({__name__=\"up\"})",
    "{}",
    "",
    "sum(rate(windows_cpu_time_total{mode=\"idle\",core!=\"1\"}[30s]))",
    "windows_memory_load_percent",
};
const char *const kLabelNames[] = {"core", "mode", "__name__", "", "say", "volume", "nic", "job"};
const char *const kSnapshots[] = {
    R"([{"name":"up","value":1}])",
    R"({"cpu":{}})",
    R"({"memory":{},"system":{}})",
    R"({"metrics":[{"metric":"x","value":2.5,"labels":{"b":"2","a":"1"},"timestamp_ms":1700000000000}]})",
    R"({"cpu":{"total_usage_percent":11.7,"cores":[{"core":0,"usage_percent":26.3,"frequency_mhz":2829,)"
    R"("user_seconds":19105.4,"system_seconds":9149.0,"idle_seconds":238952.4,"interrupt_seconds":1130.1,)"
    R"("dpc_seconds":753.4},{"core":1,"usage_percent":6.2}]},"disks":[{"volume":"C:\\","size_bytes":100,)"
    R"("free_bytes":50}],"network":[{"name":"eth \"0\"","bytes_recv_sec":1,"is_up":true}]})",
    R"("string root")",
    "42",
    "{",
    "",
    R"([{"name":"cpu","labels":{"core":"0","mode":"idle"},"value":3},{"name":"","value":1},{"metric":7}])",
};

const char *const kAppendMessages[] = {
    "orvik_append: invalid parameters",
    "orvik_append: name is not valid UTF-8",
    "series table full",
    "out of memory allocating series key",
    "out of memory allocating series samples ring buffer",
    "out of memory parsing series labels",
};

const int64_t kTimes[] = {0, -1, 1, T0, T0 + 30000, T0 + 100000, MAX, MAX - 1, MIN, 900000, 500,
                          T0 + 500, T0 - 900000, MAX - 15000, 15000, T0 + 3600000};
const int64_t kSteps[] = {0, -1, 1, 1000, 15000, 60000, 86400000, MAX, MIN, 7, 999, 30000, 4000,
                          MAX / 2, 250, 3600000};
const double kValues[] = {std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(),
                          -0.0,
                          1e14,
                          1e30,
                          -1e30,
                          std::numeric_limits<double>::denorm_min(),
                          std::numeric_limits<double>::max(),
                          0.1};

template <typename T, size_t N>
constexpr size_t count_of(const T (&)[N]) {
  return N;
}

class reader {
 public:
  reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  template <size_t N>
  std::string text(const char *const (&list)[N]) {
    uint8_t len = byte();
    if (len & 0x80) return list[(len & 0x7F) % N];
    size_t n = len < size_ - pos_ ? len : size_ - pos_;
    std::string raw(reinterpret_cast<const char *>(data_) + pos_, n);
    pos_ += n;
    return raw.c_str();  // up to the first NUL
  }

  int64_t time() {
    uint8_t b = byte();
    return b < 16 ? kTimes[b] : T0 + static_cast<int64_t>(b) * 3000;
  }
  int64_t step() {
    uint8_t b = byte();
    return b < 16 ? kSteps[b] : static_cast<int64_t>(b) * 1000;
  }
  double value() {
    uint8_t b = byte();
    return b < count_of(kValues) ? kValues[b] : b / 4.0 - 20.0;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

bool is_error_answer(const char *answer) {
  return std::strcmp(answer, MISSING_QUERY_ANSWER) == 0 || std::strcmp(answer, PARSE_ERROR_ANSWER) == 0;
}

// A success document: pretty-printed, "status" then "data"; for a query,
// "data" holds the result type and an array of elements.
void check_answer(const char *answer, const char *result_type) {
  FUZZ_CHECK(answer != nullptr);
  if (result_type != nullptr && is_error_answer(answer)) return;
  FUZZ_CHECK(std::strncmp(answer, "{\n    \"status\": \"success\",\n    \"data\": ", 38) == 0);
  yyjson_doc *doc = yyjson_read(answer, std::strlen(answer), 0);
  FUZZ_CHECK(doc != nullptr);
  yyjson_val *root = yyjson_doc_get_root(doc);
  FUZZ_CHECK(yyjson_obj_size(root) == 2);
  yyjson_val *data = yyjson_obj_get(root, "data");
  if (result_type == nullptr) {
    FUZZ_CHECK(yyjson_is_arr(data));
    size_t i, n;
    yyjson_val *s;
    yyjson_arr_foreach(data, i, n, s) FUZZ_CHECK(yyjson_is_str(s));
  } else {
    FUZZ_CHECK(yyjson_equals_str(yyjson_obj_get(data, "resultType"), result_type));
    FUZZ_CHECK(yyjson_is_arr(yyjson_obj_get(data, "result")));
  }
  yyjson_doc_free(doc);
}

// A step that keeps the range question within MAX_STEPS steps, found the
// way the question resolves its window.
int64_t bounded_step(int64_t start, int64_t end, int64_t step) {
  if (end <= 0) end = now_whole_seconds_ms();
  start = start <= 0 ? (end < MIN + 900000 ? MIN : end - 900000) : (start < end ? start : end);
  uint64_t span = static_cast<uint64_t>(end) - static_cast<uint64_t>(start);
  uint64_t effective = step > 0 ? static_cast<uint64_t>(step) : 15000;
  if (span / effective < MAX_STEPS) return step;
  uint64_t wide = span / (MAX_STEPS - 1) + 1;
  return wide > static_cast<uint64_t>(MAX) ? MAX : static_cast<int64_t>(wide);
}

// One question as the input asked it, so that it can be asked again.
struct question {
  char kind;  // 'q' instant, 'r' range, 'n' label names, 'v' label values
  std::string text;
  int64_t t[3];

  bool operator==(const question &o) const {
    return kind == o.kind && text == o.text && t[0] == o.t[0] && t[1] == o.t[1] && t[2] == o.t[2];
  }
};

// Answers to questions with fixed times since the store last changed; the
// same question must get the same answer while it stays unchanged.
class answer_memory {
 public:
  void forget() { count_ = 0; }
  void compare_or_keep(const question &q, const char *answer) {
    for (size_t i = 0; i < count_; ++i) {
      if (questions_[i] == q) {
        FUZZ_CHECK(answers_[i] == answer);
        return;
      }
    }
    if (count_ == SLOTS) return;
    questions_[count_] = q;
    answers_[count_] = answer;
    ++count_;
  }
  // A question asked earlier, to be asked again; false when there is none.
  bool earlier(uint8_t pick, question *q) const {
    if (count_ == 0) return false;
    *q = questions_[pick % count_];
    return true;
  }

 private:
  static constexpr size_t SLOTS = 8;
  question questions_[SLOTS];
  std::string answers_[SLOTS];
  size_t count_ = 0;
};

// A ring kept as in time order must be: evaluation searches it.
void check_ring_order(const orvik_db *db) {
  if (db == nullptr) return;
  for (uint32_t i = 0; i < db->series_count; ++i) {
    const series_entry &e = db->series[i];
    if (e.ordered == 0) continue;
    for (uint32_t k = 1; k < e.count; ++k) FUZZ_CHECK(nth_newest(e, k).timestamp_ms <= nth_newest(e, k - 1).timestamp_ms);
  }
}

struct session {
  orvik_db *db = nullptr;
  uint32_t max_series = 0;
  uint64_t expected_samples = 0;
  answer_memory memory;

  void check_counts() const {
    FUZZ_CHECK(orvik_series_count(db) <= max_series);
    FUZZ_CHECK(orvik_total_samples(db) == expected_samples);
  }

  // The answer must be valid, the last-error text untouched, and, with
  // fixed times, the answer equal to any earlier answer to the question.
  void ask(const question &q) {
    const std::string error_before = orvik_last_error();
    const char *answer;
    const char *result_type = nullptr;
    bool fixed_time = true;
    switch (q.kind) {
      case 'q':
        answer = orvik_query(db, q.text.c_str(), q.t[0]);
        result_type = "vector";
        fixed_time = q.t[0] > 0;
        break;
      case 'r':
        answer = orvik_query_range(db, q.text.c_str(), q.t[0], q.t[1], q.t[2]);
        result_type = "matrix";
        fixed_time = q.t[1] > 0;
        break;
      case 'n':
        answer = orvik_get_label_names(db);
        break;
      default:
        answer = orvik_get_label_values(db, q.text.c_str());
        break;
    }
    check_answer(answer, result_type);
    if (fixed_time && db != nullptr) memory.compare_or_keep(q, answer);
    FUZZ_CHECK(error_before == orvik_last_error());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  reader in(data, size);
  session s;
  for (int call = 0; call < MAX_CALLS && !in.done(); ++call) {
    const uint8_t op_byte = in.byte();
    if (op_byte >= 0xF0) {  // one label set in every spelling, times going back and forth
      const std::string name = in.text(kNames);
      const char *const *row = kSpellings[in.byte() % count_of(kSpellings)];
      const int64_t t = in.time();
      // Earlier, then later, without leaving the 64-bit range.
      const int64_t times[] = {t, t > MIN + 3000 ? t - 3000 : MIN, t < MAX - 1000 ? t + 1000 : MAX};
      const uint32_t series_before = orvik_series_count(s.db);
      int32_t first = 0;
      for (int k = 0; k < 3; ++k) {
        const int32_t r = orvik_append(s.db, name.c_str(), row[k], in.value(), times[k]);
        if (k == 0) first = r;
        // Without a failure of memory, the spellings share one fate.
        if (r == 0) ++s.expected_samples;
        if (r == 0 && first == 0) s.memory.forget();
        FUZZ_CHECK(r == first || std::strstr(orvik_last_error(), "out of memory") != nullptr);
      }
      FUZZ_CHECK(orvik_series_count(s.db) - series_before <= 1);
      s.memory.forget();
      check_ring_order(s.db);
      s.check_counts();
      continue;
    }
    const uint8_t op = op_byte % 12;
    switch (op) {
      case 0: {  // create, replacing the current store
        orvik_free(s.db);
        s.max_series = 1 + in.byte() % 8;
        s.db = orvik_create(s.max_series, 1 + in.byte() % 8);
        FUZZ_CHECK(s.db != nullptr);
        s.expected_samples = 0;
        s.memory.forget();
        break;
      }
      case 1:
      case 2: {  // append
        const std::string name = in.text(kNames);
        const std::string labels = in.text(kLabels);
        const double value = in.value();
        const int64_t t = in.time();
        const uint32_t series_before = orvik_series_count(s.db);
        const char *label_text = labels.empty() ? nullptr : labels.c_str();
        const int32_t r = orvik_append(s.db, name.c_str(), label_text, value, t);
        if (r == 0) {
          FUZZ_CHECK(s.db != nullptr);
          ++s.expected_samples;
          FUZZ_CHECK(orvik_series_count(s.db) - series_before <= 1);
          s.memory.forget();
        } else {
          FUZZ_CHECK(r == -1);
          FUZZ_CHECK(orvik_series_count(s.db) == series_before);
          bool known = false;
          for (const char *m : kAppendMessages) known = known || std::strcmp(orvik_last_error(), m) == 0;
          FUZZ_CHECK(known);
        }
        break;
      }
      case 3: {  // ingest
        const std::string json = in.text(kSnapshots);
        const int32_t r = orvik_ingest_snapshot_json(s.db, json.c_str(), in.time());
        FUZZ_CHECK(r >= -1);
        if (r > 0) s.memory.forget();
        if (r >= 0) s.expected_samples += static_cast<uint64_t>(r);
        break;
      }
      case 4:  // clear
        orvik_clear(s.db);
        s.expected_samples = 0;
        s.memory.forget();
        FUZZ_CHECK(orvik_series_count(s.db) == 0);
        break;
      case 5: {  // instant query
        question q{'q', in.text(kQueries), {0, 0, 0}};
        q.t[0] = in.time();
        s.ask(q);
        break;
      }
      case 6: {  // range query
        question q{'r', in.text(kQueries), {0, 0, 0}};
        q.t[0] = in.time();
        q.t[1] = in.time();
        q.t[2] = bounded_step(q.t[0], q.t[1], in.step());
        s.ask(q);
        break;
      }
      case 7:
        s.ask(question{'n', "", {0, 0, 0}});
        break;
      case 8:
        s.ask(question{'v', in.text(kLabelNames), {0, 0, 0}});
        break;
      case 9: {  // an earlier question again
        question q;
        if (s.memory.earlier(in.byte(), &q)) s.ask(q);
        break;
      }
      case 10:  // free
        orvik_free(s.db);
        s.db = nullptr;
        s.max_series = 0;
        s.expected_samples = 0;
        s.memory.forget();
        break;
      default: {  // without a handle
        const std::string text = in.text(kQueries);
        FUZZ_CHECK(std::strcmp(orvik_query(nullptr, text.c_str(), T0), MISSING_QUERY_ANSWER) == 0);
        FUZZ_CHECK(std::strcmp(orvik_query_range(nullptr, text.c_str(), T0, T0, 0), MISSING_QUERY_ANSWER) == 0);
        check_answer(orvik_get_label_names(nullptr), nullptr);
        check_answer(orvik_get_label_values(nullptr, text.c_str()), nullptr);
        FUZZ_CHECK(orvik_append(nullptr, "cpu", nullptr, 1, T0) == -1);
        FUZZ_CHECK(orvik_ingest_snapshot_json(nullptr, "{}", T0) == -1);
        orvik_clear(nullptr);
        FUZZ_CHECK(orvik_series_count(nullptr) == 0 && orvik_total_samples(nullptr) == 0);
        break;
      }
    }
    check_ring_order(s.db);
    s.check_counts();
  }
  orvik_free(s.db);
  return 0;
}
