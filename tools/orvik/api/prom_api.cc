#include "api/prom_api.h"

#include <cstdlib>
#include <memory>
#include <optional>

#include <yyjson.h>

#include "api/params.h"
#include "library/answer_reader.h"
#include "api/exposition.h"
#include "orvik_version.h"
#include "api/query_answer.h"
#include "promql/front.h"
#include "base/json.h"
#include "base/times.h"
#include "base/utf8.h"

namespace orvik_host {
namespace {

// Builds {"status":"success","data":...} with the data filled by `fill`.
template <typename Fill>
std::string success_document(Fill fill) {
  mut_doc_ptr doc(yyjson_mut_doc_new(nullptr));
  if (!doc) return "{}";
  yyjson_mut_val *root = yyjson_mut_obj(doc.get());
  yyjson_mut_doc_set_root(doc.get(), root);
  yyjson_mut_obj_add_str(doc.get(), root, "status", "success");
  yyjson_mut_val *data = yyjson_mut_obj_add_obj(doc.get(), root, "data");
  fill(doc.get(), data);
  return write_compact(doc.get());
}

// Prometheus reads "timeout" and "stats" on both query endpoints. The store
// answers a query in one call that cannot be cut short, and keeps no
// statistics, so both are accepted and only checked as Prometheus checks them.
std::optional<api_reply> query_options_error(const request_params &params) {
  const std::string *timeout = param(params, "timeout");
  if (timeout && !parse_duration_ms(*timeout))
    return error_reply(400, "bad_data",
                       "invalid parameter \"timeout\": cannot parse \"" + *timeout + "\" to a valid duration");
  return std::nullopt;
}

}  // namespace

api_reply answer_reply(std::string answer) {
  const answer_status status = read_status(answer);
  if (!status.success && status.error_type == "internal")
    return error_reply(500, "internal", status.error);
  api_reply reply;
  reply.status = status.success ? 200 : 400;
  reply.body = std::move(answer);
  return reply;
}

api_reply handle_query(locked_store &store, const request_params &params, int64_t now,
                       const query_budget &budget) {
  if (auto error = query_options_error(params)) return *error;
  std::optional<int64_t> time;
  api_reply error;
  if (!read_time_param(params, "time", time_rule::after_epoch_if_given, &time, &error)) return error;
  // A missing query is read as "", which the front answers with its own
  // "missing query parameter" error.
  const std::string *query = param(params, "query");
  return query_reply(promql::instant_query(store, query ? *query : std::string(), time.value_or(now),
                                           {budget.max_evaluations, budget.max_points}));
}

api_reply handle_query_range(locked_store &store, const request_params &params, const query_budget &budget) {
  if (auto options_error = query_options_error(params)) return *options_error;
  api_reply error;
  std::optional<int64_t> start, end;
  if (!read_time_param(params, "start", time_rule::required_after_epoch, &start, &error) ||
      !read_time_param(params, "end", time_rule::required_after_epoch, &end, &error))
    return error;
  const std::string *step_text = param(params, "step");
  if (!step_text) return error_reply(400, "bad_data", "invalid parameter \"step\": missing");
  auto step = parse_duration_ms(*step_text);
  if (!step)
    return error_reply(400, "bad_data", "invalid parameter \"step\": cannot parse \"" + *step_text +
                                            "\" to a valid duration");
  if (*end < *start) return error_reply(400, "bad_data", "end timestamp must not be before start time");
  if (*step <= 0)
    return error_reply(400, "bad_data",
                       "zero or negative query resolution step widths are not accepted. Try a positive integer");
  const uint64_t steps = promql::window_steps(*start, *end, *step);
  if (steps > promql::MAX_RANGE_STEPS + 1) return error_reply(400, "bad_data", promql::WINDOW_TOO_LONG);
  const std::string *query = param(params, "query");
  return query_reply(promql::range_query(store, query ? *query : std::string(), *start, *end, *step,
                                         {budget.max_evaluations, budget.max_points}));
}

api_reply handle_buildinfo() {
  api_reply reply;
  reply.body = success_document([](yyjson_mut_doc *doc, yyjson_mut_val *data) {
    yyjson_mut_obj_add_str(doc, data, "version", ORVIK_VERSION_STRING);
    yyjson_mut_obj_add_str(doc, data, "revision", "");
    yyjson_mut_obj_add_str(doc, data, "branch", "");
    yyjson_mut_obj_add_str(doc, data, "buildUser", "");
    yyjson_mut_obj_add_str(doc, data, "buildDate", "");
    yyjson_mut_obj_add_str(doc, data, "goVersion", "");
  });
  return reply;
}

api_reply handle_snapshot(locked_store &store, const std::string &body) {
  if (body.empty()) return error_reply(400, "bad_data", "empty request body: send one snapshot document");
  const ingest_result result = store.ingest_snapshot(body, read_timestamp_member(body));
  if (result.stored < 0) return error_reply(400, "bad_data", result.error);
  const uint32_t series = store.series_count();
  api_reply reply;
  reply.body = success_document([&](yyjson_mut_doc *doc, yyjson_mut_val *data) {
    yyjson_mut_obj_add_int(doc, data, "samples", result.stored);
    yyjson_mut_obj_add_uint(doc, data, "series", series);
    yyjson_mut_obj_add_int(doc, data, "not_stored", result.not_stored);
  });
  return reply;
}

api_reply handle_metrics(locked_store &store, const metrics_page &page, int64_t now) {
  if (now <= 0) now = now_ms();
  api_reply reply;
  reply.content_type = EXPOSITION_CONTENT_TYPE;
  reply.body = render_exposition(store, now - page.max_age_ms);
  if (page.append_own) page.append_own(reply.body);
  return reply;
}

}  // namespace orvik_host
