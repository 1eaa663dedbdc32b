#include "promql/select.h"

#include <algorithm>
#include <unordered_map>

#include <re2/re2.h>

namespace orvik_host::promql {
namespace {

}  // namespace

void split_selector(const selector &sel, store_selector *library, std::vector<bool> *host_side) {
  host_side->assign(sel.matchers.size(), false);
  for (size_t k = 0; k < sel.matchers.size(); ++k) {
    const matcher &m = sel.matchers[k];
    const bool exact = m.op == match_op::eq || m.op == match_op::neq;
    (*host_side)[k] = !exact || !library->add(m.name, m.op == match_op::neq, m.value);
  }
}

bool host_filter::pass(const label_list &labels) {
  for (size_t k = 0; k < sel_.matchers.size(); ++k) {
    if (!host_side_[k]) continue;
    const matcher &m = sel_.matchers[k];
    const std::string_view value = label_value(labels, m.name);
    if (!m.regex) {
      if (!matcher_passes(m, value)) return false;
      continue;
    }
    auto known = verdicts_[k].find(std::string(value));
    if (known == verdicts_[k].end()) {
      const uint64_t cost = (value.size() + 1) * static_cast<uint64_t>(m.regex->ProgramSize());
      if (budget_->exhausted || cost > budget_->left) {
        budget_->exhausted = true;
        return false;
      }
      budget_->left -= cost;
      known = verdicts_[k].emplace(std::string(value), matcher_passes(m, value)).first;
    }
    if (!known->second) return false;
  }
  return true;
}

std::string regex_work_error() {
  return "the regular expressions would take too long to match: more than " + std::to_string(MAX_REGEX_WORK) +
         " steps (value bytes x program size) in one query";
}

std::string_view label_value(const label_list &labels, std::string_view name) {
  for (const auto &[label, value] : labels)
    if (label == name) return value;
  return std::string_view();
}

namespace {

// What the store answered for a selector, and which of its series pass the
// matchers the store was not given.
struct selection {
  std::vector<series> answered;  // in the store's order
  std::vector<bool> kept;
  size_t kept_count = 0;
};

// Applies the host-side matchers to a library answer, spending the budget;
// once it is exhausted, stops with budget->exhausted set and the selection
// incomplete.
selection filter_answer(std::string_view answer, const selector &sel, const std::vector<bool> &host_side,
                        regex_budget *budget) {
  selection out;
  out.answered = read_series(answer);
  out.kept.resize(out.answered.size());
  host_filter matchers(sel, host_side, budget);
  for (size_t i = 0; i < out.answered.size() && !budget->exhausted; ++i) {
    out.kept[i] = matchers.pass(out.answered[i].metric);
    out.kept_count += out.kept[i] ? 1 : 0;
  }
  return out;
}

}  // namespace

std::optional<std::vector<selected_series>> select_series(locked_store &store, std::string_view selector_text,
                                                          int64_t time_ms, std::string *error,
                                                          regex_budget *budget) {
  selector sel;
  std::string message;
  if (!parse_selector(selector_text, &sel, &message)) {
    if (error) *error = message;
    return std::nullopt;
  }
  store_selector library;
  std::vector<bool> host_side;
  split_selector(sel, &library, &host_side);
  std::string answer;
  {
    locked_store::session session = store.open_session();
    answer = session.query(library.text(), time_ms);
  }
  selection picked = filter_answer(answer, sel, host_side, budget);
  if (budget->exhausted) {
    if (error) *error = regex_work_error();
    return std::nullopt;
  }
  std::vector<selected_series> result;
  result.reserve(picked.kept_count);
  for (size_t i = 0; i < picked.answered.size(); ++i) {
    if (!picked.kept[i]) continue;
    selected_series s;
    s.labels = std::move(picked.answered[i].metric);
    std::stable_sort(s.labels.begin(), s.labels.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    result.push_back(std::move(s));
  }
  return result;
}

}  // namespace orvik_host::promql
