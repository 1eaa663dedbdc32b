#include <gtest/gtest.h>

#include <string>

#include "store/store.h"

using namespace orvik;

namespace {

class SeriesIndexTest : public ::testing::Test {
 protected:
  void SetUp() override { db = orvik_create(64, 2); }
  void TearDown() override { orvik_free(db); }
  orvik_db *db = nullptr;
};

TEST_F(SeriesIndexTest, SameLabelsInAnyOrderFindTheSameSeries) {
  int32_t a = find_or_create_series(db, "cpu", "{\"b\":\"2\",\"a\":1}");
  int32_t b = find_or_create_series(db, "cpu", "{ \"a\" : \"1\", \"b\" : 2 }");
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  EXPECT_STREQ(db->series[0].labels, "{\"a\":\"1\",\"b\":\"2\"}");
  EXPECT_STREQ(db->series[0].key, "cpu|{\"a\":\"1\",\"b\":\"2\"}");
  EXPECT_EQ(find_or_create_series(db, "mem", "{\"a\":\"1\",\"b\":\"2\"}"), 1);
  EXPECT_EQ(orvik_series_count(db), 2u);
}

TEST_F(SeriesIndexTest, NullOrEmptyNameLeavesTheErrorAlone) {
  set_error("before");
  EXPECT_EQ(find_or_create_series(db, "", nullptr), -1);
  EXPECT_EQ(find_or_create_series(db, nullptr, nullptr), -1);
  EXPECT_EQ(find_or_create_series(nullptr, "x", nullptr), -1);
  EXPECT_STREQ(orvik_last_error(), "before");
}

TEST_F(SeriesIndexTest, QuotesInValuesCannotForgeAnotherLabelSet) {
  // Unescaped, both would be stored as {"a":"x","b":"y"}.
  int32_t forged = find_or_create_series(db, "m", R"({"a":"x\",\"b\":\"y"})");
  int32_t real = find_or_create_series(db, "m", R"({"a":"x","b":"y"})");
  EXPECT_NE(forged, real);
  EXPECT_STREQ(db->series[forged].labels, R"({"a":"x\",\"b\":\"y"})");
}

TEST_F(SeriesIndexTest, LongNamesAreCutButKeyedByTheFullName) {
  std::string base(127, 'n');
  int32_t a = find_or_create_series(db, (base + "A").c_str(), nullptr);
  int32_t b = find_or_create_series(db, (base + "B").c_str(), nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(std::string(db->series[a].name), base);
  EXPECT_STREQ(db->series[a].name, db->series[b].name);
}

TEST_F(SeriesIndexTest, NameCutNeverSplitsACharacter) {
  // 126 ASCII bytes then a 2-byte character: the cut at 127 drops it whole.
  std::string name = std::string(126, 'n') + "\xc3\xa9";
  ASSERT_EQ(find_or_create_series(db, name.c_str(), nullptr), 0);
  EXPECT_EQ(std::string(db->series[0].name), std::string(126, 'n'));
}

TEST_F(SeriesIndexTest, ManySeriesSurviveCollidingProbes) {
  orvik_db *big = orvik_create(1024, 1);
  for (int i = 0; i < 1024; ++i) {
    std::string labels = "{\"i\":" + std::to_string(i) + "}";
    ASSERT_EQ(find_or_create_series(big, "m", labels.c_str()), i);
  }
  for (int i = 1023; i >= 0; --i) {
    std::string labels = "{\"i\":\"" + std::to_string(i) + "\"}";
    ASSERT_EQ(find_or_create_series(big, "m", labels.c_str()), i);
  }
  EXPECT_EQ(find_or_create_series(big, "m", "{\"i\":\"1024\"}"), -1);
  EXPECT_STREQ(orvik_last_error(), "series table full");
  orvik_free(big);
}

// The edges of the series key: names that fill the whole key, and labels
// cut to the room the name leaves.
class SeriesKeyLimits : public SeriesIndexTest {};

// A name of KEY_SIZE - 1 bytes or more fills the key alone: no "|", no
// labels. Only the first KEY_SIZE - 1 bytes of the name tell series apart.
TEST_F(SeriesKeyLimits, NameFillingTheKeyLeavesNoRoomForLabels) {
  const std::string name(700, 'n');
  const int32_t a = find_or_create_series(db, name.c_str(), R"({"core":"0"})");
  ASSERT_EQ(a, 0);
  EXPECT_EQ(std::string(db->series[a].key), std::string(KEY_SIZE - 1, 'n'));
  EXPECT_EQ(db->series[a].key_len, KEY_SIZE - 1);
  EXPECT_EQ(find_or_create_series(db, name.c_str(), R"({"core":"0"})"), a);
  // Other labels, or a difference after byte KEY_SIZE - 1, no longer count.
  EXPECT_EQ(find_or_create_series(db, name.c_str(), R"({"core":"1"})"), a);
  EXPECT_EQ(find_or_create_series(db, (name + "x").c_str(), nullptr), a);
  // A difference inside the key still does.
  std::string other = name;
  other[638] = 'm';
  EXPECT_EQ(find_or_create_series(db, other.c_str(), nullptr), 1);
  EXPECT_EQ(orvik_series_count(db), 2u);
}

// With room for the "|" and part of the labels, the labels are cut to fit.
TEST_F(SeriesKeyLimits, NameNearlyFillingTheKeyCutsTheLabels) {
  const std::string name(KEY_SIZE - 4, 'n');  // room for "|" and two bytes
  const int32_t a = find_or_create_series(db, name.c_str(), R"({"core":"0"})");
  ASSERT_EQ(a, 0);
  EXPECT_EQ(std::string(db->series[a].key), name + "|{\"");
  // Label sets that agree in those two bytes are one series.
  EXPECT_EQ(find_or_create_series(db, name.c_str(), R"({"core":"1"})"), a);
  EXPECT_EQ(find_or_create_series(db, name.c_str(), nullptr), 1);  // "{}"
  EXPECT_EQ(std::string(db->series[1].key), name + "|{}");
}

// A new series whose key or ring cannot be allocated is not created.
TEST(AppendAllocationFailure, KeyCopyFailureStoresNothing) {
  orvik_db *db = orvik_create(4, 4);
  store_alloc_fail_at(1);
  EXPECT_EQ(orvik_append(db, "cpu", "{\"a\":\"1\"}", 1, 1000), -1);
  EXPECT_STREQ(orvik_last_error(), "out of memory allocating series key");
  EXPECT_EQ(orvik_series_count(db), 0u);
  EXPECT_EQ(orvik_total_samples(db), 0u);

  // The same key works afterwards and lands at index 0.
  EXPECT_EQ(orvik_append(db, "cpu", "{\"a\":\"1\"}", 1, 1000), 0);
  EXPECT_EQ(find_or_create_series(db, "cpu", "{\"a\":\"1\"}"), 0);
  orvik_free(db);
}

TEST(AppendAllocationFailure, RingFailureGivesTheEntryBack) {
  orvik_db *db = orvik_create(4, 4);
  ASSERT_EQ(orvik_append(db, "first", nullptr, 1, 1000), 0);
  store_alloc_fail_at(2);
  EXPECT_EQ(orvik_append(db, "second", nullptr, 1, 1000), -1);
  EXPECT_STREQ(orvik_last_error(), "out of memory allocating series samples ring buffer");
  EXPECT_EQ(orvik_series_count(db), 1u);
  EXPECT_EQ(orvik_total_samples(db), 1u);
  EXPECT_EQ(db->series[1].key, nullptr);

  EXPECT_EQ(orvik_append(db, "second", nullptr, 2, 2000), 0);
  EXPECT_EQ(find_or_create_series(db, "second", nullptr), 1);
  EXPECT_EQ(find_or_create_series(db, "first", nullptr), 0);
  orvik_free(db);
}

}  // namespace
