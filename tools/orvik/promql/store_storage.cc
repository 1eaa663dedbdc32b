#include "promql/store_storage.h"

#include <algorithm>

namespace orvik_host::promql {
namespace {

label_set label_set_of(label_list &&metric, bool drop_name) {
  label_set out;
  out.reserve(metric.size());
  for (auto &[name, value] : metric)
    if (!value.empty() && !(drop_name && name == "__name__")) out.push_back({std::move(name), std::move(value)});
  std::stable_sort(out.begin(), out.end(), [](const label &a, const label &b) { return a.name < b.name; });
  // A label named __name__ follows the series name in the store's answer;
  // the name is the series' identity, so the first of them stays.
  out.erase(std::unique(out.begin(), out.end(), [](const label &a, const label &b) { return a.name == b.name; }),
            out.end());
  return out;
}

}  // namespace

bool store_storage::push_down(const pushdown &q, int64_t start, int64_t step, size_t n, range_vector *out,
                              bool *answered, std::string *error) {
  *answered = false;
  selector sel;
  sel.matchers = *q.matchers;
  store_question question;
  std::vector<bool> host_side;
  split_selector(sel, &question.selector, &host_side);
  if (std::find(host_side.begin(), host_side.end(), true) != host_side.end()) return true;
  question.function = q.fn == pushdown::function::rate    ? store_question::rate
                      : q.fn == pushdown::function::irate ? store_question::irate
                                                          : store_question::none;
  question.range_ms = q.range_ms;
  question.aggregation = q.aggregation;
  std::vector<stepped_series> answer;
  bool exact = false;
  if (!ask_every_step(session_, question, start, step, n, &walk_, &answer, &exact, error)) return false;
  if (!exact) return true;
  const bool drop_name = question.function != store_question::none;
  for (stepped_series &s : answer) {
    promql::series kept;
    kept.metric = question.aggregation.empty() ? label_set_of(std::move(s.metric), drop_name) : label_set();
    kept.points.reserve(s.values.size());
    for (size_t i = 0; i < s.values.size(); ++i)
      kept.points.push_back({start + static_cast<int64_t>(i) * step, s.values[i]});
    out->push_back(std::move(kept));
  }
  // rate and irate drop the names, and two series left with one label set
  // are the engine's error to name.
  if (drop_name) {
    std::vector<const label_set *> sets;
    for (const promql::series &s : *out) sets.push_back(&s.metric);
    std::sort(sets.begin(), sets.end(), [](const label_set *a, const label_set *b) {
      return std::lexicographical_compare(a->begin(), a->end(), b->begin(), b->end(),
                                          [](const label &x, const label &y) {
                                            return x.name != y.name ? x.name < y.name : x.value < y.value;
                                          });
    });
    for (size_t i = 1; i < sets.size(); ++i)
      if (*sets[i] == *sets[i - 1]) {
        out->clear();
        return true;
      }
  }
  *answered = true;
  return true;
}

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
    kept.metric = label_set_of(std::move(s.metric), false);
    kept.points.reserve(s.points.size());
    for (const orvik_host::point &p : s.points) kept.points.push_back({p.time_ms, p.value});
    out->push_back(std::move(kept));
  }
  return true;
}

}  // namespace orvik_host::promql
