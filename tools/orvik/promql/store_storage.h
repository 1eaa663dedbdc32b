// The engine's storage over the store: each selector is split into the
// matchers the store reads as meant and those the host applies, and the
// samples of the window are walked back through the store's answers.
#ifndef ORVIK_HOST_PROMQL_STORE_STORAGE_H
#define ORVIK_HOST_PROMQL_STORE_STORAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "library/store.h"
#include "library/question.h"
#include "library/walk.h"
#include "promql/select.h"
#include "promql/storage.h"

namespace orvik_host::promql {

class store_storage : public storage {
 public:
  // The session holds the store for the whole query, so that every selector
  // sees the same series; the walk is charged to `evaluations`, the regular
  // expressions to `regex`.
  store_storage(locked_store::session &session, uint64_t evaluations, regex_budget *regex)
      : session_(session), regex_(regex) {
    walk_.evaluations_left = evaluations;
  }

  bool select(const std::vector<matcher> &matchers, int64_t mint, int64_t maxt, bool previous, size_t max_points,
              range_vector *out, std::string *error) override;
  bool push_down(const pushdown &q, int64_t start, int64_t step, size_t n, range_vector *out, bool *answered,
                 std::string *error) override;

 private:
  locked_store::session &session_;
  regex_budget *regex_;
  walk_budget walk_;
};

}  // namespace orvik_host::promql

#endif
