#include "access/access_control.h"

#include <gtest/gtest.h>

#include "library/answer_reader.h"

namespace orvik_host {
namespace {

// "secret" at cost 4.
const char *const HASH = "$2b$04$jOvK4A4EsWAmCy3IC8l.LOlcu5mxGilNikxk..Cip2w.YKFirpggy";
const char *const ALICE_SECRET = "Basic YWxpY2U6c2VjcmV0";
const char *const ALICE_WRONG = "Basic YWxpY2U6d3Jvbmc=";

http_request request(std::string method, std::string path, const char *authorization) {
  http_request r;
  r.method = std::move(method);
  r.path = std::move(path);
  if (authorization) r.headers.emplace_back("authorization", authorization);
  return r;
}

TEST(AccessControl, GuardsEveryPathButHealth) {
  web_config config;
  config.users = {{"alice", HASH}};
  config.headers = {{"X-Frame-Options", "deny"}};
  access_control access(config);
  route metrics;
  metrics.path = "/metrics";
  metrics.handler = [](const http_request &) { return api_reply{200, "text/plain", "page", {}}; };
  route health = metrics;
  health.path = HEALTH_PATH;
  const std::vector<route> routes = access.protect({metrics, health});

  struct guard_case {
    const char *method, *path, *authorization;
    bool screened;  // refused before the body
    int status;     // of the handler behind the full check
  };
  const guard_case cases[] = {
      {"GET", "/metrics", nullptr, true, 401},
      {"GET", "/metrics", "Bearer x", true, 401},
      {"GET", "/metrics", ALICE_WRONG, false, 401},  // not known yet: a round on the worker
      {"GET", "/metrics", ALICE_WRONG, true, 401},   // now remembered
      {"GET", "/metrics", ALICE_SECRET, false, 200},
      {"GET", HEALTH_PATH, nullptr, false, 200},
      {"POST", HEALTH_PATH, nullptr, true, 401},
  };
  for (const guard_case &c : cases) {
    const http_request r = request(c.method, c.path, c.authorization);
    const std::string what = std::string(c.method) + " " + c.path + " " + (c.authorization ? c.authorization : "-");
    auto refusal = access.screen(r);
    ASSERT_EQ(refusal.has_value(), c.screened) << what;
    EXPECT_EQ(refusal ? refusal->headers.size() : 2u, 2u) << what;
    const route &target = std::string(c.path) == HEALTH_PATH ? routes[1] : routes[0];
    const api_reply reply = target.handler(r);
    EXPECT_EQ(reply.status, c.status) << what;
    EXPECT_EQ(reply.headers.back(), (std::pair<std::string, std::string>{"X-Frame-Options", "deny"})) << what;
    if (c.status != 401) continue;
    EXPECT_EQ(reply.headers.front().first, "WWW-Authenticate") << what;
    EXPECT_EQ(read_status(reply.body).error_type, "unauthorized") << what;
  }
}

TEST(AccessControl, WarnsOfAReachableListenerLeftOpen) {
  web_config open, tls_only, users_only, both, certificates;
  tls_only.tls = tls_settings{};
  users_only.users = {{"alice", HASH}};
  both = users_only;
  both.tls = tls_settings{};
  certificates.tls = tls_settings{};
  certificates.tls->client_auth_type = client_auth::require_and_verify;
  struct warning_case {
    const char *host;
    const web_config *config;
    const char *warning;  // a part of it, or "" for none
  };
  const warning_case cases[] = {
      {"127.0.0.1", &open, ""},
      {"127.8.0.1", &open, ""},
      {"::1", &open, ""},
      {"localhost", &open, ""},
      {"0.0.0.0", &open, "without TLS or authentication"},
      {"::", &open, "without TLS or authentication"},
      {"192.168.1.4", &tls_only, "without authentication"},
      {"0.0.0.0", &users_only, "without TLS:"},
      {"0.0.0.0", &both, ""},
      {"0.0.0.0", &certificates, ""},
  };
  for (const warning_case &c : cases) {
    const std::string warning = exposure_warning(c.host, *c.config);
    if (!*c.warning) {
      EXPECT_EQ(warning, "") << c.host;
    } else {
      EXPECT_NE(warning.find(c.warning), std::string::npos) << c.host << ": " << warning;
      EXPECT_EQ(warning.find('\n'), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace orvik_host
