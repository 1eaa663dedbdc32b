#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "query/query.h"

using namespace orvik;

namespace {

// A series built by hand, so timestamps can be anything a ring may hold,
// appended the way the store appends: head moves on, the oldest is lost.
struct test_series {
  std::vector<sample> ring;
  series_entry entry{};

  test_series(uint32_t capacity, const std::vector<sample> &appended) : ring(capacity) {
    entry.capacity = capacity;
    entry.head = capacity - 1;
    entry.ordered = 1;
    entry.ring = ring.data();
    for (const sample &s : appended) push_sample(entry, s);
  }
  explicit test_series(const std::vector<sample> &appended)
      : test_series(static_cast<uint32_t>(appended.size() ? appended.size() : 1), appended) {}
};

promql_query query(int32_t function, int64_t range_ms) {
  promql_query q{};
  q.range_function = function;
  q.range_ms = range_ms;
  return q;
}

struct eval_row {
  int32_t function;
  int64_t range_ms;
  int64_t eval_ms;
  double value;
  int64_t used_ms;
};

void expect_rows(const series_entry &e, const std::vector<eval_row> &rows) {
  for (const eval_row &row : rows) {
    promql_query q = query(row.function, row.range_ms);
    int64_t used = 12345;
    double v = eval_sample(&e, &q, row.eval_ms, &used);
    SCOPED_TRACE(::testing::Message() << "function " << row.function << ", range " << row.range_ms << ", at "
                                      << row.eval_ms);
    EXPECT_DOUBLE_EQ(v, row.value);
    EXPECT_EQ(used, row.used_ms);
  }
}

const test_series kFour({{1000, 1.0}, {2000, 2.0}, {3000, 4.0}, {4000, 8.0}});

TEST(EvalPlain, SampleInForceOrTheOldest) {
  expect_rows(kFour.entry, {
                               {FN_NONE, 60000, 5000, 8.0, 4000},
                               {FN_NONE, 60000, 4000, 8.0, 4000},
                               {FN_NONE, 60000, 3999, 4.0, 3000},
                               {FN_NONE, 60000, 3500, 4.0, 3000},
                               {FN_NONE, 60000, 1000, 1.0, 1000},
                               {FN_NONE, 60000, 500, 1.0, 1000},
                               {FN_NONE, 60000, 0, 8.0, 4000},
                               {FN_NONE, 60000, -5, 8.0, 4000},
                               {FN_NONE, 1, 4000000, 8.0, 4000},  // no staleness limit
                               {7, 60000, 3500, 4.0, 3000},       // unknown kinds read as plain
                               {-1, 60000, 3500, 4.0, 3000},
                           });
}

TEST(EvalRate, WindowFromTheReferenceTime) {
  const double third = 7.0 / 3.0;
  expect_rows(kFour.entry, {
                               {FN_RATE, 60000, 5000, third, 4000},
                               {FN_RATE, 60000, 3500, 1.5, 3000},
                               {FN_RATE, 60000, 1000, 0.0, 1000},
                               {FN_RATE, 60000, 500, 0.0, 1000},
                               {FN_RATE, 60000, 0, third, 4000},
                               {FN_RATE, 1500, 5000, 4.0, 4000},  // sample just before L, outside
                               {FN_RATE, 1500, 3500, 2.0, 3000},  // window start inclusive
                               {FN_RATE, 2499, 3500, 2.0, 3000},
                               {FN_RATE, 2500, 3500, 1.5, 3000},
                               {FN_RATE, 7000, 10000, 4.0, 4000},
                               {FN_RATE, 9000, 10000, third, 4000},
                               {FN_RATE, 1500, 0, 4.0, 4000},
                               {FN_RATE, 3000, 0, third, 4000},
                               {FN_RATE, 0, 5000, 4.0, 4000},
                               {FN_RATE, -300000, 5000, 4.0, 4000},
                           });
}

TEST(EvalIrate, TheTwoSamplesEndingAtTheLast) {
  expect_rows(kFour.entry, {
                               {FN_IRATE, 60000, 5000, 4.0, 4000},
                               {FN_IRATE, 1, 0, 4.0, 4000},
                               {FN_IRATE, 60000, 3000, 2.0, 3000},
                               {FN_IRATE, 60000, 2000, 1.0, 2000},
                               {FN_IRATE, 60000, 1000, 0.0, 1000},
                               {FN_IRATE, 60000, 1, 0.0, 1000},
                           });
}

TEST(EvalFewSamples, EmptyNullAndSingle) {
  const test_series empty(3, {});
  const test_series one({{1000, 5.0}});
  for (int32_t fn : {FN_NONE, FN_RATE, FN_IRATE}) {
    expect_rows(empty.entry, {{fn, 60000, 7000, 0.0, 7000}, {fn, 60000, -3, 0.0, -3}});
    promql_query q = query(fn, 60000);
    int64_t used = 0;
    EXPECT_EQ(eval_sample(nullptr, &q, 9000, &used), 0.0);
    EXPECT_EQ(used, 9000);
  }
  expect_rows(one.entry, {
                             {FN_NONE, 60000, 0, 5.0, 1000},
                             {FN_NONE, 60000, 500, 5.0, 1000},
                             {FN_NONE, 60000, 9000, 5.0, 1000},
                             {FN_RATE, 60000, 9000, 0.0, 1000},
                             {FN_IRATE, 60000, 9000, 0.0, 1000},
                             {FN_IRATE, 60000, 0, 0.0, 1000},
                         });
}

TEST(EvalIncrease, ClampedEqualTimesAndOneMillisecond) {
  const test_series drop({{1000, 10.0}, {2000, 5.0}, {3000, 7.0}});
  expect_rows(drop.entry, {
                              {FN_RATE, 60000, 3000, 0.0, 3000},  // 7 - 10 clamped, not reset-corrected
                              {FN_IRATE, 60000, 3000, 2.0, 3000},
                              {FN_IRATE, 60000, 2000, 0.0, 2000},
                          });
  const test_series same({{1000, 1.0}, {1000, 9.0}});
  expect_rows(same.entry, {{FN_RATE, 60000, 0, 0.0, 1000}, {FN_IRATE, 60000, 0, 0.0, 1000}});
  const test_series close({{1000, 1.0}, {1001, 3.0}});
  expect_rows(close.entry, {{FN_RATE, 60000, 0, 2000.0, 1001}, {FN_IRATE, 60000, 0, 2000.0, 1001}});
}

TEST(EvalIncrease, NaNPassesThrough) {
  const test_series newest({{1000, 1.0}, {2000, NAN}});
  const test_series older({{1000, NAN}, {2000, 1.0}});
  for (const test_series *s : {&newest, &older}) {
    for (int32_t fn : {FN_RATE, FN_IRATE}) {
      promql_query q = query(fn, 60000);
      int64_t used = 0;
      EXPECT_TRUE(std::isnan(eval_sample(&s->entry, &q, 0, &used)));
      EXPECT_EQ(used, 2000);
    }
  }
}

TEST(EvalRing, WrappedRingHoldsOnlyTheNewest) {
  const test_series wrapped(4, {{1000, 1}, {2000, 2}, {3000, 3}, {4000, 4}, {5000, 5}, {6000, 6}});
  expect_rows(wrapped.entry, {
                                 {FN_NONE, 60000, 2000, 3.0, 3000},
                                 {FN_NONE, 60000, 4500, 4.0, 4000},
                                 {FN_RATE, 60000, 10000, 1.0, 6000},
                                 {FN_IRATE, 60000, 3000, 0.0, 3000},
                                 {FN_IRATE, 60000, 4000, 1.0, 4000},
                             });
}

// Samples are walked by position, never sorted.
TEST(EvalRing, OutOfOrderTimestampsFollowAppendOrder) {
  const test_series shuffled({{1000, 1.0}, {5000, 5.0}, {2000, 2.0}, {6000, 6.0}});
  expect_rows(shuffled.entry, {
                                  {FN_NONE, 60000, 5500, 2.0, 2000},
                                  {FN_NONE, 60000, 1500, 1.0, 1000},
                                  {FN_NONE, 60000, 900, 1.0, 1000},
                                  {FN_IRATE, 60000, 5500, 0.0, 2000},  // 5000 is not older than 2000
                                  {FN_RATE, 60000, 0, 5.0 / 5.0, 6000},
                              });
  // The run inside the window ends at the first sample outside it, even
  // when an older position lies inside again.
  const test_series gap({{3000, 3.0}, {500, 1.0}, {3500, 2.0}, {4000, 4.0}});
  expect_rows(gap.entry, {{FN_RATE, 1000, 4000, 4.0, 4000}});
  const test_series outside_first({{3000, 0.0}, {500, 1.0}, {4000, 4.0}});
  expect_rows(outside_first.entry, {{FN_RATE, 1000, 4000, 3.0 / 3.5, 4000}});
}

// A ring in time order is searched, any other walked; both must find the
// same samples, so every evaluation of a random ring is repeated with the
// walk forced, and once more with a hint left by every evaluation before it,
// of other rings, times and ranges. Few distinct times make equal
// timestamps common, and a search that stops at the wrong one of a run of
// equals gives another value.
TEST(EvalRing, SearchAgreesWithTheWalk) {
  std::mt19937_64 rng(15);
  eval_hint carried;
  for (int round = 0; round < 400; ++round) {
    const uint32_t capacity = 1 + static_cast<uint32_t>(rng() % 24);
    const size_t appends = rng() % (3 * capacity);
    const bool shuffle = round % 3 == 0;
    std::vector<sample> appended;
    int64_t t = static_cast<int64_t>(rng() % 5) * 1000;
    for (size_t i = 0; i < appends; ++i) {
      t += static_cast<int64_t>(rng() % 3) * 1000;
      appended.push_back({shuffle ? static_cast<int64_t>(rng() % 40) * 1000 : t, static_cast<double>(rng() % 100)});
    }
    const test_series searched(capacity, appended);
    bool in_order = true;
    for (size_t i = 1; i < appended.size(); ++i) in_order = in_order && appended[i - 1].timestamp_ms <= appended[i].timestamp_ms;
    EXPECT_EQ(searched.entry.ordered, in_order ? 1u : 0u) << "round " << round;
    series_entry walked = searched.entry;
    walked.ordered = 0;
    for (int32_t fn : {FN_NONE, FN_RATE, FN_IRATE}) {
      for (int64_t range : {int64_t{500}, int64_t{1000}, int64_t{3000}, int64_t{60000}}) {
        const promql_query q = query(fn, range);
        for (int64_t at = -1000; at <= t + 2000; at += 500) {
          int64_t used_searched = 1, used_walked = 2, used_hinted = 3;
          const double a = eval_sample(&searched.entry, &q, at, &used_searched);
          const double b = eval_sample(&walked, &q, at, &used_walked);
          const double c = eval_sample(&searched.entry, &q, at, &used_hinted, &carried);
          ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "round " << round << ", fn " << fn << ", range " << range
                                                      << ", at " << at << ": " << a << " vs " << b;
          ASSERT_EQ(std::memcmp(&a, &c, sizeof a), 0) << "hinted, round " << round << ", at " << at;
          ASSERT_EQ(used_searched, used_walked) << "round " << round << ", at " << at;
          ASSERT_EQ(used_searched, used_hinted) << "hinted, round " << round << ", at " << at;
        }
      }
    }
  }
}

// Times and ranges at the limits of 64 bits: nothing may overflow (the
// sanitizer build aborts on signed overflow).
TEST(EvalLimits, WindowStartSaturates) {
  const test_series low({{INT64_MIN, 0.0}, {-5, 1.0}, {-4, 3.0}});
  // -4 - INT64_MAX is below the smallest time: the window takes in all.
  const double all = 3.0 / ((-4.0 - static_cast<double>(INT64_MIN)) / 1000.0);
  expect_rows(low.entry, {
                             {FN_RATE, INT64_MAX, 0, all, -4},
                             {FN_RATE, INT64_MAX - 3, 0, all, -4},     // start exactly INT64_MIN
                             {FN_RATE, INT64_MAX - 4, 0, 2000.0, -4},  // start INT64_MIN + 1: not the oldest
                             {FN_IRATE, INT64_MAX, 0, 2000.0, -4},
                             {FN_NONE, INT64_MAX, INT64_MAX, 3.0, -4},
                         });
  // A negative range pushes the start above the largest time: as irate.
  const test_series high({{1000, 1.0}, {INT64_MAX - 1, 3.0}, {INT64_MAX, 7.0}});
  expect_rows(high.entry, {
                              {FN_RATE, INT64_MIN, INT64_MAX, 4000.0, INT64_MAX},
                              {FN_RATE, -1, 0, 4000.0, INT64_MAX},
                              {FN_RATE, INT64_MAX, INT64_MAX, 6.0 / ((static_cast<double>(INT64_MAX) - 1000) / 1000), INT64_MAX},
                          });
  const test_series one_at_min({{INT64_MIN, 2.0}});
  expect_rows(one_at_min.entry, {{FN_RATE, INT64_MAX, INT64_MAX, 0.0, INT64_MIN},
                                 {FN_NONE, INT64_MIN, INT64_MIN, 2.0, INT64_MIN}});
}

TEST(EvalLimits, TimeDifferenceBeyond64Bits) {
  const test_series apart({{INT64_MIN, 1.0}, {INT64_MAX, 3.0}});
  const double span = (static_cast<double>(INT64_MAX) - static_cast<double>(INT64_MIN)) / 1000.0;
  expect_rows(apart.entry, {
                               {FN_IRATE, 0, 0, 2.0 / span, INT64_MAX},
                               {FN_RATE, INT64_MAX, INT64_MAX, 2.0 / span, INT64_MAX},
                           });
  const test_series backwards({{INT64_MAX, 1.0}, {INT64_MIN, 3.0}});
  expect_rows(backwards.entry, {
                                   {FN_IRATE, 0, 0, 0.0, INT64_MIN},
                                   {FN_RATE, INT64_MIN, 0, 0.0, INT64_MIN},
                                   {FN_NONE, 0, INT64_MAX, 3.0, INT64_MIN},
                               });
}

TEST(EvalLimits, ParsedExtremeRangesEvaluate) {
  const test_series s({{1000, 1.0}, {2000, 2.0}, {3000, 4.0}});
  for (const char *text : {"rate(x[99999999999d])", "rate(x[-99999999999d])", "rate(x[-99999999999s])"}) {
    promql_query q;
    ASSERT_EQ(parse_promql(text, &q), 0);
    for (int64_t at : {INT64_MIN, int64_t{-1}, int64_t{0}, int64_t{2500}, INT64_MAX}) {
      int64_t used = 0;
      double v = eval_sample(&s.entry, &q, at, &used);
      EXPECT_TRUE(v == 0.0 || v == 1.5 || v == 2.0 || v == 1.0) << text << " at " << at << ": " << v;
    }
  }
}

}  // namespace
