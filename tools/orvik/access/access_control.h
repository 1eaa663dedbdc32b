// The checks in front of every endpoint of `orvik serve`, built once from the
// web configuration: basic credentials, the extra answer headers, and the
// warning for a listener the network can reach unprotected.
#ifndef ORVIK_HOST_ACCESS_ACCESS_CONTROL_H
#define ORVIK_HOST_ACCESS_ACCESS_CONTROL_H

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "access/basic_auth.h"
#include "access/web_config.h"
#include "http/reply.h"
#include "http/request.h"

namespace orvik_host {

// The paths that stay open whatever is configured, for the probes of load
// balancers and orchestrators; they tell nothing but that the server runs.
inline constexpr const char *HEALTH_PATH = "/-/healthy";
inline constexpr const char *READY_PATH = "/-/ready";

// 401 with WWW-Authenticate: Basic and an error document.
api_reply unauthorized_reply();

class access_control {
 public:
  explicit access_control(const web_config &config);

  // The server's guard, on the I/O thread before the body is read: decides
  // what is known without a bcrypt round (no or malformed credentials, a
  // remembered outcome) and sends the rest to check().
  guard_verdict screen(const http_request &request, api_reply &refusal);
  // The server's check, on its pool of its own: a bcrypt round; a 401 reply
  // when the credentials are wrong.
  std::optional<api_reply> check(const http_request &request);
  // Every route's handler with the configured headers added to its answers.
  // The routes rely on the server's guard and check for the credentials.
  std::vector<route> protect(std::vector<route> routes);
  // Users and headers from a reloaded configuration, for the requests that
  // come from now on; from any thread.
  void reload(const web_config &config);

 private:
  struct settings {
    explicit settings(const web_config &config) : auth(config.users), headers(config.headers) {}
    basic_authenticator auth;
    std::vector<std::pair<std::string, std::string>> headers;
  };
  std::shared_ptr<settings> current() const;
  api_reply refusal(const settings &now) const;

  mutable std::mutex mutex_;
  std::shared_ptr<settings> settings_;
};

// One line for stderr when `host` is reachable from other machines and the
// configuration leaves it without TLS or without authentication (client
// certificates count as authentication); empty otherwise.
std::string exposure_warning(const std::string &host, const web_config &config);

}  // namespace orvik_host

#endif
