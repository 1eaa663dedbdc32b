#include <gtest/gtest.h>

#include <string>

#include "store/store.h"

using namespace orvik;

namespace {

TEST(LastError, KeepsAtMost511BytesAndTreatsNullAsEmpty) {
  const std::string long_message(600, 'e');
  set_error(long_message.c_str());
  EXPECT_EQ(std::string(orvik_last_error()), long_message.substr(0, ERROR_SIZE - 1));
  set_error(nullptr);
  EXPECT_STREQ(orvik_last_error(), "");
  // A successful call leaves the text alone.
  set_error("earlier failure");
  orvik_db *db = orvik_create(2, 2);
  EXPECT_EQ(orvik_append(db, "cpu", nullptr, 1, 1000), 0);
  EXPECT_STREQ(orvik_last_error(), "earlier failure");
  orvik_free(db);
}

}  // namespace
