// Each query becomes one question to the store for its series (with the
// matchers the store reads as meant) and, for an aggregation, one question
// per group that can be named with `=` matchers, so that its value is the
// store's own text; groups that cannot be named are computed here with the
// store's arithmetic from the per-series values. One session holds the
// store for all of a query's questions, so they see the same series.
#include "promql/planner.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "library/answer_reader.h"
#include "promql/merge.h"
#include "promql/parser.h"
#include "promql/select.h"
#include "base/times.h"

namespace orvik_host::promql {
namespace {

constexpr int64_t DEFAULT_WINDOW_MS = 900000;
constexpr int64_t DEFAULT_STEP_MS = 15000;

query_outcome refused(int status, const char *type, std::string message) {
  query_outcome out;
  out.status = status;
  out.error_type = type;
  out.error = std::move(message);
  return out;
}

query_outcome answered(std::string body) {
  query_outcome out;
  out.body = std::move(body);
  return out;
}

query_outcome store_failed() {
  return refused(500, "internal", "the store could not build an answer");
}

// The store reads a count and one unit letter (s, m, h, d): the largest unit
// that divides the range exactly keeps the count small.
std::optional<std::string> library_range(int64_t ms) {
  static constexpr struct {
    char unit;
    int64_t ms;
  } units[] = {{'d', 86400000}, {'h', 3600000}, {'m', 60000}, {'s', 1000}};
  for (const auto &u : units) {
    if (ms % u.ms == 0 && ms / u.ms <= INT32_MAX) return std::to_string(ms / u.ms) + u.unit;
  }
  return std::nullopt;
}

const char *agg_word(agg_op op) {
  switch (op) {
    case agg_op::sum: return "sum";
    case agg_op::avg: return "avg";
    case agg_op::min: return "min";
    case agg_op::max: return "max";
    default: return "count";
  }
}

struct query_plan {
  query_shape shape;
  library_selector base;
  std::vector<bool> host_side;
  bool host_filter = false;  // some matcher is applied here, not by the store
  std::string range;         // the store's text of the range of rate or irate

  std::string inner(const library_selector &sel) const {
    if (shape.fn == range_fn::none) return sel.text();
    return std::string(shape.fn == range_fn::rate ? "rate(" : "irate(") + sel.text() + "[" + range + "])";
  }
  std::string aggregated(const library_selector &sel) const {
    return std::string(agg_word(shape.agg)) + "(" + inner(sel) + ")";
  }
};

// Reads the query; false with *out set to the refusal.
bool make_plan(std::string_view text, bool range_query, query_plan *plan, query_outcome *out) {
  if (text.empty()) {
    *out = refused(400, "bad_data", "missing query parameter");
    return false;
  }
  std::string error;
  if (!parse_query(text, range_query, &plan->shape, &error)) {
    *out = refused(400, "bad_data", error);
    return false;
  }
  if (plan->shape.kind == query_shape::kind::scalar) return true;
  split_selector(plan->shape.sel, &plan->base, &plan->host_side);
  plan->host_filter = std::find(plan->host_side.begin(), plan->host_side.end(), true) != plan->host_side.end();
  if (plan->shape.fn != range_fn::none) {
    auto range = library_range(plan->shape.range_ms);
    if (!range) {
      *out = refused(400, "bad_data",
                     "not supported: a range of " + std::to_string(plan->shape.range_ms) +
                         "ms; ranges are whole seconds");
      return false;
    }
    plan->range = *range;
  }
  return true;
}

// Range functions drop the metric name, as the language defines them.
label_list output_labels(const label_list &metric, bool drop_name) {
  if (!drop_name) return metric;
  label_list out;
  out.reserve(metric.size());
  for (const auto &member : metric)
    if (member.first != "__name__") out.push_back(member);
  return out;
}

std::string labels_key(const label_list &labels) {
  std::string key;
  for (const auto &[name, value] : labels) {
    key += name;
    key += '\xff';
    key += value;
    key += '\xff';
  }
  return key;
}

// The series of a selection as elements, each label set once.
std::optional<std::string> series_document(const char *type, const selection &picked, bool drop_name) {
  result_writer writer(type);
  std::unordered_set<std::string> seen;
  for (size_t i = 0; i < picked.answered.size(); ++i) {
    if (!picked.kept[i]) continue;
    const label_list labels = output_labels(picked.answered[i].metric, drop_name);
    if (drop_name && !seen.insert(labels_key(labels)).second) return std::nullopt;
    writer.add(labels, picked.answered[i].points);
  }
  return writer.finish();
}

query_outcome duplicate_series() {
  return refused(422, "execution", "vector cannot contain metrics with the same labelset");
}

query_outcome too_much_regex_work() { return refused(422, "execution", regex_work_error()); }

struct group {
  label_list key;  // sorted by name
  std::vector<size_t> members;
};

// Labels of a group: `by` keeps the listed ones, `without` all but the listed
// ones and the name; a label with an empty value is no label.
label_list group_key(const label_list &metric, const query_shape &shape) {
  const bool has_name = shape.fn == range_fn::none;
  label_list key;
  if (!shape.without) {
    for (const std::string &name : shape.grouping) {
      if (name == "__name__" && !has_name) continue;
      const std::string_view value = label_value(metric, name);
      if (!value.empty()) key.emplace_back(name, std::string(value));
    }
  } else {
    for (const auto &[name, value] : metric) {
      if (name == "__name__" || value.empty()) continue;
      if (std::find(shape.grouping.begin(), shape.grouping.end(), name) != shape.grouping.end()) continue;
      key.emplace_back(name, value);
    }
  }
  std::stable_sort(key.begin(), key.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
  return key;
}

// Groups in the order of their first series in the store's order.
std::vector<group> form_groups(const selection &picked, const query_shape &shape) {
  std::vector<group> groups;
  std::unordered_map<std::string, size_t> index;
  for (size_t i = 0; i < picked.answered.size(); ++i) {
    if (!picked.kept[i]) continue;
    label_list key = group_key(picked.answered[i].metric, shape);
    auto [it, fresh] = index.emplace(labels_key(key), groups.size());
    if (fresh) groups.push_back({std::move(key), {}});
    groups[it->second].members.push_back(i);
  }
  return groups;
}

// Whether the store, asked with the base matchers and the group's labels as
// `=` matchers, selects exactly the group's series: it selects every series
// it answered that carries those labels.
bool nameable(const selection &picked, const group &g, const query_plan &plan) {
  size_t listed = 0;
  for (const std::string &name : plan.shape.grouping) listed += name != "__name__" || plan.shape.fn == range_fn::none;
  // Nothing left out by the host and every listed label present: a series
  // carries the group's labels exactly when it is in the group.
  if (!plan.host_filter && !plan.shape.without && g.key.size() == listed) return true;
  size_t carrying = 0;
  for (const series &s : picked.answered) {
    bool all = true;
    for (const auto &[name, value] : g.key) all = all && label_value(s.metric, name) == value;
    carrying += all;
  }
  return carrying == g.members.size();
}

std::optional<library_selector> group_selector(const selection &picked, const group &g, const query_plan &plan) {
  if (!nameable(picked, g, plan)) return std::nullopt;
  library_selector sel = plan.base;
  for (const auto &[name, value] : g.key)
    if (!sel.add(name, match_op::eq, value)) return std::nullopt;
  return sel;
}

// The store's aggregation arithmetic, for groups it cannot be asked about:
// series in its order, a NaN never the minimum or maximum, and the finite
// starting extremes it answers when every value is NaN.
double host_aggregate(const selection &picked, const std::vector<size_t> &members, size_t step, agg_op op) {
  double sum = 0.0, min = 1e30, max = -1e30;
  size_t count = 0;
  for (size_t m : members) {
    const std::vector<point> &points = picked.answered[m].points;
    if (step >= points.size()) continue;
    const double v = points[step].value;
    ++count;
    sum += v;
    if (v < min) min = v;
    if (v > max) max = v;
  }
  if (count == 0) return 0.0;
  switch (op) {
    case agg_op::sum: return sum;
    case agg_op::avg: return sum / static_cast<double>(count);
    case agg_op::min: return min;
    case agg_op::max: return max;
    default: return static_cast<double>(count);
  }
}

int64_t now_whole_seconds() { return now_ms() / 1000 * 1000; }

struct window {
  int64_t start, end, step;
};

// The store's window rules, applied as it applies them.
window store_window(int64_t start_ms, int64_t end_ms, int64_t step_ms) {
  const int64_t end = end_ms > 0 ? end_ms : now_whole_seconds();
  return {start_ms > 0 ? std::min(start_ms, end) : end - DEFAULT_WINDOW_MS, end,
          step_ms > 0 ? step_ms : DEFAULT_STEP_MS};
}

// The questions of one query: at one instant, or over a window.
struct asker {
  locked_store::session &session;
  regex_budget &regex;
  bool range;
  int64_t time_ms;  // the instant, or the window's end
  int64_t start_ms = 0;
  int64_t step_ms = 0;

  uint64_t steps() const { return range ? window_steps(start_ms, time_ms, step_ms) : 1; }

  std::string_view ask(const std::string &text) const {
    return range ? session.query_range(text, start_ms, time_ms, step_ms) : session.query(text, time_ms);
  }
};

// The one group of an ungrouped aggregation, when the store selects the
// series itself: its count tells whether there is a group at all, without
// listing the series.
query_outcome ungrouped(const query_plan &plan, const asker &q, const char *type) {
  const std::vector<series> counted = read_series(q.session.query("count(" + plan.base.text() + ")", q.time_ms));
  if (counted.size() != 1 || counted[0].points.empty()) return store_failed();
  result_writer writer(type);
  if (counted[0].points[0].text != "0") {
    std::vector<series> one = read_series(q.ask(plan.aggregated(plan.base)));
    if (one.size() != 1) return store_failed();
    writer.add({}, one[0].points);
  }
  return answered(writer.finish());
}

// Groups are formed from the series the selector picks (the same at every
// step: the store selects a series whatever its samples); the per-series
// values are fetched only when a group must be computed here.
query_outcome aggregate(const query_plan &plan, const asker &q, uint64_t max_evaluations) {
  const query_shape &shape = plan.shape;
  const char *type = q.range ? "matrix" : "vector";
  if (!plan.host_filter && !shape.without && shape.grouping.empty()) return ungrouped(plan, q, type);

  const std::string_view listed = q.session.query(plan.base.text(), q.time_ms);
  if (!library_success(listed)) return store_failed();
  const selection picked = filter_answer(listed, shape.sel, plan.host_side, &q.regex);
  if (q.regex.exhausted) return too_much_regex_work();
  std::optional<selection> values;
  // Each question evaluates every series of the store at every step; the
  // listing above cost one step's worth.
  const uint64_t series_count = q.session.series_count();
  const uint64_t per_question = series_count * q.steps();
  uint64_t spent = series_count;

  result_writer writer(type);
  for (const group &g : form_groups(picked, shape)) {
    std::optional<library_selector> sel;
    if (spent <= max_evaluations && max_evaluations - spent >= per_question) sel = group_selector(picked, g, plan);
    std::vector<point> points;
    if (sel) {
      std::vector<series> one = read_series(q.ask(plan.aggregated(*sel)));
      if (one.size() != 1) return store_failed();
      points = std::move(one[0].points);
      spent += per_question;
    } else {
      if (!values) {
        const std::string_view answer = q.ask(plan.inner(plan.base));
        if (!library_success(answer)) return store_failed();
        values = filter_answer(answer, shape.sel, plan.host_side, &q.regex);
        if (q.regex.exhausted) return too_much_regex_work();
        if (values->answered.size() != picked.answered.size()) return store_failed();
      }
      // Every series of an answer holds one point per step time; a vector's
      // point carries the sample's time, an aggregate the evaluation time.
      points = values->answered[g.members[0]].points;
      for (size_t k = 0; k < points.size(); ++k) {
        if (!q.range) points[k].time_ms = q.time_ms;
        points[k].text = value_text(host_aggregate(*values, g.members, k, shape.agg));
      }
    }
    writer.add(g.key, points);
  }
  return answered(writer.finish());
}

// A query without aggregation: its series, as the store answered them when
// nothing is to change.
query_outcome series_answer(const query_plan &plan, const asker &q) {
  const std::string_view answer = q.ask(plan.inner(plan.base));
  if (!library_success(answer)) return store_failed();
  const bool drop_name = plan.shape.fn != range_fn::none;
  if (!plan.host_filter && !drop_name) return answered(std::string(answer));
  const selection picked = filter_answer(answer, plan.shape.sel, plan.host_side, &q.regex);
  if (q.regex.exhausted) return too_much_regex_work();
  auto body = series_document(q.range ? "matrix" : "vector", picked, drop_name);
  return body ? answered(std::move(*body)) : duplicate_series();
}

}  // namespace

uint64_t window_steps(int64_t start_ms, int64_t end_ms, int64_t step_ms) {
  const window w = store_window(start_ms, end_ms, step_ms);
  return static_cast<uint64_t>((w.end - w.start) / w.step) + 1;
}

query_outcome instant_query(locked_store &store, std::string_view text, int64_t time_ms) {
  query_plan plan;
  query_outcome refusal;
  if (!make_plan(text, false, &plan, &refusal)) return refusal;
  if (time_ms <= 0) time_ms = now_whole_seconds();
  if (plan.shape.kind == query_shape::kind::scalar) return answered(scalar_document(time_ms, plan.shape.scalar));

  locked_store::session session = store.open_session();
  regex_budget regex;
  const asker q{session, regex, false, time_ms};
  return plan.shape.agg == agg_op::none ? series_answer(plan, q) : aggregate(plan, q, UINT64_MAX);
}

std::optional<answer_extent> answer_size(locked_store &store, std::string_view text, int64_t time_ms,
                                         regex_budget *regex) {
  query_plan plan;
  query_outcome refusal;
  if (!make_plan(text, false, &plan, &refusal)) return std::nullopt;
  if (plan.shape.kind == query_shape::kind::scalar) return answer_extent{1, false};
  const bool grouped = plan.host_filter || plan.shape.without || !plan.shape.grouping.empty();
  if (plan.shape.agg != agg_op::none && !grouped) return answer_extent{1, true};
  std::string answer;
  {
    locked_store::session session = store.open_session();
    answer = session.query(plan.base.text(), time_ms);
  }
  regex_budget own;
  const selection picked = filter_answer(answer, plan.shape.sel, plan.host_side, regex ? regex : &own);
  if ((regex ? regex : &own)->exhausted) return std::nullopt;
  if (plan.shape.agg == agg_op::none) return answer_extent{picked.kept_count, true};
  return answer_extent{form_groups(picked, plan.shape).size(), true};
}

query_outcome range_query(locked_store &store, std::string_view text, int64_t start_ms, int64_t end_ms,
                          int64_t step_ms, uint64_t max_evaluations, regex_budget *regex) {
  query_plan plan;
  query_outcome refusal;
  if (!make_plan(text, true, &plan, &refusal)) return refusal;
  const query_shape &shape = plan.shape;
  if (window_steps(start_ms, end_ms, step_ms) > MAX_RANGE_STEPS + 1) return refused(400, "bad_data", WINDOW_TOO_LONG);
  if (shape.kind == query_shape::kind::scalar) {
    // The store's window rules, for the one question it is not asked.
    const window w = store_window(start_ms, end_ms, step_ms);
    const int64_t start = w.start, end = w.end, step = w.step;
    point p;
    p.text = value_text(shape.scalar);
    std::vector<point> points;
    for (int64_t t = start;; t += step) {
      p.time_ms = t;
      points.push_back(p);
      if (end - t < step) break;  // never steps past the end, nor overflows
    }
    result_writer writer("matrix");
    writer.add({}, points);
    return answered(writer.finish());
  }

  locked_store::session session = store.open_session();
  regex_budget own;
  const asker q{session, regex ? *regex : own, true, end_ms, start_ms, step_ms};
  return shape.agg == agg_op::none ? series_answer(plan, q) : aggregate(plan, q, max_evaluations);
}

}  // namespace orvik_host::promql
