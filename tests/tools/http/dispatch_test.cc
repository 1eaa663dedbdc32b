#include "http/dispatch.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace orvik_host {
namespace {

// Echoes what the handler was given, so that each row shows where the
// dispatcher put the path, the captures, the parameters and the body.
api_reply echo(const http_request &request) {
  api_reply reply;
  reply.content_type = "text/plain";
  reply.body = request.path;
  for (const std::string &c : request.captures) reply.body += " <" + c + ">";
  for (const auto &[name, value] : request.params) reply.body += " " + name + "=" + value;
  if (!request.body.empty()) reply.body += " |" + request.body;
  return reply;
}

std::vector<route> test_routes() {
  std::vector<route> routes(7);
  routes[0].path = "/q";
  routes[0].methods = {"GET", "POST"};
  routes[1].path = "/label/*/values";
  routes[2].path = "/w";
  routes[2].methods = {"POST"};
  routes[2].write = true;
  routes[3].path = "/raw";
  routes[3].methods = {"POST"};
  routes[3].form_body = false;
  routes[3].body_limit = 16;
  routes[3].content_encodings = {"snappy"};
  routes[4].path = "/probe";
  routes[4].methods = {"GET", "HEAD"};
  routes[4].immediate = true;
  routes[5].path = "/boom";
  routes[6].path = "/big";
  for (route &r : routes) r.handler = echo;
  routes[5].handler = [](const http_request &) -> api_reply { throw std::runtime_error("no luck"); };
  routes[6].handler = [](const http_request &request) {
    api_reply reply;
    reply.body = std::string(2000, 'x');
    if (request.header("X-Packed")) reply.headers.emplace_back("Content-Encoding", "snappy");
    return reply;
  };
  return routes;
}

dispatch_options test_options(bool enable_write) {
  dispatch_options options;
  options.enable_write = enable_write;
  options.guard = [](const http_request &request, api_reply &refusal) {
    const std::string *who = request.header("Authorization");
    if (!who) return guard_verdict::pass;
    if (*who == "deny") {
      refusal = error_reply(401, "unauthorized", "who are you");
      return guard_verdict::refuse;
    }
    if (*who == "guard-throws") throw std::runtime_error("guard broke");
    return guard_verdict::check;
  };
  options.check = [](const http_request &request) -> std::optional<api_reply> {
    const std::string &who = *request.header("Authorization");
    if (who == "check-throws") throw std::runtime_error("check broke");
    if (who == "check-refuses") return error_reply(403, "forbidden", "not you");
    return std::nullopt;
  };
  return options;
}

// The steps in the order the session takes them.
api_reply drive(const dispatcher &d, http_request request, std::optional<uint64_t> length, std::string body) {
  admission admitted = d.admit(request, length);
  if (admitted.reply) return std::move(*admitted.reply);
  if (admitted.check)
    if (auto refusal = d.check(request)) return std::move(*refusal);
  if (body.size() > admitted.found->body_limit) return dispatcher::body_too_large(*admitted.found);
  if (auto refusal = d.take_body(request, *admitted.found, std::move(body))) return std::move(*refusal);
  return d.answer(*admitted.found, request);
}

std::string refusal(int status, const char *type, const std::string &message) {
  return error_reply(status, type, message).body;
}

TEST(Dispatch, RoutesDecodesRefusesAndAnswers) {
  const std::string form = "application/x-www-form-urlencoded";
  const struct row {
    const char *name;
    const char *method, *target;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int status;
    std::string answer;
    const char *header = nullptr, *header_value = nullptr;  // one header the answer must carry
    bool writes = false;                                   // the server enables writes
  } rows[] = {
      {"query string decoded", "GET", "/q?a=1+2&b=%3D", {}, "", 200, "/q a=1 2 b=="},
      {"path decoded, '+' kept", "GET", "/%71?x=a+b", {}, "", 200, "/q x=a b"},
      {"capture", "GET", "/label/job%2Fx/values", {}, "", 404, refusal(404, "not_found", "unsupported endpoint: GET /label/job/x/values")},
      {"capture decoded", "GET", "/label/j%20b/values", {}, "", 200, "/label/j b/values <j b>"},
      {"broken path escape", "GET", "/q%zz", {}, "", 400, refusal(400, "bad_data", "invalid path: a broken %-escape or a NUL byte")},
      {"NUL in path", "GET", "/q%00", {}, "", 400, refusal(400, "bad_data", "invalid path: a broken %-escape or a NUL byte")},
      {"broken query escape", "GET", "/q?a=%4", {}, "", 400,
       refusal(400, "bad_data", "invalid parameter: cannot decode \"a=%4\" (a broken %-escape or a NUL byte)")},
      {"unknown path", "GET", "/nowhere?a=1", {}, "", 404, refusal(404, "not_found", "unsupported endpoint: GET /nowhere")},
      {"write route while writes are off", "POST", "/w", {}, "", 404, refusal(404, "not_found", "unsupported endpoint: POST /w")},
      {"write route while writes are on", "POST", "/w", {}, "", 200, "/w", nullptr, nullptr, true},
      {"method not allowed", "PUT", "/q", {}, "", 405,
       refusal(405, "bad_data", "method PUT not allowed on /q (allowed: GET, POST)"), "Allow", "GET, POST"},
      {"form body before the query string", "POST", "/q?a=late&c=3", {{"Content-Type", form}}, "a=early&b=2", 200,
       "/q a=early a=late b=2 c=3"},
      {"form type matched without case, parameters ignored", "POST", "/q",
       {{"content-type", "Application/X-WWW-Form-Urlencoded; charset=utf-8"}}, "a=1", 200, "/q a=1"},
      {"other body types stay raw", "POST", "/q", {{"Content-Type", "application/json"}}, "a=1", 200, "/q |a=1"},
      {"GET bodies stay raw", "GET", "/q", {{"Content-Type", form}}, "a=1", 200, "/q |a=1"},
      {"route that takes no forms", "POST", "/raw", {{"Content-Type", form}}, "a=1", 200, "/raw |a=1"},
      {"broken form", "POST", "/q", {{"Content-Type", form}}, "a=%zz", 400,
       refusal(400, "bad_data", "invalid parameter: cannot decode \"a=%zz\" (a broken %-escape or a NUL byte)")},
      {"declared length past the bound", "POST", "/raw", {}, std::string(17, 'a'), 413,
       refusal(413, "bad_data", "request body too large (limit 16 bytes)")},
      {"length at the bound", "POST", "/raw", {}, std::string(16, 'a'), 200, "/raw |" + std::string(16, 'a')},
      {"coding the route decodes", "POST", "/raw", {{"Content-Encoding", "Snappy"}}, "s", 200, "/raw |s"},
      {"identity coding", "GET", "/q", {{"Content-Encoding", "IDENTITY"}}, "", 200, "/q"},
      {"coding the route does not decode", "POST", "/raw", {{"Content-Encoding", "gzip"}}, "s", 415,
       refusal(415, "bad_data", "request bodies with a Content-Encoding are not accepted here")},
      {"probe ahead of the guard and the checks", "GET", "/probe?a=%zz",
       {{"Authorization", "deny"}, {"Content-Encoding", "gzip"}}, "", 200, "/probe"},
      {"probe with a wrong method", "POST", "/probe", {}, "", 405,
       refusal(405, "bad_data", "method POST not allowed on /probe (allowed: GET, HEAD)"), "Allow", "GET, HEAD"},
      {"guard refuses", "GET", "/q", {{"Authorization", "deny"}}, "", 401, refusal(401, "unauthorized", "who are you")},
      {"guard after the route", "GET", "/nowhere", {{"Authorization", "deny"}}, "", 404,
       refusal(404, "not_found", "unsupported endpoint: GET /nowhere")},
      {"guard throws", "GET", "/q", {{"Authorization", "guard-throws"}}, "", 500,
       refusal(500, "internal", "internal error: guard broke")},
      {"check passes", "GET", "/q?a=1", {{"Authorization", "ok"}}, "", 200, "/q a=1"},
      {"check refuses", "GET", "/q", {{"Authorization", "check-refuses"}}, "", 403, refusal(403, "forbidden", "not you")},
      {"check throws", "GET", "/q", {{"Authorization", "check-throws"}}, "", 500,
       refusal(500, "internal", "internal error: check broke")},
      {"handler throws", "GET", "/boom", {}, "", 500, refusal(500, "internal", "internal error: no luck")},
      {"long answer, gzip refused", "GET", "/big", {{"Accept-Encoding", "gzip;q=0"}}, "", 200, std::string(2000, 'x')},
      {"long answer, no Accept-Encoding", "GET", "/big", {}, "", 200, std::string(2000, 'x')},
      {"answer the handler encoded", "GET", "/big", {{"Accept-Encoding", "gzip"}, {"X-Packed", "1"}}, "", 200,
       std::string(2000, 'x'), "Content-Encoding", "snappy"},
      {"short answer, gzip accepted", "GET", "/q", {{"Accept-Encoding", "gzip"}}, "", 200, "/q"},
  };
  const std::vector<route> routes = test_routes();
  const dispatcher reading(routes, test_options(false)), writing(routes, test_options(true));
  for (const row &r : rows) {
    http_request request;
    request.method = r.method;
    request.target = r.target;
    request.headers = r.headers;
    const uint64_t length = r.body.size();
    const api_reply reply = drive(r.writes ? writing : reading, request,
                                  length ? std::optional<uint64_t>(length) : std::nullopt, r.body);
    EXPECT_EQ(reply.status, r.status) << r.name;
    EXPECT_EQ(reply.body, r.answer) << r.name;
    std::string found;
    for (const auto &h : reply.headers)
      if (r.header && h.first == r.header) found = h.second;
    if (r.header) {
      EXPECT_EQ(found, r.header_value) << r.name;
    } else {
      EXPECT_TRUE(reply.headers.empty()) << r.name;
    }
  }
}

TEST(Dispatch, CompressesLongAnswersTheClientAccepts) {
  const dispatcher d(test_routes(), test_options(false));
  http_request request;
  request.method = "GET";
  request.target = "/big";
  request.headers = {{"Accept-Encoding", "br, GZIP"}};
  const api_reply reply = drive(d, request, std::nullopt, "");
  EXPECT_EQ(reply.status, 200);
  EXPECT_LT(reply.body.size(), 200u);
  EXPECT_EQ(reply.headers, (std::vector<std::pair<std::string, std::string>>{{"Content-Encoding", "gzip"},
                                                                             {"Vary", "Accept-Encoding"}}));
}

}  // namespace
}  // namespace orvik_host
