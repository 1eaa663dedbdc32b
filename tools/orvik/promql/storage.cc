#include "promql/storage.h"

#include <algorithm>

namespace orvik_host::promql {

void memory_storage::add(label_set metric, std::vector<point> points) {
  std::sort(metric.begin(), metric.end(), [](const label &a, const label &b) { return a.name < b.name; });
  series_.push_back({std::move(metric), std::move(points)});
}

bool memory_storage::select(const std::vector<matcher> &matchers, int64_t mint, int64_t maxt, bool previous,
                            size_t max_points, range_vector *out, std::string *error) {
  ++selects_;
  size_t held = 0;
  for (const series &s : series_) {
    const bool passes = std::all_of(matchers.begin(), matchers.end(), [&](const matcher &m) {
      for (const label &l : s.metric)
        if (l.name == m.name) return matcher_passes(m, l.value);
      return matcher_passes(m, "");
    });
    if (!passes) continue;
    auto by_time = [](const point &p, int64_t t) { return p.t < t; };
    auto first = std::lower_bound(s.points.begin(), s.points.end(), mint, by_time);
    auto last = std::upper_bound(s.points.begin(), s.points.end(), maxt,
                                 [](int64_t t, const point &p) { return t < p.t; });
    if (previous && first != s.points.begin()) --first;
    if (first >= last) continue;
    held += static_cast<size_t>(last - first);
    if (held > max_points) {
      *error = "the query holds more than " + std::to_string(max_points) + " points";
      return false;
    }
    out->push_back({s.metric, std::vector<point>(first, last)});
  }
  return true;
}

}  // namespace orvik_host::promql
