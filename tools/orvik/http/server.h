// The HTTP server of `orvik serve`: asynchronous connections on one I/O
// thread, handlers on a small worker pool, every read and write bounded in
// bytes and time (http/limits.h). Routes are given by the caller; the server
// knows nothing of the store.
#ifndef ORVIK_HOST_HTTP_HTTP_SERVER_H
#define ORVIK_HOST_HTTP_HTTP_SERVER_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "http/limits.h"
#include "http/request.h"
#include "http/listen_address.h"

namespace boost::asio::ssl {
class context;
}

namespace orvik_host {

struct server_options {
  std::chrono::milliseconds header_deadline = HEADER_DEADLINE;
  std::chrono::milliseconds request_deadline = REQUEST_DEADLINE;
  std::chrono::milliseconds write_deadline = WRITE_DEADLINE;
  std::chrono::milliseconds idle_timeout = IDLE_TIMEOUT;
  size_t max_header_bytes = MAX_HEADER_BYTES;
  size_t max_target_bytes = MAX_TARGET_BYTES;
  size_t max_header_count = MAX_HEADER_COUNT;
  size_t max_connections = MAX_CONNECTIONS;
  size_t max_answer_bytes_in_flight = MAX_ANSWER_BYTES_IN_FLIGHT;
  size_t gzip_min_bytes = GZIP_MIN_BYTES;
  int gzip_level = GZIP_LEVEL;
  unsigned worker_threads = WORKER_THREADS;
  // One line per request (null: no log).
  std::ostream *log = nullptr;
  // Routes marked `write` answer 404 unless this is set.
  bool enable_write = false;
  // Called once the headers are read and the route is found, before any body
  // is read; a reply refuses the request with it. Null: every request passes.
  std::function<std::optional<api_reply>(const http_request &)> guard;
  // With a context, connections speak TLS (the handshake within the header
  // deadline).
  std::shared_ptr<boost::asio::ssl::context> tls;
};

class http_server {
 public:
  http_server(std::vector<route> routes, server_options options);
  ~http_server();
  http_server(const http_server &) = delete;
  http_server &operator=(const http_server &) = delete;

  // Binds the socket; returns the port (useful with port 0), or -1 with the
  // reason in *error.
  int bind(const listen_address &address, std::string *error = nullptr);
  // Runs `task` on the worker pool now and then every `interval` after the
  // previous run ended. Call before run().
  void every(std::chrono::milliseconds interval, std::function<void()> task);
  // Serves until stop(), or with `stop_signals` until SIGINT or SIGTERM
  // (`on_signal` is told which first). Every connection is closed on the
  // way out. Returns the signal that stopped it, or 0.
  int run(bool stop_signals = false, std::function<void(int)> on_signal = nullptr);
  // From any thread.
  void stop();

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

}  // namespace orvik_host

#endif
