// The edges of the fixed-size texts a series is identified by: names that
// fill the whole series key, escapes that meet the 511-byte limit of the
// canonical label text, and cuts next to 4-byte characters. Each of these
// writes near the end of a fixed buffer.
#include <gtest/gtest.h>

#include <string>

#include <yyjson.h>

#include "store/store.h"

namespace {

class SeriesKeyLimits : public ::testing::Test {
 protected:
  void SetUp() override { db = orvik_create(8, 2); }
  void TearDown() override { orvik_free(db); }
  orvik_db *db = nullptr;
};

// A name of 639 bytes or more fills the key alone: no "|", no labels. Only
// the first 639 bytes of the name tell series apart then.
TEST_F(SeriesKeyLimits, NameFillingTheKeyLeavesNoRoomForLabels) {
  const std::string name(700, 'n');
  const int32_t a = find_or_create_series(db, name.c_str(), R"({"core":"0"})");
  ASSERT_EQ(a, 0);
  EXPECT_EQ(std::string(db->series[a].key), std::string(KEY_SIZE - 1, 'n'));
  EXPECT_EQ(db->series[a].key_len, KEY_SIZE - 1);
  EXPECT_EQ(find_or_create_series(db, name.c_str(), R"({"core":"0"})"), a);
  // Other labels, or a difference after byte 639, no longer count.
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

std::string canonical(const std::string &labels) {
  char out[LABELS_SIZE];
  size_t len = canonical_label_text(labels.c_str(), out);
  std::string text(out);
  EXPECT_EQ(text.size(), len < LABELS_SIZE - 1 ? len : LABELS_SIZE - 1);
  return text;
}

// Values needing escapes that run past the 511th byte: the text is the
// first 511 bytes of the uncut one, whatever the escapes would have added.
TEST(CanonicalLimit, EscapesPastTheLimitAreCutInBounds) {
  std::string quotes;
  for (int i = 0; i < 120; ++i) quotes += "\\\"";
  // Each value is 240 bytes escaped: the third pair crosses byte 511 and
  // the fourth starts after it.
  std::string labels = "{", uncut = "{";
  for (int i = 0; i < 4; ++i) {
    const std::string pair = std::string(i ? "," : "") + "\"k" + std::to_string(i) + "\":\"" + quotes + "\"";
    labels += pair;
    uncut += pair;
  }
  labels += "}";
  EXPECT_EQ(canonical(labels), uncut.substr(0, LABELS_SIZE - 1));

  // Control characters, six bytes each escaped, straddling the limit at
  // every offset.
  for (size_t fill = 90; fill <= 124; ++fill) {
    const std::string head = "{\"a\":\"" + std::string(120, 'a') + "\",\"b\":\"" + std::string(120, 'b') +
                             "\",\"c\":\"" + std::string(120, 'c') + "\",\"d\":\"" + std::string(fill, 'd');
    const std::string whole = head + "\\u0001\\u0002\\u0003\"}";
    const std::string cut = canonical(whole);
    if (whole.size() <= LABELS_SIZE - 1) {
      EXPECT_EQ(cut, whole) << fill;
    } else {
      EXPECT_EQ(cut, whole.substr(0, LABELS_SIZE - 1)) << fill;
    }
  }
}

TEST(CanonicalLimit, FourByteCharactersAreCutWhole) {
  // 125 bytes, then a 4-byte character: the cut at 127 drops it whole.
  const std::string value = std::string(125, 'v') + "\xf0\x9f\x98\x80";
  EXPECT_EQ(canonical("{\"a\":\"" + value + "\"}"), "{\"a\":\"" + std::string(125, 'v') + "\"}");
  // 123 bytes and the character fit in 127.
  const std::string fits = std::string(123, 'v') + "\xf0\x9f\x98\x80";
  EXPECT_EQ(canonical("{\"a\":\"" + fits + "\"}"), "{\"a\":\"" + fits + "\"}");
  for (size_t max = 0; max <= 4; ++max) {
    EXPECT_EQ(utf8_prefix("\xf0\x9f\x98\x80", 4, max), max == 4 ? 4u : 0u) << max;
  }
}

}  // namespace
