#include "library/store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>
#include <vector>

#include "library/answer_reader.h"
#include "library/selector.h"

namespace orvik_host {
namespace {

TEST(LockedStore, ReportsTheLibrarysCreateError) {
  std::string error;
  EXPECT_FALSE(locked_store::create(0x7fffffff, 1, &error));
  EXPECT_EQ(error, "orvik_create: max_series too large");
}

TEST(LockedStore, AnswersAreCopiesThatOutliveLaterCalls) {
  std::string error;
  auto store = locked_store::create(4, 4, &error);
  ASSERT_TRUE(store) << error;
  ASSERT_EQ(store->ingest_snapshot(R"([{"name":"a","value":1,"timestamp_ms":1000}])", 0).stored, 1);
  const std::string first = store->query("a", 2000);
  const std::string second = store->query("sum(", 2000);
  EXPECT_TRUE(read_status(first).success);
  EXPECT_FALSE(read_status(second).success);
  const ingest_result rejected = store->ingest_snapshot("", 0);
  EXPECT_EQ(rejected.stored, -1);
  EXPECT_EQ(rejected.error, "orvik_ingest_snapshot_json: empty or invalid json parameter");
}

// Values a snapshot carried and the store could not keep, counted against a
// scratch store: the last row fills the scratch, and only a lower bound is
// known.
TEST(LockedStore, CountsAndLogsValuesNotStoredOncePerCause) {
  std::string error;
  auto store = locked_store::create(2, 4, &error);
  ASSERT_TRUE(store) << error;
  std::ostringstream log;
  store->log_rejections_to(&log);
  struct ingest_case {
    const char *names;  // one sample per letter, series named by the letter
    int32_t stored;
    int64_t not_stored;
  };
  const ingest_case cases[] = {{"ab", 2, 0}, {"aac", 2, 1}, {"cdeaaa", 3, 1}};
  uint64_t rejected = 0;
  for (const ingest_case &c : cases) {
    std::string doc = "[";
    for (const char *n = c.names; *n; ++n)
      doc += std::string(doc.size() > 1 ? "," : "") + "{\"name\":\"" + *n + "\",\"value\":1,\"timestamp_ms\":" +
             std::to_string(1000 + (n - c.names)) + "}";
    const ingest_result result = store->ingest_snapshot(doc + "]", 0);
    EXPECT_EQ(result.stored, c.stored) << c.names;
    EXPECT_EQ(result.not_stored, c.not_stored) << c.names;
    EXPECT_EQ(result.error, c.not_stored ? "series table full" : "") << c.names;
    rejected += static_cast<uint64_t>(c.not_stored);
  }
  EXPECT_EQ(store->rejected_samples(), rejected);
  EXPECT_EQ(log.str(), "orvik: 1 values of a snapshot not stored: series table full (said once per cause)\n");
}

// Snapshots are stored by the library as it maps them, a series named twice
// included; the order check refuses a late document whole and skips a resend.
TEST(LockedStore, StoresEverySnapshotValueAndRefusesLateDocumentsWhole) {
  std::string error;
  auto store = locked_store::create(4, 8, &error);
  ASSERT_TRUE(store) << error;
  const std::string twice =
      R"([{"name":"v","value":1,"timestamp_ms":1000},{"name":"v","value":2,"timestamp_ms":2000}])";
  EXPECT_EQ(store->ingest_snapshot(twice, 0).stored, 2);
  EXPECT_EQ(store->total_samples(), 2u);
  const ingest_result resent = store->ingest_snapshot(twice, 0);
  EXPECT_EQ(resent.stored, 0);
  EXPECT_EQ(resent.not_stored, 0);
  const ingest_result late = store->ingest_snapshot(
      R"([{"name":"v","value":3,"timestamp_ms":1500},{"name":"w","value":1,"timestamp_ms":3000}])", 0);
  EXPECT_EQ(late.stored, 0);
  EXPECT_EQ(late.out_of_order, 1);
  EXPECT_EQ(late.not_stored, 2);
  EXPECT_EQ(late.error, OUT_OF_ORDER);
  EXPECT_EQ(store->rejected_samples(), 2u);
  EXPECT_EQ(store->series_count(), 1u);
  EXPECT_EQ(store->total_samples(), 2u);
}

// Writers and readers on several threads: every call is serialised by the
// store's mutex, so every answer is whole and every sample is counted.
TEST(LockedStore, SerialisesCallsFromSeveralThreads) {
  std::string error;
  auto store = locked_store::create(64, 1024, &error);
  ASSERT_TRUE(store) << error;
  constexpr int THREADS = 4, ROUNDS = 100;
  std::atomic<int> broken{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < ROUNDS; ++i) {
        const std::string doc = R"([{"name":"m","value":1,"labels":{"t":")" + std::to_string(t) +
                                R"("},"timestamp_ms":)" + std::to_string(1000 + i) + "}]";
        if (store->ingest_snapshot(doc, 0).stored != 1) ++broken;
        if (!read_status(store->query("count(m)", 5000)).success) ++broken;
        if (!read_status(store->label_values("t")).success) ++broken;
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(broken, 0);
  EXPECT_EQ(store->series_count(), static_cast<uint32_t>(THREADS));
  EXPECT_EQ(store->total_samples(), static_cast<uint64_t>(THREADS * ROUNDS));
}

// What each ingest and append reports as stored: exactly the samples the
// store took, at the library's precision, never one it refused.
TEST(LockedStore, ReportsTheSamplesItStored) {
  std::string error;
  auto store = locked_store::create(3, 4, &error);
  ASSERT_TRUE(store) << error;
  std::vector<stored_sample> seen;
  store->report_stored_samples([&](std::vector<stored_sample> s) { seen.insert(seen.end(), s.begin(), s.end()); });

  ASSERT_EQ(store->ingest_snapshot(R"([{"name":"a","value":0.1,"labels":{"k":"v"},"timestamp_ms":1500},
      {"name":"b","value":2}])", 7000).stored, 2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(*seen[0].metric, (label_list{{"__name__", "a"}, {"k", "v"}}));
  EXPECT_EQ(seen[0].value, 0.1);
  EXPECT_EQ(seen[0].timestamp_ms, 1500);
  EXPECT_EQ(*seen[1].metric, (label_list{{"__name__", "b"}}));
  EXPECT_EQ(seen[1].timestamp_ms, 7000) << "undated samples carry the ingest's time";

  // A second ingest reports its own samples only; the scratch store was emptied.
  seen.clear();
  ASSERT_EQ(store->ingest_snapshot(R"([{"name":"b","value":3,"timestamp_ms":8000}])", 0).stored, 1);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].value, 3);

  // The table holds three series: of c and d only c is stored, and b's new
  // sample still is.
  seen.clear();
  ASSERT_EQ(store->ingest_snapshot(R"([{"name":"c","value":4,"timestamp_ms":9000},
      {"name":"d","value":5,"timestamp_ms":9000},{"name":"b","value":6,"timestamp_ms":9000}])", 0).stored, 2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(metric_name(*seen[0].metric), "c");
  EXPECT_EQ(metric_name(*seen[1].metric), "b");

  seen.clear();
  auto series = [](const char *name, const char *labels_json, label_list metric) {
    const std::string identity = series_identity(metric);
    return std::make_shared<const append_series>(
        append_series{name, labels_json, std::make_shared<const label_list>(std::move(metric)), identity});
  };
  const append_outcome outcome = store->append_samples(
      {{series("a", R"({"k":"v"})", {{"__name__", "a"}, {"k", "v"}}), 1.0 / 3, 10000},
       {series("e", "{}", {{"__name__", "e"}}), 1, 10000},
       {series("f", "{}", {{"__name__", "f"}}), 1, 10000}});
  EXPECT_EQ(outcome.stored, 1u);
  EXPECT_EQ(outcome.refused, (std::vector<std::pair<std::string, size_t>>{{"series table full", 2}}));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].value, 1.0 / 3) << "appended samples are reported at full precision";
}

// A selector names a series exactly, whatever its name holds: the store's
// one escape must be written before quotes and backslashes alike.
TEST(StoreSelector, SelectsExactlyTheNamedSeries) {
  std::string error;
  auto store = locked_store::create(8, 4, &error);
  ASSERT_TRUE(store) << error;
  // Names the query language could not write as a bare metric name.
  ASSERT_EQ(store->ingest_snapshot(R"([{"name":"a-b","value":1},{"name":"a","value":2},
      {"name":"q\"uote","value":3},{"name":"back\\slash","value":4}])", 1000).stored, 4);
  for (const auto &[name, value] : {std::pair<const char *, double>{"a-b", 1}, {"a", 2}, {"q\"uote", 3}, {"back\\slash", 4}}) {
    store_selector selector;
    ASSERT_TRUE(selector.add("__name__", false, name));
    const auto found = read_series(store->query(selector.text(), 0));
    ASSERT_EQ(found.size(), 1u) << name;
    EXPECT_EQ(metric_name(found[0].metric), name);
    EXPECT_EQ(found[0].points[0].value, value);
  }
}

}  // namespace
}  // namespace orvik_host
