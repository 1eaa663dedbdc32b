#include <gtest/gtest.h>

#include "store/text.h"

using namespace orvik;

namespace {

TEST(JsonEscape, CutsAndReportsTheUncutLength) {
  char out[8];
  EXPECT_EQ(json_escape(out, sizeof out, "a\"b", 3), 4u);
  EXPECT_STREQ(out, "a\\\"b");
  EXPECT_EQ(json_escape(out, sizeof out, "\x1f\x1f", 2), 12u);
  EXPECT_STREQ(out, "\\u001f\\");
}

TEST(Utf8, PrefixAndValidity) {
  const char *s = "ab\xe2\x82\xac";  // "ab€"
  EXPECT_EQ(utf8_prefix(s, 5, 5), 5u);
  EXPECT_EQ(utf8_prefix(s, 5, 4), 2u);
  EXPECT_EQ(utf8_prefix(s, 5, 3), 2u);
  EXPECT_EQ(utf8_prefix(s, 5, 2), 2u);
  EXPECT_TRUE(utf8_valid(s));
  EXPECT_TRUE(utf8_valid("\xf0\x9f\x98\x80"));
  EXPECT_FALSE(utf8_valid("\xe2\x82"));
  EXPECT_FALSE(utf8_valid("\x80"));
  // A 4-byte character is kept whole or not at all.
  for (size_t max = 0; max <= 4; ++max) {
    EXPECT_EQ(utf8_prefix("\xf0\x9f\x98\x80", 4, max), max == 4 ? 4u : 0u) << max;
  }
}

}  // namespace
