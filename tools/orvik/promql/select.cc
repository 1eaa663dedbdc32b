#include "promql/select.h"

#include <algorithm>
#include <unordered_map>

#include <re2/re2.h>

namespace orvik_host::promql {
namespace {

// The store's field sizes less the terminating NUL: longer texts are cut
// there, and a cut matcher would match a different value.
constexpr size_t LIBRARY_MAX_LABEL_NAME = 63;
constexpr size_t LIBRARY_MAX_VALUE = 127;

bool library_label_name(std::string_view name) {
  if (name.empty() || name.size() > LIBRARY_MAX_LABEL_NAME) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// The host-side matchers of one selector, each regular expression's
// verdicts kept by value: series share values (names, jobs), and a value
// already judged costs no budget.
class host_matchers {
 public:
  host_matchers(const selector &sel, const std::vector<bool> &host_side, regex_budget *budget)
      : sel_(sel), host_side_(host_side), budget_(budget), verdicts_(sel.matchers.size()) {}

  // False also once the budget is exhausted.
  bool pass(const label_list &labels) {
    for (size_t k = 0; k < sel_.matchers.size(); ++k) {
      if (!host_side_[k]) continue;
      const matcher &m = sel_.matchers[k];
      const std::string_view value = label_value(labels, m.name);
      if (!m.regex) {
        if (!matcher_passes(m, value)) return false;
        continue;
      }
      auto known = verdicts_[k].find(value);
      if (known == verdicts_[k].end()) {
        const uint64_t cost = (value.size() + 1) * static_cast<uint64_t>(m.regex->ProgramSize());
        if (budget_->exhausted || cost > budget_->left) {
          budget_->exhausted = true;
          return false;
        }
        budget_->left -= cost;
        known = verdicts_[k].emplace(value, matcher_passes(m, value)).first;
      }
      if (!known->second) return false;
    }
    return true;
  }

 private:
  const selector &sel_;
  const std::vector<bool> &host_side_;
  regex_budget *budget_;
  // Keys view the answer being filtered, which outlives this.
  std::vector<std::unordered_map<std::string_view, bool>> verdicts_;
};

}  // namespace

bool library_selector::add(std::string_view name, match_op op, std::string_view value) {
  if (op != match_op::eq && op != match_op::neq) return false;
  // Every series has a name, so "a name equal to (or other than) the empty
  // text" means the same in the store and in the query language.
  const bool empty_name = name == "__name__" && value.empty();
  if ((value.empty() && !empty_name) || value.size() > LIBRARY_MAX_VALUE || value.find('\0') != std::string_view::npos) return false;
  if (!library_label_name(name) || count_ == LIBRARY_MAX_MATCHERS) return false;
  if (count_ > 0) matchers_ += ',';
  matchers_.append(name);
  matchers_ += op == match_op::eq ? "=\"" : "!=\"";
  // The store's only escape: a backslash makes the next byte literal.
  for (char c : value) {
    if (c == '"' || c == '\\') matchers_ += '\\';
    matchers_ += c;
  }
  matchers_ += '"';
  ++count_;
  return true;
}

std::string library_selector::text() const {
  // Every series has a non-empty name, so this selects them all.
  if (count_ == 0) return "{__name__!=\"\"}";
  return "{" + matchers_ + "}";
}

void split_selector(const selector &sel, library_selector *library, std::vector<bool> *host_side) {
  host_side->assign(sel.matchers.size(), false);
  for (size_t k = 0; k < sel.matchers.size(); ++k) {
    const matcher &m = sel.matchers[k];
    (*host_side)[k] = !library->add(m.name, m.op, m.value);
  }
}

std::string regex_work_error() {
  return "the regular expressions would take too long to match: more than " + std::to_string(MAX_REGEX_WORK) +
         " steps (value bytes x program size) in one query";
}

selection filter_answer(std::string_view answer, const selector &sel, const std::vector<bool> &host_side,
                        regex_budget *budget) {
  selection out;
  out.answered = read_series(answer);
  out.kept.resize(out.answered.size());
  host_matchers matchers(sel, host_side, budget);
  for (size_t i = 0; i < out.answered.size() && !budget->exhausted; ++i) {
    out.kept[i] = matchers.pass(out.answered[i].metric);
    out.kept_count += out.kept[i] ? 1 : 0;
  }
  return out;
}

std::string_view label_value(const label_list &labels, std::string_view name) {
  for (const auto &[label, value] : labels)
    if (label == name) return value;
  return std::string_view();
}

std::optional<std::vector<selected_series>> select_series(locked_store &store, std::string_view selector_text,
                                                          int64_t time_ms, std::string *error,
                                                          regex_budget *budget) {
  selector sel;
  std::string message;
  if (!parse_selector(selector_text, &sel, &message)) {
    if (error) *error = message;
    return std::nullopt;
  }
  library_selector library;
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
