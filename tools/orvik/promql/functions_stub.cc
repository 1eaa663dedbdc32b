// A stand-in for the function library until it is merged: enough of it for
// the engine's own tests. Delete this file when functions.cc lands.
#include <algorithm>
#include <cmath>
#include <ctime>

#include <re2/re2.h>

#include "promql/functions.h"

namespace orvik_host::promql {

bool range_function(std::string_view name, const std::vector<point> &pts, int64_t, int64_t range_ms,
                    const std::vector<double> &args, double *out) {
  if (pts.empty()) return false;
  const point &first = pts.front(), &last = pts.back();
  if (name == "rate" || name == "increase" || name == "irate") {
    const point &from = name == "irate" && pts.size() > 1 ? pts[pts.size() - 2] : first;
    const double rate = pts.size() < 2 ? 0.0 : std::max(0.0, last.v - from.v) / (static_cast<double>(last.t - from.t) / 1000.0);
    *out = name == "increase" ? rate * static_cast<double>(range_ms) / 1000.0 : rate;
    return true;
  }
  double sum = 0.0, min = first.v, max = first.v;
  for (const point &p : pts) {
    sum += p.v;
    min = std::min(min, p.v);
    max = std::max(max, p.v);
  }
  const double n = static_cast<double>(pts.size());
  if (name == "sum_over_time") *out = sum;
  else if (name == "avg_over_time") *out = sum / n;
  else if (name == "min_over_time") *out = min;
  else if (name == "max_over_time") *out = max;
  else if (name == "count_over_time") *out = n;
  else if (name == "last_over_time") *out = last.v;
  else if (name == "quantile_over_time") {
    std::vector<double> values;
    for (const point &p : pts) values.push_back(p.v);
    *out = quantile(args[0], values);
  } else return false;
  return true;
}

bool scalar_function(std::string_view name, double x, const std::vector<double> &args, double *out) {
  if (name == "abs") *out = std::fabs(x);
  else if (name == "ceil") *out = std::ceil(x);
  else if (name == "floor") *out = std::floor(x);
  else if (name == "sqrt") *out = std::sqrt(x);
  else if (name == "clamp_max") *out = std::min(x, args[0]);
  else if (name == "clamp_min") *out = std::max(x, args[0]);
  else if (name == "clamp") {
    if (args[0] > args[1]) return false;
    *out = std::max(args[0], std::min(x, args[1]));
  } else if (name == "round") {
    const double to = args.empty() ? 1.0 : args[0];
    *out = std::floor(x / to + 0.5) * to;
  } else return false;
  return true;
}

bool date_function(std::string_view name, double seconds, double *out) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  if (name == "hour") *out = tm.tm_hour;
  else if (name == "minute") *out = tm.tm_min;
  else if (name == "year") *out = tm.tm_year + 1900;
  else return false;
  return true;
}

double quantile(double q, std::vector<double> values) {
  if (values.empty()) return std::nan("");
  if (q < 0) return -INFINITY;
  if (q > 1) return INFINITY;
  std::sort(values.begin(), values.end());
  const double rank = q * static_cast<double>(values.size() - 1);
  const size_t lower = static_cast<size_t>(std::floor(rank));
  const size_t upper = std::min(lower + 1, values.size() - 1);
  const double w = rank - std::floor(rank);
  return values[lower] * (1 - w) + values[upper] * w;
}

double histogram_quantile(double q, std::vector<std::pair<double, double>> b) {
  std::sort(b.begin(), b.end());
  if (b.size() < 2 || !std::isinf(b.back().first)) return std::nan("");
  const double rank = q * b.back().second;
  size_t i = 0;
  while (i + 1 < b.size() && b[i].second < rank) ++i;
  if (i == b.size() - 1) return b[b.size() - 2].first;
  const double lo = i == 0 ? 0.0 : b[i - 1].first, below = i == 0 ? 0.0 : b[i - 1].second;
  return lo + (b[i].first - lo) * (rank - below) / (b[i].second - below);
}

namespace {
void put(label_set &m, const std::string &name, const std::string &value) {
  m.erase(std::remove_if(m.begin(), m.end(), [&](const label &l) { return l.name == name; }), m.end());
  if (!value.empty()) m.push_back({name, value});
  std::sort(m.begin(), m.end(), [](const label &a, const label &b) { return a.name < b.name; });
}
std::string value_of(const label_set &m, const std::string &name) {
  for (const label &l : m)
    if (l.name == name) return l.value;
  return "";
}
}  // namespace

bool label_replace(label_set &m, const std::string &dst, const std::string &repl, const std::string &src,
                   const std::string &regex, std::string *error) {
  RE2 re(regex);
  if (!re.ok()) {
    *error = "invalid regular expression in label_replace(): " + regex;
    return false;
  }
  std::string value = value_of(m, src);
  re2::StringPiece groups[10];
  if (!re.Match(value, 0, value.size(), RE2::ANCHOR_BOTH, groups, 10)) return true;
  std::string out;
  for (size_t i = 0; i < repl.size(); ++i) {
    if (repl[i] == '$' && i + 1 < repl.size() && repl[i + 1] >= '0' && repl[i + 1] <= '9') {
      out += std::string(groups[repl[i + 1] - '0'].data() ? groups[repl[i + 1] - '0'] : re2::StringPiece());
      ++i;
    } else {
      out += repl[i];
    }
  }
  put(m, dst, out);
  return true;
}

bool label_join(label_set &m, const std::string &dst, const std::string &sep, const std::vector<std::string> &srcs) {
  std::string out;
  for (size_t i = 0; i < srcs.size(); ++i) out += (i ? sep : "") + value_of(m, srcs[i]);
  put(m, dst, out);
  return true;
}

}  // namespace orvik_host::promql
