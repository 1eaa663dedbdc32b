// The vector and matrix answers built as a yyjson document and written by
// yyjson's pretty writer: the reference that the answers the library writes
// in place are held to, byte for byte, and the baseline of their benchmark.
#pragma once

#include <cstdint>

#include <yyjson.h>

#include "answer/answer.h"

namespace orvik {

// Adds "metric" to element: "__name__" and the series' labels, or an empty
// object when entry is null (an aggregate). A label text that does not parse
// adds no labels.
void add_metric_object(yyjson_mut_doc *doc, yyjson_mut_val *element, const series_entry *entry);

// [timestamp in seconds, "value text"]; buf is the caller's value text
// buffer. Null when the array itself cannot be made.
yyjson_mut_val *make_value_pair(yyjson_mut_doc *doc, int64_t timestamp_ms, double value, char *buf);

// {"status":"success","data":{"resultType":result_type,"result":[]}};
// *result receives the result array (null when it could not be made).
yyjson_mut_doc *new_query_document(const char *result_type, yyjson_mut_val **result);

// orvik_query and orvik_query_range, answered through a document.
const char *query_by_document(orvik_db *db, const char *query, int64_t time_ms);
const char *query_range_by_document(orvik_db *db, const char *query, int64_t start_ms, int64_t end_ms,
                                    int64_t step_ms);

}  // namespace orvik
