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
  std::string fits(65535, 'x');
  EXPECT_EQ(std::string(set_result_json(nullptr, fits.c_str())), fits);
  // Cut, it would no longer be the answer it claims to be.
  std::string big(65536, 'x');
  EXPECT_STREQ(set_result_json(nullptr, big.c_str()), "{}");
  EXPECT_STREQ(set_result_json(nullptr, "short"), "short");
}

TEST(AnswerBuffer, GrowthDoublesOrTakesLengthPlus1024) {
  orvik_db *db = orvik_create(1, 1);
  std::string text(600000, 'a');
  EXPECT_EQ(std::string(set_result_json(db, text.c_str())), text);
  EXPECT_EQ(db->answer_capacity, 1048576u);

  orvik_db *db2 = orvik_create(1, 1);
  std::string huge(1200000, 'b');
  EXPECT_EQ(std::string(set_result_json(db2, huge.c_str())), huge);
  EXPECT_EQ(db2->answer_capacity, 1201024u);

  // Once large enough, a smaller answer reuses the buffer.
  char *buffer = db2->answer;
  EXPECT_STREQ(set_result_json(db2, "{}"), "{}");
  EXPECT_EQ(db2->answer, buffer);
  EXPECT_EQ(db2->answer_capacity, 1201024u);
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
