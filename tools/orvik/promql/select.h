// Which series a selector picks, with the language's meaning of every
// matcher. The store is asked only the matchers it reads exactly as meant
// (`=` and `!=` with a non-empty value it can hold); the host applies the
// rest (regular expressions, empty values, texts the store cannot take) to
// the labels of the series the store answered.
#ifndef ORVIK_HOST_PROMQL_SELECT_H
#define ORVIK_HOST_PROMQL_SELECT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "library/answer_reader.h"
#include "library/selector.h"
#include "promql/parser.h"
#include "library/store.h"

namespace orvik_host::promql {

struct selected_series {
  std::vector<std::pair<std::string, std::string>> labels;  // __name__ included, sorted by name
};

// Regular expressions are matched here, one label value at a time. One
// match walks at most (value bytes + 1) x the expression's program size
// steps of RE2's automata, up to 3 ns each for crafted expressions within
// MAX_REGEX_PROGRAM. A query (or one listing request, whatever its match[])
// may take this many steps, at most some 0.2 s of CPU; an alternation of the
// largest size over 1,024 values of 25 bytes takes 52 million. Each distinct
// value is matched once per matcher.
inline constexpr uint64_t MAX_REGEX_WORK = 1ull << 26;

struct regex_budget {
  uint64_t left = MAX_REGEX_WORK;
  bool exhausted = false;  // a match was refused: the selection is incomplete
};

// The refusal of a query past its regex_budget (422, "execution").
std::string regex_work_error();

// The series a selector text (as `match[]` carries it) picks at time_ms (0 or
// less: now). Nothing, with the message of a 400 answer in *error, when the
// text is no selector; nothing with budget->exhausted set, and
// regex_work_error() in *error, when its regular expressions would take more
// than the budget left.
std::optional<std::vector<selected_series>> select_series(locked_store &store, std::string_view selector_text,
                                                          int64_t time_ms, std::string *error,
                                                          regex_budget *budget);

// Splits a selector: the matchers the store takes go into *library, the
// others are marked in *host_side.
void split_selector(const selector &sel, store_selector *library, std::vector<bool> *host_side);

// The host-side matchers of one selector, each regular expression's
// verdicts kept by value: series share values (names, jobs), and a value
// already judged costs no budget.
class host_filter {
 public:
  host_filter(const selector &sel, const std::vector<bool> &host_side, regex_budget *budget)
      : sel_(sel), host_side_(host_side), budget_(budget), verdicts_(sel.matchers.size()) {}
  // Whether a series with these labels passes; false also once the budget is
  // exhausted.
  bool pass(const label_list &labels);

 private:
  const selector &sel_;
  const std::vector<bool> &host_side_;
  regex_budget *budget_;
  std::vector<std::unordered_map<std::string, bool>> verdicts_;
};

// The value of a label in a metric object; "" when absent. __name__ is the
// series name, the first member of that name.
std::string_view label_value(const label_list &labels, std::string_view name);

}  // namespace orvik_host::promql

#endif
