// The aggregation rules: what each kind answers over values, NaNs and
// nothing at all.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "answer/answer.h"

using namespace orvik;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// The aggregated value as the answer would show it, through the same walk
// the questions take: one series per value, each with one sample.
std::string aggregated(int32_t kind, const std::vector<double> &values) {
  orvik_db *db = orvik_create(64, 4);
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string labels = "{\"i\":\"" + std::to_string(i) + "\"}";
    EXPECT_EQ(orvik_append(db, "m", labels.c_str(), values[i], 1000), 0);
  }
  promql_query q;
  EXPECT_EQ(parse_promql("sum(m)", &q), 0);
  q.aggregation = kind;
  char buf[VALUE_TEXT_SIZE];
  format_double_val(aggregate_at(db, &q, 2000), buf);
  orvik_free(db);
  return buf;
}

TEST(Aggregation, EachKindOverValuesNaNsAndNothing) {
  const struct {
    int32_t kind;
    std::vector<double> values;
    const char *text;
  } cases[] = {
      {AGG_SUM, {1.5, 2.5, -1}, "3"},
      {AGG_AVG, {1, 2, 4}, "2.3333333333333"},
      {AGG_MIN, {3, -2, 7}, "-2"},
      {AGG_MAX, {3, -2, 7}, "7"},
      {AGG_COUNT, {3, -2, 7}, "3"},
      // A NaN poisons sum and avg but never becomes min or max.
      {AGG_SUM, {1, NaN}, "NaN"},
      {AGG_AVG, {NaN, 1}, "NaN"},
      {AGG_MIN, {NaN, 5, NaN}, "5"},
      {AGG_MAX, {NaN, 5, NaN}, "5"},
      {AGG_COUNT, {NaN, NaN}, "2"},
      // All NaN: the extremes keep their starting values.
      {AGG_MIN, {NaN, NaN}, "1e+30"},
      {AGG_MAX, {NaN}, "-1e+30"},
      // Nothing selected: 0 for every kind, not the starting extremes.
      {AGG_SUM, {}, "0"},
      {AGG_AVG, {}, "0"},
      {AGG_MIN, {}, "0"},
      {AGG_MAX, {}, "0"},
      {AGG_COUNT, {}, "0"},
      // Values beyond the starting extremes still win.
      {AGG_MIN, {-1e31}, "-1e+31"},
      {AGG_MAX, {1e31}, "1e+31"},
      {AGG_NONE, {1, 2}, "0"},
      {99, {1, 2}, "0"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(aggregated(c.kind, c.values), c.text) << "kind " << c.kind << ", " << c.values.size() << " values";
  }
}

TEST(AggregateAt, CountsEverySelectedSeriesAtTheInstant) {
  orvik_db *db = orvik_create(8, 8);
  ASSERT_EQ(orvik_append(db, "m", R"({"i":"1"})", 10, 1000), 0);
  ASSERT_EQ(orvik_append(db, "m", R"({"i":"2"})", 20, 5000), 0);
  ASSERT_EQ(orvik_append(db, "other", nullptr, 1000, 1000), 0);
  // A series with no sample at all is selected and counts as 0.
  ASSERT_EQ(find_or_create_series(db, "m", R"({"i":"3"})"), 3);

  promql_query q;
  ASSERT_EQ(parse_promql("sum(m)", &q), 0);
  EXPECT_EQ(aggregate_at(db, &q, 6000), 30.0);
  q.aggregation = AGG_COUNT;
  EXPECT_EQ(aggregate_at(db, &q, 6000), 3.0);
  q.aggregation = AGG_MAX;
  EXPECT_EQ(aggregate_at(db, &q, 2000), 20.0);  // every sample newer: the oldest is used
  q.aggregation = AGG_MIN;
  EXPECT_EQ(aggregate_at(db, &q, 6000), 0.0);
  ASSERT_EQ(parse_promql("avg(absent)", &q), 0);
  EXPECT_EQ(aggregate_at(db, &q, 6000), 0.0);
  orvik_free(db);
}

}  // namespace
