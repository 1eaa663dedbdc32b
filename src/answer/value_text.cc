// Sample values as answer texts: "NaN", "+Inf", "-Inf", or exactly what
// "%.14g" prints. Formatting runs once per value of every answer, so the
// common case avoids printf: the shortest round-trip digits of the double are
// rounded to 14 significant digits and laid out with %g's rules.
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "answer/answer.h"

namespace orvik {
namespace {
constexpr int PRECISION = 14;

size_t copy_literal(char *out, const char *text, size_t len) {
  std::memcpy(out, text, len + 1);
  return len;
}

// The decimal digits (no leading or trailing zeros) and the exponent of the
// first digit, as %g would print them. False when the 14-digit rounding of
// the exact binary value cannot be told from the shortest digits.
bool rounded_digits(double value, char *digits, int *count, int *exponent) {
  // Subnormals carry fewer than 14 significant digits of precision, so their
  // shortest text says too little about the exact value.
  if (value != 0.0 && std::fabs(value) < DBL_MIN) return false;
  char sci[40];
  auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  const char *p = sci;
  const char *end = res.ptr;
  if (*p == '-') ++p;
  int n = 0;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  // The exponent is "e", a sign and at least two digits.
  ++p;
  bool negative_exp = *p == '-';
  int exp = 0;
  for (++p; p < end; ++p) exp = exp * 10 + (*p - '0');
  if (negative_exp) exp = -exp;

  if (n > PRECISION) {
    // The shortest digits lie closer to the double than any 15-digit
    // rounding midpoint, so rounding them gives what rounding the exact
    // value gives -- except when they are that midpoint themselves.
    char first_dropped = digits[PRECISION];
    if (first_dropped == '5' && n == PRECISION + 1) return false;
    n = PRECISION;
    if (first_dropped >= '5') {
      int i = n - 1;
      while (i >= 0 && digits[i] == '9') --i;
      if (i < 0) {
        digits[0] = '1';
        n = 1;
        ++exp;
      } else {
        ++digits[i];
        n = i + 1;
      }
    }
  }
  while (n > 1 && digits[n - 1] == '0') --n;
  *count = n;
  *exponent = exp;
  return true;
}
}  // namespace

size_t format_double_val(double value, char *out) {
  if (std::isnan(value)) return copy_literal(out, "NaN", 3);
  if (std::isinf(value)) return value > 0 ? copy_literal(out, "+Inf", 4) : copy_literal(out, "-Inf", 4);

  char digits[24];
  int n;
  int exp;
  if (!rounded_digits(value, digits, &n, &exp)) {
    return static_cast<size_t>(std::snprintf(out, VALUE_TEXT_SIZE, "%.14g", value));
  }

  char *w = out;
  if (std::signbit(value)) *w++ = '-';
  if (exp < -4 || exp >= PRECISION) {
    *w++ = digits[0];
    if (n > 1) {
      *w++ = '.';
      std::memcpy(w, digits + 1, static_cast<size_t>(n - 1));
      w += n - 1;
    }
    *w++ = 'e';
    *w++ = exp < 0 ? '-' : '+';
    unsigned e = static_cast<unsigned>(exp < 0 ? -exp : exp);
    if (e >= 100) *w++ = static_cast<char>('0' + e / 100);
    *w++ = static_cast<char>('0' + e / 10 % 10);
    *w++ = static_cast<char>('0' + e % 10);
  } else if (exp >= 0) {
    int whole = exp + 1;
    for (int i = 0; i < whole; ++i) *w++ = i < n ? digits[i] : '0';
    if (n > whole) {
      *w++ = '.';
      std::memcpy(w, digits + whole, static_cast<size_t>(n - whole));
      w += n - whole;
    }
  } else {
    *w++ = '0';
    *w++ = '.';
    for (int i = -1; i > exp; --i) *w++ = '0';
    std::memcpy(w, digits, static_cast<size_t>(n));
    w += n;
  }
  *w = '\0';
  return static_cast<size_t>(w - out);
}

}  // namespace orvik
