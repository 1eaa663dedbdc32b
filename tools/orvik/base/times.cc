#include "base/times.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace orvik_host {
namespace {

constexpr int64_t MS_PER_SECOND = 1000;
constexpr int64_t MS_PER_DAY = 86400 * MS_PER_SECOND;
// Beyond this many seconds a millisecond count no longer fits in 63 bits.
constexpr double MAX_SECONDS = 9.2e15;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly `width` digits at text[pos].
std::optional<int> fixed_digits(std::string_view text, size_t pos, size_t width) {
  if (pos + width > text.size()) return std::nullopt;
  int value = 0;
  for (size_t i = pos; i < pos + width; ++i) {
    if (!is_digit(text[i])) return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm),
// so that no time-zone-dependent C library call is involved.
int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void civil_from_days(int64_t z, int64_t &y, int &m, int &d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

bool leap_year(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int64_t y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap_year(y) ? 29 : days[m - 1];
}

// Digits after a decimal point, rounded to whole milliseconds (0 to 1000).
int64_t fraction_to_ms(std::string_view digits) {
  int64_t ms = 0;
  for (size_t i = 0; i < 3; ++i) ms = ms * 10 + (i < digits.size() ? digits[i] - '0' : 0);
  if (digits.size() > 3 && digits[3] >= '5') ++ms;
  return ms;
}

// YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)
std::optional<int64_t> parse_rfc3339(std::string_view text) {
  auto year = fixed_digits(text, 0, 4);
  auto month = fixed_digits(text, 5, 2);
  auto day = fixed_digits(text, 8, 2);
  auto hour = fixed_digits(text, 11, 2);
  auto minute = fixed_digits(text, 14, 2);
  auto second = fixed_digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  if (text[4] != '-' || text[7] != '-' || text[13] != ':' || text[16] != ':') return std::nullopt;
  if (text[10] != 'T' && text[10] != 't' && text[10] != ' ') return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > days_in_month(*year, *month) || *hour > 23 ||
      *minute > 59 || *second > 59)
    return std::nullopt;

  size_t pos = 19;
  int64_t fraction_ms = 0;
  if (pos < text.size() && text[pos] == '.') {
    const size_t start = ++pos;
    while (pos < text.size() && is_digit(text[pos])) ++pos;
    if (pos == start) return std::nullopt;
    fraction_ms = fraction_to_ms(text.substr(start, pos - start));
  }
  if (pos >= text.size()) return std::nullopt;
  int64_t offset_minutes = 0;
  if (text[pos] == 'Z' || text[pos] == 'z') {
    ++pos;
  } else if (text[pos] == '+' || text[pos] == '-') {
    auto off_hour = fixed_digits(text, pos + 1, 2);
    auto off_minute = fixed_digits(text, pos + 4, 2);
    if (!off_hour || !off_minute || text[pos + 3] != ':' || *off_hour > 23 || *off_minute > 59)
      return std::nullopt;
    offset_minutes = (*off_hour * 60 + *off_minute) * (text[pos] == '-' ? -1 : 1);
    pos += 6;
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;

  const int64_t seconds = days_from_civil(*year, *month, *day) * 86400 + *hour * 3600 +
                          *minute * 60 + *second - offset_minutes * 60;
  return seconds * MS_PER_SECOND + fraction_ms;
}

// A plain decimal number of seconds, as Unix times and step widths are sent by
// HTTP clients; an exponent is allowed, words such as "inf" or "nan" are not.
std::optional<double> parse_decimal_seconds(std::string_view text, bool allow_sign) {
  if (text.empty()) return std::nullopt;
  bool any_digit = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool sign_allowed = i == 0 ? allow_sign : text[i - 1] == 'e' || text[i - 1] == 'E';
    any_digit = any_digit || is_digit(c);
    if (!is_digit(c) && c != '.' && c != 'e' && c != 'E' && !((c == '+' || c == '-') && sign_allowed))
      return std::nullopt;
  }
  if (!any_digit) return std::nullopt;
  const std::string copy(text);
  char *end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !std::isfinite(value) || std::fabs(value) > MAX_SECONDS)
    return std::nullopt;
  return value;
}

// Digits with an optional sign, as a signed 64-bit number.
std::optional<int64_t> parse_integer(std::string_view text) {
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  if (pos == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; pos < text.size(); ++pos) {
    if (!is_digit(text[pos])) return std::nullopt;
    if (value > (std::numeric_limits<int64_t>::max() - (text[pos] - '0')) / 10) return std::nullopt;
    value = value * 10 + (text[pos] - '0');
  }
  return negative ? -value : value;
}

}  // namespace

std::optional<int64_t> parse_time_ms(std::string_view text) {
  std::optional<int64_t> ms;
  if (text.size() > 2 && text.substr(text.size() - 2) == "ms") {
    ms = parse_integer(text.substr(0, text.size() - 2));
  } else if (text.size() >= 20 && text[4] == '-') {
    ms = parse_rfc3339(text);
  } else if (auto seconds = parse_decimal_seconds(text, true)) {
    ms = std::llround(*seconds * 1000.0);
  }
  if (!ms || *ms > MAX_TIME_MS || *ms < -MAX_TIME_MS) return std::nullopt;
  return ms;
}

std::optional<int64_t> parse_duration_ms(std::string_view text) {
  if (auto seconds = parse_decimal_seconds(text, false)) return std::llround(*seconds * 1000.0);

  // Units from the largest down; each may appear once, in this order.
  struct unit {
    std::string_view name;
    int64_t ms;
  };
  static const unit units[] = {{"y", 365 * MS_PER_DAY}, {"w", 7 * MS_PER_DAY}, {"d", MS_PER_DAY},
                               {"h", 3600 * MS_PER_SECOND}, {"m", 60 * MS_PER_SECOND},
                               {"s", MS_PER_SECOND}, {"ms", 1}};
  constexpr size_t unit_count = sizeof units / sizeof units[0];

  int64_t total = 0;
  size_t pos = 0;
  size_t next_unit = 0;
  if (text.empty()) return std::nullopt;
  while (pos < text.size()) {
    const size_t start = pos;
    while (pos < text.size() && is_digit(text[pos])) ++pos;
    if (pos == start) return std::nullopt;
    auto count = parse_integer(text.substr(start, pos - start));
    const size_t name_start = pos;
    while (pos < text.size() && !is_digit(text[pos])) ++pos;
    const std::string_view name = text.substr(name_start, pos - name_start);
    size_t u = next_unit;
    while (u < unit_count && units[u].name != name) ++u;
    if (!count || u == unit_count) return std::nullopt;
    if (*count > (std::numeric_limits<int64_t>::max() - total) / units[u].ms) return std::nullopt;
    total += *count * units[u].ms;
    next_unit = u + 1;
  }
  return total;
}

std::string format_time(int64_t ms) {
  int64_t days = ms / MS_PER_DAY;
  int64_t rest = ms % MS_PER_DAY;
  if (rest < 0) {
    rest += MS_PER_DAY;
    --days;
  }
  int64_t year = 0;
  int month = 0;
  int day = 0;
  civil_from_days(days, year, month, day);
  const int64_t seconds = rest / MS_PER_SECOND;
  const int64_t millis = rest % MS_PER_SECOND;
  char text[64];
  int n = std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02lld:%02lld:%02lld", static_cast<long long>(year),
                        month, day, static_cast<long long>(seconds / 3600),
                        static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  if (millis != 0) n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ".%03lld", static_cast<long long>(millis));
  std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "Z");
  return text;
}

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace orvik_host
