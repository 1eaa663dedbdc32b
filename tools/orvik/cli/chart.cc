#include "cli/chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/times.h"

namespace orvik_host {
namespace {

const char *const BLOCKS[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                              "\u2585", "\u2586", "\u2587", "\u2588"};
constexpr int LEVELS = 8;

// Averages the values into at most `width` columns, leaving out NaNs; a
// column with nothing but NaNs stays NaN.
std::vector<double> to_columns(const std::vector<double> &values, size_t width) {
  if (values.size() <= width || width == 0) return values;
  std::vector<double> columns(width, NAN);
  for (size_t c = 0; c < width; ++c) {
    const size_t begin = c * values.size() / width;
    const size_t end = (c + 1) * values.size() / width;
    double sum = 0.0;
    size_t n = 0;
    for (size_t i = begin; i < end; ++i) {
      if (std::isnan(values[i])) continue;
      sum += values[i];
      ++n;
    }
    if (n) columns[c] = sum / static_cast<double>(n);
  }
  return columns;
}

// Cuts text to `width` code points, ending in an ellipsis when cut, and pads
// it with spaces to exactly that width.
std::string fit(const std::string &text, size_t width) {
  std::string out;
  size_t shown = 0;
  const size_t total = display_width(text);
  for (size_t i = 0; i < text.size();) {
    size_t len = 1;
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0xF0) len = 4;
    else if (c >= 0xE0) len = 3;
    else if (c >= 0xC0) len = 2;
    if (total > width && shown + 1 == width) {
      out += "\u2026";
      ++shown;
      break;
    }
    if (shown == width) break;
    out.append(text, i, len);
    ++shown;
    i += len;
  }
  out.append(width - shown, ' ');
  return out;
}

}  // namespace

size_t display_width(const std::string &text) {
  size_t n = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

std::string short_value(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  static const char *const suffixes[] = {"", "k", "M", "G", "T", "P"};
  size_t s = 0;
  double scaled = value;
  while (std::fabs(scaled) >= 999.5 && s + 1 < sizeof suffixes / sizeof suffixes[0]) {
    scaled /= 1000.0;
    ++s;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.3g%s", scaled, suffixes[s]);
  return text;
}

std::string sparkline(const std::vector<double> &values, size_t width) {
  const std::vector<double> columns = to_columns(values, width);
  double lo = INFINITY, hi = -INFINITY;
  for (double v : columns) {
    if (std::isnan(v)) continue;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  std::string row;
  for (double v : columns) {
    if (std::isnan(v)) {
      row += ' ';
      continue;
    }
    int level = 0;
    if (hi > lo && std::isfinite(hi - lo)) {
      level = static_cast<int>(std::lround((v - lo) / (hi - lo) * (LEVELS - 1)));
    } else if (std::isinf(v)) {
      level = v > 0 ? LEVELS - 1 : 0;
    }
    row += BLOCKS[std::clamp(level, 0, LEVELS - 1)];
  }
  return row;
}

std::string draw_chart(const std::vector<series> &all, const chart_options &options) {
  if (all.empty()) return "  (no series)\n";

  // A name shared by every series goes into the heading, not into each row.
  const std::string name = metric_name(all.front().metric);
  bool one_name = true;
  for (const series &s : all) one_name = one_name && metric_name(s.metric) == name;

  // Rows show what tells the series apart: their labels under a shared name,
  // else the name too; an aggregate has neither.
  std::vector<std::string> labels;
  size_t label_width = 0;
  for (const series &s : all) {
    const std::string text = format_labels(s.metric);
    std::string label = one_name && text != "{}" ? text : metric_name(s.metric) + (text == "{}" ? "" : text);
    if (label.empty()) label = "(aggregate)";
    label_width = std::max(label_width, std::min(display_width(label), options.label_width));
    labels.push_back(std::move(label));
  }
  size_t width = options.width;
  // What follows a curve ("  min 0.00123  max 0.00456") takes up to 28 columns.
  if (options.total_columns)
    width = std::clamp<size_t>(options.total_columns > label_width + 32 ? options.total_columns - label_width - 32 : 0,
                               16, options.width);

  const std::vector<point> &first = all.front().points;
  std::string out;
  if (!first.empty()) {
    const bool name_in_heading = one_name && !name.empty() && labels.front() != name;
    // The end is written without its date when it is the start's.
    const std::string from = format_time(first.front().time_ms);
    std::string to = format_time(first.back().time_ms);
    if (to.compare(0, 11, from, 0, 11) == 0) to.erase(0, 11);
    out += "  " + fit(name_in_heading ? name : "", label_width) + "  " + from + " .. " + to;
    char steps[64];
    std::snprintf(steps, sizeof steps, ", %zu points%s", first.size(), width < first.size() ? " averaged" : "");
    out += steps;
    out += '\n';
  }
  size_t row = 0;
  for (const series &s : all) {
    std::vector<double> values;
    values.reserve(s.points.size());
    double lo = INFINITY, hi = -INFINITY;
    for (const point &p : s.points) {
      values.push_back(p.value);
      if (std::isnan(p.value)) continue;
      lo = std::min(lo, p.value);
      hi = std::max(hi, p.value);
    }
    out += "  " + fit(labels[row++], label_width) + "  " + sparkline(values, width);
    if (lo <= hi) out += "  min " + short_value(lo) + "  max " + short_value(hi);
    out += '\n';
  }
  return out;
}

}  // namespace orvik_host
