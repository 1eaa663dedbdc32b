#include <gtest/gtest.h>

#include <cstring>

#include "store/store.h"

using namespace orvik;

namespace {

TEST(StoreCreate, ZeroSizesTakeTheDefaults) {
  orvik_db *db = orvik_create(0, 0);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->max_series, 1024u);
  EXPECT_EQ(db->samples_per_series, 1440u);
  EXPECT_EQ(db->slot_count, 2048u);
  EXPECT_EQ(db->slot_mask, 2047u);
  EXPECT_EQ(db->answer_capacity, ANSWER_INITIAL_CAPACITY);
  EXPECT_STREQ(db->answer, "");
  orvik_free(db);
}

TEST(StoreCreate, SlotCountIsAPowerOfTwoAtLeastTwiceTheSeries) {
  struct {
    uint32_t max_series;
    uint32_t slots;
  } rows[] = {{10, 1024}, {512, 1024}, {513, 2048}, {1024, 2048}, {1025, 4096}, {70000, 262144}};
  for (const auto &row : rows) {
    orvik_db *db = orvik_create(row.max_series, 5);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->slot_count, row.slots) << row.max_series;
    EXPECT_EQ(db->samples_per_series, 5u);
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
  set_result_json(db, "kept");
  series_entry *table = db->series;

  orvik_clear(db);
  EXPECT_EQ(orvik_series_count(db), 0u);
  EXPECT_EQ(orvik_total_samples(db), 0u);
  EXPECT_EQ(db->series, table);
  EXPECT_STREQ(db->answer, "kept");
  for (uint32_t i = 0; i < db->slot_count; ++i) ASSERT_EQ(db->slots[i], EMPTY_SLOT);

  // "b" was index 1 before; after the clear it is the first series again.
  EXPECT_EQ(find_or_create_series(db, "b", nullptr), 0);
  EXPECT_EQ(find_or_create_series(db, "a", nullptr), 1);
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
