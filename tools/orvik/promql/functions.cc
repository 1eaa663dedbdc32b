#include "promql/functions.h"

#include <re2/re2.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "promql/parser.h"

namespace orvik_host::promql {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr double PI = 3.14159265358979323846;

// Compensated (Neumaier) summation, the running pair a Prometheus server
// keeps for sum_over_time, stddev/stdvar_over_time and regressions: answers
// are compared digit for digit, so the same sums must be formed the same way.
// Once the sum is infinite the compensation is dropped, so that an infinity
// comes out as itself rather than as NaN.
inline void kahan_add(double inc, double &sum, double &c) {
  const double t = sum + inc;
  if (std::isinf(t)) {
    c = 0;
  } else if (std::fabs(sum) >= std::fabs(inc)) {
    c += (sum - t) + inc;
  } else {
    c += (inc - t) + sum;
  }
  sum = t;
}

// The language's max and min: NaN wins over everything but the infinity on
// the chosen side, and +0 is above -0 (std::fmax ignores NaN instead).
double go_max(double x, double y) {
  if (std::isinf(x) && x > 0) return x;
  if (std::isinf(y) && y > 0) return y;
  if (std::isnan(x) || std::isnan(y)) return NaN;
  if (x == 0 && x == y) return std::signbit(x) ? y : x;
  return x > y ? x : y;
}

double go_min(double x, double y) {
  if (std::isinf(x) && x < 0) return x;
  if (std::isinf(y) && y < 0) return y;
  if (std::isnan(x) || std::isnan(y)) return NaN;
  if (x == 0 && x == y) return std::signbit(x) ? x : y;
  return x < y ? x : y;
}

// The incremental mean avg_over_time keeps (without compensation), with
// its guards for infinite means: an infinite mean stays unless a NaN or the
// opposite infinity arrives.
double mean_over_time(const std::vector<point> &pts) {
  double mean = 0, count = 0;
  for (const point &p : pts) {
    count += 1;
    if (std::isinf(mean)) {
      if (std::isinf(p.v) && (mean > 0) == (p.v > 0)) continue;
      if (!std::isinf(p.v) && !std::isnan(p.v)) continue;
    }
    mean += p.v / count - mean / count;
  }
  return mean;
}

double variance_over_time(const std::vector<point> &pts) {
  double count = 0, mean = 0, c_mean = 0, aux = 0, c_aux = 0;
  for (const point &p : pts) {
    count += 1;
    const double delta = p.v - (mean + c_mean);
    kahan_add(delta / count, mean, c_mean);
    kahan_add(delta * (p.v - (mean + c_mean)), aux, c_aux);
  }
  return (aux + c_aux) / count;
}

// Least squares through pts, with times in seconds from intercept_ms so that
// the sums stay small; the intercept is the line's value at intercept_ms.
// A constant series has slope 0 exactly (NaN when the constant is infinite).
void linear_regression(const std::vector<point> &pts, int64_t intercept_ms, double *slope, double *intercept) {
  double n = 0, sum_x = 0, c_x = 0, sum_y = 0, c_y = 0, sum_xy = 0, c_xy = 0, sum_x2 = 0, c_x2 = 0;
  const double init_y = pts[0].v;
  bool const_y = true;
  for (size_t i = 0; i < pts.size(); ++i) {
    const point &p = pts[i];
    if (const_y && i > 0 && p.v != init_y) const_y = false;
    n += 1.0;
    const double x = static_cast<double>(p.t - intercept_ms) / 1e3;
    kahan_add(x, sum_x, c_x);
    kahan_add(p.v, sum_y, c_y);
    kahan_add(x * p.v, sum_xy, c_xy);
    kahan_add(x * x, sum_x2, c_x2);
  }
  if (const_y) {
    if (std::isinf(init_y)) {
      *slope = *intercept = NaN;
    } else {
      *slope = 0;
      *intercept = init_y;
    }
    return;
  }
  sum_x += c_x;
  sum_y += c_y;
  sum_xy += c_xy;
  sum_x2 += c_x2;
  const double cov_xy = sum_xy - sum_x * sum_y / n;
  const double var_x = sum_x2 - sum_x * sum_x / n;
  *slope = cov_xy / var_x;
  *intercept = sum_y / n - *slope * sum_x / n;
}

// delta: the difference between the first and last point, extrapolated
// towards the window's edges by at most half an average sample interval
// beyond where the samples suggest the series continues.
double extrapolated_delta(const std::vector<point> &pts, int64_t t, int64_t range_ms) {
  const point &first = pts.front(), &last = pts.back();
  const double result = last.v - first.v;
  const double to_start = static_cast<double>(first.t - (t - range_ms)) / 1000;
  const double to_end = static_cast<double>(t - last.t) / 1000;
  const double sampled = static_cast<double>(last.t - first.t) / 1000;
  const double average = sampled / static_cast<double>(pts.size() - 1);
  const double threshold = average * 1.1;
  double interval = sampled;
  interval += to_start < threshold ? to_start : average / 2;
  interval += to_end < threshold ? to_end : average / 2;
  return result * (interval / sampled);
}

// The store's per-second increase from a to b: see the header.
double store_rate(const point &a, const point &b) {
  const double dt = static_cast<double>(b.t - a.t) / 1000.0;
  if (dt <= 0.0001) return 0.0;
  double d = b.v - a.v;
  if (d < 0) d = 0;
  return d / dt;
}

struct named_range_function {
  const char *name;
  range_function_id id;
};
constexpr named_range_function RANGE_FUNCTIONS[] = {
    {"avg_over_time", range_function_id::avg_over_time},
    {"min_over_time", range_function_id::min_over_time},
    {"max_over_time", range_function_id::max_over_time},
    {"sum_over_time", range_function_id::sum_over_time},
    {"count_over_time", range_function_id::count_over_time},
    {"last_over_time", range_function_id::last_over_time},
    {"quantile_over_time", range_function_id::quantile_over_time},
    {"stddev_over_time", range_function_id::stddev_over_time},
    {"stdvar_over_time", range_function_id::stdvar_over_time},
    {"present_over_time", range_function_id::present_over_time},
    {"changes", range_function_id::changes},
    {"resets", range_function_id::resets},
    {"deriv", range_function_id::deriv},
    {"predict_linear", range_function_id::predict_linear},
    {"delta", range_function_id::delta},
    {"idelta", range_function_id::idelta},
    {"increase", range_function_id::increase},
    {"rate", range_function_id::rate},
    {"irate", range_function_id::irate},
};

// Go's conversion of a float to int64 on the machines Prometheus runs on:
// NaN, infinities and values out of range all become the lowest int64,
// which the date functions then read as a date far in the future.
int64_t go_int64(double x) {
  if (!(x >= -9223372036854775808.0 && x < 9223372036854775808.0)) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(x);
}

bool leap(int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

constexpr int DAYS_BEFORE[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

struct civil_time {
  int64_t year;
  int month;  // 1-12
  int day;    // 1-31
  int yday;   // 1-366
  int wday;   // 0 = Sunday
  int hour, minute;
};

// The calendar date of Unix seconds, counted as unsigned seconds from
// 1 January of a year 292 billion years back (the first of a 400-year
// cycle, and a Monday), with the wrap-around of unsigned arithmetic: that
// is how the far-future dates of NaN and infinities come about, and they
// must come out the same.
civil_time civil_from_unix(int64_t unix_seconds) {
  constexpr uint64_t UNIX_TO_ABSOLUTE = 9223372028715321600ULL;
  constexpr int64_t ABSOLUTE_ZERO_YEAR = -292277022399LL;
  constexpr uint64_t DAYS_PER_400 = 365 * 400 + 97, DAYS_PER_100 = 365 * 100 + 24, DAYS_PER_4 = 365 * 4 + 1;
  const uint64_t abs = static_cast<uint64_t>(unix_seconds) + UNIX_TO_ABSOLUTE;
  civil_time c{};
  c.hour = static_cast<int>(abs % 86400 / 3600);
  c.minute = static_cast<int>(abs % 3600 / 60);
  uint64_t d = abs / 86400;
  c.wday = static_cast<int>((d + 1) % 7);
  uint64_t n = d / DAYS_PER_400;
  uint64_t y = 400 * n;
  d -= DAYS_PER_400 * n;
  // The last century of a cycle and the last year of a four-year run are a
  // day longer; on their last day the quotient comes out one too high.
  n = d / DAYS_PER_100;
  n -= n >> 2;
  y += 100 * n;
  d -= DAYS_PER_100 * n;
  n = d / DAYS_PER_4;
  y += 4 * n;
  d -= DAYS_PER_4 * n;
  n = d / 365;
  n -= n >> 2;
  y += n;
  d -= 365 * n;
  c.year = static_cast<int64_t>(y) + ABSOLUTE_ZERO_YEAR;
  int yday = static_cast<int>(d);
  c.yday = yday + 1;
  if (leap(c.year)) {
    if (yday == 31 + 28) {
      c.month = 2;
      c.day = 29;
      return c;
    }
    if (yday > 31 + 28) --yday;
  }
  int month = 0;
  while (yday >= DAYS_BEFORE[month + 1]) ++month;
  c.month = month + 1;
  c.day = yday - DAYS_BEFORE[month] + 1;
  return c;
}

// Go's regexp template expansion: $name or ${name}, where a name runs over
// letters, digits and '_' ($1x names the group "1x", not group 1); $$ is a
// dollar; a malformed reference is kept as written.
void expand(std::string_view repl, const re2::RE2 &re, const re2::StringPiece *groups, int ngroups,
            std::string *out) {
  auto name_char = [](unsigned char ch) {
    // Bytes of multi-byte characters count as letters: names are looked
    // up whole, and a name with such a character names no group.
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
           ch >= 0x80;
  };
  size_t i = 0;
  while (i < repl.size()) {
    const size_t dollar = repl.find('$', i);
    if (dollar == std::string_view::npos) break;
    out->append(repl.substr(i, dollar - i));
    i = dollar + 1;
    if (i < repl.size() && repl[i] == '$') {
      out->push_back('$');
      ++i;
      continue;
    }
    const bool brace = i < repl.size() && repl[i] == '{';
    size_t start = brace ? i + 1 : i, end = start;
    while (end < repl.size() && name_char(static_cast<unsigned char>(repl[end]))) ++end;
    if (end == start || (brace && (end >= repl.size() || repl[end] != '}'))) {
      out->push_back('$');
      continue;
    }
    const std::string_view name = repl.substr(start, end - start);
    i = brace ? end + 1 : end;
    long num = 0;
    for (char ch : name) {
      if (ch < '0' || ch > '9' || num >= 100000000) {
        num = -1;
        break;
      }
      num = num * 10 + (ch - '0');
    }
    if (name[0] == '0' && name.size() > 1) num = -1;
    int group = -1;
    if (num >= 0) {
      if (num < ngroups) group = static_cast<int>(num);
    } else {
      const auto &names = re.NamedCapturingGroups();
      auto it = names.find(std::string(name));
      if (it != names.end()) group = it->second;
    }
    if (group >= 0 && groups[group].data() != nullptr) out->append(groups[group].data(), groups[group].size());
  }
  out->append(repl.substr(std::min(i, repl.size())));
}

const std::string *find_label(const label_set &m, std::string_view name) {
  auto it = std::lower_bound(m.begin(), m.end(), name, [](const label &l, std::string_view n) { return l.name < n; });
  return it != m.end() && it->name == name ? &it->value : nullptr;
}

// Sets a label, keeping the set sorted; an empty value removes it.
void set_label(label_set &m, const std::string &name, std::string value) {
  auto it = std::lower_bound(m.begin(), m.end(), name, [](const label &l, const std::string &n) { return l.name < n; });
  const bool present = it != m.end() && it->name == name;
  if (value.empty()) {
    if (present) m.erase(it);
  } else if (present) {
    it->value = std::move(value);
  } else {
    m.insert(it, label{name, std::move(value)});
  }
}

}  // namespace

std::optional<range_function_id> find_range_function(std::string_view name) {
  for (const auto &f : RANGE_FUNCTIONS) {
    if (name == f.name) return f.id;
  }
  return std::nullopt;
}

bool range_function(range_function_id fn, const std::vector<point> &pts, int64_t t, int64_t range_ms,
                    const std::vector<double> &scalar_args, double *out) {
  using id = range_function_id;
  if (pts.empty()) return false;
  const size_t n = pts.size();
  switch (fn) {
    case id::avg_over_time:
      *out = mean_over_time(pts);
      return true;
    case id::min_over_time:
    case id::max_over_time: {
      // A NaN is replaced by any later value, and stays only when all are.
      double r = pts[0].v;
      for (const point &p : pts) {
        if ((fn == id::max_over_time ? p.v > r : p.v < r) || std::isnan(r)) r = p.v;
      }
      *out = r;
      return true;
    }
    case id::sum_over_time: {
      double sum = 0, c = 0;
      for (const point &p : pts) kahan_add(p.v, sum, c);
      *out = sum + c;
      return true;
    }
    case id::count_over_time:
      *out = static_cast<double>(n);
      return true;
    case id::last_over_time:
      *out = pts.back().v;
      return true;
    case id::quantile_over_time: {
      if (scalar_args.empty()) return false;
      std::vector<double> values;
      values.reserve(n);
      for (const point &p : pts) values.push_back(p.v);
      *out = quantile(scalar_args[0], std::move(values));
      return true;
    }
    case id::stddev_over_time:
      *out = std::sqrt(variance_over_time(pts));
      return true;
    case id::stdvar_over_time:
      *out = variance_over_time(pts);
      return true;
    case id::present_over_time:
      *out = 1;
      return true;
    case id::changes:
    case id::resets: {
      double count = 0;
      for (size_t i = 1; i < n; ++i) {
        const double prev = pts[i - 1].v, cur = pts[i].v;
        if (fn == id::resets ? cur < prev : cur != prev && !(std::isnan(cur) && std::isnan(prev))) count += 1;
      }
      *out = count;
      return true;
    }
    case id::deriv:
    case id::predict_linear: {
      if (n < 2) return false;
      double slope, intercept;
      if (fn == id::deriv) {
        // Times from the first point keep the sums small.
        linear_regression(pts, pts[0].t, &slope, &intercept);
        *out = slope;
        return true;
      }
      if (scalar_args.empty()) return false;
      const int64_t offset_ms = scalar_args.size() > 1 ? static_cast<int64_t>(scalar_args[1]) : 0;
      linear_regression(pts, t + offset_ms, &slope, &intercept);
      *out = slope * scalar_args[0] + intercept;
      return true;
    }
    case id::delta:
      if (n < 2) return false;
      *out = extrapolated_delta(pts, t, range_ms);
      return true;
    case id::idelta:
      if (n < 2 || pts[n - 1].t == pts[n - 2].t) return false;
      *out = pts[n - 1].v - pts[n - 2].v;
      return true;
    case id::rate:
    case id::irate:
    case id::increase: {
      if (n < 2) {
        *out = 0;
        return true;
      }
      const double r = store_rate(fn == id::irate ? pts[n - 2] : pts[0], pts[n - 1]);
      *out = fn == id::increase ? r * (static_cast<double>(range_ms) / 1000.0) : r;
      return true;
    }
  }
  return false;
}

bool range_function(std::string_view name, const std::vector<point> &pts, int64_t t, int64_t range_ms,
                    const std::vector<double> &scalar_args, double *out) {
  const auto fn = find_range_function(name);
  return fn && range_function(*fn, pts, t, range_ms, scalar_args, out);
}

bool scalar_function(std::string_view name, double x, const std::vector<double> &args, double *out) {
  struct unary {
    const char *name;
    double (*fn)(double);
  };
  static const unary UNARY[] = {
      {"abs", [](double v) { return std::fabs(v); }},
      {"ceil", [](double v) { return std::ceil(v); }},
      {"floor", [](double v) { return std::floor(v); }},
      {"exp", [](double v) { return std::exp(v); }},
      {"ln", [](double v) { return std::log(v); }},
      {"log2", [](double v) { return std::log2(v); }},
      {"log10", [](double v) { return std::log10(v); }},
      {"sqrt", [](double v) { return std::sqrt(v); }},
      {"sgn", [](double v) { return v < 0 ? -1.0 : v > 0 ? 1.0 : v; }},
      {"acos", [](double v) { return std::acos(v); }},
      {"acosh", [](double v) { return std::acosh(v); }},
      {"asin", [](double v) { return std::asin(v); }},
      {"asinh", [](double v) { return std::asinh(v); }},
      {"atan", [](double v) { return std::atan(v); }},
      {"atanh", [](double v) { return std::atanh(v); }},
      {"cos", [](double v) { return std::cos(v); }},
      {"cosh", [](double v) { return std::cosh(v); }},
      {"sin", [](double v) { return std::sin(v); }},
      {"sinh", [](double v) { return std::sinh(v); }},
      {"tan", [](double v) { return std::tan(v); }},
      {"tanh", [](double v) { return std::tanh(v); }},
      {"deg", [](double v) { return v * 180 / PI; }},
      {"rad", [](double v) { return v * PI / 180; }},
  };
  for (const auto &u : UNARY) {
    if (name == u.name) {
      *out = u.fn(x);
      return true;
    }
  }
  if (name == "round") {
    // Halves round up, also below zero; dividing by the inverse rather than
    // multiplying by to_nearest is what keeps round(x, 0.1) free of 0.30000000000000004.
    const double inverse = 1.0 / (args.empty() ? 1.0 : args[0]);
    *out = std::floor(x * inverse + 0.5) / inverse;
    return true;
  }
  if (name == "clamp") {
    if (args.size() < 2 || args[1] < args[0]) return false;
    *out = go_max(args[0], go_min(args[1], x));
    return true;
  }
  if (name == "clamp_min" || name == "clamp_max") {
    if (args.empty()) return false;
    *out = name == "clamp_min" ? go_max(x, args[0]) : go_min(x, args[0]);
    return true;
  }
  return false;
}

bool date_function(std::string_view name, double seconds, double *out) {
  const civil_time c = civil_from_unix(go_int64(seconds));
  if (name == "day_of_month") {
    *out = c.day;
  } else if (name == "day_of_week") {
    *out = c.wday;
  } else if (name == "day_of_year") {
    *out = c.yday;
  } else if (name == "days_in_month") {
    *out = c.month == 2 && leap(c.year) ? 29 : DAYS_BEFORE[c.month] - DAYS_BEFORE[c.month - 1];
  } else if (name == "hour") {
    *out = c.hour;
  } else if (name == "minute") {
    *out = c.minute;
  } else if (name == "month") {
    *out = c.month;
  } else if (name == "year") {
    *out = static_cast<double>(c.year);
  } else {
    return false;
  }
  return true;
}

double quantile(double q, std::vector<double> values) {
  if (values.empty() || std::isnan(q)) return NaN;
  if (q < 0) return -Inf;
  if (q > 1) return Inf;
  std::sort(values.begin(), values.end(),
            [](double a, double b) { return (std::isnan(a) && !std::isnan(b)) || a < b; });
  const double n = static_cast<double>(values.size());
  const double rank = q * (n - 1);
  const double lower = std::max(0.0, std::floor(rank));
  const double upper = std::min(n - 1, lower + 1);
  const double weight = rank - std::floor(rank);
  return values[static_cast<size_t>(lower)] * (1 - weight) + values[static_cast<size_t>(upper)] * weight;
}

double histogram_quantile(double q, std::vector<std::pair<double, double>> le_counts) {
  if (std::isnan(q)) return NaN;
  if (q < 0) return -Inf;
  if (q > 1) return Inf;
  if (le_counts.empty()) return NaN;
  // NaN bounds sort last, where they stand for the missing +Inf bucket.
  std::sort(le_counts.begin(), le_counts.end(), [](const auto &a, const auto &b) {
    return a.first < b.first || (!std::isnan(a.first) && std::isnan(b.first));
  });
  if (!(std::isinf(le_counts.back().first) && le_counts.back().first > 0)) return NaN;
  auto &b = le_counts;
  size_t kept = 0;
  for (size_t i = 1; i < b.size(); ++i) {
    if (b[i].first == b[kept].first) {
      b[kept].second += b[i].second;
    } else {
      b[++kept] = b[i];
    }
  }
  b.resize(kept + 1);
  // Buckets scraped at slightly different moments can count fewer
  // observations than a lower one; such a count is raised to it.
  double highest = -Inf;
  for (auto &bucket : b) {
    if (bucket.second > highest) {
      highest = bucket.second;
    } else if (bucket.second < highest) {
      bucket.second = highest;
    }
  }
  if (b.size() < 2) return NaN;
  const double observations = b.back().second;
  if (observations == 0) return NaN;
  double rank = q * observations;
  size_t i = 0;
  while (i < b.size() - 1 && !(b[i].second >= rank)) ++i;
  if (i == b.size() - 1) return b[b.size() - 2].first;
  if (i == 0 && b[0].first <= 0) return b[0].first;
  double start = 0, count = b[i].second;
  const double end = b[i].first;
  if (i > 0) {
    start = b[i - 1].first;
    count -= b[i - 1].second;
    rank -= b[i - 1].second;
  }
  return start + (end - start) * (rank / count);
}

bool valid_label_name(std::string_view name) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char ch = name[i];
    const bool alpha = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || ch == '_';
    if (!alpha && (i == 0 || ch < '0' || ch > '9')) return false;
  }
  return true;
}

bool label_replacer::compile(const std::string &dst, const std::string &repl, const std::string &src,
                             const std::string &regex, std::string *error) {
  RE2::Options options;
  options.set_log_errors(false);
  options.set_max_mem(REGEX_MAX_MEM);
  // Wrapped as the language wraps it, unbalanced parentheses included: "a)|(b"
  // matches values that start with a or end with b.
  auto re = std::make_shared<const RE2>("^(?:" + regex + ")$", options);
  if (!re->ok()) {
    *error = "invalid regular expression in label_replace(): " + regex;
    return false;
  }
  if (!valid_label_name(dst)) {
    *error = "invalid destination label name in label_replace(): " + dst;
    return false;
  }
  dst_ = dst;
  repl_ = repl;
  src_ = src;
  re_ = std::move(re);
  return true;
}

void label_replacer::apply(label_set &m) const {
  if (!re_) return;
  const std::string *found = find_label(m, src_);
  const std::string value = found != nullptr ? *found : std::string();
  const int ngroups = re_->NumberOfCapturingGroups() + 1;
  std::vector<re2::StringPiece> groups(static_cast<size_t>(ngroups));
  if (!re_->Match(value, 0, value.size(), RE2::UNANCHORED, groups.data(), ngroups)) return;
  std::string result;
  expand(repl_, *re_, groups.data(), ngroups, &result);
  set_label(m, dst_, std::move(result));
}

bool label_replace(label_set &m, const std::string &dst, const std::string &repl, const std::string &src,
                   const std::string &regex, std::string *error) {
  label_replacer r;
  if (!r.compile(dst, repl, src, regex, error)) return false;
  r.apply(m);
  return true;
}

bool label_join(label_set &m, const std::string &dst, const std::string &sep, const std::vector<std::string> &srcs,
                std::string *error) {
  for (const std::string &src : srcs) {
    if (!valid_label_name(src)) {
      if (error != nullptr) *error = "invalid source label name in label_join(): " + src;
      return false;
    }
  }
  if (!valid_label_name(dst)) {
    if (error != nullptr) *error = "invalid destination label name in label_join(): " + dst;
    return false;
  }
  std::string joined;
  for (size_t i = 0; i < srcs.size(); ++i) {
    if (i > 0) joined += sep;
    if (const std::string *v = find_label(m, srcs[i])) joined += *v;
  }
  set_label(m, dst, std::move(joined));
  return true;
}

}  // namespace orvik_host::promql
