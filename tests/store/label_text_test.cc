#include <gtest/gtest.h>

#include <string>

#include <yyjson.h>

#include "store/store.h"

using namespace orvik;

namespace {

std::string canonical(const char *labels) {
  char out[LABELS_SIZE];
  size_t len = canonical_label_text(labels, out);
  EXPECT_EQ(len, std::string(out).size());
  return out;
}

bool parses_as_object(const std::string &text) {
  yyjson_doc *doc = yyjson_read(text.c_str(), text.size(), 0);
  bool ok = yyjson_is_obj(yyjson_doc_get_root(doc));
  yyjson_doc_free(doc);
  return ok;
}

TEST(CanonicalLabels, Table) {
  struct {
    const char *labels;
    const char *expected;
  } rows[] = {
      {nullptr, "{}"},
      {"", "{}"},
      {"{}", "{}"},
      {"{ }", "{}"},
      {"[]", "{}"},
      {"not json", "{}"},
      {"{\"a\":null}", "{\"a\":\"\"}"},
      {"{\"x\":true,\"y\":1.5,\"z\":-3,\"w\":[1]}", "{\"w\":\"\",\"x\":\"true\",\"y\":\"1.5\",\"z\":\"-3\"}"},
      {"{\"\":\"x\",\"a\":\"y\"}", "{\"a\":\"y\"}"},
      {"{\"r\":3.14159265,\"e\":1e20,\"f\":false,\"o\":{}}", "{\"e\":\"1e+20\",\"f\":\"false\",\"o\":\"\",\"r\":\"3.14159\"}"},
      {"{\"big\":18446744073709551615,\"min\":-9223372036854775808}",
       "{\"big\":\"18446744073709551615\",\"min\":\"-9223372036854775808\"}"},
      {"{\"a\":\"1\"", "{}"},  // invalid JSON
      {"{\"a\":\"1\"} x", "{}"},
      {"{\"b\":\"2\",\"a\":\"1\",\"b\":\"3\"}", nullptr},  // duplicate names both kept, order not fixed
  };
  for (const auto &row : rows) {
    if (row.expected == nullptr) continue;
    EXPECT_EQ(canonical(row.labels), row.expected) << (row.labels ? row.labels : "(null)");
  }
  std::string dup = canonical("{\"b\":\"2\",\"a\":\"1\",\"b\":\"3\"}");
  EXPECT_EQ(dup.substr(0, 10), "{\"a\":\"1\",\"");
  EXPECT_EQ(dup.size(), std::string("{\"a\":\"1\",\"b\":\"2\",\"b\":\"3\"}").size());
}

TEST(CanonicalLabels, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(canonical(R"({"v":"say \"hi\"","w":"C:\\","x":"a\nb\u0001"})"),
            R"({"v":"say \"hi\"","w":"C:\\","x":"a\nb\u0001"})");
  EXPECT_TRUE(parses_as_object(canonical(R"({"k\"ey":"\\\"","t":"\t"})")));
}

TEST(CanonicalLabels, OnlyTheFirst32MembersCount) {
  std::string labels = "{";
  for (int i = 0; i < 40; ++i) {
    if (i) labels += ",";
    char name[8];
    snprintf(name, sizeof name, "k%02d", 39 - i);  // k39 first, k00 last
    labels += std::string("\"") + name + "\":\"v\"";
  }
  labels += "}";
  std::string text = canonical(labels.c_str());
  EXPECT_EQ(text.find("\"k07\""), std::string::npos);  // 33rd member onwards dropped
  EXPECT_NE(text.find("\"k08\""), std::string::npos);
  EXPECT_EQ(text.substr(0, 7), "{\"k08\":");
}

TEST(CanonicalLabels, NamesAndValuesAreCutAtCharacterBoundaries) {
  std::string value(200, 'v');
  std::string name(100, 'n');
  std::string text = canonical(("{\"" + name + "\":\"" + value + "\"}").c_str());
  EXPECT_EQ(text, "{\"" + std::string(63, 'n') + "\":\"" + std::string(127, 'v') + "\"}");

  // 126 bytes then a 3-byte character: the whole character goes.
  std::string euro = std::string(126, 'v') + "\xe2\x82\xac";
  EXPECT_EQ(canonical(("{\"a\":\"" + euro + "\"}").c_str()), "{\"a\":\"" + std::string(126, 'v') + "\"}");
  // Escaping happens after the cut: 127 quotes become 254 bytes.
  std::string quotes = "{\"q\":\"" + [] { std::string s; for (int i = 0; i < 130; ++i) s += "\\\""; return s; }() + "\"}";
  std::string escaped = canonical(quotes.c_str());
  EXPECT_EQ(escaped.size(), 6 + 254 + 2u);  // {"q":" + escaped + "}
  EXPECT_TRUE(parses_as_object(escaped));
}

// Four pairs "kN":"<v>" of 7 + len(v) bytes each, with commas and braces.
std::string four_pairs(size_t last_value_len) {
  std::string v(120, 'x');
  return "{\"k1\":\"" + v + "\",\"k2\":\"" + v + "\",\"k3\":\"" + v + "\",\"k4\":\"" + std::string(last_value_len, 'y') + "\"}";
}

TEST(CanonicalLabels, LengthLimitRule) {
  // 1 + 3 * (127 + 1) = 385 bytes before the last pair; a last pair of
  // 7 + 118 bytes reaches 510, so the brace is the 511th byte.
  std::string exact = canonical(four_pairs(118).c_str());
  EXPECT_EQ(exact.size(), 511u);
  EXPECT_EQ(exact.back(), '}');
  EXPECT_TRUE(parses_as_object(exact));

  std::string fits = canonical(four_pairs(117).c_str());
  EXPECT_EQ(fits.size(), 510u);
  EXPECT_TRUE(parses_as_object(fits));

  std::string over = canonical(four_pairs(125).c_str());
  EXPECT_EQ(over.size(), 511u);
  EXPECT_EQ(over.back(), 'y');
  EXPECT_FALSE(parses_as_object(over));
}

// Values needing escapes that run past byte LABELS_SIZE - 1: the text is the
// first LABELS_SIZE - 1 bytes of the uncut one, whatever the escapes would have added.
TEST(CanonicalLimit, EscapesPastTheLimitAreCutInBounds) {
  std::string quotes;
  for (int i = 0; i < 120; ++i) quotes += "\\\"";
  // Each value is 240 bytes escaped: the third pair crosses byte LABELS_SIZE - 1 and
  // the fourth starts after it.
  std::string labels = "{", uncut = "{";
  for (int i = 0; i < 4; ++i) {
    const std::string pair = std::string(i ? "," : "") + "\"k" + std::to_string(i) + "\":\"" + quotes + "\"";
    labels += pair;
    uncut += pair;
  }
  labels += "}";
  EXPECT_EQ(canonical(labels.c_str()), uncut.substr(0, LABELS_SIZE - 1));

  // Control characters, six bytes each escaped, straddling the limit at
  // every offset.
  for (size_t fill = 90; fill <= 124; ++fill) {
    const std::string head = "{\"a\":\"" + std::string(120, 'a') + "\",\"b\":\"" + std::string(120, 'b') +
                             "\",\"c\":\"" + std::string(120, 'c') + "\",\"d\":\"" + std::string(fill, 'd');
    const std::string whole = head + "\\u0001\\u0002\\u0003\"}";
    const std::string cut = canonical(whole.c_str());
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
  EXPECT_EQ(canonical(("{\"a\":\"" + value + "\"}").c_str()), "{\"a\":\"" + std::string(125, 'v') + "\"}");
  // 123 bytes and the character fit in 127.
  const std::string fits = std::string(123, 'v') + "\xf0\x9f\x98\x80";
  EXPECT_EQ(canonical(("{\"a\":\"" + fits + "\"}").c_str()), "{\"a\":\"" + fits + "\"}");
}

}  // namespace
