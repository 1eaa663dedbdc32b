#include "access/web_config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace orvik_host {
namespace {

const char *const HASH = "$2y$04$abcdefghijklmnopqrstuu2r9OfJnfCsdneAXAGHnS4UpFFP8WIrW";

std::optional<web_config> parse(const std::string &text, std::string &error) {
  return parse_web_config(text, "/etc/orvik", error);
}

TEST(WebConfig, ReadsEveryAcceptedKey) {
  std::string error;
  auto config = parse(std::string(R"(
tls_server_config:
  cert_file: server.crt
  key_file: /keys/server.key
  client_ca_file: ca.crt
  client_auth_type: RequireAndVerifyClientCert
  min_version: TLS13
  prefer_server_cipher_suites: false
  curve_preferences: [X25519, CurveP256]
http_server_config:
  http2: false
  headers:
    X-Frame-Options: deny
    Strict-Transport-Security: max-age=31536000
basic_auth_users:
  alice: ")") + HASH + "\"\n  bob: " + HASH + "\n", error);
  ASSERT_TRUE(config) << error;
  ASSERT_TRUE(config->tls);
  const tls_settings &tls = *config->tls;
  EXPECT_EQ(tls.cert_file, "/etc/orvik/server.crt");
  EXPECT_EQ(tls.key_file, "/keys/server.key");
  EXPECT_EQ(tls.client_ca_file, "/etc/orvik/ca.crt");
  EXPECT_EQ(tls.client_auth_type, client_auth::require_and_verify);
  EXPECT_EQ(tls.min_version, 0x0304);
  EXPECT_FALSE(tls.prefer_server_cipher_suites);
  EXPECT_EQ(tls.groups, (std::vector<std::string>{"X25519", "P-256"}));
  EXPECT_EQ(config->users.size(), 2u);
  EXPECT_EQ(config->users.at("bob"), HASH);
  ASSERT_EQ(config->headers.size(), 2u);
  EXPECT_EQ(config->headers[0].first, "X-Frame-Options");

  // Nothing configured, or an empty TLS section: plain and open.
  for (const char *text : {"", "# nothing\n", "tls_server_config:\nbasic_auth_users: {}\n"}) {
    config = parse(text, error);
    ASSERT_TRUE(config) << text << ": " << error;
    EXPECT_FALSE(config->tls);
    EXPECT_TRUE(config->users.empty());
  }
}

TEST(WebConfig, RefusesBrokenFilesNamingTheKeyAtFault) {
  struct bad_case {
    std::string text;
    const char *error;
  };
  const std::string tls = "tls_server_config:\n  cert_file: c\n  key_file: k\n";
  const bad_case cases[] = {
      {"tls_server_config: [1, 2", "not readable as YAML at line 1"},
      {"- a\n- b\n", "expected a mapping"},
      {"tls_config:\n  cert_file: c\n", "tls_config: unknown key"},
      {tls + "  cert_fil: x\n", "tls_server_config.cert_fil: unknown key"},
      {"tls_server_config:\n  key_file: k\n", "tls_server_config: cert_file is missing"},
      {"tls_server_config:\n  cert_file: c\n", "tls_server_config: key_file is missing"},
      {tls + "  cert: inline\n", "tls_server_config: give cert_file or cert, not both"},
      {tls + "  client_auth_type: RequireClientCert\n", "tls_server_config.client_auth_type: unknown value \"RequireClientCert\""},
      {tls + "  client_auth_type: RequireAndVerifyClientCert\n", "client_ca_file is needed"},
      {tls + "  client_ca_file: ca\n", "client_ca_file is set but client_auth_type is NoClientCert"},
      {tls + "  min_version: TLS14\n", "tls_server_config.min_version: unknown version \"TLS14\""},
      {tls + "  min_version: TLS13\n  max_version: TLS12\n", "min_version is above max_version"},
      {tls + "  cipher_suites: [TLS_AES_128_GCM_SHA256]\n", "tls_server_config.cipher_suites: not supported"},
      {tls + "  curve_preferences: [P256]\n", "unknown curve \"P256\""},
      {tls + "  cert_file: again\n", "tls_server_config.cert_file: given twice"},
      {tls + "  prefer_server_cipher_suites: maybe\n", "expected true or false"},
      {"basic_auth_users:\n  alice: secret\n", "basic_auth_users.alice: not a bcrypt hash"},
      {"basic_auth_users:\n  alice: [1]\n", "basic_auth_users.alice: expected a string"},
      {"basic_auth_users:\n  alice: $2b$17$jOvK4A4EsWAmCy3IC8l.LOlcu5mxGilNikxk..Cip2w.YKFirpggy\n",
       "basic_auth_users.alice: a bcrypt cost above 16"},
      {std::string("basic_auth_users:\n  \"a:b\": ") + HASH + "\n", "basic_auth_users.a:b: user names cannot hold a colon"},
      {"basic_auth_users: [alice]\n", "basic_auth_users: expected a mapping"},
      {"http_server_config:\n  headers:\n    Server: orvik\n", "http_server_config.headers.Server: unknown key"},
      {"http_server_config:\n  headers:\n    X-Frame-Options: allow\n", "expected deny or sameorigin"},
      {"http_server_config:\n  headers:\n    Content-Security-Policy: \"a\\r\\nSet-Cookie: x\"\n", "control characters"},
      {"http_server_config:\n  http3: true\n", "http_server_config.http3: unknown key"},
      {"rate_limit:\n  burst: 20\n", "rate_limit: not supported"},
  };
  for (const bad_case &c : cases) {
    std::string error;
    EXPECT_FALSE(parse(c.text, error)) << c.text;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.text << "\ngave: " << error;
  }
}

TEST(WebConfig, LoadsFilesAndResolvesPathsBesideThem) {
  const std::string path = ::testing::TempDir() + "web_config_test.yml";
  std::ofstream(path) << "tls_server_config:\n  cert_file: s.crt\n  key_file: s.key\n";
  std::string error;
  auto config = load_web_config(path, error);
  ASSERT_TRUE(config) << error;
  EXPECT_EQ(config->tls->cert_file, path.substr(0, path.rfind('/')) + "/s.crt");

  std::ofstream(path) << "tls_server_config:\n  cert_file: s.crt\n";
  EXPECT_FALSE(load_web_config(path, error));
  EXPECT_EQ(error, path + ": tls_server_config: key_file is missing");

  std::ofstream(path) << std::string(MAX_WEB_CONFIG_BYTES + 1, '#');
  EXPECT_FALSE(load_web_config(path, error));
  EXPECT_NE(error.find("larger than"), std::string::npos) << error;
  std::remove(path.c_str());

  EXPECT_FALSE(load_web_config(path, error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

}  // namespace
}  // namespace orvik_host
