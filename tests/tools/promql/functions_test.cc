#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "promql/functions.h"

// The expected values are what a Prometheus 2.42 server answers for the same
// points, except for rate, irate and increase, which follow the store.
namespace orvik_host::promql {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr double NONE = -12345.678;  // the function yields no element
constexpr int64_t M = 60000;

// Equal to 12 significant digits, NaN to NaN, and zeros of the same sign.
::testing::AssertionResult same(double got, double want) {
  const bool ok = std::isnan(want) ? std::isnan(got)
                  : want == 0      ? got == 0 && std::signbit(got) == std::signbit(want)
                                   : got == want || std::fabs(got - want) <= 1e-12 * std::fabs(want);
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << got << ", want " << want;
}

// A call's outcome against a row's expectation.
void expect_outcome(bool present, double got, double want, const std::string &what) {
  EXPECT_EQ(present, want != NONE) << what;
  if (present && want != NONE) {
    EXPECT_TRUE(same(got, want)) << what;
  }
}

std::vector<point> minutely(int64_t first, const std::vector<double> &values) {
  std::vector<point> pts;
  for (double v : values) pts.push_back({first + static_cast<int64_t>(pts.size()) * M, v});
  return pts;
}

TEST(RangeFunctions, MatchPromqlAndTheStoreRules) {
  struct row {
    const char *fn;
    int64_t first;  // the points lie a minute apart from here
    std::vector<double> values;
    int64_t t, range;
    std::vector<double> args;
    double want;
  } rows[] = {
      {"avg_over_time", 0, {1, 2, 3, 4}, 3 * M, 5 * M, {}, 2.5},
      {"avg_over_time", 0, {Inf, 1}, M, 5 * M, {}, Inf},
      {"avg_over_time", 0, {Inf, -Inf}, M, 5 * M, {}, NaN},
      {"avg_over_time", 0, {1, Inf, NaN}, 2 * M, 5 * M, {}, NaN},
      {"avg_over_time", 0, {1e308, 1e308}, M, 5 * M, {}, 1e308},  // a plain sum would overflow
      {"avg_over_time", 0, {}, M, 5 * M, {}, NONE},
      {"sum_over_time", 0, {1e100, 1, -1e100}, 2 * M, 5 * M, {}, 1},  // compensated
      {"sum_over_time", 0, {1, Inf, 2}, 2 * M, 5 * M, {}, Inf},
      {"sum_over_time", 0, {1e308, 1e308, -1e308}, 2 * M, 5 * M, {}, Inf},
      {"min_over_time", 0, {NaN, 3, 1}, 2 * M, 5 * M, {}, 1},
      {"max_over_time", 0, {3, NaN}, M, 5 * M, {}, 3},
      {"min_over_time", 0, {NaN, NaN}, M, 5 * M, {}, NaN},
      {"count_over_time", 0, {NaN, 1}, M, 5 * M, {}, 2},
      {"last_over_time", 0, {1, NaN}, M, 5 * M, {}, NaN},
      {"quantile_over_time", 0, {4, 1, 3, 2}, 3 * M, 5 * M, {0.5}, 2.5},
      {"quantile_over_time", 0, {4, NaN, 1, 2}, 3 * M, 5 * M, {0.25}, NaN},  // NaN ranks lowest
      {"quantile_over_time", 0, {4, 1}, M, 5 * M, {-1}, -Inf},
      {"quantile_over_time", 0, {4, 1}, M, 5 * M, {}, NONE},
      {"stddev_over_time", 0, {2, 4, 4, 4, 5, 5, 7, 9}, 7 * M, 10 * M, {}, 2},
      {"stdvar_over_time", 0, {1e9 + 0.1, 1e9 + 0.2, 1e9 + 0.3, 1e9 + 0.5}, 3 * M, 10 * M, {}, 0.021874991059306126},
      {"stddev_over_time", 0, {1, Inf}, M, 10 * M, {}, NaN},
      {"present_over_time", 0, {NaN}, 0, 5 * M, {}, 1},
      {"changes", 0, {1, 1, 2, NaN, NaN, 2}, 5 * M, 10 * M, {}, 3},
      {"changes", 0, {1}, 0, 10 * M, {}, 0},
      {"resets", 0, {5, 3, 4, 1, 1}, 4 * M, 10 * M, {}, 2},
      {"deriv", 0, {0, 10, 25}, 2 * M, 10 * M, {}, 25.0 / 120},
      {"deriv", 0, {5, 5, 5}, 2 * M, 10 * M, {}, 0},
      {"deriv", 0, {Inf, Inf}, M, 10 * M, {}, NaN},
      {"deriv", 0, {5}, M, 10 * M, {}, NONE},
      {"predict_linear", 0, {0, 10, 25}, 3 * M, 10 * M, {60}, 49.166666666666664},
      // With offset 1m the window ends a minute earlier, the line is still
      // anchored at the evaluation time.
      {"predict_linear", 0, {0, 10, 25}, 2 * M, 3 * M, {60, 60000}, 49.166666666666664},
      {"delta", 0, {0, 10, 20, 30, 40, 50}, 5 * M, 5 * M, {}, 50},
      {"delta", 3 * M, {30, 40, 50}, 5 * M, 5 * M, {}, 25},   // start too far: half an interval
      {"delta", M, {10, 20, 30, 40}, 6 * M, 5 * M, {}, 35},  // end too far
      {"delta", 0, {50, 40, 0, 30}, 3 * M, 5 * M, {}, -23.333333333333336},
      {"delta", 0, {5}, 0, 5 * M, {}, NONE},
      {"idelta", 0, {0, 10, 25}, 2 * M, 5 * M, {}, 15},
      {"idelta", 0, {25}, 0, 5 * M, {}, NONE},
      // The store's rules: first to last over their own span, falls clamped.
      {"rate", 0, {0, 100, 120}, 2 * M, 5 * M, {}, 1},
      {"irate", 0, {0, 100, 120}, 2 * M, 5 * M, {}, 20.0 / 60},
      {"increase", 0, {0, 100, 120}, 2 * M, 5 * M, {}, 300},
      {"rate", 0, {10, 5}, M, 5 * M, {}, 0},
      {"irate", 0, {0, 10, 5}, 2 * M, 5 * M, {}, 0},
      {"rate", 0, {0, NaN}, M, 5 * M, {}, NaN},
      {"rate", 0, {7}, 0, 5 * M, {}, 0},
      {"increase", 0, {7}, 0, 5 * M, {}, 0},
      {"rate", 0, {}, 0, 5 * M, {}, NONE},
      {"holt_winters", 0, {1, 2}, M, 5 * M, {0.5, 0.5}, NONE},
  };
  for (const row &r : rows) {
    double got = NONE;
    const bool present = range_function(r.fn, minutely(r.first, r.values), r.t, r.range, r.args, &got);
    expect_outcome(present, got, r.want, std::string(r.fn) + " of " + std::to_string(r.values.size()) + " points");
  }

  // Two samples at one time: idelta has no interval, the store's rates none
  // it divides by.
  const std::vector<point> same_time = {{M, 1}, {M, 5}};
  double got = NONE;
  EXPECT_FALSE(range_function("idelta", same_time, M, M, {}, &got));
  ASSERT_TRUE(range_function("irate", same_time, M, M, {}, &got));
  EXPECT_EQ(got, 0);
}

TEST(ElementFunctions, MatchPromql) {
  struct row {
    const char *fn;
    double x;
    std::vector<double> args;
    double want;
  } rows[] = {
      {"round", -2.5, {}, -2},  // halves round up
      {"round", 0.35, {0.1}, 0.4},   {"round", 2.5, {0}, NaN},
      {"clamp", NaN, {0, 1}, NaN},   {"clamp", -1, {0, 1}, 0},
      {"clamp", 5, {2, 1}, NONE},  // max below min: an empty vector
      {"clamp_min", NaN, {0}, NaN},  {"clamp_max", -0.0, {0}, -0.0},
      {"clamp_max", 3, {}, NONE},    {"sgn", NaN, {}, NaN},
      {"sgn", -3, {}, -1},
      {"deg", 3.141592653589793, {}, 180},
      {"rad", 180, {}, 3.141592653589793},
      {"ln", -1, {}, NaN},           {"acosh", 0.5, {}, NaN},
      {"log2", 8, {}, 3},            {"nosuch", 1, {}, NONE},
  };
  for (const row &r : rows) {
    double got = NONE;
    const bool present = scalar_function(r.fn, r.x, r.args, &got);
    expect_outcome(present, got, r.want, std::string(r.fn) + "(" + std::to_string(r.x) + ")");
  }
}

TEST(DateFunctions, MatchPromqlAlsoForNaN) {
  struct row {
    const char *fn;
    double seconds;
    double want;
  } rows[] = {
      {"year", -1.5, 1969},  // cut towards zero: a second before 1970
      {"day_of_week", -86401, 2},
      {"days_in_month", 951782400, 29},  // 2000-02-29
      {"day_of_year", 4107542400, 60},   // 2100-03-01, not a leap year
      {"hour", 1700000000, 22},
      {"minute", 1700000000, 13},
      {"day_of_month", 1700000000, 14},
      // NaN and infinities become a fixed day far in the future.
      {"year", NaN, 292277026596},
      {"year", -Inf, 292277026596},
      {"month", NaN, 12},
      {"day_of_month", NaN, 4},
      {"day_of_year", NaN, 339},
      {"days_in_month", NaN, 31},
      {"day_of_week", NaN, 0},
      {"hour", Inf, 15},
      {"minute", NaN, 30},
      {"week", 0, NONE},
  };
  for (const row &r : rows) {
    double got = NONE;
    const bool present = date_function(r.fn, r.seconds, &got);
    expect_outcome(present, got, r.want, std::string(r.fn) + "(" + std::to_string(r.seconds) + ")");
  }
}

TEST(HistogramQuantile, FollowsTheBucketRules) {
  struct row {
    double q;
    std::vector<std::pair<double, double>> buckets;
    double want;
  } rows[] = {
      {0.5, {{Inf, 3}, {0, 0}, {4, 2}, {2, 1}, {6, 3}}, 3},  // any order
      {0, {{0, 0}, {2, 1}, {4, 2}, {6, 3}, {Inf, 3}}, 0},
      {1.01, {{2, 1}, {Inf, 3}}, Inf},
      {-0.5, {{2, 1}, {Inf, 3}}, -Inf},
      {NaN, {{2, 1}, {Inf, 3}}, NaN},
      {0.5, {{1, 1}, {2, 3}}, NaN},  // no +Inf bucket
      {0.5, {{Inf, 3}}, NaN},
      {0.5, {{1, 0}, {Inf, 0}}, NaN},
      {0.5, {}, NaN},
      {0.9, {{1, 1}, {Inf, 3}}, 1},                        // in the +Inf bucket
      {0.5, {{-1, 2}, {Inf, 3}}, -1},                      // lowest bound not above 0
      {0.6, {{1, 2}, {2, 1}, {3, 4}, {Inf, 4}}, 2.2},      // a falling count raised
      {0.25, {{1, 1}, {1.0, 1}, {2, 4}, {Inf, 4}}, 0.5},  // equal bounds added
      {0, {{1, 0}, {2, 4}, {Inf, 4}}, NaN},
      {1, {{1, 0}, {2, 4}, {Inf, 4}}, 2},
  };
  for (const row &r : rows) EXPECT_TRUE(same(histogram_quantile(r.q, r.buckets), r.want)) << "q " << r.q;
  EXPECT_TRUE(same(quantile(0.5, {}), NaN));
  EXPECT_TRUE(same(quantile(NaN, {1, 2}), NaN));
  EXPECT_TRUE(same(quantile(2, {1, 2}), Inf));
}

std::string text(const label_set &m) {
  std::string s;
  for (const label &l : m) s += l.name + "=" + l.value + ",";
  return s;
}

TEST(LabelFunctions, ReplaceAndJoinAsPromqlDoes) {
  const label_set x = {{"__name__", "x"}, {"a", "foo-bar"}}, y = {{"a", "v"}, {"d", "old"}};
  struct row {
    label_set in;
    const char *dst, *repl, *src, *regex;
    const char *want;  // labels, or the error
  } rows[] = {
      {x, "d", "$1_$2", "a", "(.*)-(.*)", "__name__=x,a=foo-bar,d=bar,"},  // "$1_" names group "1_"
      {x, "d", "$1x|${1}x|$$|$|${1|$0|$01|$3", "a", "(.*)-(.*)", "__name__=x,a=foo-bar,d=|foox|$|$|${1|foo-bar||,"},
      {x, "d", "<${first}>", "a", "(?P<first>[a-z]+)-.*", "__name__=x,a=foo-bar,d=<foo>,"},
      {x, "d", "z", "a", "nomatch", "__name__=x,a=foo-bar,"},
      {x, "d", "$1", "a", "f(o+)", "__name__=x,a=foo-bar,"},  // anchored at both ends
      {x, "d", "$1", "a", "x)|(r", "__name__=x,a=foo-bar,d=r,"},
      {x, "d", "z", "missing", "", "__name__=x,a=foo-bar,d=z,"},  // absent reads as empty
      {x, "d", "z", "1a", ".*", "__name__=x,a=foo-bar,d=z,"},  // an invalid source reads as absent
      {y, "d", "", "a", ".*", "a=v,"},         // an empty result removes dst
      {y, "d", "$1", "a", "(x)?v", "a=v,"},  // so does a group that took no part
      {y, "b", "$0", "a", ".*", "a=v,b=v,d=old,"},
      {x, "d", "z", "a", "(", "invalid regular expression in label_replace(): ("},
      {x, "1d", "z", "a", ".*", "invalid destination label name in label_replace(): 1d"},
  };
  for (row &r : rows) {
    std::string error;
    const bool ok = label_replace(r.in, r.dst, r.repl, r.src, r.regex, &error);
    EXPECT_EQ(ok ? text(r.in) : error, r.want) << r.repl << " / " << r.regex;
  }

  label_set m = x;
  std::string error;
  ASSERT_TRUE(label_join(m, "d", "-", {"a", "missing", "a"}, &error));
  EXPECT_EQ(text(m), "__name__=x,a=foo-bar,d=foo-bar--foo-bar,");
  m = y;
  ASSERT_TRUE(label_join(m, "d", "", {"missing"}, &error));
  EXPECT_EQ(text(m), "a=v,");
  EXPECT_FALSE(label_join(m, "1d", "-", {"a-b"}, &error));
  EXPECT_EQ(error, "invalid source label name in label_join(): a-b");
  EXPECT_FALSE(label_join(m, "1d", "-", {"a"}, &error));
  EXPECT_EQ(error, "invalid destination label name in label_join(): 1d");
  EXPECT_FALSE(label_join(m, "d", "-", {""}));
}

}  // namespace
}  // namespace orvik_host::promql
