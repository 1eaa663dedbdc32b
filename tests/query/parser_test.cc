#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "query/query.h"

using namespace orvik;

namespace {

struct matcher_row {
  std::string name;
  std::string value;
  int negate;
};

struct parsed_row {
  std::string text;
  int result;
  std::string name;
  int32_t aggregation;
  int32_t function;
  int64_t range_ms;
  std::vector<matcher_row> matchers;
};

// Checks every field, including that unused matcher entries stay zero.
void expect_parsed(const parsed_row &row) {
  SCOPED_TRACE("query: " + row.text);
  promql_query q;
  std::memset(&q, 0x5A, sizeof q);  // the parser must overwrite everything
  ASSERT_EQ(parse_promql(row.text.c_str(), &q), row.result);
  EXPECT_EQ(q.metric_name, row.name);
  EXPECT_EQ(q.aggregation, row.aggregation);
  EXPECT_EQ(q.range_function, row.function);
  EXPECT_EQ(q.range_ms, row.range_ms);
  ASSERT_EQ(q.matcher_count, row.matchers.size());
  for (size_t i = 0; i < row.matchers.size(); ++i) {
    EXPECT_EQ(q.matchers[i].name, row.matchers[i].name) << "matcher " << i;
    EXPECT_EQ(q.matchers[i].value, row.matchers[i].value) << "matcher " << i;
    EXPECT_EQ(q.matchers[i].negate, row.matchers[i].negate) << "matcher " << i;
  }
  static const label_matcher zero{};
  for (size_t i = row.matchers.size(); i < MAX_MATCHERS; ++i) {
    EXPECT_EQ(std::memcmp(&q.matchers[i], &zero, sizeof zero), 0) << "unused matcher " << i;
  }
}

int parse(const std::string &text) {
  promql_query q;
  return parse_promql(text.c_str(), &q);
}

TEST(ParserRejects, NullTextLeavesTheRecordUntouched) {
  promql_query q;
  std::memset(&q, 0x5A, sizeof q);
  EXPECT_EQ(parse_promql(nullptr, &q), -1);
  EXPECT_EQ(q.range_ms, 0x5A5A5A5A5A5A5A5A);
}

TEST(ParserRejects, TextsWithoutNameOrStoredMatcher) {
  const parsed_row rows[] = {
      {"", -1, "", AGG_NONE, FN_NONE, 60000, {}},
      {" \t\n\v\f\r", -1, "", AGG_NONE, FN_NONE, 60000, {}},
      {"{}", -1, "", AGG_NONE, FN_NONE, 60000, {}},
      {"sum()", -1, "", AGG_SUM, FN_NONE, 60000, {}},
      {"count(", -1, "", AGG_COUNT, FN_NONE, 60000, {}},
      {"sum(rate(", -1, "", AGG_SUM, FN_RATE, 60000, {}},
      {"{=\"b\"}", -1, "", AGG_NONE, FN_NONE, 60000, {}},
      {"{\"a\"}", -1, "", AGG_NONE, FN_NONE, 60000, {}},
      {"{,,}", -1, "", AGG_NONE, FN_NONE, 60000, {}},
      {"[5m]", -1, "", AGG_NONE, FN_NONE, 300000, {}},
      {"{} [5m]", -1, "", AGG_NONE, FN_NONE, 300000, {}},
  };
  for (const parsed_row &row : rows) expect_parsed(row);
}

TEST(ParserPrefixes, AggregationThenFunctionEachOnce) {
  const parsed_row rows[] = {
      {"windows_memory_load_percent", 0, "windows_memory_load_percent", AGG_NONE, FN_NONE, 60000, {}},
      {"sum(rate(windows_cpu_time_total{core=\"0\",mode!=\"idle\"}[5m]))", 0, "windows_cpu_time_total", AGG_SUM,
       FN_RATE, 300000, {{"core", "0", 0}, {"mode", "idle", 1}}},
      {"avg(x)", 0, "x", AGG_AVG, FN_NONE, 60000, {}},
      {"min(x)", 0, "x", AGG_MIN, FN_NONE, 60000, {}},
      {"max(irate(x[1h]))", 0, "x", AGG_MAX, FN_IRATE, 3600000, {}},
      {"  count(  rate(  a:b_c9  ", 0, "a:b_c9", AGG_COUNT, FN_RATE, 60000, {}},
      {"count( x", 0, "x", AGG_COUNT, FN_NONE, 60000, {}},
      {"sum(sum(x))", 0, "sum", AGG_SUM, FN_NONE, 60000, {}},
      {"rate(sum(x))", 0, "sum", AGG_NONE, FN_RATE, 60000, {}},
      {"irate(rate(x[5m]))", 0, "rate", AGG_NONE, FN_IRATE, 60000, {}},
      {"rate(irate(x))", 0, "irate", AGG_NONE, FN_RATE, 60000, {}},
      {"SUM(x)", 0, "SUM", AGG_NONE, FN_NONE, 60000, {}},
      {"sum (x)", 0, "sum", AGG_NONE, FN_NONE, 60000, {}},
      {"sum by (job) (x)", 0, "sum", AGG_NONE, FN_NONE, 60000, {}},
      {"summary", 0, "summary", AGG_NONE, FN_NONE, 60000, {}},
      {"sum(-x)", -1, "", AGG_SUM, FN_NONE, 60000, {}},
  };
  for (const parsed_row &row : rows) expect_parsed(row);
}

TEST(ParserMatchers, OperatorsValuesAndSeparators) {
  const parsed_row rows[] = {
      {"{__name__=\"up\"}", 0, "", AGG_NONE, FN_NONE, 60000, {{"__name__", "up", 0}}},
      {"x{a=b}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "", 0}, {"b", "", 0}}},
      {"x{a}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "", 0}}},
      {"x{a=\"\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "", 0}}},
      {"x{a=\"b\" c=\"d\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "b", 0}, {"c", "d", 0}}},
      {"x{a=\"b\",,c=\"d\",}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "b", 0}, {"c", "d", 0}}},
      {"x { a != \"b\" , c = \"d\" } ", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "b", 1}, {"c", "d", 0}}},
      {"x{a\"v\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "v", 0}}},  // no operator: "=" assumed
      {"x{a=\"b", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "b", 0}}},
      {"x{a=\"b\"", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "b", 0}}},
      {"x{a=\"b\",", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "b", 0}}},
      {"x{a=\"b[5m]", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "b[5m]", 0}}},  // the quote swallows the rest
      {"x{a=1}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "", 0}, {"1", "", 0}}},
      {"{a=\"b\"}", 0, "", AGG_NONE, FN_NONE, 60000, {{"a", "b", 0}}},
      // Only stored matchers count: the empty-named one is dropped.
      {"{=\"x\", a=\"b\"}", 0, "", AGG_NONE, FN_NONE, 60000, {{"a", "b", 0}}},
  };
  for (const parsed_row &row : rows) expect_parsed(row);
}

TEST(ParserMatchers, EscapesCopyTheNextCharacterAsItIs) {
  const parsed_row rows[] = {
      {"x{a=\"b\\\"c\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "b\"c", 0}}},
      {"x{a=\"b\\\\c\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "b\\c", 0}}},
      {"x{a=\"b\\nc\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "bnc", 0}}},
      {"x{a=\"\\\\\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "\\", 0}}},
      {"x{a=\"b\\", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "b\\", 0}}},  // a last backslash is kept
      // Anything between the quotes is value, including what the block rejects.
      {"x{a=\"~-.'{]) }\t\xC3\xA9\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "~-.'{]) }\t\xC3\xA9", 0}}},
  };
  for (const parsed_row &row : rows) expect_parsed(row);
}

TEST(ParserMatchers, SixteenAreStoredAndTheRangeIsStillRead) {
  parsed_row row{"x{", 0, "x", AGG_NONE, FN_NONE, 300000, {}};
  for (int i = 0; i < 20; ++i) {
    std::string n = "l" + std::to_string(i);
    row.text += n + "=\"v" + std::to_string(i) + "\",";
    if (i < 16) row.matchers.push_back({n, "v" + std::to_string(i), 0});
  }
  row.text += "}[5m]";
  expect_parsed(row);
}

TEST(ParserCuts, MetricNameStopsTheParseAt127) {
  const std::string n127(127, 'n');
  expect_parsed({n127 + "n{a=\"b\"}[5m]", 0, n127, AGG_NONE, FN_NONE, 60000, {}});
  expect_parsed({n127 + "{a=\"b\"}[5m]", 0, n127, AGG_NONE, FN_NONE, 300000, {{"a", "b", 0}}});
}

TEST(ParserCuts, LabelNameLeavesThe64thCharacterForTheNextMatcher) {
  const std::string l63(63, 'l');
  expect_parsed({"x{" + l63 + "L=\"v\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{l63, "", 0}, {"L", "v", 0}}});
  expect_parsed({"x{" + l63 + "=\"v\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{l63, "v", 0}}});
}

TEST(ParserCuts, ValueOf127IsReadWholeAndLongerStartsANewMatcher) {
  const std::string v127(127, 'v');
  expect_parsed({"x{a=\"" + v127 + "\",b=\"c\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", v127, 0}, {"b", "c", 0}}});
  // The rest of the quoted text is read as a label name; its closing quote
  // then opens a value that runs to the end of the text.
  expect_parsed(
      {"x{a=\"" + v127 + "rest\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", v127, 0}, {"rest", "}", 0}}});
  // Escapes count as one character each, and the 127th may be one.
  const std::string esc127 = std::string(126, 'v') + "\\\"";
  expect_parsed({"x{a=\"" + esc127 + "\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", std::string(126, 'v') + "\"", 0}}});
}

TEST(ParserCuts, ACutOnAnEscapeLeavesItsBackslashUnread) {
  // The cursor stays on the backslash, which no rule of the block reads.
  EXPECT_EQ(parse("x{a=\"" + std::string(127, 'v') + "\\\"w\"}"), -1);
  EXPECT_EQ(parse("x{a=\"" + std::string(127, 'v') + "-w\"}"), -1);
}

TEST(ParserRanges, CountAndOneUnitCharacter) {
  struct {
    const char *text;
    int64_t range_ms;
  } rows[] = {
      {"x[10s]", 10000},
      {"x[5m]", 300000},
      {"x[5h]", 18000000},
      {"x[5d]", 432000000},
      {"x[5]", 60000},
      {"x[]", 60000},
      {"x[1.5m]", 60000},
      {"x[ 5 m ]", 60000},
      {"x[ 5m ]", 300000},
      {"x[-m]", 60000},
      {"x[+m]", 60000},
      {"x[m]", 0},
      {"x[5ms]", 300000},
      {"x[5M]", 60000},
      {"x[5w]", 60000},
      {"x[-5m]", -300000},
      {"x[+5m]", 300000},
      {"x[0s]", 0},
      {"x[007s]", 7000},
      {"x[5m", 300000},
      {"x[5", 60000},
      {"x[", 60000},
      {"x [5m]", 300000},
      {"x{a=\"b\"} [2h]", 7200000},
      {"x[2147483647s]", 2147483647000},
      {"x[2147483648s]", 2147483647000},
      {"x[99999999999s]", 2147483647000},
      {"x[99999999999999999999999999999d]", int64_t{INT32_MAX} * 86400000},
      {"x[-2147483648s]", -2147483648000},
      {"x[-2147483649s]", -2147483648000},
      {"x[-99999999999999999999999999999d]", int64_t{INT32_MIN} * 86400000},
  };
  for (const auto &row : rows) {
    promql_query q;
    ASSERT_EQ(parse_promql(row.text, &q), 0) << row.text;
    EXPECT_EQ(q.range_ms, row.range_ms) << row.text;
  }
}

TEST(ParserTrailing, OnlyWhatComesFirstIsRead) {
  const parsed_row rows[] = {
      {"x[5m]{a=\"b\"}", 0, "x", AGG_NONE, FN_NONE, 300000, {}},
      {"x{a=\"b\"}{c=\"d\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "b", 0}}},
      {"x[5m] [1h]", 0, "x", AGG_NONE, FN_NONE, 300000, {}},
      {"x) junk", 0, "x", AGG_NONE, FN_NONE, 60000, {}},
      {"x{a=\"b\"} junk", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "b", 0}}},
      {"x )))) [5m]", 0, "x", AGG_NONE, FN_NONE, 60000, {}},
      {"x{a=\"b\"}~", 0, "x", AGG_NONE, FN_NONE, 60000, {{"a", "b", 0}}},
      {"x-y{a=~\"b\"}", 0, "x", AGG_NONE, FN_NONE, 60000, {}},
      {"x[5m]]]{~", 0, "x", AGG_NONE, FN_NONE, 300000, {}},
  };
  for (const parsed_row &row : rows) expect_parsed(row);
}

// A character in the block that no rule reads would otherwise change the
// question silently: `a=~"b.*"` would become a="" and a match on b.*.
TEST(ParserRejectsUnreadCharacters, InsideTheMatcherBlock) {
  const char *texts[] = {
      "x{a=~\"b\"}",       "x{a!~\"b\"}",      "x{job-name=\"a\"}", "x{a.b=\"c\"}",    "x{a='b'}",
      "x{{a=\"b\"}}",      "x{a=\"b\"]",       "x{a=\"b\")",        "x{\xC3\xA9=\"b\"}", "x{a=\"b\"\x80}",
      "x{a!\"b\"}",        "x{!a=\"b\"}",      "x{a=\"b\";c=\"d\"}", "{a=\"b\" ~}",     "sum(rate(x{a=~\"b\"}[5m]))",
      "x{a=\"b\"[5m]}",    "x{a=\"b\"[5m]",    "x{a=\"b\",~}",
  };
  for (const char *text : texts) {
    promql_query q;
    EXPECT_EQ(parse_promql(text, &q), -1) << text;
  }
}

}  // namespace
