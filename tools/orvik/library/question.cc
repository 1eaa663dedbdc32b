#include "library/question.h"

#include <algorithm>

namespace orvik_host {
namespace {

bool charge(walk_budget *budget, uint64_t n, std::string *error) {
  if (n > budget->evaluations_left) {
    *error = "asking the store at every step would take more than the evaluations left";
    return false;
  }
  budget->evaluations_left -= n;
  return true;
}

// The question in the store's language; ranges in seconds, the one unit the
// store reads that every whole number of seconds can be written in.
std::string text_of(const store_question &q) {
  std::string text = q.selector.text();
  if (q.function != store_question::none)
    text = std::string(q.function == store_question::rate ? "rate(" : "irate(") + text + "[" +
           std::to_string(q.range_ms / 1000) + "s])";
  if (!q.aggregation.empty()) text = q.aggregation + "(" + text + ")";
  return text;
}

}  // namespace

bool ask_every_step(locked_store::session &session, const store_question &question, int64_t start, int64_t step,
                    size_t n, walk_budget *budget, std::vector<series> *out, bool *exact, std::string *error) {
  *exact = false;
  const int64_t range = question.function == store_question::none ? 0 : question.range_ms;
  // The store reads times at or before 1970 as now, and ranges in whole
  // seconds of a 32-bit count.
  if (start <= 0 || step <= 0 || n == 0 || range % 1000 != 0 || range / 1000 > INT32_MAX) return true;
  const uint64_t in_store = std::max<uint32_t>(1, session.series_count());
  if (!charge(budget, in_store, error)) return false;
  // Asked about its first millisecond, each series answers its oldest sample.
  const std::vector<series> oldest = read_series(session.query(question.selector.text(), 1));
  const int64_t needed = start - range;
  for (const series &s : oldest)
    if (s.points.empty() || s.points.front().time_ms > needed) return true;
  if (oldest.empty()) {
    *exact = true;
    return true;
  }
  const size_t elements = question.aggregation.empty() ? oldest.size() : 1;
  if (elements > MAX_STEP_ANSWER_POINTS / n) return true;
  if (!charge(budget, in_store * n, error)) return false;
  const int64_t end = start + static_cast<int64_t>(n - 1) * step;
  const std::string_view answer = session.query_range(text_of(question), start, end, step);
  if (!read_status(answer).success) return true;
  std::vector<series> answered = read_series(answer);
  for (const series &s : answered)
    if (s.points.size() != n) return true;
  for (series &s : answered) out->push_back(std::move(s));
  *exact = true;
  return true;
}

}  // namespace orvik_host
