// orvik_query_range: the window and its defaults, the step walk, and both
// kinds of matrix.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "answer/answer.h"
#include "answer_reading.h"

using namespace orvik;

namespace {

constexpr int64_t T0 = 1700000000000;
constexpr int64_t MAX = std::numeric_limits<int64_t>::max();

class RangeQuery : public ::testing::Test {
 protected:
  void SetUp() override { db_ = orvik_create(16, 16); }
  void TearDown() override { orvik_free(db_); }
  void add(const char *name, const char *labels, double value, int64_t ms) {
    ASSERT_EQ(orvik_append(db_, name, labels, value, ms), 0);
  }
  // The step times of a one-element answer, in seconds.
  std::vector<double> steps(const char *query, int64_t start, int64_t end, int64_t step) {
    auto r = read_result(orvik_query_range(db_, query, start, end, step));
    std::vector<double> out;
    if (r.size() != 1) {
      ADD_FAILURE() << r.size() << " elements";
      return out;
    }
    for (const auto &p : r[0].pairs) out.push_back(p.seconds);
    return out;
  }
  orvik_db *db_ = nullptr;
};

std::vector<double> seconds_of(std::vector<int64_t> ms) {
  std::vector<double> out;
  for (int64_t m : ms) out.push_back(static_cast<double>(m) / 1000.0);
  return out;
}

TEST_F(RangeQuery, AnswersTheDocumentedMatrixByteForByte) {
  add("windows_memory_load_percent", nullptr, 41, T0);
  add("windows_memory_load_percent", nullptr, 43.5, T0 + 20000);
  const char *expected = R"({
    "status": "success",
    "data": {
        "resultType": "matrix",
        "result": [
            {
                "metric": {
                    "__name__": "windows_memory_load_percent"
                },
                "values": [
                    [
                        1700000000.0,
                        "41"
                    ],
                    [
                        1700000015.0,
                        "41"
                    ],
                    [
                        1700000030.0,
                        "43.5"
                    ]
                ]
            }
        ]
    }
})";
  EXPECT_STREQ(orvik_query_range(db_, "windows_memory_load_percent", T0, T0 + 30000, 15000), expected);

  // The aggregate shows the same pairs under an empty metric.
  std::string summed = expected;
  summed.replace(summed.find("{\n                    \"__name__\": \"windows_memory_load_percent\"\n                }"),
                 std::strlen("{\n                    \"__name__\": \"windows_memory_load_percent\"\n                }"),
                 "{}");
  EXPECT_EQ(orvik_query_range(db_, "sum(windows_memory_load_percent)", T0, T0 + 30000, 15000), summed);
}

TEST_F(RangeQuery, StepTimesOfTheWindow) {
  add("up", nullptr, 1, 1000);
  const struct {
    int64_t start, end, step;
    std::vector<int64_t> ms;
  } cases[] = {
      {5000, 3000, 1000, {3000}},                  // start after end: pulled back to it
      {3000, 3000, 1000, {3000}},
      {1000, 3000, 1000, {1000, 2000, 3000}},      // the end is inclusive
      {1000, 10000, 4000, {1000, 5000, 9000}},     // the end gets no pair of its own
      {1000, 3000, -5, {1000}},                    // negative step: 15 s
      {1000, 31000, 0, {1000, 16000, 31000}},
      {-1, 500000, 300000, {-400000, -100000, 200000, 500000}},  // default start below 0
      // Near the top of the range t + step would overflow after the last step.
      {MAX - 2500, MAX, 1000, {MAX - 2500, MAX - 1500, MAX - 500}},
      {MAX - 2000, MAX, 1000, {MAX - 2000, MAX - 1000, MAX}},
      {MAX - 1, MAX, 1, {MAX - 1, MAX}},
      {1, MAX, MAX, {1}},
      {MAX, MAX, MAX, {MAX}},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(steps("up", c.start, c.end, c.step), seconds_of(c.ms))
        << c.start << " " << c.end << " " << c.step;
    EXPECT_EQ(steps("count(up)", c.start, c.end, c.step), seconds_of(c.ms))
        << c.start << " " << c.end << " " << c.step;
  }
}

TEST_F(RangeQuery, DefaultWindowIsTheLastFifteenMinutesInFifteenSecondSteps) {
  add("up", nullptr, 1, 1000);
  std::vector<double> s = steps("up", 0, 1000000, 0);
  ASSERT_EQ(s.size(), 61u);
  EXPECT_EQ(s.front(), 100.0);
  EXPECT_EQ(s.back(), 1000.0);

  int64_t before = now_whole_seconds_ms();
  s = steps("up", -1, 0, -1);
  int64_t after = now_whole_seconds_ms();
  ASSERT_EQ(s.size(), 61u);
  EXPECT_GE(s.back() * 1000, before);
  EXPECT_LE(s.back() * 1000, after);
  for (size_t i = 0; i < s.size(); ++i) {
    EXPECT_EQ(s[i], std::floor(s[i]));
    if (i > 0) {
      EXPECT_EQ(s[i] - s[i - 1], 15.0);
    }
  }

  // A start later than now, with no end: one step, now.
  before = now_whole_seconds_ms();
  s = steps("up", before + 3600000, 0, 1000);
  after = now_whole_seconds_ms();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_GE(s[0] * 1000, before);
  EXPECT_LE(s[0] * 1000, after);
}

TEST_F(RangeQuery, MissingOrRejectedWhateverTheWindow) {
  set_error("earlier failure");
  EXPECT_STREQ(orvik_query_range(nullptr, "up", 1000, 2000, 1000), kMissingQuery);
  EXPECT_STREQ(orvik_query_range(db_, nullptr, 0, 0, 0), kMissingQuery);
  EXPECT_STREQ(orvik_query_range(db_, "", -1, MAX, -1), kMissingQuery);
  EXPECT_STREQ(orvik_query_range(db_, R"({"a"})", 1000, 2000, 1000), kParseError);
  EXPECT_STREQ(orvik_query_range(db_, "{", 1000, 2000, 1000), kParseError);
  EXPECT_STREQ(orvik_last_error(), "earlier failure");
}

TEST_F(RangeQuery, NothingSelected) {
  EXPECT_STREQ(orvik_query_range(db_, "up", 1000, 5000, 1000), R"({
    "status": "success",
    "data": {
        "resultType": "matrix",
        "result": []
    }
})");
  add("other", nullptr, 7, 1000);
  for (const char *q : {"sum(up)", "min(up)", "count(up)"}) {
    auto r = read_result(orvik_query_range(db_, q, 1000, 5000, 1000));
    ASSERT_EQ(r.size(), 1u) << q;
    EXPECT_TRUE(r[0].metric.empty());
    ASSERT_EQ(r[0].pairs.size(), 5u);
    for (const auto &p : r[0].pairs) EXPECT_EQ(p.value, "0") << q;
  }
}

TEST_F(RangeQuery, EverySelectedSeriesHasAPairAtEveryStepTime) {
  add("m", R"({"i":"a"})", 1, 2000);
  add("m", R"({"i":"a"})", 2, 4000);
  ASSERT_EQ(find_or_create_series(db_, "m", R"({"i":"empty"})"), 1);
  add("m", R"({"i":"b"})", 9, 10000);
  auto r = read_result(orvik_query_range(db_, "m", 1000, 7000, 2000));
  ASSERT_EQ(r.size(), 3u);
  const char *a_values[] = {"1", "1", "2", "2"};  // before the oldest: the oldest
  const char *b_values[] = {"9", "9", "9", "9"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(r[0].pairs[i].seconds, 1.0 + 2.0 * static_cast<double>(i));
    EXPECT_EQ(r[0].pairs[i].value, a_values[i]);
    EXPECT_EQ(r[1].pairs[i].value, "0");  // listed though it has no sample
    EXPECT_EQ(r[2].pairs[i].value, b_values[i]);
    EXPECT_EQ(r[2].pairs[i].seconds, r[0].pairs[i].seconds);  // step times, not sample times
  }
  EXPECT_EQ(r[1].metric[1].second, "empty");

  auto counted = read_result(orvik_query_range(db_, "count(m)", 1000, 7000, 2000));
  for (const auto &p : counted[0].pairs) EXPECT_EQ(p.value, "3");
  auto summed = read_result(orvik_query_range(db_, "sum(m)", 1000, 7000, 2000));
  EXPECT_EQ(summed[0].pairs[0].value, "10");
  EXPECT_EQ(summed[0].pairs[3].value, "11");
}

TEST_F(RangeQuery, AggregatesOfAllNaNKeepTheirStartingExtremes) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  add("m", R"({"i":"a"})", nan, 1000);
  add("m", R"({"i":"b"})", nan, 1000);
  const struct {
    const char *query;
    const char *value;
  } cases[] = {{"min(m)", "1e+30"}, {"max(m)", "-1e+30"}, {"sum(m)", "NaN"}, {"avg(m)", "NaN"}, {"count(m)", "2"}};
  for (const auto &c : cases) {
    auto r = read_result(orvik_query_range(db_, c.query, 1000, 2000, 1000));
    ASSERT_EQ(r.size(), 1u);
    for (const auto &p : r[0].pairs) EXPECT_EQ(p.value, c.value) << c.query;
  }
}

TEST_F(RangeQuery, RateAtEachStep) {
  for (int i = 0; i <= 8; ++i) add("c", nullptr, 10.0 * i, 1000 + 15000 * i);
  auto r = read_result(orvik_query_range(db_, "sum(rate(c[1m]))", 1000, 121000, 60000));
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].pairs.size(), 3u);
  EXPECT_EQ(r[0].pairs[0].value, "0");  // only one sample so far
  EXPECT_EQ(r[0].pairs[1].value, "0.66666666666667");
  EXPECT_EQ(r[0].pairs[2].value, "0.66666666666667");
}

TEST(RangeQueryLarge, MatrixOfSeveralMegabytesComesBackWhole) {
  orvik_db *db = orvik_create(1024, 64);
  std::string name(100, 'n');
  for (int i = 0; i < 1024; ++i) {
    std::string labels = "{\"core\":\"" + std::to_string(i) + "\",\"mode\":\"idle\"}";
    for (int s = 0; s < 61; ++s) {
      ASSERT_EQ(orvik_append(db, name.c_str(), labels.c_str(), s + i / 4.0, T0 + 15000 * s), 0);
    }
  }
  const char *answer = orvik_query_range(db, name.c_str(), T0, T0 + 900000, 15000);
  EXPECT_GT(std::strlen(answer), size_t{4} << 20);
  auto r = read_result(answer);
  ASSERT_EQ(r.size(), 1024u);
  ASSERT_EQ(r[1023].pairs.size(), 61u);
  EXPECT_EQ(r[1023].pairs[60].value, "315.75");
  orvik_free(db);
}

}  // namespace
