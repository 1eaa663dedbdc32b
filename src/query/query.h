// The query language: parsing a query text into a promql_query record,
// selecting series with it, evaluating one series at one instant, and
// aggregating the selected series at one instant.
#pragma once

#include <cstdint>

#include "store/store.h"
#include "store/text.h"

namespace orvik {

enum : int32_t { AGG_NONE = 0, AGG_SUM = 1, AGG_AVG = 2, AGG_MIN = 3, AGG_MAX = 4, AGG_COUNT = 5 };
enum : int32_t { FN_NONE = 0, FN_RATE = 1, FN_IRATE = 2 };

constexpr uint32_t MAX_MATCHERS = ORVIK_MAX_MATCHERS;
constexpr int64_t DEFAULT_RANGE_MS = 60000;

// "name":"value" escaped as in canonical label texts; escaping can turn each
// byte into six ("\u001f"), and the pattern is never cut, since a cut one
// could match a longer value.
constexpr size_t MATCHER_PATTERN_SIZE = 1 + (LABEL_NAME_SIZE - 1) * 6 + 3 + (LABEL_VALUE_SIZE - 1) * 6 + 1 + 1;

struct label_matcher {
  char name[LABEL_NAME_SIZE];    // never empty in a stored matcher
  char value[LABEL_VALUE_SIZE];  // escapes resolved
  int32_t negate;                // 0 for "=", 1 for "!="
  // The member this matcher looks for, made once when the matcher is stored
  // rather than once per series tested.
  char pattern[MATCHER_PATTERN_SIZE];
  uint32_t pattern_len;
  uint32_t names_series;  // 1 for "__name__", which tests the series name
};

struct promql_query {
  char metric_name[NAME_SIZE];  // empty: any name
  uint32_t metric_name_len;
  int32_t aggregation;          // AGG_*
  int32_t range_function;       // FN_*
  int64_t range_ms;
  uint32_t matcher_count;
  label_matcher matchers[MAX_MATCHERS];
};

// Parses text into *parsed in one pass without allocating. Returns 0 when
// accepted, -1 when text is null, yields neither a metric name nor a
// matcher, or holds a character inside the matcher block that no rule reads.
int32_t parse_promql(const char *text, promql_query *parsed);

// Fills m->pattern and m->names_series from m->name and m->value; the
// parser calls it for every matcher it stores.
void build_matcher_pattern(label_matcher *m);

// 1 when the series passes every label matcher of the query (its name aside).
// "__name__" matchers test the series name; the others look for the whole
// member "name":"value", escaped as the canonical label text is.
int32_t labels_match(const series_entry *entry, const promql_query *parsed);

// 1 when the series is selected by the query's name and matchers, else 0.
// Inline: it runs once per series of every question.
inline int32_t series_matches(const series_entry *entry, const promql_query *parsed) {
  // With its terminator, so a longer name does not pass; the name fits its
  // field, so no byte read lies beyond either.
  if (parsed->metric_name_len != 0 &&
      !same_bytes(parsed->metric_name, entry->name, parsed->metric_name_len + 1)) {
    return 0;
  }
  return parsed->matcher_count == 0 ? 1 : labels_match(entry, parsed);
}

// What one evaluation found, offered to the next one of the same question.
// Series appended together hold their samples at the same ring positions,
// so the next series' answer usually lies where this one's did; a hint is
// checked before it is used, never trusted, and a wrong one costs two reads.
// A value-initialised hint ({}) hints nothing.
struct eval_hint {
  uint32_t in_force = 0;  // position of the sample in force
  uint32_t window = 0;    // the window's first sample, from its first candidate
  int64_t span_ms = 0;    // the last span of a rate, and it in seconds
  double span_s = 0.0;
};

// The value of one series at eval_ms (0 or less: its newest sample): the
// sample in force, or its rate or irate. *used_ms receives the time of the
// newest sample used, or eval_ms when the series has none. The result does
// not depend on the hint, if any; it is updated for the next call.
double eval_sample(const series_entry *entry, const promql_query *parsed, int64_t eval_ms,
                   int64_t *used_ms, eval_hint *hint = nullptr);

// The one walk over the selected series: visit(entry) for every series of
// the table the query selects, in creation order. Queries never use the
// hash index; they scan the table.
template <typename Visit>
void for_each_selected(const orvik_db *db, const promql_query &parsed, Visit &&visit) {
  for (uint32_t i = 0; i < db->series_count; ++i) {
    const series_entry &entry = db->series[i];
    if (series_matches(&entry, &parsed) != 0) visit(entry);
  }
}

// ---- aggregation (aggregation.cc) ----

// The aggregated value of the query at one instant: every series the query
// selects, evaluated at eval_ms, with the rules of its AGG_* kind; 0 when
// nothing is selected. Both the instant and the range query use it.
double aggregate_at(const orvik_db *db, const promql_query *parsed, int64_t eval_ms);

}  // namespace orvik
