#include <gtest/gtest.h>

#include <string>

#include "store/store.h"

using namespace orvik;

namespace {

TEST(AnswerBuffer, NullTextStoresEmptyObject) {
  orvik_db *db = orvik_create(1, 1);
  const char *answer = set_result_json(db, nullptr);
  EXPECT_EQ(answer, db->answer);
  EXPECT_STREQ(answer, "{}");
  orvik_free(db);
}

TEST(AnswerBuffer, NullHandleUsesTheStaticBufferWholeOrNotAtAll) {
  std::string fits(STATIC_RESULT_SIZE - 1, 'x');
  EXPECT_EQ(std::string(set_result_json(nullptr, fits.c_str())), fits);
  // Cut, it would no longer be the answer it claims to be.
  std::string big(STATIC_RESULT_SIZE, 'x');
  EXPECT_STREQ(set_result_json(nullptr, big.c_str()), "{}");
  EXPECT_STREQ(set_result_json(nullptr, "short"), "short");
}

// What growth gives a caller: every answer whole, and room for what comes
// next. A buffer that grew to an answer doubles, so a somewhat larger answer
// after it allocates nothing; one that grew past double keeps some slack;
// a smaller answer reuses the buffer.
TEST(AnswerBuffer, GrowthLeavesRoomForTheNextAnswer) {
  orvik_db *db = orvik_create(1, 1);
  const std::string text(ANSWER_INITIAL_CAPACITY + 1000, 'a');
  EXPECT_EQ(std::string(set_result_json(db, text.c_str())), text);
  uint64_t allocations = store_alloc_count();
  const std::string larger(2 * ANSWER_INITIAL_CAPACITY - 1, 'b');
  EXPECT_EQ(std::string(set_result_json(db, larger.c_str())), larger);
  EXPECT_EQ(store_alloc_count(), allocations);

  orvik_db *db2 = orvik_create(1, 1);
  const std::string huge(3 * ANSWER_INITIAL_CAPACITY, 'c');
  EXPECT_EQ(std::string(set_result_json(db2, huge.c_str())), huge);
  allocations = store_alloc_count();
  const std::string bit_more(huge.size() + 512, 'd');
  EXPECT_EQ(std::string(set_result_json(db2, bit_more.c_str())), bit_more);
  EXPECT_EQ(store_alloc_count(), allocations);

  char *buffer = db2->answer;
  EXPECT_STREQ(set_result_json(db2, "{}"), "{}");
  EXPECT_EQ(db2->answer, buffer);
  orvik_free(db);
  orvik_free(db2);
}

TEST(AnswerBuffer, FailedGrowthKeepsTheOldBufferAndFallsBack) {
  orvik_db *db = orvik_create(1, 1);
  set_result_json(db, "old");
  std::string text(600000, 'c');
  store_alloc_fail_at(1);
  const char *answer = set_result_json(db, text.c_str());
  EXPECT_NE(answer, db->answer);
  EXPECT_STREQ(answer, "{}");
  EXPECT_STREQ(orvik_last_error(), "out of memory expanding result buffer");
  EXPECT_EQ(db->answer_capacity, ANSWER_INITIAL_CAPACITY);
  EXPECT_STREQ(db->answer, "old");
  orvik_free(db);
}

}  // namespace
