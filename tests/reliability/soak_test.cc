// A bounded soak: a full-size store filled and cleared a hundred times, with
// questions in between, must not grow in memory; and a store of 65,536
// series must be creatable, fillable, answerable and freeable. A host keeps
// one store for the life of its process, so slow growth per cycle would
// show only after days there; here it must show within a hundred cycles.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "orvik.h"

namespace {

constexpr int64_t T0 = 1700000000000;
constexpr int64_t STEP_MS = 15000;

// Resident set size in bytes, from /proc/self/statm (second field, pages).
long resident_bytes() {
  FILE *f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  long size = 0, resident = -1;
  if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = -1;
  std::fclose(f);
  return resident < 0 ? -1 : resident * sysconf(_SC_PAGESIZE);
}

struct series_id {
  std::string name;
  std::string labels;
};

// metrics × hosts series: soak_metric_<m>{"host":"h<h>","zone":"z<h % 4>"}.
std::vector<series_id> series_ids(int metrics, int hosts) {
  std::vector<series_id> ids;
  for (int m = 0; m < metrics; ++m) {
    for (int h = 0; h < hosts; ++h) {
      ids.push_back(
          {"soak_metric_" + std::to_string(m),
           "{\"host\":\"h" + std::to_string(h) + "\",\"zone\":\"z" + std::to_string(h % 4) + "\"}"});
    }
  }
  return ids;
}

// Appends `samples` rounds of one sample per series, oldest round first;
// the value of series i in round r is i + r.
void fill(orvik_db *db, const std::vector<series_id> &ids, uint32_t samples) {
  for (uint32_t r = 0; r < samples; ++r) {
    const int64_t t = T0 + static_cast<int64_t>(r) * STEP_MS;
    for (size_t i = 0; i < ids.size(); ++i) {
      if (orvik_append(db, ids[i].name.c_str(), ids[i].labels.c_str(), static_cast<double>(i + r), t) != 0) {
        FAIL() << "append " << i << " of round " << r << ": " << orvik_last_error();
      }
    }
  }
}

bool contains(const char *answer, const std::string &piece) {
  return std::strstr(answer, piece.c_str()) != nullptr;
}

// The questions asked between fills, with answers that follow from fill().
void ask(orvik_db *db, uint32_t samples, int hosts) {
  const int64_t last = T0 + static_cast<int64_t>(samples - 1) * STEP_MS;
  // Series 0 to hosts - 1 are soak_metric_0; their newest values are
  // i + samples - 1.
  EXPECT_TRUE(contains(orvik_query(db, "count(soak_metric_0)", last), "\"" + std::to_string(hosts) + "\""));
  EXPECT_TRUE(contains(orvik_query(db, "max(soak_metric_0)", last),
                       "\"" + std::to_string(hosts - 1 + samples - 1) + "\""));
  EXPECT_TRUE(
      contains(orvik_query(db, "soak_metric_0{host=\"h1\"}", last), "\"" + std::to_string(samples) + "\""));
  EXPECT_TRUE(contains(orvik_query(db, "rate(soak_metric_1{host=\"h2\"}[5m])", last), "0.066666666666667"));
  const char *range =
      orvik_query_range(db, "sum(soak_metric_0{zone=\"z1\"})", last - 10 * STEP_MS, last, STEP_MS);
  EXPECT_TRUE(contains(range, "\"resultType\": \"matrix\"")) << range;
  EXPECT_TRUE(contains(orvik_get_label_names(db), "\"zone\""));
  EXPECT_TRUE(contains(orvik_get_label_values(db, "host"), "\"h" + std::to_string(hosts - 1) + "\""));
}

TEST(Soak, HundredFillAndClearCyclesKeepMemoryFlat) {
  constexpr uint32_t SERIES = 1024, SAMPLES = 1440;
  constexpr int HOSTS = 32;
  const std::vector<series_id> ids = series_ids(SERIES / HOSTS, HOSTS);
  orvik_db *db = orvik_create(SERIES, SAMPLES);
  ASSERT_NE(db, nullptr);

  const auto started = std::chrono::steady_clock::now();
  long first_full = 0, first_cleared = 0, last_full = 0, last_cleared = 0;
  for (int cycle = 0; cycle < 100; ++cycle) {
    fill(db, ids, SAMPLES);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(orvik_series_count(db), SERIES);
    ASSERT_EQ(orvik_total_samples(db), static_cast<uint64_t>(SERIES) * SAMPLES);
    // Full table: a new series is refused, existing ones still take samples.
    ASSERT_EQ(orvik_append(db, "one_too_many", nullptr, 1, T0), -1);
    ASSERT_STREQ(orvik_last_error(), "series table full");
    ask(db, SAMPLES, HOSTS);
    (cycle == 0 ? first_full : last_full) = resident_bytes();

    orvik_clear(db);
    ASSERT_EQ(orvik_series_count(db), 0u);
    ASSERT_TRUE(contains(orvik_query(db, "count(soak_metric_0)", T0), "\"0\""));
    (cycle == 0 ? first_cleared : last_cleared) = resident_bytes();
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  orvik_free(db);

  ASSERT_GT(first_full, 0) << "no /proc/self/statm";
  const double full_growth = 100.0 * (last_full - first_full) / first_full;
  const double cleared_growth = 100.0 * (last_cleared - first_cleared) / first_cleared;
  std::printf("[ soak ] 100 cycles of %u x %u appends in %.1f s (%.0f ns per append)\n", SERIES, SAMPLES,
              seconds, seconds * 1e9 / (100.0 * SERIES * SAMPLES));
  std::printf("[ soak ] resident after cycle 1: %.1f MiB full, %.1f MiB cleared\n", first_full / 1048576.0,
              first_cleared / 1048576.0);
  std::printf("[ soak ] resident after cycle 100: %.1f MiB full (%+.2f%%), %.1f MiB cleared (%+.2f%%)\n",
              last_full / 1048576.0, full_growth, last_cleared / 1048576.0, cleared_growth);
  EXPECT_LT(full_growth, 3.0);
  EXPECT_LT(cleared_growth, 3.0);
}

TEST(Soak, LargeStore) {
  constexpr uint32_t SERIES = 65536, SAMPLES = 64;
  constexpr int HOSTS = 256;
  const std::vector<series_id> ids = series_ids(SERIES / HOSTS, HOSTS);
  const auto started = std::chrono::steady_clock::now();
  orvik_db *db = orvik_create(SERIES, SAMPLES);
  ASSERT_NE(db, nullptr) << orvik_last_error();
  fill(db, ids, SAMPLES);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(orvik_series_count(db), SERIES);
  EXPECT_EQ(orvik_total_samples(db), static_cast<uint64_t>(SERIES) * SAMPLES);
  ask(db, SAMPLES, HOSTS);
  // The last series created is found again among 65,536.
  EXPECT_TRUE(
      contains(orvik_query(db, "soak_metric_255{host=\"h255\"}", T0 + (SAMPLES - 1) * STEP_MS), "\"65598\""));
  EXPECT_TRUE(contains(orvik_query(db, "count({zone=\"z3\"})", T0 + SAMPLES * STEP_MS), "\"16384\""));
  // Label value lists stop at 512 entries.
  const std::string names = orvik_get_label_values(db, "__name__");
  EXPECT_TRUE(contains(names.c_str(), "\"soak_metric_255\""));
  const std::string hosts = orvik_get_label_values(db, "host");
  EXPECT_TRUE(contains(hosts.c_str(), "\"h255\""));
  const long resident = resident_bytes();
  orvik_free(db);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf(
      "[ soak ] %u series x %u samples: created, filled, asked and freed in %.1f s, %.0f MiB resident\n",
      SERIES, SAMPLES, seconds, resident / 1048576.0);
}

}  // namespace
