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

TEST(AccessControl, GuardsEveryPathButTheProbes) {
  web_config config;
  config.users = {{"alice", HASH}};
  config.headers = {{"X-Frame-Options", "deny"}};
  access_control access(config);

  struct guard_case {
    const char *method, *path, *authorization;
    guard_verdict screened;  // on the I/O thread, before the body
    int status;              // 401 refused, 200 let on to the handler
  };
  const guard_case cases[] = {
      {"GET", "/metrics", nullptr, guard_verdict::refuse, 401},
      {"GET", "/metrics", "Bearer x", guard_verdict::refuse, 401},
      {"GET", "/metrics", ALICE_WRONG, guard_verdict::check, 401},  // not known yet: a round on the check pool
      {"GET", "/metrics", ALICE_WRONG, guard_verdict::refuse, 401},  // now remembered
      {"GET", "/metrics", ALICE_SECRET, guard_verdict::check, 200},
      {"GET", "/metrics", ALICE_SECRET, guard_verdict::pass, 200},
      {"GET", HEALTH_PATH, nullptr, guard_verdict::pass, 200},
      {"HEAD", READY_PATH, nullptr, guard_verdict::pass, 200},
      {"POST", HEALTH_PATH, nullptr, guard_verdict::refuse, 401},
  };
  for (const guard_case &c : cases) {
    const http_request r = request(c.method, c.path, c.authorization);
    const std::string what = std::string(c.method) + " " + c.path + " " + (c.authorization ? c.authorization : "-");
    api_reply refusal;
    ASSERT_EQ(access.screen(r, refusal), c.screened) << what;
    std::optional<api_reply> checked;
    if (c.screened == guard_verdict::refuse) checked = refusal;
    if (c.screened == guard_verdict::check) checked = access.check(r);
    EXPECT_EQ(checked ? checked->status : 200, c.status) << what;
    if (!checked) continue;
    EXPECT_EQ(checked->headers.front().first, "WWW-Authenticate") << what;
    EXPECT_EQ(checked->headers.back(), (std::pair<std::string, std::string>{"X-Frame-Options", "deny"})) << what;
    EXPECT_EQ(read_status(checked->body).error_type, "unauthorized") << what;
  }

  // A reload takes effect for the next request; headers come from it too.
  route metrics;
  metrics.path = "/metrics";
  metrics.handler = [](const http_request &) { return api_reply{200, "text/plain", "page", {}}; };
  const std::vector<route> routes = access.protect({metrics});
  web_config reloaded;
  reloaded.headers = {{"X-Reloaded", "yes"}};
  access.reload(reloaded);
  api_reply refusal;
  EXPECT_EQ(access.screen(request("GET", "/metrics", nullptr), refusal), guard_verdict::pass);
  EXPECT_EQ(routes[0].handler(request("GET", "/metrics", nullptr)).headers.back().first, "X-Reloaded");
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
