// Every allocation a host's call makes, made to fail in turn. The heap
// interposer replaces the process's allocator, so the store's own
// allocations and yyjson's (label texts, snapshots, answer documents, the
// written answer) all count. For each scenario one run counts the
// allocations of the calls under test; then the scenario runs once per
// allocation with exactly that one failing. Every run must end with a
// documented result, leave no block behind, and leave a store that answers
// exactly as a store that never saw the failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <yyjson.h>

#include "answer/answer.h"
#include "heap_interposer.h"
#include "store/store.h"

using namespace orvik;

namespace {

constexpr int64_t T0 = 1700000000000;
const char KEY_MESSAGE[] = "out of memory allocating series key";
const char RING_MESSAGE[] = "out of memory allocating series samples ring buffer";
const char LABELS_MESSAGE[] = "out of memory parsing series labels";
// Set before a question; questions never write the last-error text.
const char UNTOUCHED[] = "(untouched)";

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string example_snapshot() {
  static const std::string text = read_file(ORVIK_SOURCE_DIR "/examples/snapshot.json");
  return text;
}

// The first lines of the example series of snapshots, one JSON text each.
const std::vector<std::string> &example_snapshots() {
  static const std::vector<std::string> lines = [] {
    std::vector<std::string> out;
    std::istringstream in(read_file(ORVIK_SOURCE_DIR "/examples/snapshots.jsonl"));
    std::string line;
    while (out.size() < 3 && std::getline(in, line)) out.push_back(line);
    return out;
  }();
  return lines;
}

// One run of a scenario: `measure` runs the calls under test with
// allocation number fail_index (from 0) failing, or none for -1.
class fault_run {
 public:
  fault_run(const char *scenario, int64_t fail_index) : scenario_(scenario), fail_index_(fail_index) {}

  // The calls must not allocate themselves (no strings, no containers):
  // only the library's allocations may be counted and failed.
  template <typename Calls>
  void measure(Calls &&calls) {
    const uint64_t before = heap_test::allocations();
    if (fail_index_ >= 0) heap_test::fail_after(static_cast<uint64_t>(fail_index_));
    calls();
    heap_test::stop_failing();
    allocations_ = heap_test::allocations() - before;
    failed_ = fail_index_ >= 0 && heap_test::failure_injected();
  }

  bool failed() const { return failed_; }
  uint64_t allocations() const { return allocations_; }

  friend std::ostream &operator<<(std::ostream &os, const fault_run &r) {
    os << r.scenario_;
    if (r.fail_index_ >= 0) os << ", allocation " << r.fail_index_ + 1 << " failing";
    return os;
  }

 private:
  const char *scenario_;
  int64_t fail_index_;
  uint64_t allocations_ = 0;
  bool failed_ = false;
};

// Failure points per scenario, printed when the program ends.
std::map<std::string, uint64_t> &failure_points() {
  static std::map<std::string, uint64_t> points;
  return points;
}

class print_failure_points : public ::testing::Environment {
 public:
  void TearDown() override {
    for (const auto &p : failure_points()) {
      std::printf("[ failure points ] %-34s %4" PRIu64 "\n", p.first.c_str(), p.second);
    }
  }
};
const auto *const s_printer = ::testing::AddGlobalTestEnvironment(new print_failure_points);

// Runs the scenario once to count its allocations, then once with each of
// them failing. No run may leave a block behind.
void exercise(const char *name, const std::function<void(fault_run &)> &scenario) {
  const int64_t live = heap_test::live_blocks();
  fault_run counting(name, -1);
  scenario(counting);
  ASSERT_EQ(heap_test::live_blocks(), live) << counting << ": blocks left behind";
  const uint64_t points = counting.allocations();
  for (uint64_t k = 0; k < points; ++k) {
    {
      fault_run run(name, static_cast<int64_t>(k));
      scenario(run);
      // The same calls must make the same allocations every time.
      EXPECT_TRUE(run.failed()) << run << ": the failure was never reached";
    }
    EXPECT_EQ(heap_test::live_blocks(), live)
        << name << ", allocation " << k + 1 << " failing: blocks left behind";
  }
  failure_points()[name] = points;
}

// ---- what a store holds and answers --------------------------------------

// Every series with its key and samples, newest first, plus the counters.
std::vector<std::string> series_lines(const orvik_db *db) {
  std::vector<std::string> lines;
  for (uint32_t i = 0; i < db->series_count; ++i) {
    const series_entry &e = db->series[i];
    std::string line = std::string(e.name) + " " + e.labels + " key=" + (e.key != nullptr ? e.key : "(null)");
    for (uint32_t s = 0; s < e.count; ++s) {
      char buf[64];
      std::snprintf(buf, sizeof buf, " %" PRId64 ":%a", nth_newest(e, s).timestamp_ms,
                    nth_newest(e, s).value);
      line += buf;
    }
    lines.push_back(line);
  }
  return lines;
}

std::string dump(const orvik_db *db) {
  std::string out =
      std::to_string(db->series_count) + " series, " + std::to_string(db->total_samples) + " samples\n";
  for (const std::string &line : series_lines(db)) out += line + "\n";
  return out;
}

// Every series must be found again through the index under its own key.
void expect_index_finds_every_series(orvik_db *db, const fault_run &run) {
  const uint32_t count = db->series_count;
  for (uint32_t i = 0; i < count; ++i) {
    EXPECT_EQ(find_or_create_series(db, db->series[i].name, db->series[i].labels), static_cast<int32_t>(i))
        << run;
  }
  EXPECT_EQ(db->series_count, count) << run;
}

// The questions a host would ask of a store filled by these scenarios.
std::string answers(orvik_db *db) {
  std::string out;
  out += orvik_query(db, "cpu", T0 + 60000);
  out += orvik_query(db, "windows_cpu_time_total{mode=\"idle\"}", T0 + 60000);
  out += orvik_query(db, "sum(rate(windows_cpu_time_total[5m]))", T0 + 60000);
  out += orvik_query_range(db, "{core!=\"1\"}", T0 - 30000, T0 + 60000, 15000);
  out += orvik_get_label_names(db);
  out += orvik_get_label_values(db, "__name__");
  out += orvik_get_label_values(db, "core");
  return out;
}

void expect_same_store(orvik_db *db, orvik_db *reference, const fault_run &run) {
  EXPECT_EQ(dump(db), dump(reference)) << run;
  EXPECT_EQ(answers(db), answers(reference)) << run;
  expect_index_finds_every_series(db, run);
}

// ---- answers cut down by a failure -------------------------------------

// Whether `part` is `whole` with some members and elements left out: what
// an answer may lose when a piece of it cannot be allocated. Scalars must
// be equal; array elements and object members keep their order.
bool pruned_from(yyjson_val *part, yyjson_val *whole) {
  if (yyjson_get_type(part) != yyjson_get_type(whole)) return false;
  if (yyjson_is_arr(part)) {
    yyjson_arr_iter it = yyjson_arr_iter_with(whole);
    size_t i, n;
    yyjson_val *el;
    yyjson_arr_foreach(part, i, n, el) {
      // The earliest element that fits is never a worse choice than a later
      // one, so a greedy walk finds an embedding when there is one.
      yyjson_val *w;
      bool found = false;
      while (!found && (w = yyjson_arr_iter_next(&it)) != nullptr) found = pruned_from(el, w);
      if (!found) return false;
    }
    return true;
  }
  if (yyjson_is_obj(part)) {
    yyjson_obj_iter it = yyjson_obj_iter_with(whole);
    size_t i, n;
    yyjson_val *key, *val;
    yyjson_obj_foreach(part, i, n, key, val) {
      yyjson_val *wk;
      bool found = false;
      while ((wk = yyjson_obj_iter_next(&it)) != nullptr) {
        if (yyjson_equals_strn(wk, yyjson_get_str(key), yyjson_get_len(key)) &&
            pruned_from(val, yyjson_obj_iter_get_val(wk))) {
          found = true;
          break;
        }
      }
      if (!found) return false;
    }
    return true;
  }
  return yyjson_equals(part, whole);
}

// A question that met an allocation failure answers "{}" or a success
// document holding part of the full answer and nothing else.
void expect_cut_down_answer(const std::string &answer, const std::string &full, const fault_run &run) {
  if (answer == "{}") return;
  yyjson_doc *part = yyjson_read(answer.data(), answer.size(), 0);
  yyjson_doc *whole = yyjson_read(full.data(), full.size(), 0);
  ASSERT_NE(part, nullptr) << run << ": not JSON:\n" << answer;
  ASSERT_NE(whole, nullptr);
  yyjson_val *root = yyjson_doc_get_root(part);
  EXPECT_TRUE(yyjson_equals_str(yyjson_obj_get(root, "status"), "success")) << run << "\n" << answer;
  EXPECT_TRUE(pruned_from(root, yyjson_doc_get_root(whole))) << run << ": holds what the full answer lacks:\n"
                                                             << answer;
  yyjson_doc_free(part);
  yyjson_doc_free(whole);
}

// ---- stores to start from ------------------------------------------------

orvik_db *store_with_snapshots() {
  orvik_db *db = orvik_create(256, 16);
  int64_t t = T0 - 30000;
  for (const std::string &snapshot : example_snapshots()) {
    EXPECT_EQ(orvik_ingest_snapshot_json(db, snapshot.c_str(), t), 100);
    t += 15000;
  }
  EXPECT_EQ(orvik_append(db, "cpu", R"({"core":"0","mode":"idle"})", 1.5, T0), 0);
  EXPECT_EQ(orvik_append(db, "cpu", R"({"core":"1","say":"a \"quoted\" word"})", 2.5, T0), 0);
  return db;
}

// ---- scenarios ------------------------------------------------------------

TEST(AllocationFailure, Create) {
  const char *const messages[] = {
      "orvik_create: out of memory allocating db structure",
      "orvik_create: out of memory allocating series table",
      "orvik_create: out of memory allocating hash table",
      "orvik_create: out of memory allocating result buffer",
  };
  exercise("create", [&](fault_run &run) {
    orvik_db *db = nullptr;
    run.measure([&] { db = orvik_create(64, 32); });
    // Without its append cache a handle is slower, not broken.
    if (run.failed() && db != nullptr) {
      EXPECT_EQ(db->append_cache, nullptr) << run;
    } else if (run.failed()) {
      EXPECT_EQ(db, nullptr) << run;
      EXPECT_NE(std::find_if(std::begin(messages), std::end(messages),
                             [](const char *m) { return std::strcmp(m, orvik_last_error()) == 0; }),
                std::end(messages))
          << run << ": " << orvik_last_error();
      db = orvik_create(64, 32);
    }
    ASSERT_NE(db, nullptr) << run;
    EXPECT_EQ(orvik_append(db, "cpu", R"({"core":"0"})", 1, T0), 0) << run;
    EXPECT_NE(std::string(orvik_query(db, "cpu", T0)).find("\"core\": \"0\""), std::string::npos) << run;
    orvik_free(db);
  });
}

// An append that meets a failure returns -1 with its message and changes
// nothing; the same append then succeeds, and the store is the one a
// failure-free run builds.
void append_scenario(const char *name, const char *series, const char *labels) {
  orvik_db *reference = store_with_snapshots();
  ASSERT_EQ(orvik_append(reference, series, labels, 7.25, T0 + 30000), 0);
  exercise(name, [&](fault_run &run) {
    orvik_db *db = store_with_snapshots();
    const std::string before = dump(db);
    set_error(UNTOUCHED);
    int32_t result = 0;
    run.measure([&] { result = orvik_append(db, series, labels, 7.25, T0 + 30000); });
    if (run.failed()) {
      EXPECT_EQ(result, -1) << run;
      EXPECT_TRUE(std::strcmp(orvik_last_error(), KEY_MESSAGE) == 0 ||
                  std::strcmp(orvik_last_error(), RING_MESSAGE) == 0 ||
                  std::strcmp(orvik_last_error(), LABELS_MESSAGE) == 0)
          << run << ": " << orvik_last_error();
      EXPECT_EQ(dump(db), before) << run;
      EXPECT_EQ(orvik_append(db, series, labels, 7.25, T0 + 30000), 0) << run;
    } else {
      EXPECT_EQ(result, 0) << run;
      EXPECT_STREQ(orvik_last_error(), UNTOUCHED) << run;
    }
    expect_same_store(db, reference, run);
    orvik_free(db);
  });
  orvik_free(reference);
}

TEST(AllocationFailure, AppendToNewSeries) {
  append_scenario("append, new series", "cpu", R"({"core":"2","mode":"user"})");
}

TEST(AllocationFailure, AppendToExistingSeries) {
  append_scenario("append, existing series", "cpu", R"({"mode":"idle","core":"0"})");
}

// A label text too long for the parse pool on the stack (here a
// pretty-printed one) is parsed on the heap; a failure there must not file
// the sample under other labels.
TEST(AllocationFailure, AppendWithLongLabelText) {
  auto padded = [](const char *core) {
    const std::string indent(400, ' ');
    return "{\n" + indent + "\"core\": \"" + core + "\",\n" + indent + "\"mode\": \"idle\"\n}";
  };
  static const std::string new_series = padded("3"), existing_series = padded("0");
  append_scenario("append, new series, long labels", "cpu", new_series.c_str());
  append_scenario("append, existing series, long labels", "cpu", existing_series.c_str());
}

// A snapshot that meets a failure is refused whole (its document could not
// be read) or loses exactly the one sample whose series could not be made;
// everything it stored is what a failure-free run stores.
TEST(AllocationFailure, IngestExampleSnapshot) {
  const std::string json = example_snapshot();
  orvik_db *reference = orvik_create(256, 16);
  const int32_t all = orvik_ingest_snapshot_json(reference, json.c_str(), T0);
  ASSERT_GT(all, 30);
  std::vector<std::string> reference_lines = series_lines(reference);
  std::sort(reference_lines.begin(), reference_lines.end());

  exercise("ingest example snapshot", [&](fault_run &run) {
    orvik_db *db = orvik_create(256, 16);
    set_error(UNTOUCHED);
    int32_t stored = 0;
    run.measure([&] { stored = orvik_ingest_snapshot_json(db, json.c_str(), T0); });
    if (run.failed()) {
      if (stored == -1) {
        EXPECT_STREQ(orvik_last_error(), "orvik_ingest_snapshot_json: json parse failed") << run;
      } else {
        EXPECT_EQ(stored, all - 1) << run;
        EXPECT_NE(std::strstr(orvik_last_error(), "out of memory"), nullptr)
            << run << ": " << orvik_last_error();
      }
    } else {
      EXPECT_EQ(stored, all) << run;
      EXPECT_STREQ(orvik_last_error(), UNTOUCHED) << run;
    }
    EXPECT_EQ(orvik_total_samples(db), static_cast<uint64_t>(stored < 0 ? 0 : stored)) << run;
    std::vector<std::string> lines = series_lines(db);
    std::sort(lines.begin(), lines.end());
    EXPECT_TRUE(std::includes(reference_lines.begin(), reference_lines.end(), lines.begin(), lines.end()))
        << run << ": stored samples a failure-free run does not:\n"
        << dump(db);
    expect_index_finds_every_series(db, run);

    // Emptied and filled again, it is the store a failure-free run built.
    orvik_clear(db);
    EXPECT_EQ(orvik_ingest_snapshot_json(db, json.c_str(), T0), all) << run;
    expect_same_store(db, reference, run);
    orvik_free(db);
  });
  orvik_free(reference);
}

// A question that meets a failure answers "{}" or part of its full answer,
// writes no last-error text and changes nothing: asked again, it answers in
// full.
void question_scenario(const char *name, const std::function<const char *(orvik_db *)> &ask) {
  orvik_db *reference = store_with_snapshots();
  const std::string full = ask(reference);
  ASSERT_EQ(full.compare(0, 5, "{\n   "), 0) << full;
  int partial = 0;
  exercise(name, [&](fault_run &run) {
    orvik_db *db = store_with_snapshots();
    set_error(UNTOUCHED);
    const char *answer = nullptr;
    run.measure([&] { answer = ask(db); });
    ASSERT_NE(answer, nullptr) << run;
    if (run.failed()) {
      expect_cut_down_answer(answer, full, run);
      if (std::strcmp(answer, "{}") != 0) ++partial;
    } else {
      EXPECT_EQ(answer, full) << run;
    }
    EXPECT_STREQ(orvik_last_error(), UNTOUCHED) << run;
    EXPECT_EQ(ask(db), full) << run;
    expect_same_store(db, reference, run);
    orvik_free(db);
  });
  // One lost piece costs the piece, not the whole answer.
  if (failure_points()[name] > 0) {
    EXPECT_GT(partial, 0) << name;
  }
  orvik_free(reference);
}

// Vector and matrix answers are written in place: while they fit the answer
// buffer they need no memory at all, so no failure can cut them down.
void question_without_memory(const char *name, const std::function<const char *(orvik_db *)> &ask) {
  question_scenario(name, ask);
  EXPECT_EQ(failure_points()[name], 0u) << name;
}

TEST(AllocationFailure, InstantQuery) {
  question_without_memory("instant query", [](orvik_db *db) {
    return orvik_query(db, "windows_cpu_time_total{mode!=\"dpc\"}", T0 + 30000);
  });
  question_without_memory("instant query, aggregated", [](orvik_db *db) {
    return orvik_query(db, "avg(rate(windows_cpu_time_total{mode=\"user\"}[1m]))", T0 + 30000);
  });
}

TEST(AllocationFailure, RangeQuery) {
  question_without_memory("range query", [](orvik_db *db) {
    return orvik_query_range(db, "irate(windows_cpu_time_total{core=\"0\"}[1m])", T0 - 30000, T0 + 30000,
                             10000);
  });
  question_without_memory("range query, aggregated", [](orvik_db *db) {
    return orvik_query_range(db, "max(windows_logical_disk_free_bytes)", T0 - 30000, T0 + 30000, 10000);
  });
}

TEST(AllocationFailure, LabelNames) {
  question_scenario("label names", [](orvik_db *db) { return orvik_get_label_names(db); });
}

TEST(AllocationFailure, LabelValues) {
  question_scenario("label values", [](orvik_db *db) { return orvik_get_label_values(db, "core"); });
  question_scenario("label values, __name__",
                    [](orvik_db *db) { return orvik_get_label_values(db, "__name__"); });
}

// An answer longer than the handle's buffer grows it. When it cannot grow,
// the answer, too large for the process-wide buffer, is "{}", with
// "out of memory expanding result buffer".
TEST(AllocationFailure, AnswerOutgrowingItsBuffer) {
  auto ask = [](orvik_db *db) {
    return orvik_query_range(db, "windows_cpu_time_total{core=\"0\",mode=\"idle\"}", T0 - 6000000, T0, 1000);
  };
  orvik_db *reference = store_with_snapshots();
  const std::string full = ask(reference);
  ASSERT_GT(full.size(), ANSWER_INITIAL_CAPACITY);
  int growth_failures = 0;
  exercise("range query, answer buffer growth", [&](fault_run &run) {
    orvik_db *db = store_with_snapshots();
    set_error(UNTOUCHED);
    const char *answer = nullptr;
    run.measure([&] { answer = ask(db); });
    ASSERT_NE(answer, nullptr) << run;
    if (run.failed() && std::strcmp(orvik_last_error(), "out of memory expanding result buffer") == 0) {
      ++growth_failures;
      EXPECT_STREQ(answer, "{}") << run;
      EXPECT_EQ(db->answer_capacity, ANSWER_INITIAL_CAPACITY) << run;
    } else if (run.failed()) {
      EXPECT_STREQ(orvik_last_error(), UNTOUCHED) << run;
      expect_cut_down_answer(answer, full, run);
    } else {
      EXPECT_EQ(answer, full) << run;
    }
    EXPECT_EQ(ask(db), full) << run;
    expect_same_store(db, reference, run);
    orvik_free(db);
  });
  EXPECT_EQ(growth_failures, 1);
  orvik_free(reference);
}

// Emptying a store allocates nothing; filling it again creates every series
// anew. An append that fails on the way is retried at once, so the series
// keep the order of a failure-free run.
TEST(AllocationFailure, ClearAndRefill) {
  struct row {
    const char *name;
    const char *labels;
    double value;
  };
  const row refill[] = {
      {"windows_cpu_time_total", R"({"core":"0","mode":"idle"})", 10},
      {"cpu", R"({"core":"1"})", 11},
      {"windows_cpu_time_total", R"({"mode":"idle","core":"0"})", 12},
      {"mem", nullptr, 13},
  };
  orvik_db *reference = store_with_snapshots();
  orvik_clear(reference);
  for (const row &r : refill) ASSERT_EQ(orvik_append(reference, r.name, r.labels, r.value, T0), 0);

  exercise("clear and refill", [&](fault_run &run) {
    orvik_db *db = store_with_snapshots();
    int32_t results[4] = {0, 0, 0, 0};
    int32_t retried = 0;
    const char *message = nullptr;
    run.measure([&] {
      orvik_clear(db);
      for (size_t i = 0; i < 4; ++i) {
        results[i] = orvik_append(db, refill[i].name, refill[i].labels, refill[i].value, T0);
        if (results[i] != 0) {
          message = orvik_last_error();
          retried = orvik_append(db, refill[i].name, refill[i].labels, refill[i].value, T0);
        }
      }
    });
    const int failures = static_cast<int>(std::count(std::begin(results), std::end(results), -1));
    EXPECT_EQ(failures, run.failed() ? 1 : 0) << run;
    if (failures > 0) {
      EXPECT_TRUE(std::strcmp(message, KEY_MESSAGE) == 0 || std::strcmp(message, RING_MESSAGE) == 0)
          << run << ": " << message;
      EXPECT_EQ(retried, 0) << run;
    }
    expect_same_store(db, reference, run);
    orvik_free(db);
  });
  orvik_free(reference);
}

// When every allocation fails from some point on, each call still ends with
// its documented result.
TEST(AllocationFailure, NothingCanBeAllocated) {
  orvik_db *db = store_with_snapshots();
  const std::string full_query = orvik_query(db, "cpu", T0);
  const int64_t live = heap_test::live_blocks();
  char append_error[ERROR_SIZE];

  heap_test::fail_after(0, true);
  orvik_db *created = orvik_create(8, 8);
  const int32_t appended = orvik_append(db, "new", R"({"a":"1"})", 1, T0);
  std::strcpy(append_error, orvik_last_error());
  const int32_t ingested = orvik_ingest_snapshot_json(db, example_snapshots()[0].c_str(), T0);
  const char *query = orvik_query(db, "cpu", T0);
  const bool query_in_full = full_query == query;
  const char *names = orvik_get_label_names(db);
  const bool names_is_empty = std::strcmp(names, "{}") == 0;
  const int32_t existing = orvik_append(db, "cpu", R"({"core":"0","mode":"idle"})", 3, T0 + 1000);
  heap_test::stop_failing();

  EXPECT_EQ(created, nullptr);
  EXPECT_EQ(appended, -1);
  EXPECT_STREQ(append_error, KEY_MESSAGE);
  EXPECT_EQ(ingested, -1);
  // Written in place, an answer that fits its buffer needs no memory.
  EXPECT_TRUE(query_in_full);
  EXPECT_TRUE(names_is_empty);
  // Appending to a series that exists needs no memory at all.
  EXPECT_EQ(existing, 0);
  EXPECT_EQ(heap_test::live_blocks(), live);
  EXPECT_EQ(orvik_total_samples(db), 303u);
  orvik_free(db);
}

// ---- answers built while allocations fail ----------------------------------

// Each allocation of a question made to fail once, and from then on, until
// the question runs through: every answer stays valid JSON, a single failure
// leaves out a piece rather than the whole answer, and the error answers need
// no memory at all.
// Runs the call with the allocation after `skip` successful ones failing
// (and, when persistent, every one after it too). Returns the answer and
// whether any failure was injected.
std::string answer_with_failure(const std::function<const char *()> &call, long skip, bool persistent,
                                bool *failed) {
  heap_test::fail_after(static_cast<uint64_t>(skip), persistent);
  const char *answer = call();
  heap_test::stop_failing();
  *failed = heap_test::failure_injected();
  EXPECT_NE(answer, nullptr);
  return answer != nullptr ? answer : "";
}

// A failure must leave a valid JSON answer: "{}", or a success document
// that lacks some pieces of the full one.
void expect_smaller_valid_answer(const std::string &answer, const std::string &full, const char *what,
                                 long skip) {
  SCOPED_TRACE(std::string(what) + ", failing allocation " + std::to_string(skip + 1));
  yyjson_doc *doc = yyjson_read(answer.data(), answer.size(), 0);
  ASSERT_NE(doc, nullptr) << answer;
  yyjson_val *root = yyjson_doc_get_root(doc);
  EXPECT_TRUE(yyjson_is_obj(root)) << answer;
  yyjson_val *status = yyjson_obj_get(root, "status");
  if (status != nullptr) {
    EXPECT_STREQ(yyjson_get_str(status), "success");
  }
  yyjson_doc_free(doc);
  EXPECT_LE(answer.size(), full.size());
}

class AnswerAllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = orvik_create(8, 8);
    ASSERT_NE(db_, nullptr);
    const char *labels[] = {R"({"core":"0","mode":"idle"})", R"({"core":"1","say":"a \"b\""})", nullptr};
    for (int i = 0; i < 3; ++i) {
      for (int s = 0; s < 4; ++s) {
        ASSERT_EQ(orvik_append(db_, i == 2 ? "other" : "cpu", labels[i], s * 1.5 + i, 1000 + 15000 * s), 0);
      }
    }
  }
  void TearDown() override { orvik_free(db_); }

  // Fails each allocation of the call in turn, once and from then on,
  // until the call runs through without reaching the failure point.
  void fail_each_allocation(const char *what, const std::function<const char *()> &call) {
    // Questions never write the last-error text, whatever an earlier test of
    // this program left in it.
    const std::string last_error = orvik_last_error();
    std::string full = call();
    for (bool persistent : {false, true}) {
      long skip = 0;
      int partial = 0;
      for (;; ++skip) {
        bool failed;
        std::string answer = answer_with_failure(call, skip, persistent, &failed);
        if (!failed) {
          EXPECT_EQ(answer, full) << what;
          break;
        }
        expect_smaller_valid_answer(answer, full, what, skip);
        if (answer != "{}") ++partial;
        if (persistent && skip == 0) {
          EXPECT_EQ(answer, "{}") << what;
        }
      }
      EXPECT_GT(skip, 2) << what << ": too few allocations seen; is the heap interposed?";
      // A single failure leaves out a piece, not the whole answer.
      if (!persistent) {
        EXPECT_GT(partial, 0) << what;
      }
    }
    EXPECT_EQ(orvik_last_error(), last_error) << what;
  }

  // With every allocation failing from the first, the call still answers
  // in full: it never asked for memory.
  void answer_without_memory(const char *what, const std::function<const char *()> &call) {
    const std::string full = call();
    bool failed;
    EXPECT_EQ(answer_with_failure(call, 0, true, &failed), full) << what;
    EXPECT_FALSE(failed) << what << ": asked for memory";
  }
  orvik_db *db_ = nullptr;
};

TEST_F(AnswerAllocationFailure, InstantQuery) {
  answer_without_memory("plain", [&] { return orvik_query(db_, "cpu", 30000); });
  answer_without_memory("rate", [&] { return orvik_query(db_, "rate(cpu[1m])", 30000); });
  answer_without_memory("sum", [&] { return orvik_query(db_, "sum(cpu)", 30000); });
}

TEST_F(AnswerAllocationFailure, RangeQuery) {
  answer_without_memory("plain", [&] { return orvik_query_range(db_, "{core!=\"9\"}", 1000, 61000, 10000); });
  answer_without_memory("max", [&] { return orvik_query_range(db_, "max(cpu)", 1000, 61000, 10000); });
}

TEST_F(AnswerAllocationFailure, LabelCatalogue) {
  fail_each_allocation("names", [&] { return orvik_get_label_names(db_); });
  fail_each_allocation("values", [&] { return orvik_get_label_values(db_, "core"); });
  fail_each_allocation("series names", [&] { return orvik_get_label_values(db_, "__name__"); });
}

TEST_F(AnswerAllocationFailure, ErrorAnswersNeedNoMemory) {
  bool failed;
  EXPECT_EQ(answer_with_failure([&] { return orvik_query(db_, "", 0); }, 0, true, &failed),
            MISSING_QUERY_ANSWER);
  EXPECT_FALSE(failed);
  EXPECT_EQ(answer_with_failure([&] { return orvik_query_range(db_, "{}", 0, 0, 0); }, 0, true, &failed),
            PARSE_ERROR_ANSWER);
  EXPECT_FALSE(failed);
}

}  // namespace
