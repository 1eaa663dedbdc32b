#include "library/question.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

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

size_t occurrences(std::string_view text, std::string_view key) {
  size_t n = 0;
  for (size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + key.size())) ++n;
  return n;
}

// The newest of the sample times in an instant answer, and how many series
// it holds, read from the text alone: the coverage question is asked of every
// selected series at every query, and reading their labels would cost several
// times the store's answer itself. The keys are looked for without their
// opening quote, which is every few bytes of an answer: value": cannot
// appear inside a string, where every quote is escaped, and where it ends a
// label's name (xvalue) no number follows it, or the counts of values and
// metrics differ. False then, and when the text is not as the library
// writes it.
bool newest_sample(std::string_view answer, int64_t *newest_ms, size_t *count) {
  constexpr std::string_view key = "value\":";
  *newest_ms = INT64_MIN;
  *count = 0;
  for (size_t at = answer.find(key); at != std::string_view::npos; at = answer.find(key, at)) {
    at += key.size();
    while (at < answer.size() && (answer[at] == ' ' || answer[at] == '\n' || answer[at] == '\r' ||
                                  answer[at] == '\t' || answer[at] == '['))
      ++at;
    double seconds = 0;
    const auto read = std::from_chars(answer.data() + at, answer.data() + answer.size(), seconds);
    if (read.ec != std::errc() || !std::isfinite(seconds)) return false;
    *newest_ms = std::max<int64_t>(*newest_ms, std::llround(seconds * 1000.0));
    ++*count;
    at = static_cast<size_t>(read.ptr - answer.data());
  }
  return *count == occurrences(answer, "metric\":");
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
  const std::string_view oldest = session.query(question.selector.text(), 1);
  int64_t newest_oldest = 0;
  size_t selected = 0;
  if (!read_status(oldest).success || !newest_sample(oldest, &newest_oldest, &selected)) return true;
  if (selected > 0 && newest_oldest > start - range) return true;
  if (selected == 0) {
    *exact = true;
    return true;
  }
  const size_t elements = question.aggregation.empty() ? selected : 1;
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
