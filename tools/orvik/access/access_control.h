// The checks in front of every endpoint of `orvik serve`, built once from the
// web configuration: basic credentials, the extra answer headers, and the
// warning for a listener the network can reach unprotected.
#ifndef ORVIK_HOST_ACCESS_ACCESS_CONTROL_H
#define ORVIK_HOST_ACCESS_ACCESS_CONTROL_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "access/basic_auth.h"
#include "access/web_config.h"
#include "http/reply.h"
#include "http/request.h"

namespace orvik_host {

// The one path that stays open whatever is configured, for liveness probes;
// it tells nothing but that the server runs.
inline constexpr const char *HEALTH_PATH = "/-/healthy";

// 401 with WWW-Authenticate: Basic and an error document.
api_reply unauthorized_reply();

class access_control {
 public:
  explicit access_control(const web_config &config);

  // For the server's guard, on the I/O thread before the body is read:
  // refuses what is known to be refused without a bcrypt round (no or
  // malformed credentials, a remembered wrong password) and lets the rest on
  // to the handlers.
  std::optional<api_reply> screen(const http_request &request);
  // Every route's handler, behind the full check (which may run a bcrypt
  // round, on the worker that runs the handler), with the configured headers
  // added to its answers.
  std::vector<route> protect(std::vector<route> routes);

 private:
  bool exempt(const http_request &request) const;
  std::optional<api_reply> check(const http_request &request);

  basic_authenticator auth_;
  std::vector<std::pair<std::string, std::string>> headers_;
};

// One line for stderr when `host` is reachable from other machines and the
// configuration leaves it without TLS or without authentication (client
// certificates count as authentication); empty otherwise.
std::string exposure_warning(const std::string &host, const web_config &config);

}  // namespace orvik_host

#endif
