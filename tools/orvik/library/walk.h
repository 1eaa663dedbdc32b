// The raw samples of the store's series, read through the public header
// alone. An instant question of a plain selector answers each series' newest
// sample at or before its time, with that sample's own time; asking again
// just before the oldest time seen walks back through the samples, exactly,
// one question per distinct sample time in the window.
#ifndef ORVIK_HOST_LIBRARY_WALK_H
#define ORVIK_HOST_LIBRARY_WALK_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "library/answer_reader.h"
#include "library/selector.h"
#include "library/store.h"

namespace orvik_host {

struct walk_request {
  store_selector selector;
  // Both ends included, in ms; the store cannot be asked about times at or
  // before 1970, so the walk stops there.
  int64_t mint = 0, maxt = 0;
  // Each series' newest sample before mint as well (and a series with only
  // such a sample).
  bool previous = false;
  // Series the caller wants, by their labels as the store answers them; null
  // keeps every one.
  std::function<bool(const label_list &)> keep;
};

// What the walk may cost: each question evaluates every series in the store
// once, and is charged that many evaluations before it is asked; points are
// the samples kept.
struct walk_budget {
  uint64_t evaluations_left = UINT64_MAX;
  size_t points_left = SIZE_MAX;
};

// Appends the series the selector picks (and `keep` keeps) that hold a
// sample in the window, with their samples in time order. False with *error
// when the budget runs out (the message names which part), or when the store
// answered something unreadable.
bool walk_samples(locked_store::session &session, const walk_request &request, walk_budget *budget,
                  std::vector<series> *out, std::string *error);

}  // namespace orvik_host

#endif
