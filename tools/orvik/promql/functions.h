// The functions of the query language, over plain values: what the engine
// calls once it has selected a series' points, an element's value or a
// group's buckets. Each computes what PromQL computes, to the order of its
// floating-point operations, so that answers agree with a Prometheus server
// to the last digits, except where the store keeps its own rules (rate,
// irate and increase, below).
#ifndef ORVIK_HOST_PROMQL_FUNCTIONS_H
#define ORVIK_HOST_PROMQL_FUNCTIONS_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "promql/value.h"

namespace re2 {
class RE2;
}

namespace orvik_host::promql {

enum class range_function_id {
  avg_over_time, min_over_time, max_over_time, sum_over_time, count_over_time, last_over_time,
  quantile_over_time, stddev_over_time, stdvar_over_time, present_over_time,
  changes, resets, deriv, predict_linear, delta, idelta, increase, rate, irate,
};

// The function of that name, so that a step loop looks the name up once.
std::optional<range_function_id> find_range_function(std::string_view name);

// A range function over one series' points, in time order, at evaluation
// time t (ms) with the bracketed range range_ms. False: the function yields
// no element for this series (no points; fewer than two for deriv,
// predict_linear, delta and idelta; idelta's two samples at one time; a
// missing argument).
//
// pts are the points in the window [t - range_ms, t], both ends included,
// and t is the window's end: the evaluation time less any offset. Two
// functions read more than that:
// - predict_linear(v, s): scalar_args[0] = s. PromQL anchors its line at the
//   evaluation time itself, which lies the offset after the window's end;
//   scalar_args[1], when given, is that offset in milliseconds.
// - quantile_over_time(q, v): scalar_args[0] = q.
//
// rate, irate and increase follow the store's rules, not PromQL's, so that
// an answer does not depend on whether the store or the engine computed it:
// - rate = (last - first value of pts) / seconds between their times, 0 when
//   negative (a counter reset is not corrected) and 0 for times 0.1 ms or
//   less apart; irate = the same over the last two points; increase =
//   rate x range_ms / 1000.
// - The store, seeing fewer than two samples in the window, reaches back to
//   the sample just before it (however old). The engine passes that sample
//   as the first point in that case: pts are then the window's one sample
//   preceded by the one before it, or, for an empty window, the newest two
//   samples at or before t. A single point gives 0 (the series' only
//   sample); no point gives no element.
bool range_function(range_function_id fn, const std::vector<point> &pts, int64_t t, int64_t range_ms,
                    const std::vector<double> &scalar_args, double *out);
bool range_function(std::string_view name, const std::vector<point> &pts, int64_t t, int64_t range_ms,
                    const std::vector<double> &scalar_args, double *out);

// An element-wise function of a value x: abs ceil floor round (args:
// optional to_nearest) exp ln log2 log10 sqrt sgn, acos acosh asin asinh atan
// atanh cos cosh sin sinh tan tanh, deg rad, clamp (args: min, max)
// clamp_min (min) clamp_max (max). False: an unknown name or a missing
// argument, or no element: clamp with max below min answers an empty vector.
bool scalar_function(std::string_view name, double x, const std::vector<double> &args, double *out);

// day_of_month day_of_week (0 = Sunday) day_of_year days_in_month hour
// minute month year of a Unix time in seconds, in UTC; fractions of a second
// are cut towards zero. NaN, infinities and times beyond 64-bit seconds read
// as the lowest 64-bit second wrapped around, a day in the year 292277026596,
// as a Prometheus server reads them. False: an unknown name.
bool date_function(std::string_view name, double seconds, double *out);

// The q-quantile of values, interpolated between the two nearest ranks, as
// the quantile aggregation and quantile_over_time compute it: NaN for no
// values or a NaN q, -Inf for q < 0, +Inf for q > 1. NaN values rank lowest.
double quantile(double q, std::vector<double> values);

// The q-quantile of one classic histogram, from (upper bound, cumulative
// count) pairs in any order: buckets of equal bounds are added together,
// counts that fall are raised to the highest count below them, and the
// quantile is interpolated linearly inside its bucket (from 0 for the lowest
// bucket with a positive bound). NaN without a +Inf bucket, with fewer than
// two buckets or no observations, or for a NaN q; -Inf/+Inf for q outside
// [0, 1]; the highest finite bound when the rank falls in the +Inf bucket.
double histogram_quantile(double q, std::vector<std::pair<double, double>> le_counts);

// label_replace(v, dst, repl, src, regex) compiled once for a whole vector.
// The regular expression must match the whole source value (an absent label
// reads as empty); repl may name groups as $1, $name or ${name} ($$ is a
// dollar, a group that did not take part reads as empty); an empty result
// removes dst; no match leaves the labels as they are.
class label_replacer {
 public:
  // False, with PromQL's message in *error, for an invalid regular expression
  // or destination label name.
  bool compile(const std::string &dst, const std::string &repl, const std::string &src, const std::string &regex,
               std::string *error);
  void apply(label_set &m) const;

 private:
  std::string dst_, repl_, src_;
  std::shared_ptr<const re2::RE2> re_;
};

// One label_replace on one label set; a vector's worth compiles a
// label_replacer once instead.
bool label_replace(label_set &m, const std::string &dst, const std::string &repl, const std::string &src,
                   const std::string &regex, std::string *error);

// label_join(v, dst, sep, srcs...): dst becomes the values of srcs (empty
// for absent ones) joined by sep, or is removed when that is empty. False,
// with PromQL's message in *error when given, for an invalid label name
// (sources are checked first, then dst); m is then unchanged.
bool label_join(label_set &m, const std::string &dst, const std::string &sep, const std::vector<std::string> &srcs,
                std::string *error = nullptr);

// Whether a text is a label name the language accepts: [a-zA-Z_][a-zA-Z0-9_]*.
bool valid_label_name(std::string_view name);

}  // namespace orvik_host::promql

#endif
