// Value texts must be byte for byte what "%.14g" prints, apart from the
// three special texts; the fast path is checked against snprintf itself.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "answer/answer.h"

using namespace orvik;

namespace {

std::string text_of(double v) {
  char buf[VALUE_TEXT_SIZE];
  size_t n = format_double_val(v, buf);
  EXPECT_EQ(n, std::strlen(buf)) << "length result for " << buf;
  return buf;
}

std::string printf_of(double v) {
  char buf[VALUE_TEXT_SIZE];
  std::snprintf(buf, sizeof buf, "%.14g", v);
  return buf;
}

double from_bits(uint64_t bits) {
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

struct value_case {
  double value;
  const char *text;
};

TEST(ValueText, SpecialValuesAndTable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const value_case cases[] = {
      {nan, "NaN"},
      {-nan, "NaN"},
      {from_bits(0x7FF0000000000001ull), "NaN"},  // signalling, odd payload
      {from_bits(0xFFF8DEADBEEF0001ull), "NaN"},
      {inf, "+Inf"},
      {-inf, "-Inf"},
      {0.0, "0"},
      {-0.0, "-0"},
      {1.5, "1.5"},
      {100.0, "100"},
      {-41.0, "-41"},
      {12.5, "12.5"},
      {0.1 + 0.2, "0.3"},
      {1.0 / 3.0, "0.33333333333333"},
      {2.0 / 3.0, "0.66666666666667"},
      {1e13, "10000000000000"},
      {1e14, "1e+14"},
      {99999999999999.0, "99999999999999"},
      {99999999999999.5, "1e+14"},
      {0.0001, "0.0001"},
      {0.00001, "1e-05"},
      {0.000123456, "0.000123456"},
      {99.99999999999999, "100"},
      {9.99999999999995e-5, "0.0001"},  // rounding moves it into fixed form
      {1e30, "1e+30"},
      {-1e30, "-1e+30"},
      {1e100, "1e+100"},
      {1.25e-100, "1.25e-100"},
      {DBL_MAX, "1.7976931348623e+308"},
      {DBL_MIN, "2.2250738585072e-308"},
      {std::numeric_limits<double>::denorm_min(), "4.9406564584125e-324"},
      {123456789012345.0, "1.2345678901234e+14"},  // exact tie: even digit kept
      {123456789012355.0, "1.2345678901236e+14"},
      {7.0 / 3.0, "2.3333333333333"},
      {1700000000.5, "1700000000.5"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(text_of(c.value), c.text) << "bits " << std::hex << [&] {
      uint64_t b;
      std::memcpy(&b, &c.value, sizeof b);
      return b;
    }();
    if (std::isfinite(c.value)) {
      EXPECT_EQ(printf_of(c.value), c.text);
    }
  }
}

TEST(ValueText, MatchesPrintfOnRandomBitPatterns) {
  std::mt19937_64 rng(20240601);
  for (int i = 0; i < 300000; ++i) {
    double v = from_bits(rng());
    if (std::isnan(v) || std::isinf(v)) continue;
    ASSERT_EQ(text_of(v), printf_of(v)) << std::hexfloat << v;
  }
}

// Decimals of every digit count -- shortest texts of 14 digits or fewer,
// exactly 15 (where a 5 in the 15th place is a tie to settle) and longer --
// at every exponent where %g changes its layout.
std::string random_digits(std::mt19937_64 &rng, int count) {
  std::string d(1, static_cast<char>('1' + rng() % 9));
  while (static_cast<int>(d.size()) < count) d += static_cast<char>('0' + rng() % 10);
  return d;
}

TEST(ValueText, MatchesPrintfOnShortDecimals) {
  std::mt19937_64 rng(7);
  for (int count = 1; count <= 17; ++count) {
    for (int exp = -8; exp <= 17; ++exp) {
      for (int i = 0; i < 300; ++i) {
        std::string d = random_digits(rng, count);
        if (i % 3 == 0 && count >= 15) d[14] = '5';
        if (i % 3 == 1 && count >= 15) d = d.substr(0, 14) + "5";
        std::string text = d.substr(0, 1) + "." + d.substr(1) + "e" + std::to_string(exp);
        double v = std::strtod(text.c_str(), nullptr);
        if (i % 2 == 1) v = -v;
        ASSERT_EQ(text_of(v), printf_of(v)) << text;
      }
    }
  }
}

TEST(ValueText, MatchesPrintfOnSubnormalsAndNeighbours) {
  std::mt19937_64 rng(3);
  for (uint64_t bits = 1; bits < 5000; ++bits) {
    ASSERT_EQ(text_of(from_bits(bits)), printf_of(from_bits(bits))) << bits;
  }
  for (int i = 0; i < 20000; ++i) {
    double v = from_bits(rng() % 0x0020000000000000ull);  // subnormals and the lowest normals
    ASSERT_EQ(text_of(v), printf_of(v)) << std::hexfloat << v;
  }
}

TEST(ValueText, MatchesPrintfOnArithmeticResults) {
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> small(-1000.0, 1000.0);
  for (int i = 0; i < 100000; ++i) {
    double a = small(rng);
    double b = small(rng);
    const double results[] = {a, a * b, a / (b == 0 ? 1 : b), a - b, std::round(a * 100) / 100,
                              static_cast<double>(static_cast<int64_t>(rng()))};
    for (double v : results) ASSERT_EQ(text_of(v), printf_of(v)) << std::hexfloat << v;
  }
}

}  // namespace
