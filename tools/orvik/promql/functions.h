// The function library of the query language: pure functions over one
// series' points or one element's value, which the engine calls per step.
#ifndef ORVIK_HOST_PROMQL_FUNCTIONS_H
#define ORVIK_HOST_PROMQL_FUNCTIONS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "promql/value.h"

namespace orvik_host::promql {

// A range function (rate, avg_over_time, ...) of one series' points inside
// the window (ms) at evaluation time t over range range_ms. False: no
// element for this series at this step.
bool range_function(std::string_view name, const std::vector<point> &pts, int64_t t, int64_t range_ms,
                    const std::vector<double> &scalar_args, double *out);

// Element-wise math on one value (abs, ceil, ..., clamp with its arguments).
bool scalar_function(std::string_view name, double x, const std::vector<double> &args, double *out);

// day_of_month and the other date functions of a time in seconds.
bool date_function(std::string_view name, double seconds, double *out);

double quantile(double q, std::vector<double> values);

// Buckets as (upper bound, cumulative count).
double histogram_quantile(double q, std::vector<std::pair<double, double>> le_counts);

bool label_replace(label_set &m, const std::string &dst, const std::string &repl, const std::string &src,
                   const std::string &regex, std::string *error);
bool label_join(label_set &m, const std::string &dst, const std::string &sep, const std::vector<std::string> &srcs);

}  // namespace orvik_host::promql

#endif
