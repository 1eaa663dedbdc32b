// The JSON answer documents shared by every question: value texts, metric
// objects, value pairs and the hand-over into the answer buffer.
#pragma once

#include <cstdint>
#include <cstring>

#include <yyjson.h>

#include "query/query.h"
#include "store/store.h"

namespace orvik {

constexpr size_t VALUE_TEXT_SIZE = 64;

// The two fixed error answers, compact, handed to set_result_json as they are.
extern const char MISSING_QUERY_ANSWER[];
extern const char PARSE_ERROR_ANSWER[];

// "NaN", "+Inf", "-Inf", or exactly what "%.14g" prints, into
// out[VALUE_TEXT_SIZE]. Returns the length of the text.
size_t format_double_val(double value, char *out);

// Writes doc (pretty), stores the text through set_result_json, frees both,
// and returns the stored answer. A null doc or failed write answers "{}".
const char *finish_answer(orvik_db *db, yyjson_mut_doc *doc);

// A new document holding {"status":"success"}, the start of every success
// answer; *root receives its root object (null when it could not be made).
// Null when the document cannot be made.
yyjson_mut_doc *new_success_document(yyjson_mut_val **root);

// The step times of a range query, its defaults applied (see
// orvik_query_range): afterwards start <= end and step > 0.
struct query_window {
  int64_t start;
  int64_t end;
  int64_t step;
};
query_window resolve_window(int64_t start_ms, int64_t end_ms, int64_t step_ms);
// Moves *t to the next step time; false after the last one. Neither the
// distance to the end nor t + step overflows near the ends of the 64-bit
// range.
bool next_step(const query_window &w, int64_t *t);

// The entry checks of both queries: the error answer for a missing handle or
// query text, or for a text the parser rejects; null when *parsed is ready.
const char *reject_query(orvik_db *db, const char *query, promql_query *parsed);

}  // namespace orvik

namespace orvik {

// A vector or matrix answer written in place into a handle's answer buffer,
// in exactly the bytes finish_answer would write for the same document. The
// buffer grows as finish_answer's hand-over grows it; when it cannot,
// finish_query answers "{}" with "out of memory expanding result buffer",
// as the hand-over does for a text too long for the process-wide buffer.
class answer_text {
 public:
  explicit answer_text(orvik_db *db);

  // The opening up to "result": [ and the closing after the last element.
  void begin_query(const char *result_type);
  const char *finish_query();
  // An element of the result array up to and including "metric": .
  void begin_element();
  void metric_object(int level, const series_entry *entry);
  void value_pair(int level, int64_t timestamp_ms, double value);
  void indent(int level);
  void string(const char *s, size_t n);
  void real(double value);
  bool failed() const { return failed_; }

  void raw(const char *s, size_t n) {
    if (!room(n)) return;
    std::memcpy(out_, s, n);
    out_ += n;
  }
  template <size_t N>
  void lit(const char (&s)[N]) {
    raw(s, N - 1);
  }

 private:
  bool room(size_t n) { return static_cast<size_t>(end_ - out_) >= n || grow(n); }
  bool grow(size_t n);

  orvik_db *db_;
  char *out_;
  char *end_;  // one before the buffer's end, kept for the terminator
  uint32_t elements_ = 0;
  bool failed_ = false;
};

}  // namespace orvik
