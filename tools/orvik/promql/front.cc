#include "promql/front.h"

#include <algorithm>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "base/times.h"
#include "promql/ast.h"
#include "promql/select.h"
#include "promql/store_storage.h"

namespace orvik_host::promql {
namespace {

constexpr int64_t DEFAULT_WINDOW_MS = 15 * 60 * 1000;
constexpr int64_t DEFAULT_STEP_MS = 15 * 1000;

int64_t now_whole_seconds() { return now_ms() / 1000 * 1000; }

struct window {
  int64_t start, end, step;
};

// The store's window rules, so that the command line's defaults stay what
// they were when the store answered them.
window resolve(int64_t start_ms, int64_t end_ms, int64_t step_ms) {
  const int64_t end = end_ms > 0 ? end_ms : now_whole_seconds();
  return {start_ms > 0 ? std::min(start_ms, end) : end - DEFAULT_WINDOW_MS, end,
          step_ms > 0 ? step_ms : DEFAULT_STEP_MS};
}

query_outcome refused(int status, std::string type, std::string message) {
  query_outcome out;
  out.status = status;
  out.error_type = std::move(type);
  out.error = std::move(message);
  return out;
}

bool reads_store(const expr &e) {
  if (e.k == expr::kind::selector || e.k == expr::kind::matrix) return true;
  return std::any_of(e.args.begin(), e.args.end(), [](const expr_ptr &a) { return reads_store(*a); });
}

std::string over_budget(const std::string &detail) {
  return "query processing would load too many samples into memory in query execution: " + detail;
}

bool parse(std::string_view text, expr_ptr *tree, query_outcome *refusal) {
  if (text.empty()) {
    *refusal = refused(400, "bad_data", "missing query parameter");
    return false;
  }
  std::string error;
  if (!parse_expr(text, tree, &error)) {
    *refusal = refused(400, "bad_data", error);
    return false;
  }
  return true;
}

uint64_t nodes(const expr &e) {
  uint64_t n = 1;
  for (const expr_ptr &a : e.args) n += nodes(*a);
  return n;
}

// The budget counts steps times series in the store; each node of the tree
// may evaluate every series at every step once, so the engine gets that many
// times the budget, never more than its own ceiling.
engine_options options_for(const expr &tree, const front_limits &limits) {
  engine_options options;
  options.limits.max_steps = static_cast<size_t>(MAX_RANGE_STEPS) + 1;
  const uint64_t n = nodes(tree);
  const uint64_t per_tree = limits.max_evaluations > UINT64_MAX / n ? UINT64_MAX : limits.max_evaluations * n;
  options.limits.max_evaluations = std::min<uint64_t>(options.limits.max_evaluations, per_tree);
  if (limits.max_points < UINT64_MAX / POINTS_HELD_FACTOR)
    options.limits.max_points =
        std::min<uint64_t>(options.limits.max_points, limits.max_points * POINTS_HELD_FACTOR);
  return options;
}

// Walking the samples costs one evaluation per series in the store for each
// distinct sample time in the window, which is about one per step when the
// data comes at the step's pace, plus those a range reaches back before the
// first step: the walk gets twice the query's budget.
uint64_t walk_evaluations(const front_limits &limits) {
  return limits.max_evaluations > UINT64_MAX / 2 ? UINT64_MAX : 2 * limits.max_evaluations;
}

query_outcome finish(bool ok, query_value &&value, const eval_error &error) {
  if (!ok) {
    // A query refused at a bound may have built up to it (100,000 series of
    // count_values are some 40 MB in small pieces on a worker's arena), and
    // the allocator keeps such pieces from the system: give them back now,
    // or the next such query starts from there.
#ifdef __GLIBC__
    if (error.status == 422) malloc_trim(0);
#endif
    return refused(error.status, error.type, error.message);
  }
  query_outcome out;
  out.value = std::move(value);
  return out;
}

}  // namespace

uint64_t window_steps(int64_t start_ms, int64_t end_ms, int64_t step_ms) {
  const window w = resolve(start_ms, end_ms, step_ms);
  return static_cast<uint64_t>((w.end - w.start) / w.step) + 1;
}

query_outcome instant_query(locked_store &store, std::string_view text, int64_t time_ms, const front_limits &limits) {
  expr_ptr tree;
  query_outcome refusal;
  if (!parse(text, &tree, &refusal)) return refusal;
  if (time_ms <= 0) time_ms = now_whole_seconds();
  const engine_options options = options_for(*tree, limits);
  locked_store::session session = store.open_session();
  regex_budget regex;
  store_storage storage(session, walk_evaluations(limits), &regex);
  query_value value;
  eval_error error;
  const bool ok = eval_instant(*tree, storage, time_ms, options, &value, &error);
  return finish(ok, std::move(value), error);
}

query_outcome range_query(locked_store &store, std::string_view text, int64_t start_ms, int64_t end_ms,
                          int64_t step_ms, const front_limits &limits) {
  expr_ptr tree;
  query_outcome refusal;
  if (!parse(text, &tree, &refusal)) return refusal;
  const window w = resolve(start_ms, end_ms, step_ms);
  const uint64_t steps = window_steps(start_ms, end_ms, step_ms);
  if (steps > static_cast<uint64_t>(MAX_RANGE_STEPS) + 1) return refused(400, "bad_data", WINDOW_TOO_LONG);
  const engine_options options = options_for(*tree, limits);
  locked_store::session session = store.open_session();
  // Every step asks about every series of the store at least once; a query
  // over more than the budget is refused before it runs. A query of
  // numbers alone asks the store nothing.
  if (reads_store(*tree)) {
    const uint64_t in_store = session.series_count();
    if (in_store > 0 && steps * in_store > limits.max_evaluations)
      return refused(422, "execution",
                     over_budget(std::to_string(steps) + " steps over " + std::to_string(in_store) +
                                 " series in the store, limit " + std::to_string(limits.max_evaluations) +
                                 " (--query.max-evaluations)"));
  }
  regex_budget regex;
  store_storage storage(session, walk_evaluations(limits), &regex);
  query_value value;
  eval_error error;
  const bool ok = eval_range(*tree, storage, w.start, w.end, w.step, options, &value, &error);
  if (ok) {
    uint64_t points = 0;
    for (const series &s : value.matrix) points += s.points.size();
    if (points > limits.max_points)
      return refused(422, "execution",
                     over_budget(std::to_string(value.matrix.size()) + " series of " + std::to_string(steps) +
                                 " steps, limit " + std::to_string(limits.max_points) +
                                 " points (--query.max-points)"));
  }
  return finish(ok, std::move(value), error);
}

}  // namespace orvik_host::promql
