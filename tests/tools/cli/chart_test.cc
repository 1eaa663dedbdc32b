#include "cli/chart.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orvik_host {
namespace {

series make_series(label_list metric, std::vector<double> values) {
  series s;
  s.metric = std::move(metric);
  int64_t t = 1700000000000;
  for (double v : values) s.points.push_back({t += 60000, v, ""});
  return s;
}

TEST(Sparkline, ScalesBetweenTheSeriesOwnMinimumAndMaximum) {
  EXPECT_EQ(sparkline({0, 1, 2, 3, 4, 5, 6, 7}, 60), "▁▂▃▄▅▆▇█");
  EXPECT_EQ(sparkline({100, 107}, 60), "▁█");
  EXPECT_EQ(sparkline({-1, 0, 1}, 60), "▁▅█");  // 3.5 of 7 rounds up
  EXPECT_EQ(sparkline({5, 5, 5}, 60), "▁▁▁");
  EXPECT_EQ(sparkline({1, NAN, 2}, 60), "▁ █");
  EXPECT_EQ(sparkline({NAN, NAN}, 60), "  ");
  EXPECT_EQ(sparkline({}, 60), "");
  EXPECT_EQ(sparkline({0, INFINITY}, 60), "▁█");
}

TEST(Sparkline, AveragesPointsIntoColumnsWhenTooMany) {
  // Pairs average to 0.5, 2.5, 4.5, 6.5: evenly spread over the heights.
  EXPECT_EQ(sparkline({0, 1, 2, 3, 4, 5, 6, 7}, 4), "▁▃▆█");
  EXPECT_EQ(display_width(sparkline(std::vector<double>(61, 1.0), 20)), 20u);
  // NaNs are left out of a column's average.
  EXPECT_EQ(sparkline({0, NAN, NAN, NAN, 7, NAN}, 3), "▁ █");
}

TEST(ShortValue, KeepsThreeDigitsAndNamesLargeMagnitudes) {
  const std::pair<double, const char *> cases[] = {
      {0, "0"},          {0.0042, "0.0042"}, {-17.5, "-17.5"},   {999, "999"},
      {999.6, "1k"},     {1234, "1.23k"},    {2.5e6, "2.5M"},    {-3.2e9, "-3.2G"},
      {5e12, "5T"},      {7e18, "7e+03P"},   {NAN, "NaN"},       {INFINITY, "+Inf"},
      {-INFINITY, "-Inf"},
  };
  for (const auto &[value, text] : cases) EXPECT_EQ(short_value(value), text) << value;
}

TEST(DrawChart, PutsASharedNameInTheHeadingAndLabelsInRows) {
  const std::string chart = draw_chart({make_series({{"__name__", "cpu"}, {"core", "0"}}, {1, 2}),
                                        make_series({{"__name__", "cpu"}, {"core", "1"}}, {3, 3})},
                                       chart_options{});
  EXPECT_EQ(chart,
            "  cpu         2023-11-14T22:14:20Z .. 22:15:20Z, 2 points\n"
            "  {core=\"0\"}  ▁█  min 1  max 2\n"
            "  {core=\"1\"}  ▁▁  min 3  max 3\n");
}

TEST(DrawChart, NamesEachRowWhenNamesDifferAndMarksAggregates) {
  const std::string chart =
      draw_chart({make_series({{"__name__", "a"}}, {1}), make_series({{"__name__", "b"}, {"x", "1"}}, {2}),
                  make_series({}, {3})},
                 chart_options{});
  EXPECT_NE(chart.find("\n  a            ▁"), std::string::npos) << chart;
  EXPECT_NE(chart.find("\n  b{x=\"1\"}     ▁"), std::string::npos) << chart;
  EXPECT_NE(chart.find("\n  (aggregate)  ▁"), std::string::npos) << chart;
  EXPECT_EQ(draw_chart({}, chart_options{}), "  (no series)\n");
}

TEST(DrawChart, CutsLongLabelsAndNarrowsTheCurveToTheLine) {
  chart_options options;
  options.label_width = 8;
  options.total_columns = 60;
  const std::string chart =
      draw_chart({make_series({{"__name__", "m"}, {"volume", "C:"}}, std::vector<double>(59, 1.0))}, options);
  EXPECT_NE(chart.find("59 points averaged"), std::string::npos) << chart;
  const std::string row = chart.substr(chart.find('\n') + 1);
  EXPECT_EQ(row.substr(0, row.find("  ", 2) + 2), "  {volume…  ");
  // 60 columns less the label and the room kept for min and max.
  EXPECT_EQ(display_width(row.substr(0, row.find("  min"))), 2 + 8 + 2 + 20u);
}

}  // namespace
}  // namespace orvik_host
