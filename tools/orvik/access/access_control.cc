#include "access/access_control.h"

#include "http/reply.h"

namespace orvik_host {

api_reply unauthorized_reply() {
  api_reply reply = error_reply(401, "unauthorized", "Unauthorized: send basic credentials of a configured user");
  reply.headers.emplace_back("WWW-Authenticate", "Basic realm=\"orvik\", charset=\"UTF-8\"");
  return reply;
}

access_control::access_control(const web_config &config) : settings_(std::make_shared<settings>(config)) {}

std::shared_ptr<access_control::settings> access_control::current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

void access_control::reload(const web_config &config) {
  auto next = std::make_shared<settings>(config);
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = std::move(next);
}

namespace {

bool exempt(const http_request &request) {
  return (request.path == HEALTH_PATH || request.path == READY_PATH) &&
         (request.method == "GET" || request.method == "HEAD");
}

std::string authorization_of(const http_request &request) {
  const std::string *authorization = request.header("Authorization");
  return authorization ? *authorization : std::string();
}

}  // namespace

api_reply access_control::refusal(const settings &now) const {
  api_reply reply = unauthorized_reply();
  reply.headers.insert(reply.headers.end(), now.headers.begin(), now.headers.end());
  return reply;
}

guard_verdict access_control::screen(const http_request &request, api_reply &refused) {
  const auto now = current();
  if (!now->auth.enabled() || exempt(request)) return guard_verdict::pass;
  const std::optional<bool> known = now->auth.known(authorization_of(request));
  if (!known) return guard_verdict::check;
  if (*known) return guard_verdict::pass;
  refused = refusal(*now);
  return guard_verdict::refuse;
}

std::optional<api_reply> access_control::check(const http_request &request) {
  const auto now = current();
  if (!now->auth.enabled() || exempt(request) || now->auth.allows(authorization_of(request))) return std::nullopt;
  return refusal(*now);
}

std::vector<route> access_control::protect(std::vector<route> routes) {
  for (route &r : routes) {
    r.handler = [this, inner = std::move(r.handler)](const http_request &request) {
      api_reply reply = inner(request);
      const auto now = current();
      reply.headers.insert(reply.headers.end(), now->headers.begin(), now->headers.end());
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
