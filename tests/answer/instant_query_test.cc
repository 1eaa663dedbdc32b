// orvik_query: the vector answer, its error answers and its timestamps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "answer/answer.h"
#include "answer_reading.h"

using namespace orvik;

namespace {

constexpr int64_t T0 = 1700000000000;

class InstantQuery : public ::testing::Test {
 protected:
  void SetUp() override { db_ = orvik_create(16, 16); }
  void TearDown() override { orvik_free(db_); }
  void add(const char *name, const char *labels, double value, int64_t ms) {
    ASSERT_EQ(orvik_append(db_, name, labels, value, ms), 0);
  }
  orvik_db *db_ = nullptr;
};

TEST_F(InstantQuery, AnswersTheDocumentedVectorByteForByte) {
  add("windows_cpu_time_total", R"({"mode":"idle","core":"0"})", 12.5, T0);
  EXPECT_STREQ(orvik_query(db_, "windows_cpu_time_total", T0 + 60000),
               R"({
    "status": "success",
    "data": {
        "resultType": "vector",
        "result": [
            {
                "metric": {
                    "__name__": "windows_cpu_time_total",
                    "core": "0",
                    "mode": "idle"
                },
                "value": [
                    1700000000.0,
                    "12.5"
                ]
            }
        ]
    }
})");
}

TEST_F(InstantQuery, SelectingNothingAnswersAnEmptyResult) {
  const char *empty = R"({
    "status": "success",
    "data": {
        "resultType": "vector",
        "result": []
    }
})";
  EXPECT_STREQ(orvik_query(db_, "up", T0), empty);
  add("windows_memory_load_percent", nullptr, 41, T0);
  EXPECT_STREQ(orvik_query(db_, "up", T0), empty);
  orvik_clear(db_);
  EXPECT_STREQ(orvik_query(db_, "windows_memory_load_percent", T0), empty);
}

TEST_F(InstantQuery, AggregateOverNothingIsOneElementWithZero) {
  for (const char *q : {"sum(up)", "avg(up)", "min(up)", "max(up)", "count(up)"}) {
    EXPECT_STREQ(orvik_query(db_, q, T0 + 500), R"({
    "status": "success",
    "data": {
        "resultType": "vector",
        "result": [
            {
                "metric": {},
                "value": [
                    1700000000.5,
                    "0"
                ]
            }
        ]
    }
})") << q;
  }
}

TEST_F(InstantQuery, MissingHandleOrQueryAndRejectedText) {
  set_error("earlier failure");
  // A null handle answers through the process-wide buffer, query or not.
  const char *answer = orvik_query(nullptr, "up", T0);
  EXPECT_STREQ(answer, kMissingQuery);
  EXPECT_NE(answer, db_->answer);
  EXPECT_STREQ(orvik_query(nullptr, nullptr, 0), kMissingQuery);
  EXPECT_STREQ(orvik_query(db_, nullptr, T0), kMissingQuery);
  EXPECT_STREQ(orvik_query(db_, "", T0), kMissingQuery);
  EXPECT_STREQ(orvik_query(db_, "{}", T0), kParseError);
  EXPECT_STREQ(orvik_query(db_, "   ", T0), kParseError);
  EXPECT_STREQ(orvik_query(db_, "sum()", T0), kParseError);
  EXPECT_STREQ(orvik_last_error(), "earlier failure");
}

TEST_F(InstantQuery, PlainElementsCarryTheSampleTimeAggregatesTheEvaluationTime) {
  add("cpu", R"({"core":"0"})", 1, T0);
  add("cpu", R"({"core":"1"})", 2, T0 + 20000);
  auto plain = read_result(orvik_query(db_, "cpu", T0 + 60000));
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0].pairs[0].seconds, 1700000000.0);
  EXPECT_EQ(plain[1].pairs[0].seconds, 1700000020.0);

  auto summed = read_result(orvik_query(db_, "sum(cpu)", T0 + 60000));
  ASSERT_EQ(summed.size(), 1u);
  EXPECT_TRUE(summed[0].metric.empty());
  EXPECT_EQ(summed[0].pairs[0].seconds, 1700000060.0);
  EXPECT_EQ(summed[0].pairs[0].value, "3");
}

TEST_F(InstantQuery, TimeZeroOrLessIsNowInWholeSeconds) {
  add("up", nullptr, 1, T0);
  for (int64_t t : {int64_t{0}, int64_t{-5}}) {
    int64_t before = now_whole_seconds_ms();
    auto r = read_result(orvik_query(db_, "count(up)", t));
    int64_t after = now_whole_seconds_ms();
    ASSERT_EQ(r.size(), 1u);
    double s = r[0].pairs[0].seconds;
    EXPECT_EQ(s, std::floor(s));
    EXPECT_GE(s * 1000, before);
    EXPECT_LE(s * 1000, after);
  }
}

TEST_F(InstantQuery, ElementsFollowTableOrderSinceTheLastClear) {
  add("m", R"({"i":"a"})", 1, T0);
  add("m", R"({"i":"b"})", 2, T0);
  orvik_clear(db_);
  add("m", R"({"i":"c"})", 3, T0);
  add("m", R"({"i":"a"})", 4, T0);
  add("m", R"({"i":"b"})", 5, T0);
  auto r = read_result(orvik_query(db_, "m", T0));
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].metric[1].second, "c");
  EXPECT_EQ(r[1].metric[1].second, "a");
  EXPECT_EQ(r[2].metric[1].second, "b");
  EXPECT_EQ(r[2].pairs[0].value, "5");
}

TEST_F(InstantQuery, NaNIsListedCountedAndPoisonsSums) {
  add("m", R"({"i":"a"})", std::numeric_limits<double>::quiet_NaN(), T0);
  add("m", R"({"i":"b"})", 2, T0);
  auto r = read_result(orvik_query(db_, "m", T0));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].pairs[0].value, "NaN");
  EXPECT_EQ(read_result(orvik_query(db_, "count(m)", T0))[0].pairs[0].value, "2");
  EXPECT_EQ(read_result(orvik_query(db_, "sum(m)", T0))[0].pairs[0].value, "NaN");
  EXPECT_EQ(read_result(orvik_query(db_, "avg(m)", T0))[0].pairs[0].value, "NaN");
  EXPECT_EQ(read_result(orvik_query(db_, "min(m)", T0))[0].pairs[0].value, "2");
}

TEST_F(InstantQuery, SeriesWithoutSamplesIsListedWithZeroAtTheEvaluationTime) {
  ASSERT_EQ(find_or_create_series(db_, "empty", nullptr), 0);
  auto r = read_result(orvik_query(db_, "empty", T0 + 1234));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].pairs[0].value, "0");
  EXPECT_EQ(r[0].pairs[0].seconds, 1700000001.234);
}

TEST_F(InstantQuery, RateIsOneElementPerSeries) {
  add("c", R"({"i":"a"})", 0, T0);
  add("c", R"({"i":"a"})", 30, T0 + 15000);
  add("c", R"({"i":"b"})", 5, T0);
  auto r = read_result(orvik_query(db_, "rate(c[5m])", T0 + 20000));
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].pairs[0].value, "2");
  EXPECT_EQ(r[0].pairs[0].seconds, 1700000015.0);
  EXPECT_EQ(r[1].pairs[0].value, "0");
  EXPECT_EQ(read_result(orvik_query(db_, "sum(rate(c[5m]))", T0 + 20000))[0].pairs[0].value, "2");
}

TEST_F(InstantQuery, LabelValuesWithQuotesAndBackslashesSelectAndShow) {
  add("m", R"({"v":"say \"hi\"","p":"C:\\"})", 1, T0);
  auto r = read_result(orvik_query(db_, R"(m{v="say \"hi\""})", T0));
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].metric.size(), 3u);
  EXPECT_EQ(r[0].metric[1], (std::pair<std::string, std::string>("p", "C:\\")));
  EXPECT_EQ(r[0].metric[2], (std::pair<std::string, std::string>("v", "say \"hi\"")));
}

TEST(InstantQueryLarge, AnswerBeyondTwiceTheFirstBufferComesBackWhole) {
  orvik_db *db = orvik_create(1024, 4);
  std::string name(127, 'n');
  for (int i = 0; i < 1024; ++i) {
    // Sixteen labels fill most of the 511 bytes a canonical text may take.
    std::string labels = "{";
    for (int l = 0; l < 16; ++l) {
      char pair[64];
      std::snprintf(pair, sizeof pair, "%s\"l%02d\":\"value-%04d-%09d\"", l ? "," : "", l, i, l);
      labels += pair;
    }
    labels += "}";
    ASSERT_EQ(orvik_append(db, name.c_str(), labels.c_str(), i + 0.25, T0), 0);
  }
  const char *answer = orvik_query(db, name.c_str(), T0);
  EXPECT_GT(std::strlen(answer), 2 * ANSWER_INITIAL_CAPACITY);
  auto r = read_result(answer);
  ASSERT_EQ(r.size(), 1024u);
  EXPECT_EQ(r[1023].metric.size(), 17u);
  EXPECT_EQ(r[1023].metric[16].second, "value-1023-000000015");
  EXPECT_EQ(r[1023].pairs[0].value, "1023.25");
  orvik_free(db);
}

}  // namespace
