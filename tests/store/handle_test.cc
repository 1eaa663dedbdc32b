#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "store/store.h"

using namespace orvik;

namespace {

// Filled to its size, a store finds every series again and refuses one
// more; sizes on either side of the index's powers of two catch a table
// sized from the wrong count. Zero sizes take the documented defaults.
TEST(StoreCreate, HoldsExactlyTheSeriesAndSamplesAskedFor) {
  struct {
    uint32_t max_series, samples_per_series;
    uint32_t series_held, samples_held;
  } rows[] = {{0, 0, 1024, 1440}, {1, 1, 1, 1},          {10, 5, 10, 5},         {512, 2, 512, 2},
              {513, 2, 513, 2},   {1024, 3, 1024, 3},    {1025, 3, 1025, 3},     {70000, 1, 70000, 1}};
  for (const auto &row : rows) {
    orvik_db *db = orvik_create(row.max_series, row.samples_per_series);
    ASSERT_NE(db, nullptr);
    for (int round = 0; round < 2; ++round)
      for (uint32_t i = 0; i < row.series_held; ++i)
        ASSERT_EQ(orvik_append(db, ("s" + std::to_string(i)).c_str(), nullptr, i, 1000 + round), 0) << i;
    EXPECT_EQ(orvik_series_count(db), row.series_held) << row.max_series;
    EXPECT_EQ(orvik_append(db, "one_more", nullptr, 1, 1000), -1) << row.max_series;
    EXPECT_STREQ(orvik_last_error(), "series table full");
    for (uint32_t k = 0; k < row.samples_held + 2; ++k) ASSERT_EQ(orvik_append(db, "s0", nullptr, k, 2000 + k), 0);
    EXPECT_EQ(db->series[0].count, row.samples_held) << row.max_series;
    orvik_free(db);
  }
}

TEST(StoreCreate, RefusesSizesTheIndexCannotHold) {
  EXPECT_EQ(orvik_create((1u << 30) + 1, 1), nullptr);
  EXPECT_STREQ(orvik_last_error(), "orvik_create: max_series too large");
  EXPECT_EQ(orvik_create(0xFFFFFFFFu, 1), nullptr);
}

TEST(StoreNullHandle, EveryCallIsHarmless) {
  orvik_free(nullptr);
  orvik_clear(nullptr);
  EXPECT_EQ(orvik_series_count(nullptr), 0u);
  EXPECT_EQ(orvik_total_samples(nullptr), 0u);
  ASSERT_NE(orvik_last_error(), nullptr);
}

TEST(StoreClear, EmptiesInPlaceAndNumberingRestarts) {
  orvik_db *db = orvik_create(4, 3);
  ASSERT_EQ(orvik_append(db, "a", nullptr, 1, 1000), 0);
  ASSERT_EQ(orvik_append(db, "b", nullptr, 2, 1000), 0);
  const char *answer = orvik_get_label_names(db);
  const std::string before = answer;
  const uint64_t allocations = store_alloc_count();

  orvik_clear(db);
  EXPECT_EQ(orvik_series_count(db), 0u);
  EXPECT_EQ(orvik_total_samples(db), 0u);
  EXPECT_EQ(store_alloc_count(), allocations);  // in place: nothing allocated anew
  EXPECT_EQ(answer, before);                    // answers handed out stay readable

  // "b" was index 1 before; after the clear it is the first series again,
  // and no slot still points at the old entries: the store fills to its
  // size once more.
  EXPECT_EQ(find_or_create_series(db, "b", nullptr), 0);
  EXPECT_EQ(find_or_create_series(db, "a", nullptr), 1);
  EXPECT_EQ(find_or_create_series(db, "c", nullptr), 2);
  EXPECT_EQ(find_or_create_series(db, "d", nullptr), 3);
  EXPECT_EQ(orvik_append(db, "e", nullptr, 1, 1000), -1);
  orvik_free(db);
}

TEST(StoreClear, RepeatedCyclesDoNotAccumulateMemory) {
  orvik_db *db = orvik_create(8, 4);
  uint64_t before = store_alloc_count();
  for (int cycle = 0; cycle < 3; ++cycle) {
    for (int s = 0; s < 8; ++s) {
      char name[8] = {'s', static_cast<char>('0' + s), 0};
      ASSERT_EQ(orvik_append(db, name, nullptr, cycle, 1000), 0);
    }
    orvik_clear(db);
  }
  // Two allocations (key, ring) per series per cycle, all released by clear
  // (the sanitizer build proves nothing leaks).
  EXPECT_EQ(store_alloc_count() - before, 3u * 8u * 2u);
  orvik_free(db);
}

// Every allocation of orvik_create made to fail in turn, through the
// store's own allocation hook.
TEST(CreateAllocationFailure, EachStepReleasesWhatCameBefore) {
  const char *messages[] = {
      "orvik_create: out of memory allocating db structure",
      "orvik_create: out of memory allocating series table",
      "orvik_create: out of memory allocating hash table",
      "orvik_create: out of memory allocating result buffer",
  };
  for (uint64_t n = 1; n <= 4; ++n) {
    store_alloc_fail_at(n);
    EXPECT_EQ(orvik_create(16, 16), nullptr) << n;
    EXPECT_STREQ(orvik_last_error(), messages[n - 1]);
  }
  // The append cache is the last allocation, and the only one a handle
  // can do without.
  store_alloc_fail_at(5);
  orvik_db *db = orvik_create(16, 16);
  store_alloc_fail_at(0);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->append_cache, nullptr);
  EXPECT_EQ(orvik_append(db, "a", nullptr, 1, 1), 0);
  EXPECT_EQ(orvik_append(db, "a", nullptr, 2, 2), 0);
  EXPECT_EQ(orvik_series_count(db), 1u);
  orvik_clear(db);
  orvik_free(db);
  store_alloc_fail_at(6);
  db = orvik_create(16, 16);
  EXPECT_NE(db->append_cache, nullptr);
  store_alloc_fail_at(0);
  orvik_free(db);
}

}  // namespace
