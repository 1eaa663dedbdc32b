/* orvik: an in-memory time-series store that answers PromQL questions.
 *
 * A host creates a store, feeds it samples one at a time (orvik_append) or
 * as JSON machine snapshots (orvik_ingest_snapshot_json), and asks it
 * questions in a small subset of PromQL. Every answer is one JSON text in the
 * Prometheus query-API envelope ("status", "data", ...).
 *
 * Conventions, stated once:
 *  - Ownership. Answer texts and the last-error text belong to the library;
 *    never free or modify them. An answer stays valid until the next call
 *    that produces an answer through the same handle (or, for answers made
 *    with a NULL handle, through any NULL handle), or until orvik_free. The
 *    last-error text stays until the next failure.
 *  - NULL. Every function accepts NULL for every pointer argument and then
 *    does nothing harmful: counters read 0, question functions answer an
 *    error document or the list of an empty store, input functions
 *    return -1.
 *  - Errors. Input functions (orvik_create, orvik_append,
 *    orvik_ingest_snapshot_json) report failure by their result and a
 *    message readable with orvik_last_error(); a successful call never
 *    clears that message. Question functions never return NULL and answer
 *    bad input inside the JSON; the one message they may set is
 *    "out of memory expanding result buffer", when an answer outgrows the
 *    store's buffer and memory runs out (the answer is then "{}").
 *  - Threads. The library takes no locks and starts no threads. A host that
 *    calls it from several threads serialises its calls (the last-error text
 *    and the answer for NULL handles are shared by the whole process).
 *  - Time. Timestamps are signed 64-bit milliseconds since the Unix epoch.
 *    Wherever a time argument is 0 or less, "now" is used: the current
 *    calendar time in whole seconds, times 1000.
 *  - Texts are read only during the call; nothing keeps a pointer to them.
 *    Names longer than their field are cut (see the limits below), never
 *    rejected.
 */
#ifndef ORVIK_H
#define ORVIK_H

#include <stdint.h>

#include "orvik_version.h"

/* ORVIK_API marks the exported functions. Define ORVIK_STATIC when linking a
 * static build on Windows; the library's own build defines ORVIK_BUILDING. */
#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(ORVIK_STATIC)
#    define ORVIK_API
#  elif defined(ORVIK_BUILDING)
#    define ORVIK_API __declspec(dllexport)
#  else
#    define ORVIK_API __declspec(dllimport)
#  endif
#elif defined(ORVIK_BUILDING)
#  define ORVIK_API __attribute__((visibility("default")))
#else
#  define ORVIK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Limits ----------------------------------------------------------------
 * Fixed sizes a host may need to know, in bytes of UTF-8 (without a NUL).
 * A text longer than its limit is cut at it, never rejected; a host that
 * must not store a series under a shorter identity checks these first. */

/* A series or metric name. */
#define ORVIK_MAX_NAME_BYTES 127
/* A label name and a label value. */
#define ORVIK_MAX_LABEL_NAME_BYTES 63
#define ORVIK_MAX_LABEL_VALUE_BYTES 127
/* Labels kept per series: the first 32 members with a non-empty name. */
#define ORVIK_MAX_LABELS 32
/* A series' labels as the store writes them: {"a":"b","c":"d"}, sorted by
 * name, names and values escaped as JSON strings. A longer text is cut, and
 * the series then answers without labels. */
#define ORVIK_MAX_LABEL_TEXT_BYTES 511
/* A series is identified by its whole name (before any cut), "|" and its
 * label text, of which the first 639 bytes count: two series that differ
 * only past them are one. */
#define ORVIK_MAX_SERIES_KEY_BYTES 639
/* Label matchers a query may hold; matchers past the sixteenth are ignored. */
#define ORVIK_MAX_MATCHERS 16
/* Entries of the two label listings ("__name__" counts as a name). */
#define ORVIK_MAX_LABEL_NAMES 256
#define ORVIK_MAX_LABEL_VALUES 512

/* A store: its series, their sample rings and its answer buffer. Opaque. */
typedef struct orvik_db orvik_db;

/* ---- Lifecycle and counters ------------------------------------------- */

/* Creates a store for up to max_series series (0 means 1024), each keeping
 * its newest samples_per_series samples (0 means 1440) in a ring.
 * Returns NULL on failure, with one of these last-error texts:
 *   "orvik_create: out of memory allocating db structure"
 *   "orvik_create: out of memory allocating series table"
 *   "orvik_create: out of memory allocating hash table"
 *   "orvik_create: out of memory allocating result buffer"
 *   "orvik_create: max_series too large"  (above 2^30)
 * Release the store with orvik_free. */
ORVIK_API orvik_db *orvik_create(uint32_t max_series, uint32_t samples_per_series);

/* Releases the store and everything it owns, its answers included.
 * NULL is ignored. */
ORVIK_API void orvik_free(orvik_db *db);

/* Removes every series and sample; the store keeps its sizes and memory for
 * the series table, and series numbering starts again. Answers already handed
 * out stay readable. NULL is ignored. */
ORVIK_API void orvik_clear(orvik_db *db);

/* Number of series in the store; 0 for NULL. */
ORVIK_API uint32_t orvik_series_count(const orvik_db *db);

/* Number of samples appended since creation or the last orvik_clear
 * (overwritten ring entries included); 0 for NULL. */
ORVIK_API uint64_t orvik_total_samples(const orvik_db *db);

/* The message of the most recent failure in this process, or "" if none.
 * Never NULL; owned by the library. */
ORVIK_API const char *orvik_last_error(void);

/* ---- Sample input ------------------------------------------------------- */

/* Stores one sample in the series named by name and labels, creating the
 * series on first use.
 *   labels: a JSON object text such as {"core":"0","mode":"idle"}, or NULL
 *           for none. Member order and spacing do not matter; numbers and
 *           booleans are stored as their text; text that is not a JSON
 *           object counts as no labels. At most 32 labels are kept.
 *   timestamp_ms: 0 or less means now.
 * Returns 0 when stored, -1 otherwise with the last-error text:
 *   "orvik_append: invalid parameters"        (NULL db, NULL or empty name)
 *   "orvik_append: name is not valid UTF-8"
 *   "series table full"                       (a new series was needed)
 *   "out of memory allocating series samples ring buffer"
 *   "out of memory allocating series key"
 *   "out of memory parsing series labels"     (long label texts need heap) */
ORVIK_API int32_t orvik_append(orvik_db *db, const char *name, const char *labels,
                               double value, int64_t timestamp_ms);

/* Stores every value of one machine snapshot (a JSON object with "metrics",
 * "cpu", "memory", "disks", "network" and "system" members, or a JSON array
 * of metric entries) as samples under fixed "windows_" metric names; see
 * docs/api.md for the mapping. timestamp_ms (0 or less means now) is the
 * time of every sample that carries none of its own.
 * Returns the number of samples stored, or -1 with the last-error text:
 *   "orvik_ingest_snapshot_json: empty or invalid json parameter"
 *   "orvik_ingest_snapshot_json: json parse failed"
 *   "orvik_ingest_snapshot_json: missing root element"
 * A sample whose append fails is skipped and not counted; the call goes on
 * and the append's message stays in the last-error text. So is a metric
 * entry whose labels cannot be copied for lack of memory, with
 *   "orvik_ingest_snapshot_json: out of memory writing metric labels" */
ORVIK_API int32_t orvik_ingest_snapshot_json(orvik_db *db, const char *json, int64_t timestamp_ms);

/* ---- Questions -----------------------------------------------------------
 * Queries: an optional sum, avg, min, max or count around an optional rate
 * or irate around a selector: a metric name and/or {label="value",
 * label!="value"} matchers. A range is a whole number and one unit letter,
 * s, m, h or d ("[90s]", not "[1m30s]"; only the letter right after the
 * number counts, so "[5ms]" is five minutes); without a unit it is 1m.
 * Each returns a pretty-printed JSON answer owned by the store (see the
 * ownership rule above), never NULL. A NULL db, NULL or empty query answers
 *   {"status":"error","errorType":"bad_data","error":"missing query parameter"}
 * and a query the parser rejects answers
 *   {"status":"error","errorType":"bad_data","error":"parse error: invalid PromQL"}
 * When memory runs out while an answer is built, the answer may lack the
 * parts that could not be made, or be "{}". */

/* Evaluates query at time_ms (0 or less means now) and answers a "vector":
 * one element per selected series carrying the time of the sample used, or,
 * for sum/avg/min/max/count, one element with an empty "metric" carrying the
 * evaluation time. */
ORVIK_API const char *orvik_query(orvik_db *db, const char *query, int64_t time_ms);

/* Evaluates query at start_ms, start_ms + step_ms, ... up to end_ms inclusive
 * and answers a "matrix" whose pairs carry the step times. Defaults, in this
 * order: end_ms <= 0 is now; start_ms <= 0 is end - 15 minutes; step_ms <= 0
 * is 15 seconds; a start after the end is moved to the end. There is no limit
 * on the number of steps: the caller bounds the work with its window. */
ORVIK_API const char *orvik_query_range(orvik_db *db, const char *query, int64_t start_ms,
                                        int64_t end_ms, int64_t step_ms);

/* Answers the label names in the store as a JSON list, "__name__" first,
 * then in order of first appearance; at most ORVIK_MAX_LABEL_NAMES names.
 * A NULL db answers the list of an empty store, ["__name__"]. */
ORVIK_API const char *orvik_get_label_names(orvik_db *db);

/* Answers the distinct values of one label in order of first appearance
 * (for "__name__", the series names); at most ORVIK_MAX_LABEL_VALUES values.
 * A NULL db, NULL or empty label_name answers an empty list. */
ORVIK_API const char *orvik_get_label_values(orvik_db *db, const char *label_name);

#ifdef __cplusplus
}
#endif

#endif /* ORVIK_H */
