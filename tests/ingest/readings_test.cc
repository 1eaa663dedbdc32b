#include <gtest/gtest.h>

#include <string>

#include "ingest/ingest.h"

using namespace orvik;

namespace {

// Parses {"v":<text>} and hands the member (null when absent) to a reading.
template <typename Reading>
auto read_member(const std::string &text, Reading reading) {
  std::string doc_text = "{\"v\":" + text + "}";
  if (text.empty()) doc_text = "{}";
  yyjson_doc *doc = yyjson_read(doc_text.c_str(), doc_text.size(), 0);
  EXPECT_NE(doc, nullptr) << doc_text;
  auto result = reading(yyjson_obj_get(yyjson_doc_get_root(doc), "v"));
  yyjson_doc_free(doc);
  return result;
}

struct number_case {
  const char *text;  // "" for a missing member
  double expected;
};

TEST(ReadNumber, AnyJsonNumberKeepsItsValue) {
  const number_case cases[] = {
      {"50", 50.0},  // an integer in a field that usually holds reals
      {"50.0", 50.0},
      {"2.5e3", 2500.0},
      {"-5", -5.0},  // a negative counter keeps its sign
      {"-9223372036854775808", -9223372036854775808.0},
      {"18446744073709551615", 18446744073709551615.0},
      {"9007199254740993", 9007199254740992.0},  // nearest double
      {"0", 0.0},
      {"\"5\"", 0.0},
      {"true", 0.0},
      {"null", 0.0},
      {"[1]", 0.0},
      {"", 0.0},
  };
  for (const number_case &c : cases) {
    EXPECT_EQ(read_member(c.text, read_number), c.expected) << c.text;
  }
}

TEST(ReadFlag, OnlyTrueIsOne) {
  const number_case cases[] = {
      {"true", 1.0}, {"false", 0.0}, {"1", 0.0}, {"\"true\"", 0.0}, {"null", 0.0}, {"", 0.0},
  };
  for (const number_case &c : cases) EXPECT_EQ(read_member(c.text, read_flag), c.expected) << c.text;
}

TEST(ReadCoreNumber, LowThirtyTwoBitsOfAnIntegerAsUnsigned) {
  const struct {
    const char *text;
    uint32_t expected;
  } cases[] = {
      {"3", 3u},       {"-1", 4294967295u}, {"4294967296", 0u}, {"4294967301", 5u},
      {"3.0", 0u},     {"\"3\"", 0u},       {"", 0u},
  };
  for (const auto &c : cases) EXPECT_EQ(read_member(c.text, read_core_number), c.expected) << c.text;
}

}  // namespace
