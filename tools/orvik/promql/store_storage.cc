#include "promql/store_storage.h"

#include <algorithm>

namespace orvik_host::promql {

bool store_storage::select(const std::vector<matcher> &matchers, int64_t mint, int64_t maxt, bool previous,
                           size_t max_points, range_vector *out, std::string *error) {
  selector sel;
  sel.matchers = matchers;
  walk_request request;
  std::vector<bool> host_side;
  split_selector(sel, &request.selector, &host_side);
  host_filter filter(sel, host_side, regex_);
  if (std::find(host_side.begin(), host_side.end(), true) != host_side.end())
    request.keep = [&filter](const label_list &labels) { return filter.pass(labels); };
  request.mint = mint;
  request.maxt = maxt;
  request.previous = previous;
  walk_.points_left = max_points;
  std::vector<orvik_host::series> walked;
  if (!walk_samples(session_, request, &walk_, &walked, error)) return false;
  if (regex_->exhausted) {
    *error = regex_work_error();
    return false;
  }
  out->reserve(out->size() + walked.size());
  for (orvik_host::series &s : walked) {
    promql::series kept;
    kept.metric.reserve(s.metric.size());
    for (auto &[name, value] : s.metric)
      if (!value.empty()) kept.metric.push_back({std::move(name), std::move(value)});
    std::stable_sort(kept.metric.begin(), kept.metric.end(),
                     [](const label &a, const label &b) { return a.name < b.name; });
    // A label named __name__ follows the series name in the store's answer;
    // the name is the series' identity, so the first of them stays.
    kept.metric.erase(std::unique(kept.metric.begin(), kept.metric.end(),
                                  [](const label &a, const label &b) { return a.name == b.name; }),
                      kept.metric.end());
    kept.points.reserve(s.points.size());
    for (const orvik_host::point &p : s.points) kept.points.push_back({p.time_ms, p.value});
    out->push_back(std::move(kept));
  }
  return true;
}

}  // namespace orvik_host::promql
