#include "serve/routes.h"

#include <memory>

#include "api/catalogue.h"
#include "api/fixed_answers.h"
#include "page/page.h"
#include "remote_write/receiver.h"
#include "base/times.h"
#include "library/answer_reader.h"
#include "wal/payload.h"

namespace orvik_host {

namespace {

// A posted snapshot, logged first when there is a log. Undated documents
// are dated here, so that a replay stores them at the same time.
api_reply store_snapshot(locked_store &store, durable_log *log, const std::string &body) {
  if (body.empty()) return handle_snapshot(store, body);
  int64_t timestamp_ms = read_timestamp_member(body);
  if (timestamp_ms <= 0) timestamp_ms = now_ms();
  std::string error;
  if (log && !log->append(wal::SNAPSHOT_RECORD, wal::snapshot_payload(timestamp_ms, body), &error))
    return error_reply(503, "unavailable", error);
  const ingest_result result = store.ingest_snapshot(body, timestamp_ms);
  if (result.stored < 0) return error_reply(400, "bad_data", result.error);
  if (result.out_of_order > 0)
    return error_reply(400, "bad_data",
                       std::string(OUT_OF_ORDER) + ": " + std::to_string(result.out_of_order) +
                           " samples older than their series' newest were not stored, " +
                           std::to_string(result.stored) + " were");
  api_reply reply;
  reply.body = "{\"status\":\"success\",\"data\":{\"samples\":" + std::to_string(result.stored) +
               ",\"series\":" + std::to_string(store.series_count()) +
               ",\"not_stored\":" + std::to_string(result.not_stored) + "}}";
  return reply;
}

}  // namespace

std::vector<route> api_routes(locked_store &store, const query_budget &budget, const metrics_page &metrics,
                              durable_log *log) {
  const std::vector<std::string> get_post{"GET", "POST"};
  std::vector<route> routes;
  auto add = [&routes](std::string path, std::vector<std::string> methods,
                       std::function<api_reply(const http_request &)> handler) -> route & {
    route &r = routes.emplace_back();
    r.path = std::move(path);
    r.methods = std::move(methods);
    r.handler = std::move(handler);
    return r;
  };
  add("/api/v1/query", get_post,
      [&store, budget](const http_request &req) { return handle_query(store, req.params, now_ms(), budget); });
  add("/api/v1/query_range", get_post,
      [&store, budget](const http_request &req) { return handle_query_range(store, req.params, budget); });
  // A selector per request: its regular expressions share one budget.
  add("/api/v1/series", get_post, [&store](const http_request &req) {
    return handle_series(store, req.params, now_ms(), front_selector(store));
  });
  add("/api/v1/labels", get_post, [&store](const http_request &req) {
    return handle_labels(store, req.params, now_ms(), front_selector(store));
  });
  add("/api/v1/label/*/values", {"GET"}, [&store](const http_request &req) {
    return handle_label_values(store, req.captures.at(0), req.params, now_ms(), front_selector(store));
  });
  add("/api/v1/metadata", {"GET"}, [](const http_request &) { return handle_metadata(); });
  add("/api/v1/query_exemplars", get_post, [](const http_request &) { return handle_query_exemplars(); });
  add("/api/v1/rules", {"GET"}, [](const http_request &) { return handle_rules(); });
  add("/api/v1/alerts", {"GET"}, [](const http_request &) { return handle_alerts(); });
  // Load balancers probe with HEAD as often as with GET.
  add("/-/healthy", {"GET", "HEAD"}, [](const http_request &) { return handle_healthy(); }).immediate = true;
  add("/-/ready", {"GET", "HEAD"}, [](const http_request &) { return handle_ready(); }).immediate = true;
  add("/api/v1/status/buildinfo", {"GET"}, [](const http_request &) { return handle_buildinfo(); });
  auto page = [](const http_request &req) { return handle_page(req.path); };
  add("/", {"GET"}, page);
  add("/graph", {"GET"}, page);
  add("/page/*", {"GET"}, page);
  add("/metrics", {"GET"}, [&store, metrics](const http_request &) { return handle_metrics(store, metrics); });
  // A snapshot is read as a document whatever its content type, since
  // curl -d labels it a form.
  route &snapshot = add("/api/v1/snapshot", {"POST"},
                        [&store, log](const http_request &req) { return store_snapshot(store, log, req.body); });
  snapshot.body_limit = MAX_SNAPSHOT_BODY_BYTES;
  snapshot.form_body = false;
  snapshot.write = true;
  route &receiver = add("/api/v1/write", {"POST"}, [&store, log](const http_request &req) {
    if (!log) return remote_write::handle_remote_write(store, req.body);
    // The body as received: already compressed, and read back by the same
    // decoder at replay.
    return remote_write::handle_remote_write(store, req.body, [log, &req](std::string *error) {
      return log->append(wal::REMOTE_WRITE_RECORD, req.body, error);
    });
  });
  receiver.body_limit = remote_write::MAX_WRITE_BODY_BYTES;
  receiver.form_body = false;
  // Remote-write bodies are snappy blocks by definition; the handler reads
  // the inflated length before inflating.
  receiver.content_encodings = {"snappy"};
  receiver.write = true;
  return routes;
}

}  // namespace orvik_host
