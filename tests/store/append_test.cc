#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "store/store.h"

using namespace orvik;

namespace {

class AppendTest : public ::testing::Test {
 protected:
  void SetUp() override { db = orvik_create(2, 3); }
  void TearDown() override { orvik_free(db); }
  const series_entry &entry(int i) const { return db->series[i]; }
  orvik_db *db = nullptr;
};

TEST_F(AppendTest, RingFillsThenOverwritesTheOldest) {
  for (int i = 0; i < 4; ++i) ASSERT_EQ(orvik_append(db, "m", nullptr, 10.0 + i, 1000 * (i + 1)), 0);
  const series_entry &e = entry(0);
  EXPECT_EQ(e.head, 0u);
  EXPECT_EQ(e.count, 3u);
  EXPECT_EQ(e.ring[0].value, 13.0);  // d overwrote a
  EXPECT_EQ(nth_newest(e, 0).value, 13.0);
  EXPECT_EQ(nth_newest(e, 1).value, 12.0);
  EXPECT_EQ(nth_newest(e, 2).value, 11.0);
  EXPECT_EQ(orvik_total_samples(db), 4u);
}

TEST_F(AppendTest, EmptyRingStartsAtIndexZero) {
  ASSERT_EQ(find_or_create_series(db, "m", nullptr), 0);
  EXPECT_EQ(entry(0).head, 2u);
  EXPECT_EQ(entry(0).count, 0u);
  ASSERT_EQ(orvik_append(db, "m", nullptr, 1.0, 5), 0);
  EXPECT_EQ(entry(0).head, 0u);
  EXPECT_EQ(entry(0).ring[0].timestamp_ms, 5);
}

TEST(AppendCapacityOne, EveryAppendOverwrites) {
  orvik_db *db = orvik_create(1, 1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(orvik_append(db, "m", nullptr, i, 1000 + i), 0);
  EXPECT_EQ(db->series[0].head, 0u);
  EXPECT_EQ(db->series[0].count, 1u);
  EXPECT_EQ(db->series[0].ring[0].value, 2.0);
  orvik_free(db);
}

TEST_F(AppendTest, SamplesAreKeptAsAppendedNotSorted) {
  ASSERT_EQ(orvik_append(db, "m", nullptr, 1, 5000), 0);
  ASSERT_EQ(orvik_append(db, "m", nullptr, 2, 5000), 0);
  ASSERT_EQ(orvik_append(db, "m", nullptr, 3, 1000), 0);
  EXPECT_EQ(nth_newest(entry(0), 0).timestamp_ms, 1000);
  EXPECT_EQ(nth_newest(entry(0), 1).value, 2.0);
  EXPECT_EQ(nth_newest(entry(0), 2).value, 1.0);
}

TEST_F(AppendTest, NonPositiveTimestampMeansNowInWholeSeconds) {
  int64_t before = static_cast<int64_t>(std::time(nullptr)) * 1000;
  ASSERT_EQ(orvik_append(db, "m", nullptr, 1, 0), 0);
  ASSERT_EQ(orvik_append(db, "m", nullptr, 1, -5), 0);
  int64_t after = static_cast<int64_t>(std::time(nullptr)) * 1000;
  for (uint32_t i = 0; i < 2; ++i) {
    int64_t t = nth_newest(entry(0), i).timestamp_ms;
    EXPECT_EQ(t % 1000, 0);
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
  }
}

TEST_F(AppendTest, SpecialValuesAreStoredUnchanged) {
  ASSERT_EQ(orvik_append(db, "m", nullptr, NAN, 1000), 0);
  ASSERT_EQ(orvik_append(db, "m", nullptr, -INFINITY, 2000), 0);
  EXPECT_TRUE(std::isnan(nth_newest(entry(0), 1).value));
  EXPECT_EQ(nth_newest(entry(0), 0).value, -INFINITY);
}

TEST_F(AppendTest, InvalidParametersAreRejected) {
  EXPECT_EQ(orvik_append(nullptr, "m", nullptr, 1, 1), -1);
  EXPECT_STREQ(orvik_last_error(), "orvik_append: invalid parameters");
  set_error("");
  EXPECT_EQ(orvik_append(db, "", nullptr, 1, 1), -1);
  EXPECT_STREQ(orvik_last_error(), "orvik_append: invalid parameters");
  EXPECT_EQ(orvik_append(db, nullptr, nullptr, 1, 1), -1);
  EXPECT_EQ(orvik_total_samples(db), 0u);
}

TEST_F(AppendTest, NameWithBrokenUtf8IsRejected) {
  const char *bad[] = {"cpu\xff", "\xc3", "a\xe2\x82", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"};
  for (const char *name : bad) {
    EXPECT_EQ(orvik_append(db, name, nullptr, 1, 1), -1) << name;
    EXPECT_STREQ(orvik_last_error(), "orvik_append: name is not valid UTF-8");
  }
  EXPECT_EQ(orvik_series_count(db), 0u);
  EXPECT_EQ(orvik_append(db, "temp_\xc2\xb0" "C_\xf0\x9f\x8c\xa1", nullptr, 1, 1), 0);
}

TEST_F(AppendTest, FullTableStillTakesExistingSeries) {
  ASSERT_EQ(orvik_append(db, "a", nullptr, 1, 1), 0);
  ASSERT_EQ(orvik_append(db, "b", nullptr, 1, 1), 0);
  EXPECT_EQ(orvik_append(db, "c", nullptr, 1, 1), -1);
  EXPECT_STREQ(orvik_last_error(), "series table full");
  EXPECT_EQ(orvik_append(db, "a", nullptr, 2, 2), 0);
  EXPECT_EQ(orvik_append(db, "b", nullptr, 2, 2), 0);
  EXPECT_EQ(orvik_total_samples(db), 4u);
  // A success does not clear the message.
  EXPECT_STREQ(orvik_last_error(), "series table full");
}

// Every series with its samples, newest first.
std::string dump(const orvik_db *db) {
  std::string out;
  for (uint32_t i = 0; i < db->series_count; ++i) {
    const series_entry &e = db->series[i];
    out += std::string(e.name) + " " + e.labels + ":";
    for (uint32_t k = 0; k < e.count; ++k) out += " " + std::to_string(nth_newest(e, k).timestamp_ms);
    out += "\n";
  }
  return out;
}

// The cache may only ever make appends faster: a handle with it and one
// without take the same random appends, spellings of one label set among
// them, texts too long to cache, rejected ones, a full table and clears
// (one of them where the generation count wraps), and must agree on every
// result, every message and every sample.
TEST(AppendCache, AnswersAsAStoreWithoutIt) {
  const std::string long_labels = "{\"l\":\"" + std::string(300, 'v') + "\"}";
  const std::string long_name(250, 'n');
  const std::vector<const char *> names = {"cpu", "mem", "temp_\xc2\xb0", "bad\xff", long_name.c_str()};
  const std::vector<const char *> labels = {
      nullptr, "", "{}", "{ }", R"({"a":"1"})", R"({ "a" : "1" })", R"({"a":"1","b":"2"})",
      R"({"b":"2","a":"1"})", R"({"a":"2"})", "{", R"({"a":1})", long_labels.c_str(),
  };
  orvik_db *cached = orvik_create(6, 4);
  orvik_db *plain = orvik_create(6, 4);
  ASSERT_NE(cached->append_cache, nullptr);
  store_free(plain->append_cache);
  plain->append_cache = nullptr;
  std::mt19937 rng(15);
  for (int i = 0; i < 3000; ++i) {
    if (i % 700 == 699) {
      ASSERT_EQ(dump(cached), dump(plain)) << "before clear " << i;
      if (i == 1399) cached->append_cache_generation = 0xFFFFFFFFu;
      orvik_clear(cached);
      orvik_clear(plain);
    }
    const char *name = names[rng() % names.size()];
    const char *label_text = labels[rng() % labels.size()];
    const int64_t t = 1000 + i;
    set_error("untouched");
    const int32_t a = orvik_append(cached, name, label_text, i, t);
    const std::string error_a = orvik_last_error();
    set_error("untouched");
    const int32_t b = orvik_append(plain, name, label_text, i, t);
    ASSERT_EQ(a, b) << i;
    ASSERT_EQ(error_a, orvik_last_error()) << i;
  }
  EXPECT_EQ(dump(cached), dump(plain));
  EXPECT_GT(cached->series_count, 3u);
  orvik_free(cached);
  orvik_free(plain);
}

}  // namespace
