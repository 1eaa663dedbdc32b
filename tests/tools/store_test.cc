#include "store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "answer_reader.h"

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

}  // namespace
}  // namespace orvik_host
