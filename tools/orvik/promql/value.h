// The values a PromQL expression evaluates to, as the engine and its
// functions pass them around: labels sorted by name, times in milliseconds.
#ifndef ORVIK_HOST_PROMQL_VALUE_H
#define ORVIK_HOST_PROMQL_VALUE_H

#include <cstdint>
#include <string>
#include <vector>

namespace orvik_host::promql {

struct label {
  std::string name, value;
  bool operator==(const label &o) const { return name == o.name && value == o.value; }
  bool operator!=(const label &o) const { return !(*this == o); }
};
// Sorted by name, each name once, no empty values: the identity of a series.
using label_set = std::vector<label>;

struct point {
  int64_t t = 0;
  double v = 0.0;
};

// One element of an instant vector: a series' value at the evaluation time.
struct sample {
  label_set metric;
  int64_t t = 0;
  double v = 0.0;
};
using instant_vector = std::vector<sample>;

// One series of a range vector (or of a range query's matrix): its points in
// time order.
struct series {
  label_set metric;
  std::vector<point> points;
};
using range_vector = std::vector<series>;

}  // namespace orvik_host::promql

#endif
