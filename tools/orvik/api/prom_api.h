// The endpoints of the Prometheus HTTP API that the store can answer, as
// functions from request parameters to a reply, so that they can be used and
// tested without a socket.
#ifndef ORVIK_HOST_PROM_API_H
#define ORVIK_HOST_PROM_API_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "http/reply.h"
#include "api/exposition.h"
#include "http/limits.h"
#include "library/store.h"

namespace orvik_host {

// The work a range query may ask of the store (see http/limits.h).
struct query_budget {
  uint64_t max_evaluations = DEFAULT_MAX_EVALUATIONS;
  uint64_t max_points = DEFAULT_MAX_POINTS;
};

// A library answer as a reply: 200 for a success answer, 400 with the answer
// as body for an error answer, 500 when the store could not build one.
api_reply answer_reply(std::string answer);

// GET/POST /api/v1/query: query, time (optional, default now).
api_reply handle_query(locked_store &store, const request_params &params, int64_t now,
                       const query_budget &budget = {});
// GET/POST /api/v1/query_range: query, start, end, step, all required. Over
// the budget, 422 before the store evaluates the range.
api_reply handle_query_range(locked_store &store, const request_params &params, const query_budget &budget = {});
api_reply handle_buildinfo();
// POST /api/v1/snapshot: one snapshot document; its "timestamp_ms" member, if
// any, is the time of its samples, else now.
api_reply handle_snapshot(locked_store &store, const std::string &body);
struct metrics_page {
  int64_t max_age_ms = DEFAULT_METRICS_MAX_AGE_MS;
  // Appends the server's own families (remote write state) after the store's.
  std::function<void(std::string &)> append_own;
};

// GET /metrics at time now_ms.
api_reply handle_metrics(locked_store &store, const metrics_page &page = {}, int64_t now_ms = 0);

}  // namespace orvik_host

#endif
