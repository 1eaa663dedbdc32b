// Every allocation the store core makes, made to fail in turn.
#include <gtest/gtest.h>

#include "store/store.h"

using namespace orvik;

namespace {

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
  store_alloc_fail_at(5);
  orvik_db *db = orvik_create(16, 16);
  EXPECT_NE(db, nullptr);
  store_alloc_fail_at(0);
  orvik_free(db);
}

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
