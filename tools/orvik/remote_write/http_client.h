// The remote-write sender's HTTP client: one connection to one receiver,
// kept open between requests, every exchange under one deadline. Kept apart
// from the sender so that only this file carries Beast's compile time.
#ifndef ORVIK_HOST_REMOTE_WRITE_HTTP_CLIENT_H
#define ORVIK_HOST_REMOTE_WRITE_HTTP_CLIENT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace boost::asio::ssl {
class context;
}

namespace orvik_host::remote_write {

// Receivers' answers are read for their status and a reason to log: a few
// KiB are plenty, and a hostile receiver cannot make the sender buffer more.
inline constexpr size_t MAX_RESPONSE_BODY_BYTES = 64 * 1024;

struct target_url {
  bool tls = false;
  std::string host;  // without brackets
  std::string port;
  std::string target;       // path and query, "/" at least
  std::string host_header;  // host[:port] as the URL gave it
};

std::optional<target_url> parse_url(std::string_view text);

struct http_result {
  int status = 0;  // 0: no answer
  std::string body;
  std::string error;  // why there was no answer
  // A Retry-After header in seconds (not its date form), else -1.
  int64_t retry_after_ms = -1;
};

// Retry-After as delta-seconds; -1 for anything else.
int64_t parse_retry_after(std::string_view value);

class http_client {
 public:
  http_client(target_url url, std::shared_ptr<boost::asio::ssl::context> tls, std::chrono::milliseconds timeout);
  ~http_client();
  http_client(const http_client &) = delete;
  http_client &operator=(const http_client &) = delete;

  http_result post(const std::string &body, const std::vector<std::pair<std::string, std::string>> &headers);

  // From any thread: ends the exchange in progress and every later one.
  void abort();

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

}  // namespace orvik_host::remote_write

#endif
