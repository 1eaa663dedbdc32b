#include "library/question.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <yyjson.h>

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
// A reader of the store's matrix answers that builds no document: the store
// writes them in one fixed pretty layout, so each element is found by its
// members' names, its metric object (a few labels) is read by yyjson, and
// its pairs are read straight from the text.
class matrix_reader {
 public:
  explicit matrix_reader(std::string_view text) : t_(text) {}

  // Appends every element with exactly n values; false when the text is not
  // laid out as expected.
  bool read(size_t n, std::vector<stepped_series> *out) {
    if (!skip_to("\"result\": [")) return false;
    for (;;) {
      space();
      if (at(']')) return true;
      if (!at('{') || !skip_to("\"metric\": ")) return false;
      stepped_series s;
      if (!metric(&s.metric) || !skip_to("\"values\": [")) return false;
      s.values.reserve(n);
      for (;;) {
        space();
        if (at(']')) break;
        double v;
        if (!pair(&v)) return false;
        s.values.push_back(v);
        space();
        if (at(',')) continue;
      }
      if (s.values.size() != n) return false;
      out->push_back(std::move(s));
      space();
      if (!at('}')) return false;
      space();
      at(',');
    }
  }

 private:
  bool skip_to(std::string_view what) {
    const size_t found = t_.find(what, i_);
    if (found == std::string_view::npos) return false;
    i_ = found + what.size();
    return true;
  }
  void space() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\n')) ++i_;
  }
  bool at(char c) {
    if (i_ < t_.size() && t_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  // The object from "{" to its "}", strings skipped with their escapes.
  bool metric(label_list *labels) {
    const size_t begin = i_;
    if (!at('{')) return false;
    for (int depth = 1; depth > 0;) {
      if (i_ >= t_.size()) return false;
      const char c = t_[i_++];
      if (c == '"') {
        while (i_ < t_.size() && t_[i_] != '"') i_ += t_[i_] == '\\' ? 2 : 1;
        ++i_;
      } else if (c == '{') {
        ++depth;
      } else if (c == '}') {
        --depth;
      }
    }
    yyjson_doc *doc = yyjson_read(t_.data() + begin, i_ - begin, 0);
    yyjson_val *root = yyjson_doc_get_root(doc);
    const bool ok = yyjson_is_obj(root);
    yyjson_obj_iter iter = yyjson_obj_iter_with(root);
    for (yyjson_val *key; ok && (key = yyjson_obj_iter_next(&iter)) != nullptr;) {
      yyjson_val *val = yyjson_obj_iter_get_val(key);
      if (yyjson_is_str(val))
        labels->emplace_back(std::string(yyjson_get_str(key), yyjson_get_len(key)),
                             std::string(yyjson_get_str(val), yyjson_get_len(val)));
    }
    yyjson_doc_free(doc);
    return ok;
  }
  // [ time, "value" ]: the time is the step's, known already.
  bool pair(double *v) {
    if (!at('[') || !skip_to(",")) return false;
    space();
    if (!at('"')) return false;
    const size_t end = t_.find('"', i_);
    if (end == std::string_view::npos || end - i_ > 63) return false;
    char text[64];
    std::memcpy(text, t_.data() + i_, end - i_);
    text[end - i_] = '\0';
    char *parsed;
    *v = std::strtod(text, &parsed);
    if (parsed == text) return false;
    i_ = end + 1;
    space();
    return at(']');
  }

  std::string_view t_;
  size_t i_ = 0;
};

}  // namespace

bool ask_every_step(locked_store::session &session, const store_question &question, int64_t start, int64_t step,
                    size_t n, walk_budget *budget, std::vector<stepped_series> *out, bool *exact,
                    std::string *error) {
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
  std::vector<stepped_series> answered;
  if (!matrix_reader(answer).read(n, &answered)) return true;
  for (stepped_series &s : answered) out->push_back(std::move(s));
  *exact = true;
  return true;
}

}  // namespace orvik_host
