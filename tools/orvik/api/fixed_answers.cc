#include "api/fixed_answers.h"

#include "orvik_version.h"

namespace orvik_host {
namespace {

api_reply fixed(const char *body, const char *content_type = "application/json") {
  api_reply reply;
  reply.content_type = content_type;
  reply.body = body;
  return reply;
}

constexpr const char *PLAIN_TEXT = "text/plain; charset=utf-8";

}  // namespace

api_reply handle_front_page() {
  return fixed("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>orvik " ORVIK_VERSION_STRING
               "</title></head>\n<body><h1>orvik " ORVIK_VERSION_STRING
               "</h1>\n<p>An in-memory time-series store answering the Prometheus HTTP API under "
               "<code>/api/v1/</code>: query, query_range, series, <a href=\"/api/v1/labels\">labels</a>, "
               "<a href=\"/api/v1/label/__name__/values\">label values</a>, "
               "<a href=\"/api/v1/status/buildinfo\">buildinfo</a>; "
               "<a href=\"/metrics\">/metrics</a> for scrapers.</p>\n</body></html>\n",
               "text/html; charset=utf-8");
}

api_reply handle_healthy() { return fixed("orvik is healthy.\n", PLAIN_TEXT); }

api_reply handle_ready() { return fixed("orvik is ready.\n", PLAIN_TEXT); }

api_reply handle_metadata() { return fixed(R"({"status":"success","data":{}})"); }

api_reply handle_query_exemplars() { return fixed(R"({"status":"success","data":[]})"); }

api_reply handle_rules() { return fixed(R"({"status":"success","data":{"groups":[]}})"); }

api_reply handle_alerts() { return fixed(R"({"status":"success","data":{"alerts":[]}})"); }

}  // namespace orvik_host
