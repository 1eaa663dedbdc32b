#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "query/query.h"

using namespace orvik;

namespace {

// Series made through the store, so the label text is the canonical one.
class SelectionTest : public ::testing::Test {
 protected:
  void SetUp() override { db = orvik_create(64, 2); }
  void TearDown() override { orvik_free(db); }

  const series_entry &add(const char *name, const char *labels) {
    int32_t i = find_or_create_series(db, name, labels);
    EXPECT_GE(i, 0) << labels;
    return db->series[i];
  }
  static bool selects(const std::string &query, const series_entry &e) {
    promql_query q;
    EXPECT_EQ(parse_promql(query.c_str(), &q), 0) << query;
    return series_matches(&e, &q) == 1;
  }

  orvik_db *db = nullptr;
};

TEST_F(SelectionTest, NameAndMatchersOnOneSeries) {
  const series_entry &x = add("x", R"({"job":"api","mode":"idle","cpu":"0"})");
  ASSERT_STREQ(x.labels, R"({"cpu":"0","job":"api","mode":"idle"})");
  struct {
    const char *query;
    bool selected;
  } rows[] = {
      {"x", true},
      {"y", false},
      {"xx", false},
      {"x{job=\"api\"}", true},
      {"{job=\"api\"}", true},
      {"x{job=\"ap\"}", false},
      {"x{job=\"apis\"}", false},
      {"x{ob=\"api\"}", false},
      {"x{job!=\"api\"}", false},
      {"x{job!=\"web\"}", true},
      {"x{zone=\"\"}", false},
      {"x{zone!=\"\"}", true},
      {"x{job=\"api\",mode=\"idle\",cpu=\"0\"}", true},
      {"x{job=\"api\",mode=\"user\"}", false},  // every matcher must pass
      {"{__name__=\"x\"}", true},
      {"{__name__!=\"x\"}", false},
      {"{__name__=\"y\"}", false},
      {"{__name__!=\"y\"}", true},
      {"y{__name__=\"x\"}", false},
      {"x{__name__=\"x\",job=\"api\"}", true},
      // A matcher value can not reach into the next member.
      {"x{cpu=\"0\\\",\\\"job\\\":\\\"api\"}", false},
  };
  for (const auto &row : rows) EXPECT_EQ(selects(row.query, x), row.selected) << row.query;
}

TEST_F(SelectionTest, PatternIsAnchoredToWholeNamesAndValues) {
  const series_entry &myjob = add("m", R"({"myjob":"api"})");
  const series_entry &apis = add("m", R"({"job":"apis"})");
  const series_entry &empty = add("m", R"({"a":""})");
  EXPECT_FALSE(selects("{job=\"api\"}", myjob));
  EXPECT_FALSE(selects("{job=\"api\"}", apis));
  EXPECT_TRUE(selects("{a=\"\"}", empty));
  EXPECT_FALSE(selects("{a!=\"\"}", empty));
  EXPECT_FALSE(selects("{a=\"\"}", apis));
}

TEST_F(SelectionTest, EqualAndNotEqualOnTheSameLabel) {
  const series_entry &e = add("m", R"({"a":"b"})");
  EXPECT_TRUE(selects("{a=\"b\",a!=\"c\"}", e));
  EXPECT_FALSE(selects("{a=\"b\",a!=\"b\"}", e));
}

TEST_F(SelectionTest, EmptyRecordSelectsEverySeries) {
  promql_query q{};
  EXPECT_EQ(series_matches(&add("any", R"({"k":"v"})"), &q), 1);
  EXPECT_EQ(series_matches(&add("other", nullptr), &q), 1);
}

// The canonical text escapes quotes, backslashes and control characters;
// the matcher pattern must be escaped alike to find them.
TEST_F(SelectionTest, ValuesThatNeedEscapingMatchExactly) {
  const series_entry &quote = add("m", R"({"a":"say \"hi\""})");
  const series_entry &backslash = add("m", R"({"path":"C:\\temp"})");
  const series_entry &tab = add("m", R"({"a":"x\ty"})");
  EXPECT_TRUE(selects(R"(m{a="say \"hi\""})", quote));
  EXPECT_FALSE(selects(R"(m{a="say "})", quote));
  EXPECT_TRUE(selects(R"(m{path="C:\\temp"})", backslash));
  EXPECT_FALSE(selects(R"(m{path="C:\temp"})", backslash));  // the escape drops the backslash
  EXPECT_FALSE(selects(R"(m{path="C:\\\\temp"})", backslash));
  EXPECT_TRUE(selects("m{a=\"x\ty\"}", tab));
  EXPECT_FALSE(selects("m{a=\"x\\\\ty\"}", tab));  // the escaped spelling is not the value
}

TEST_F(SelectionTest, NoMatcherSpansTwoMembers) {
  // One series holds the value that spells a member boundary; the other
  // has two members that, unescaped, read the same.
  const series_entry &literal = add("m", R"({"a":"b\",\"c\":\"d"})");
  const series_entry &pair = add("m", R"({"a":"b","c":"d"})");
  const std::string spanning = R"(m{a="b\",\"c\":\"d"})";
  EXPECT_TRUE(selects(spanning, literal));
  EXPECT_FALSE(selects(spanning, pair));
  EXPECT_TRUE(selects(R"(m{a="b",c="d"})", pair));
  EXPECT_FALSE(selects(R"(m{a="b"})", literal));
  // A trailing backslash in the value must not close the member early.
  const series_entry &slash = add("m", R"({"a":"b\\","c":"d"})");
  EXPECT_TRUE(selects(R"(m{a="b\\"})", slash));
  EXPECT_FALSE(selects(R"(m{a="b"})", slash));
}

TEST_F(SelectionTest, NoMatcherFindsTheTailOfALongerName) {
  const series_entry &quoted_name = add("m", R"({"a\"b":"v"})");
  ASSERT_STREQ(quoted_name.labels, R"({"a\"b":"v"})");
  EXPECT_FALSE(selects(R"(m{b="v"})", quoted_name));
  EXPECT_TRUE(selects(R"(m{b!="v"})", quoted_name));
  const series_entry &both = add("m", R"({"a\"b":"v","b":"v"})");
  EXPECT_TRUE(selects(R"(m{b="v"})", both));
  // Commas inside values are not member boundaries either.
  const series_entry &commas = add("m", R"({"a":"x,\"b\":\"v","c":"d"})");
  EXPECT_FALSE(selects(R"(m{b="v"})", commas));
  EXPECT_TRUE(selects(R"(m{c="d"})", commas));
}

TEST_F(SelectionTest, LongEscapedPatternIsNeverCut) {
  // 42 control characters escape to 252 bytes: a pattern cut short of its
  // closing quote would also find the longer value.
  const std::string controls(42, '\x01');
  std::string json_value;
  for (size_t i = 0; i < controls.size(); ++i) json_value += "\\u0001";
  const series_entry &longer = add("m", ("{\"a\":\"" + json_value + "z\"}").c_str());
  const series_entry &exact = add("m", ("{\"a\":\"" + json_value + "\"}").c_str());
  EXPECT_FALSE(selects("m{a=\"" + controls + "\"}", longer));
  EXPECT_TRUE(selects("m{a=\"" + controls + "\"}", exact));

  // The largest value: 127 quotes, each escaped to two bytes.
  const std::string quotes(127, '"');
  std::string escaped_quotes;
  for (size_t i = 0; i < quotes.size(); ++i) escaped_quotes += "\\\"";
  const series_entry &q127 = add("m", ("{\"a\":\"" + escaped_quotes + "\"}").c_str());
  EXPECT_TRUE(selects("m{a=\"" + escaped_quotes + "\"}", q127));
  EXPECT_FALSE(selects("m{a=\"" + escaped_quotes.substr(2) + "\"}", q127));
}

TEST_F(SelectionTest, NameMatcherComparesTheWholeName) {
  const series_entry &e = add("windows_cpu_time_total", nullptr);
  EXPECT_TRUE(selects("{__name__=\"windows_cpu_time_total\"}", e));
  EXPECT_FALSE(selects("{__name__=\"windows_cpu\"}", e));
  EXPECT_FALSE(selects("{__name__=\"\"}", e));
  // "__name__" is never looked for in the label text.
  const series_entry &labelled = add("n", R"({"__name__":"x"})");
  EXPECT_FALSE(selects("{__name__=\"x\"}", labelled));
}

}  // namespace
