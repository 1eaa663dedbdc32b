// The answer of a query as the Prometheus query API writes it: the envelope,
// the result type, metric objects with their labels sorted, timestamps in
// seconds with at most three decimals, values as shortest texts.
#ifndef ORVIK_HOST_API_QUERY_ANSWER_H
#define ORVIK_HOST_API_QUERY_ANSWER_H

#include <cstdint>
#include <string>

#include "http/reply.h"
#include "promql/front.h"

namespace orvik_host {

// Compact for the wire, as a Prometheus server sends it; pretty for people
// reading the command line, laid out and numbered as the library writes its
// own answers (four spaces, a member a line, times as JSON reals, values in
// 14 significant digits).
std::string write_query_answer(const promql::query_value &value, bool pretty);

// A value as Prometheus writes it: "NaN", "+Inf", "-Inf", else the shortest
// text that reads back as the same double, with an exponent only below 1e-6
// and from 1e21 on.
std::string value_text(double v);
// A value as the library writes it: "%.14g", "NaN", "+Inf", "-Inf".
std::string library_value_text(double v);
// Seconds with the milliseconds after a point when there are any.
std::string timestamp_text(int64_t ms);

// The outcome as a reply: the compact answer with 200, or the error envelope.
api_reply query_reply(const promql::query_outcome &outcome);
// The outcome as text: the answer (pretty) or the error envelope.
std::string query_text(const promql::query_outcome &outcome);

}  // namespace orvik_host

#endif
