// The evaluator of the query language: a checked syntax tree, evaluated at
// one time or over the steps of a range, against a storage. Every step of a
// range is evaluated together, so that each selector asks the storage once
// for the whole window the query needs.
#ifndef ORVIK_HOST_PROMQL_ENGINE_H
#define ORVIK_HOST_PROMQL_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "promql/ast.h"
#include "promql/storage.h"
#include "promql/value.h"

namespace orvik_host::promql {

// The work and memory a query may take. Each is counted as the query runs,
// before the work or the allocation it stands for, and the query is refused
// with 422 naming the bound once it is passed.

// Points held at once: raw points fetched plus the values of intermediate
// results. 16 bytes each, so the default keeps a query's points near 160 MB
// (Prometheus's own default of 50M samples is far more than a small host
// holds).
inline constexpr size_t MAX_QUERY_POINTS = 10'000'000;
// Element evaluations: one per series per step at each node of the tree, and
// one per point that a range function reads. 100M is a few seconds of work.
inline constexpr uint64_t MAX_EVALUATIONS = 100'000'000;
// Steps of a range query, as the query API bounds them.
inline constexpr size_t MAX_STEPS = 11'000;
// Steps of the inner evaluation of one subquery: the outer range plus the
// subquery's range, at its step. Subqueries of subqueries multiply here.
inline constexpr size_t MAX_SUBQUERY_STEPS = 110'000;
// Distinct series a query may create (count_values, label_replace,
// label_join and vector matching are where one series becomes many).
inline constexpr size_t MAX_OUTPUT_SERIES = 100'000;

struct engine_limits {
  size_t max_points = MAX_QUERY_POINTS;
  uint64_t max_evaluations = MAX_EVALUATIONS;
  size_t max_steps = MAX_STEPS;
  size_t max_subquery_steps = MAX_SUBQUERY_STEPS;
  size_t max_series = MAX_OUTPUT_SERIES;
  // How refusals name the two bounds a host may set.
  std::string points_bound = "max_points";
  std::string evaluations_bound = "max_evaluations";
};

struct engine_options {
  // How far back a selector looks for a sample; 0: however far, the store's
  // own rule.
  int64_t lookback_ms = 0;
  // The step of a subquery written without one.
  int64_t default_step_ms = 60'000;
  engine_limits limits;
};

struct eval_error {
  int status = 422;
  std::string type = "execution";  // or "bad_data" with 400
  std::string message;
};

// What a query answers. For a range query, type is matrix for both scalar
// and vector expressions (a scalar is one series without labels).
struct query_value {
  value_type type = value_type::scalar;
  int64_t t = 0;      // scalar and string: the evaluation time
  double scalar = 0.0;
  std::string str;
  instant_vector vector;  // every element at the evaluation time
  range_vector matrix;    // series sorted by labels in a range query
};

bool eval_instant(const expr &e, storage &store, int64_t t_ms, const engine_options &options, query_value *out,
                  eval_error *error);

bool eval_range(const expr &e, storage &store, int64_t start_ms, int64_t end_ms, int64_t step_ms,
                const engine_options &options, query_value *out, eval_error *error);

}  // namespace orvik_host::promql

#endif
