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
  // Called on the I/O thread once the headers are read and the route is
  // found, before any body is read: passes the request, refuses it with
  // `refusal`, or sends it to `check`. Null: every request passes.
  std::function<guard_verdict(const http_request &, api_reply &refusal)> guard;
  // Checks too slow for the I/O thread (a bcrypt round) run here, on a pool
  // of their own so that the workers never wait for them; a reply refuses.
  // Past MAX_CHECKS_WAITING the request gets 429 at once.
  std::function<std::optional<api_reply>(const http_request &)> check;
  unsigned check_threads = CHECK_THREADS;
  size_t max_checks_waiting = MAX_CHECKS_WAITING;
  // With a context, connections speak TLS (the handshake within the header
  // deadline), at most tls_handshakes_per_second new ones.
  std::shared_ptr<boost::asio::ssl::context> tls;
  unsigned tls_handshakes_per_second = TLS_HANDSHAKES_PER_SECOND;
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
  // way out. Returns the signal that stopped it, or 0. With `on_hangup`,
  // SIGHUP calls it on the I/O thread instead of ending the process.
  //
  // Handlers still running on the pools are awaited by the destructor, not
  // by run(): a process that must stop at once exits without destroying the
  // server.
  int run(bool stop_signals = false, std::function<void(int)> on_signal = nullptr,
          std::function<void()> on_hangup = nullptr);
  // From any thread.
  void stop();
  // The TLS context for connections accepted from now on (those open keep
  // theirs). On the I/O thread only: from on_hangup.
  void set_tls(std::shared_ptr<boost::asio::ssl::context> tls);

 private:
  struct impl;
  std::unique_ptr<impl> impl_;
};

}  // namespace orvik_host

#endif
