#include "api/fixed_answers.h"

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

api_reply handle_healthy() { return fixed("orvik is healthy.\n", PLAIN_TEXT); }

api_reply handle_ready() { return fixed("orvik is ready.\n", PLAIN_TEXT); }

api_reply handle_metadata() { return fixed(R"({"status":"success","data":{}})"); }

api_reply handle_query_exemplars() { return fixed(R"({"status":"success","data":[]})"); }

api_reply handle_rules() { return fixed(R"({"status":"success","data":{"groups":[]}})"); }

api_reply handle_alerts() { return fixed(R"({"status":"success","data":{"alerts":[]}})"); }

}  // namespace orvik_host
