#include "library/walk.h"

#include <algorithm>
#include <limits>

namespace orvik_host {

bool walk_samples(locked_store::session &session, const walk_request &request, walk_budget *budget,
                  std::vector<series> *out, std::string *error) {
  const std::string text = request.selector.text();
  std::vector<series> found;
  std::vector<char> active;
  std::vector<int64_t> oldest;
  int64_t t = request.maxt;
  bool first = true;
  while (t > 0) {
    const uint64_t cost = std::max<uint64_t>(1, session.series_count());
    if (cost > budget->evaluations_left) {
      *error = "reading the samples of the window would take more than the evaluations left";
      return false;
    }
    budget->evaluations_left -= cost;
    std::vector<series> answered = read_series(session.query(text, t));
    if (first) {
      first = false;
      found.resize(answered.size());
      active.assign(answered.size(), 0);
      oldest.assign(answered.size(), std::numeric_limits<int64_t>::max());
      for (size_t i = 0; i < answered.size(); ++i) {
        active[i] = !request.keep || request.keep(answered[i].metric);
        found[i].metric = std::move(answered[i].metric);
      }
    } else if (answered.size() != found.size()) {
      // The session holds the store, so its series cannot change under the walk.
      *error = "the store answered a different set of series during one walk";
      return false;
    }
    int64_t next = 0;
    for (size_t i = 0; i < answered.size(); ++i) {
      if (!active[i] || answered[i].points.empty()) continue;
      point &p = answered[i].points.front();
      // Every sample is newer than t: the store answers the oldest one.
      if (p.time_ms > t) {
        active[i] = 0;
        continue;
      }
      // Not reached yet: another series drove t, this one waits below it.
      if (p.time_ms >= oldest[i]) {
        next = std::max(next, oldest[i] - 1);
        continue;
      }
      const bool before = p.time_ms < request.mint;
      if (before && !request.previous) {
        active[i] = 0;
        continue;
      }
      if (budget->points_left == 0) {
        *error = "the window holds more samples than the points left";
        return false;
      }
      --budget->points_left;
      oldest[i] = p.time_ms;
      found[i].points.push_back(std::move(p));
      if (before) {
        active[i] = 0;
        continue;
      }
      next = std::max(next, oldest[i] - 1);
    }
    t = next;
  }
  for (series &s : found) {
    if (s.points.empty()) continue;
    std::reverse(s.points.begin(), s.points.end());
    out->push_back(std::move(s));
  }
  return true;
}

}  // namespace orvik_host
