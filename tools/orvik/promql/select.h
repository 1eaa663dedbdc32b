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
#include <utility>
#include <vector>

#include "library/answer_reader.h"
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

// The store reads at most this many matchers of a selector; the host
// applies any further ones itself.
inline constexpr size_t LIBRARY_MAX_MATCHERS = 16;

// A selector in the store's own language, built from matchers it reads
// exactly as the query means them.
class library_selector {
 public:
  // Adds `name op "value"` when the store reads it as meant; false (nothing
  // added) when it would not: regular expressions, empty values of labels
  // (the store reads `a=""` as "a is present and empty"), names and values
  // longer than the store's fields, NUL bytes, the matcher limit.
  bool add(std::string_view name, match_op op, std::string_view value);
  size_t count() const { return count_; }
  // {...}, or a selector of every series when no matcher was added.
  std::string text() const;

 private:
  std::string matchers_;
  size_t count_ = 0;
};

// What the store answered for a selector, and which of its series pass the
// matchers the store was not given.
struct selection {
  std::vector<series> answered;  // in the store's order
  std::vector<bool> kept;
  size_t kept_count = 0;
};

// Splits a selector: the matchers the store takes go into *library, the
// others are marked in *host_side.
void split_selector(const selector &sel, library_selector *library, std::vector<bool> *host_side);

// Applies the host-side matchers to a library answer, spending the budget;
// once it is exhausted, stops with budget->exhausted set and the selection
// incomplete.
selection filter_answer(std::string_view answer, const selector &sel, const std::vector<bool> &host_side,
                        regex_budget *budget);

// The value of a label in a metric object; "" when absent. __name__ is the
// series name, the first member of that name.
std::string_view label_value(const label_list &labels, std::string_view name);

}  // namespace orvik_host::promql

#endif
