#include "access/web_config.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <strings.h>

#include <yaml-cpp/yaml.h>

#include "access/basic_auth.h"

namespace orvik_host {
namespace {

// Thrown inside this file only, caught by parse_web_config.
struct config_error {
  std::string message;
};

[[noreturn]] void refuse(const std::string &where, const std::string &what) {
  throw config_error{where.empty() ? what : where + ": " + what};
}

std::string scalar(const YAML::Node &node, const std::string &where) {
  if (!node.IsScalar()) refuse(where, "expected a string");
  return node.Scalar();
}

bool boolean(const YAML::Node &node, const std::string &where) {
  const std::string text = scalar(node, where);
  if (text == "true") return true;
  if (text == "false") return false;
  refuse(where, "expected true or false, not \"" + text + "\"");
}

std::vector<std::string> strings(const YAML::Node &node, const std::string &where) {
  std::vector<std::string> out;
  if (node.IsNull()) return out;
  if (!node.IsSequence()) refuse(where, "expected a list of strings");
  for (size_t i = 0; i < node.size(); ++i) out.push_back(scalar(node[i], where + "[" + std::to_string(i) + "]"));
  return out;
}

// Calls `take(key, value)` for each member of a mapping; null is an empty
// mapping, as a section written with nothing under it.
template <typename Take>
void members(const YAML::Node &node, const std::string &where, Take take) {
  if (node.IsNull()) return;
  if (!node.IsMap()) refuse(where, "expected a mapping");
  std::set<std::string> seen;
  for (auto it = node.begin(); it != node.end(); ++it) {
    const std::string key = scalar(it->first, where.empty() ? "key" : where + " key");
    const std::string path = where.empty() ? key : where + "." + key;
    if (!seen.insert(key).second) refuse(path, "given twice");
    take(key, path, it->second);
  }
}

[[noreturn]] void unknown(const std::string &path) { refuse(path, "unknown key"); }

std::string resolve(const std::string &path, const std::string &directory) {
  if (path.empty() || path.front() == '/' || directory.empty()) return path;
  return directory.back() == '/' ? directory + path : directory + "/" + path;
}

tls_version read_version(const YAML::Node &node, const std::string &where) {
  static const std::pair<const char *, tls_version> names[] = {
      {"TLS10", 0x0301}, {"TLS11", 0x0302}, {"TLS12", 0x0303}, {"TLS13", 0x0304}};
  const std::string text = scalar(node, where);
  for (const auto &[name, version] : names)
    if (text == name) return version;
  refuse(where, "unknown version \"" + text + "\" (TLS10, TLS11, TLS12 or TLS13)");
}

client_auth read_client_auth(const YAML::Node &node, const std::string &where) {
  static const std::pair<const char *, client_auth> names[] = {
      {"NoClientCert", client_auth::none},
      {"RequestClientCert", client_auth::request},
      {"RequireAnyClientCert", client_auth::require_any},
      {"VerifyClientCertIfGiven", client_auth::verify_if_given},
      {"RequireAndVerifyClientCert", client_auth::require_and_verify}};
  const std::string text = scalar(node, where);
  for (const auto &[name, policy] : names)
    if (text == name) return policy;
  refuse(where, "unknown value \"" + text +
                    "\" (NoClientCert, RequestClientCert, RequireAnyClientCert, VerifyClientCertIfGiven or "
                    "RequireAndVerifyClientCert)");
}

std::optional<tls_settings> read_tls(const YAML::Node &node, const std::string &directory) {
  tls_settings tls;
  bool any = false;
  members(node, "tls_server_config", [&](const std::string &key, const std::string &path, const YAML::Node &value) {
    any = true;
    if (key == "cert_file") tls.cert_file = resolve(scalar(value, path), directory);
    else if (key == "key_file") tls.key_file = resolve(scalar(value, path), directory);
    else if (key == "client_ca_file") tls.client_ca_file = resolve(scalar(value, path), directory);
    else if (key == "cert") tls.cert = scalar(value, path);
    else if (key == "key") tls.key = scalar(value, path);
    else if (key == "client_ca") tls.client_ca = scalar(value, path);
    else if (key == "client_auth_type") tls.client_auth_type = read_client_auth(value, path);
    else if (key == "min_version") tls.min_version = read_version(value, path);
    else if (key == "max_version") tls.max_version = read_version(value, path);
    else if (key == "prefer_server_cipher_suites") tls.prefer_server_cipher_suites = boolean(value, path);
    else if (key == "curve_preferences") {
      static const std::pair<const char *, const char *> curves[] = {
          {"CurveP256", "P-256"}, {"CurveP384", "P-384"}, {"CurveP521", "P-521"}, {"X25519", "X25519"}};
      for (const std::string &name : strings(value, path)) {
        const char *group = nullptr;
        for (const auto &[curve, openssl_name] : curves)
          if (name == curve) group = openssl_name;
        if (!group) refuse(path, "unknown curve \"" + name + "\" (CurveP256, CurveP384, CurveP521 or X25519)");
        tls.groups.push_back(group);
      }
    } else if (key == "cipher_suites" || key == "client_allowed_sans") {
      refuse(path, "not supported by orvik; remove it (the TLS library's defaults apply)");
    } else {
      unknown(path);
    }
  });
  // A section with nothing in it leaves the listener on plain HTTP.
  if (!any) return std::nullopt;
  const std::string where = "tls_server_config";
  if (!tls.cert_file.empty() && !tls.cert.empty()) refuse(where, "give cert_file or cert, not both");
  if (!tls.key_file.empty() && !tls.key.empty()) refuse(where, "give key_file or key, not both");
  if (!tls.client_ca_file.empty() && !tls.client_ca.empty()) refuse(where, "give client_ca_file or client_ca, not both");
  if (tls.cert_file.empty() && tls.cert.empty()) refuse(where, "cert_file is missing");
  if (tls.key_file.empty() && tls.key.empty()) refuse(where, "key_file is missing");
  const bool has_ca = !tls.client_ca_file.empty() || !tls.client_ca.empty();
  if (has_ca && tls.client_auth_type == client_auth::none)
    refuse(where, "client_ca_file is set but client_auth_type is NoClientCert; set RequireAndVerifyClientCert");
  if (!has_ca && (tls.client_auth_type == client_auth::verify_if_given ||
                  tls.client_auth_type == client_auth::require_and_verify))
    refuse(where, "client_auth_type verifies client certificates, so client_ca_file is needed");
  if (tls.min_version > tls.max_version) refuse(where, "min_version is above max_version");
  return tls;
}

void read_headers(const YAML::Node &node, web_config &config) {
  static const char *const allowed[] = {"Content-Security-Policy", "X-Frame-Options", "X-Content-Type-Options",
                                        "X-XSS-Protection", "Strict-Transport-Security"};
  members(node, "http_server_config.headers", [&](const std::string &key, const std::string &path,
                                                  const YAML::Node &value) {
    bool known = false;
    for (const char *name : allowed) known = known || key == name;
    if (!known) unknown(path);
    const std::string text = scalar(value, path);
    // Written into every answer's header block as it is.
    for (unsigned char c : text)
      if (c < 0x20 || c == 0x7f) refuse(path, "control characters are not allowed in a header value");
    if (key == "X-Frame-Options" && strcasecmp(text.c_str(), "deny") != 0 && strcasecmp(text.c_str(), "sameorigin") != 0)
      refuse(path, "expected deny or sameorigin");
    if (key == "X-Content-Type-Options" && strcasecmp(text.c_str(), "nosniff") != 0) refuse(path, "expected nosniff");
    if (!text.empty()) config.headers.emplace_back(key, text);
  });
}

web_config read_config(const YAML::Node &root, const std::string &directory) {
  web_config config;
  members(root, "", [&](const std::string &key, const std::string &path, const YAML::Node &value) {
    if (key == "tls_server_config") {
      config.tls = read_tls(value, directory);
    } else if (key == "basic_auth_users") {
      members(value, path, [&](const std::string &user, const std::string &user_path, const YAML::Node &hash) {
        if (user.empty()) refuse(path, "a user name is empty");
        // Basic credentials split at the first colon, so such a user could never sign in.
        if (user.find(':') != std::string::npos) refuse(user_path, "user names cannot hold a colon");
        const std::string text = scalar(hash, user_path);
        if (!is_bcrypt_hash(text))
          refuse(user_path, "not a bcrypt hash ($2a$, $2b$ or $2y$, a cost from 04 to 31, then 53 characters)");
        if (bcrypt_cost(text) > MAX_BCRYPT_COST)
          refuse(user_path, "a bcrypt cost above " + std::to_string(MAX_BCRYPT_COST) +
                                " would hold a worker for seconds per check; hash the password again at 10 to 12");
        if (config.users.size() == MAX_BASIC_AUTH_USERS)
          refuse(path, "more than " + std::to_string(MAX_BASIC_AUTH_USERS) + " users");
        config.users.emplace(user, text);
      });
    } else if (key == "http_server_config") {
      members(value, path, [&](const std::string &sub, const std::string &sub_path, const YAML::Node &sub_value) {
        // Only HTTP/1.1 is served, so the value changes nothing; it is read
        // so that files written for other servers are accepted.
        if (sub == "http2") boolean(sub_value, sub_path);
        else if (sub == "headers") read_headers(sub_value, config);
        else unknown(sub_path);
      });
    } else if (key == "rate_limit") {
      refuse(path, "not supported by orvik; remove it");
    } else {
      unknown(path);
    }
  });
  return config;
}

}  // namespace

std::optional<web_config> parse_web_config(std::string_view text, const std::string &directory, std::string &error) {
  try {
    const YAML::Node root = YAML::Load(std::string(text));
    return read_config(root, directory);
  } catch (const config_error &e) {
    error = e.message;
  } catch (const YAML::Exception &e) {
    error = "not readable as YAML at line " + std::to_string(e.mark.line + 1) + ", column " +
            std::to_string(e.mark.column + 1) + ": " + e.msg;
  } catch (const std::exception &e) {
    error = e.what();
  }
  return std::nullopt;
}

std::optional<web_config> load_web_config(const std::string &path, std::string &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::string text(MAX_WEB_CONFIG_BYTES + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) {
    error = "cannot read " + path;
    return std::nullopt;
  }
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > MAX_WEB_CONFIG_BYTES) {
    error = path + ": larger than " + std::to_string(MAX_WEB_CONFIG_BYTES) + " bytes";
    return std::nullopt;
  }
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash == 0 ? 1 : slash);
  auto config = parse_web_config(text, directory, error);
  if (!config) error = path + ": " + error;
  return config;
}

}  // namespace orvik_host
