#include "base/times.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace orvik_host {
namespace {

struct time_case {
  const char *text;
  std::optional<int64_t> ms;
};

TEST(ParseTime, ReadsTheThreeFormsAndRejectsTheRest) {
  const time_case cases[] = {
      {"1700000000", 1700000000000},
      {"1700000000.5", 1700000000500},
      {"1700000000.1234", 1700000000123},
      {"1700000000.0005", 1700000000001},  // rounded, not cut
      {"1.7e9", 1700000000000},
      {"1700000000500ms", 1700000000500},
      {"-5ms", -5},
      {"2023-11-14T22:13:20Z", 1700000000000},
      {"2023-11-14T22:13:20.5Z", 1700000000500},
      {"2023-11-14t22:13:20.123456789z", 1700000000123},
      {"2023-11-15T00:13:20+02:00", 1700000000000},
      {"2023-11-14T20:43:20-01:30", 1700000000000},
      {"2024-02-29T00:00:00Z", 1709164800000},
      {"1969-12-31T23:59:59Z", -1000},
      {"", std::nullopt},
      {"now", std::nullopt},
      {"nan", std::nullopt},
      {"inf", std::nullopt},
      {"0x10", std::nullopt},
      {"17e", std::nullopt},
      {"1.5ms", std::nullopt},
      {"ms", std::nullopt},
      {"2023-11-14", std::nullopt},
      {"2023-11-14T22:13:20", std::nullopt},    // no zone
      {"2023-02-29T00:00:00Z", std::nullopt},   // not a leap year
      {"2023-13-01T00:00:00Z", std::nullopt},
      {"2023-11-14T24:00:00Z", std::nullopt},
      {"2023-11-14T22:13:20.Z", std::nullopt},
      {"2023-11-14T22:13:20Zjunk", std::nullopt},
      {"2023-11-14T22:13:20+0200", std::nullopt},
      {"99999999999999999999ms", std::nullopt},
      // Past the last instant RFC 3339 writes, in each form and either way.
      {"253402300799999ms", 253402300799999},
      {"9999-12-31T23:59:59.999Z", 253402300799999},
      {"9223372036854775807ms", std::nullopt},
      {"253402300800000ms", std::nullopt},
      {"-253402300800000ms", std::nullopt},
      {"253402300800", std::nullopt},
      {"9.2e15", std::nullopt},
      {"9999-12-31T23:59:59.9996Z", std::nullopt},  // rounds past it
      {"9999-12-31T23:59:59-00:01", std::nullopt},
  };
  for (const time_case &c : cases) EXPECT_EQ(parse_time_ms(c.text), c.ms) << c.text;
}

TEST(ParseDuration, ReadsUnitsAndPlainSeconds) {
  const time_case cases[] = {
      {"15", 15000},       {"0.5", 500},          {"15s", 15000},   {"5m", 300000},
      {"1h", 3600000},     {"1h30m", 5400000},    {"500ms", 500},   {"1m30s250ms", 90250},
      {"2d", 172800000},   {"1w", 604800000},     {"1y", 31536000000}, {"0s", 0},
      {"", std::nullopt},  {"-5s", std::nullopt}, {"5", 5000},      {"5x", std::nullopt},
      {"m", std::nullopt}, {"30m1h", std::nullopt},  // units must decrease
      {"1s1s", std::nullopt}, {"1.5m", std::nullopt}, {"5 m", std::nullopt},
      {"99999999999999999y", std::nullopt}, {"293y", 9240048000000},
      {"292471208y", 9223372015488000000}, {"292471209y", std::nullopt},  // past 2^63 ms
  };
  for (const time_case &c : cases) EXPECT_EQ(parse_duration_ms(c.text), c.ms) << c.text;
}

TEST(FormatTime, WritesUtcAndRoundTrips) {
  EXPECT_EQ(format_time(1700000000000), "2023-11-14T22:13:20Z");
  EXPECT_EQ(format_time(1700000000007), "2023-11-14T22:13:20.007Z");
  EXPECT_EQ(format_time(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(format_time(-1), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(format_time(951782400000), "2000-02-29T00:00:00Z");
  for (int64_t ms : {int64_t{1700000000123}, int64_t{4102444800000}, int64_t{-86400000}})
    EXPECT_EQ(parse_time_ms(format_time(ms)), ms);
}

}  // namespace
}  // namespace orvik_host
