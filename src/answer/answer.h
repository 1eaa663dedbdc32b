// The JSON answer documents shared by every question: value texts, metric
// objects, value pairs, aggregation and the hand-over into the answer buffer.
#pragma once

#include <cstdint>

#include <yyjson.h>

#include "query/query.h"
#include "store/store.h"

constexpr size_t VALUE_TEXT_SIZE = 64;

extern const char MISSING_QUERY_ANSWER[];
extern const char PARSE_ERROR_ANSWER[];

// "NaN", "+Inf", "-Inf", or "%.14g" of the value, into out[VALUE_TEXT_SIZE].
void format_double_val(double value, char *out);

// Adds "metric" to element: "__name__" and the series' labels, or an empty
// object when entry is null (an aggregate).
void add_metric_object(yyjson_mut_doc *doc, yyjson_mut_val *element, const series_entry *entry);

// [timestamp in seconds, "value text"]; buf is the caller's value text buffer.
yyjson_mut_val *make_value_pair(yyjson_mut_doc *doc, int64_t timestamp_ms, double value,
                                char *buf);

// Writes doc (pretty), stores the text through set_result_json, frees both,
// and returns the stored answer. A null doc or failed write answers "{}".
const char *finish_answer(orvik_db *db, yyjson_mut_doc *doc);

// Running values of one aggregated instant.
struct aggregation_state {
  int32_t count;
  double sum;
  double min;
  double max;
};

void aggregation_reset(aggregation_state *state);
void aggregation_add(aggregation_state *state, double value);
// The aggregated value of the given AGG_* kind; 0 when nothing was added.
double aggregation_result(const aggregation_state *state, int32_t kind);
