// Range answers drawn in the terminal: one row of block characters per series,
// each row scaled between its own minimum and maximum, both written beside it.
#ifndef ORVIK_HOST_CHART_H
#define ORVIK_HOST_CHART_H

#include <cstddef>
#include <string>
#include <vector>

#include "library/answer_reader.h"

namespace orvik_host {

struct chart_options {
  size_t width = 60;          // most columns of a curve; more points are averaged into columns
  size_t label_width = 28;    // longer series labels are cut with an ellipsis
  size_t total_columns = 0;   // the whole line's budget, narrowing the curve (0: none)
};

// The chart of a matrix answer's series, ending in a newline; a note when
// there is nothing to draw.
std::string draw_chart(const std::vector<series> &all, const chart_options &options);

// One row of the chart: values scaled to the eight block heights, NaN as a
// blank, a flat series at the lowest block.
std::string sparkline(const std::vector<double> &values, size_t width);

// A short value for people: three significant digits, with k, M, G, T for
// large magnitudes ("1.23M", "0.0042", "-17.5", "NaN").
std::string short_value(double value);

// Display width of UTF-8 text, counting code points.
size_t display_width(const std::string &text);

}  // namespace orvik_host

#endif
