// Answer documents of the query front, in the Prometheus envelope, built
// from what the store answered and what the host computed.
#ifndef ORVIK_HOST_PROMQL_MERGE_H
#define ORVIK_HOST_PROMQL_MERGE_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "library/answer_reader.h"

struct yyjson_mut_doc;
struct yyjson_mut_val;

namespace orvik_host::promql {

// A value as the store writes it: "NaN", "+Inf", "-Inf" or what %.14g prints.
std::string value_text(double value);

// Whether a store answer is a success document (its "status" member comes
// first), without reading the whole of it.
bool library_success(std::string_view answer);

// One "vector" or "matrix" document, element by element.
class result_writer {
 public:
  explicit result_writer(const char *result_type);
  ~result_writer();
  result_writer(const result_writer &) = delete;
  result_writer &operator=(const result_writer &) = delete;

  // An element with these labels (written in the order given) and points;
  // in a vector the first point is its value.
  void add(const label_list &labels, const std::vector<point> &points);
  std::string finish();

 private:
  yyjson_mut_doc *doc_;
  yyjson_mut_val *result_ = nullptr;
  bool vector_;
};

// {"status":"success","data":{"resultType":"scalar","result":[t,"v"]}}
std::string scalar_document(int64_t time_ms, double value);

}  // namespace orvik_host::promql

#endif
