// Questions the store answers itself at every step of a window: a selector,
// rate or irate of one, optionally under sum, avg or count. The store's
// answer is taken only where it is exactly what PromQL answers: over a window
// its every selected series covers from the first step (less the range) on,
// since before a series' first sample the store answers its oldest one.
#ifndef ORVIK_HOST_LIBRARY_QUESTION_H
#define ORVIK_HOST_LIBRARY_QUESTION_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "library/answer_reader.h"
#include "library/selector.h"
#include "library/store.h"
#include "library/walk.h"

namespace orvik_host {

// The store's answer at every step is read as it is written, one series
// after another, into 8 bytes a point; the store's own text of it takes some
// 70 bytes a point in its answer buffer, which keeps its largest size.
// Answers of more points than this (about 9 MB of text) are not asked for,
// and the caller reads the samples instead.
inline constexpr size_t MAX_STEP_ANSWER_POINTS = 128 * 1024;

// One series of an answer at every step: its labels as the store names them
// and its value at each step, in order.
struct stepped_series {
  label_list metric;
  std::vector<double> values;
};

struct store_question {
  enum function { none, rate, irate };
  store_selector selector;
  function function = none;
  int64_t range_ms = 0;     // of rate and irate; whole seconds are asked
  std::string aggregation;  // "", "sum", "avg" or "count"
};

// The store's answer at start, start + step, ... (n steps), one series per
// selected series (one without labels for an aggregation, none when nothing
// is selected), charged to the budget's evaluations. *exact false, nothing
// appended, when the store would answer otherwise than PromQL, or past
// MAX_STEP_ANSWER_POINTS. False with
// *error when the budget runs out or the store fails.
bool ask_every_step(locked_store::session &session, const store_question &question, int64_t start, int64_t step,
                    size_t n, walk_budget *budget, std::vector<stepped_series> *out, bool *exact,
                    std::string *error);

}  // namespace orvik_host

#endif
