// Arbitrary bytes as a web configuration file: read into a configuration or
// refused with a message, never an exception out of the YAML reader and
// never a user without a hash.
#include <cstdint>
#include <string>
#include <string_view>

#include "access/web_config.h"
#include "check.h"

using namespace orvik_host;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  std::string error;
  const auto config = parse_web_config(text, "/nonexistent", error);
  FUZZ_CHECK(config.has_value() == error.empty());
  if (!config) return 0;
  FUZZ_CHECK(config->users.size() <= MAX_BASIC_AUTH_USERS);
  for (const auto &[user, hash] : config->users) FUZZ_CHECK(!hash.empty());
  if (config->tls) {
    FUZZ_CHECK(config->tls->cert_file.empty() != config->tls->cert.empty());
    FUZZ_CHECK(config->tls->key_file.empty() != config->tls->key.empty());
  }
  return 0;
}
