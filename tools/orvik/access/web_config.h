// The web configuration file of `orvik serve --web.config.file`: TLS on the
// listener, basic authentication and extra answer headers, in the YAML format
// that Prometheus servers and exporters share, so that an operator can give
// orvik the file they already give those.
#ifndef ORVIK_HOST_ACCESS_WEB_CONFIG_H
#define ORVIK_HOST_ACCESS_WEB_CONFIG_H

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvik_host {

// The file is read whole before parsing; a real one is a few kilobytes, even
// with certificates inline.
inline constexpr size_t MAX_WEB_CONFIG_BYTES = 256 * 1024;
// Each user may cost a bcrypt round per cache lifetime; basic authentication
// is for a few users, certificates are for many.
inline constexpr size_t MAX_BASIC_AUTH_USERS = 1000;

enum class client_auth {
  none,                // NoClientCert
  request,             // RequestClientCert: asked for, never checked
  require_any,         // RequireAnyClientCert: must be sent, never checked
  verify_if_given,     // VerifyClientCertIfGiven
  require_and_verify,  // RequireAndVerifyClientCert
};

// OpenSSL's protocol version numbers (TLS1_2_VERSION and so on).
using tls_version = int;

struct tls_settings {
  // Paths are resolved against the directory of the configuration file;
  // the inline forms hold PEM text. One of each pair is set.
  std::string cert_file, cert;
  std::string key_file, key;
  std::string client_ca_file, client_ca;
  client_auth client_auth_type = client_auth::none;
  tls_version min_version = 0x0303;  // TLS 1.2
  tls_version max_version = 0x0304;  // TLS 1.3
  bool prefer_server_cipher_suites = true;
  std::vector<std::string> groups;  // OpenSSL group names, in preference order
};

struct web_config {
  std::optional<tls_settings> tls;            // none: plain HTTP
  std::map<std::string, std::string> users;   // user -> bcrypt hash; empty: open
  std::vector<std::pair<std::string, std::string>> headers;  // added to every answer
};

// Reads the text of a configuration file; relative paths in it are taken
// from `directory`. Every problem is refused with the key that has it named.
std::optional<web_config> parse_web_config(std::string_view text, const std::string &directory,
                                           std::string &error);
// Reads the file at `path` (at most MAX_WEB_CONFIG_BYTES).
std::optional<web_config> load_web_config(const std::string &path, std::string &error);

}  // namespace orvik_host

#endif
