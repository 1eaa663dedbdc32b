#include "access/access_control.h"

#include "http/reply.h"

namespace orvik_host {

api_reply unauthorized_reply() {
  api_reply reply = error_reply(401, "unauthorized", "Unauthorized: send basic credentials of a configured user");
  reply.headers.emplace_back("WWW-Authenticate", "Basic realm=\"orvik\", charset=\"UTF-8\"");
  return reply;
}

access_control::access_control(const web_config &config) : auth_(config.users), headers_(config.headers) {}

bool access_control::exempt(const http_request &request) const {
  return request.path == HEALTH_PATH && (request.method == "GET" || request.method == "HEAD");
}

std::optional<api_reply> access_control::screen(const http_request &request) {
  if (!auth_.enabled() || exempt(request)) return std::nullopt;
  const std::string *authorization = request.header("Authorization");
  if (auth_.known(authorization ? *authorization : std::string()) != false) return std::nullopt;
  api_reply refusal = unauthorized_reply();
  refusal.headers.insert(refusal.headers.end(), headers_.begin(), headers_.end());
  return refusal;
}

std::optional<api_reply> access_control::check(const http_request &request) {
  if (!auth_.enabled() || exempt(request)) return std::nullopt;
  const std::string *authorization = request.header("Authorization");
  if (!auth_.allows(authorization ? *authorization : std::string())) return unauthorized_reply();
  return std::nullopt;
}

std::vector<route> access_control::protect(std::vector<route> routes) {
  for (route &r : routes) {
    r.handler = [this, inner = std::move(r.handler)](const http_request &request) {
      api_reply reply;
      if (auto refusal = check(request)) reply = std::move(*refusal);
      else reply = inner(request);
      reply.headers.insert(reply.headers.end(), headers_.begin(), headers_.end());
      return reply;
    };
  }
  return routes;
}

std::string exposure_warning(const std::string &host, const web_config &config) {
  const bool loopback = host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
  if (loopback) return "";
  const bool tls = config.tls.has_value();
  const bool authenticated =
      !config.users.empty() || (tls && config.tls->client_auth_type == client_auth::require_and_verify);
  if (tls && authenticated) return "";
  const std::string missing = !tls && !authenticated ? "TLS or authentication" : !tls ? "TLS" : "authentication";
  return "orvik: warning: listening on " + host + " without " + missing +
         ": anyone who can reach the port " + (authenticated ? "can read what passes over it" : "can read the store") +
         "; see --web.config.file";
}

}  // namespace orvik_host
