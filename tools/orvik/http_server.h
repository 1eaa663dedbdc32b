// `orvik serve`: the Prometheus-style HTTP endpoints over one shared store.
#ifndef ORVIK_HOST_HTTP_SERVER_H
#define ORVIK_HOST_HTTP_SERVER_H

#include <cstddef>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "store.h"

namespace httplib {
class Server;
}

namespace orvik_host {

// Request bodies above this size are refused with 400. A snapshot document of
// a large machine is a few tens of kilobytes; form-encoded query bodies have a
// lower limit of their own (8 KiB).
inline constexpr size_t MAX_BODY_BYTES = 1024 * 1024;

struct listen_address {
  std::string host;
  int port = 0;
};

// "127.0.0.1:9090", "[::1]:9090", "localhost:0" (0: any free port), ":9090"
// (every interface).
std::optional<listen_address> parse_listen_address(std::string_view text);

class http_server {
 public:
  // Requests are logged one line each to `log` (null: not at all).
  http_server(locked_store &store, std::ostream *log);
  ~http_server();
  http_server(const http_server &) = delete;
  http_server &operator=(const http_server &) = delete;

  // Binds the socket; returns the port (useful with port 0), or -1.
  int bind(const listen_address &address);
  // Serves until stop() is called from another thread.
  bool run();
  void stop();

 private:
  std::unique_ptr<httplib::Server> server_;
};

}  // namespace orvik_host

#endif
