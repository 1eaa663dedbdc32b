// Reads the library's JSON answers back into plain host records, for the
// views that do not print the answer as it stands (charts, tables, the text
// exposition).
#ifndef ORVIK_HOST_ANSWER_READER_H
#define ORVIK_HOST_ANSWER_READER_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvik_host {

using label_list = std::vector<std::pair<std::string, std::string>>;

struct answer_status {
  bool success = false;
  std::string error_type;  // "errorType" of an error answer
  std::string error;       // "error" of an error answer, or why the answer is unreadable
};

struct point {
  int64_t time_ms = 0;
  double value = 0.0;
  std::string text;  // the value as the library wrote it ("0.5", "NaN", "+Inf")
};

// One element of a vector or matrix answer: its metric object member by member
// ("__name__" first for a series, nothing for an aggregate) and its pairs.
struct series {
  label_list metric;
  std::vector<point> points;
};

answer_status read_status(std::string_view answer);

// Elements of a "vector" (one point each) or "matrix" answer; empty when the
// answer is an error or not a query answer.
std::vector<series> read_series(std::string_view answer);

// The "data" list of a label answer.
std::vector<std::string> read_string_list(std::string_view answer);

// The "timestamp_ms" member of a JSON object text when it is an integer, else 0.
int64_t read_timestamp_member(std::string_view json);

// `{a="b",c="d"}`, leaving out "__name__"; "{}" when nothing is left.
std::string format_labels(const label_list &metric);

// The "__name__" member, or "".
std::string metric_name(const label_list &metric);

}  // namespace orvik_host

#endif
