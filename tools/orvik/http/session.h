// A connection of the HTTP server: its bytes, deadlines and limits, TLS
// included, and the state every connection shares. What a request means
// (route, method, body, handler) is the dispatcher's; a session only moves
// bytes and calls it. Included by http/server.cc alone, the one translation
// unit that sees Beast and Asio.
#ifndef ORVIK_HOST_HTTP_SESSION_H
#define ORVIK_HOST_HTTP_SESSION_H

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <list>
#include <memory>
#include <optional>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "base/times.h"
#include "http/dispatch.h"
#include "http/reply.h"
#include "http/server.h"

namespace orvik_host::serving {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = net::ip::tcp;
using steady = std::chrono::steady_clock;


// After an answer that ends the connection while the client may still be
// sending (a refused body), its remaining bytes are read and dropped for a
// while, so that closing does not reset the connection before the client
// has read the answer.
constexpr std::chrono::milliseconds LINGER_TIME{1000};
constexpr size_t LINGER_BYTES = 256 * 1024;
// Counted for an answer while a worker makes it, so that workers making
// answers at once see each other's; the answer's own size replaces it once
// made. Large answers are about this size: smaller ones are made in an
// instant, and the query bounds cap the rest.
constexpr size_t ANSWER_RESERVE = HEAP_ANSWER_BYTES;
// An answer this small fits the socket's buffers and is on its way out in an
// instant: its connection is never closed to make room for others.
constexpr size_t SMALL_ANSWER_BYTES = 256 * 1024;
// Room for the headers and one read beyond them; bodies pass through it.
constexpr size_t READ_BUFFER_BYTES = 64 * 1024;

enum class phase { idle, reading, working, writing, closed };

struct session_base {
  virtual ~session_base() = default;
  virtual void close() = 0;
  phase state = phase::reading;
  steady::time_point since = steady::now();
  // Whether a byte of a request has arrived yet: connections that never send
  // one are the first to go at the connection cap.
  bool heard = false;
  // Bytes of its answer counted in the server's answer bytes.
  size_t held = 0;
};

struct repeating_task {
  explicit repeating_task(net::io_context &io) : timer(io) {}
  net::steady_timer timer;
  std::chrono::milliseconds interval{0};
  std::function<void()> task;
};

// Everything the sessions share; touched on the I/O thread only, but for
// the pool and the read-only routes and options.
struct server_core {
  server_core(std::vector<route> r, server_options o)
      : options(std::move(o)),
        dispatch(std::move(r), {options.enable_write, options.gzip_min_bytes, options.gzip_level, options.guard,
                                options.check}),
        pool(std::max(1u, options.worker_threads)) {}
  // Sessions that die with the members below must not reach back into them.
  ~server_core() { stopping = true; }

  server_options options;
  dispatcher dispatch;
  std::list<session_base *> sessions;
  // Declared after what their pending handlers reach, so destroyed before.
  net::io_context io{1};
  tcp::acceptor acceptor{io};
  net::signal_set signals{io};
  net::steady_timer accept_retry{io};
  std::vector<std::unique_ptr<repeating_task>> repeating;
  bool stopping = false;
  int stop_signal = 0;
  std::function<void(int)> on_signal;
  std::function<void()> on_hangup;
  // Bytes of answers being made or not yet taken by their clients, and the
  // requests that wait for that to fall below the bound before their handler
  // runs. Workers add as they make an answer; what they take away again they
  // tell the I/O thread of, so a request that finds the bound reached there
  // is sure to be woken by a later release.
  std::atomic<size_t> answer_bytes{0};
  std::deque<std::function<void()>> waiting;
  // Credential checks queued or running on `checks`.
  size_t checks_queued = 0;
  // New TLS connections the rate allows now.
  double tls_tokens = 0;
  steady::time_point tls_refilled = steady::now();

  void release_answer(size_t bytes) {
    answer_bytes -= bytes;
    while (!waiting.empty() && answer_bytes < options.max_answer_bytes_in_flight) {
      auto next = std::move(waiting.front());
      waiting.pop_front();
      next();
    }
  }
  void wait_for_room(std::function<void()> next) {
    if (answer_bytes < options.max_answer_bytes_in_flight) return next();
    waiting.push_back(std::move(next));
    drop_stalled_answer();
  }
  // Last: joined first on destruction, while everything their tasks touch
  // lives.
  net::thread_pool pool;
  net::thread_pool checks{std::max(1u, options.check_threads)};

  void accept();
  bool take_tls_token();
  void drop_stalled_answer();
  void wait_signal();
  void start_session(tcp::socket socket);
  void make_room();
  void run_repeating(repeating_task *task);
  void shutdown();

  // `sent`: the bytes the socket took, headers included; `cut`: the client
  // went away before taking them all.
  void log_line(const std::string &remote, std::string_view method, std::string_view target, int status,
                size_t sent, bool cut, steady::time_point started, const char *note = "") {
    if (!options.log) return;
    const double ms = std::chrono::duration<double, std::milli>(steady::now() - started).count();
    char tail[128];
    std::snprintf(tail, sizeof tail, " %d %zuB%s%s %.1fms", status, sent, cut ? " (cut off)" : "", note, ms);
    // One write for the whole line: the sender and the collector log beside
    // the I/O thread.
    std::string line = format_time(now_ms()) + ' ' + remote + ' ' + (method.empty() ? "-" : std::string(method)) + ' ' +
                       (target.empty() ? "-" : log_text(target)) + tail + '\n';
    *options.log << line << std::flush;
  }
};

template <class Stream>
constexpr bool is_tls = !std::is_same_v<Stream, beast::tcp_stream>;

template <class Stream>
class session : public session_base, public std::enable_shared_from_this<session<Stream>> {
 public:
  template <class... Args>
  session(server_core &server, std::string remote, Args &&...stream_args)
      : server_(server), stream_(std::forward<Args>(stream_args)...), buffer_(READ_BUFFER_BYTES),
        remote_(std::move(remote)) {
    where_ = server_.sessions.insert(server_.sessions.end(), this);
  }
  ~session() override {
    release();
    server_.sessions.erase(where_);
  }

  void start() {
    started_ = steady::now();
    if constexpr (is_tls<Stream>) {
      lowest().expires_at(started_ + server_.options.header_deadline);
      stream_.async_handshake(ssl::stream_base::server, [self = this->shared_from_this()](beast::error_code ec) {
        if (self->state == phase::closed) return;
        if (ec) return self->close();
        self->wait_first_byte();
      });
    } else {
      wait_first_byte();
    }
  }

  // Holds the context the connection was made with, should a reload replace
  // the server's.
  std::shared_ptr<ssl::context> tls_context;

  void close() override {
    if (state == phase::closed) return;
    state = phase::closed;
    beast::error_code ec;
    lowest().socket().shutdown(tcp::socket::shutdown_both, ec);
    lowest().close();
  }

 private:
  beast::tcp_stream &lowest() { return beast::get_lowest_layer(stream_); }

  void enter(phase next) {
    state = next;
    since = steady::now();
  }

  // A new connection is silent until its first byte, all within the header
  // deadline.
  void wait_first_byte() {
    lowest().expires_at(started_ + server_.options.header_deadline);
    stream_.async_read_some(buffer_.prepare(4096), [self = this->shared_from_this()](beast::error_code ec, size_t n) {
      if (self->state == phase::closed) return;
      if (ec) return self->close();
      self->buffer_.commit(n);
      self->read_header();
    });
  }

  // Between requests on a kept connection: the header deadline starts with
  // the first byte of the next request, the idle timeout before it.
  void wait_request() {
    enter(phase::idle);
    if (buffer_.size() > 0) {
      started_ = steady::now();
      return read_header();
    }
    lowest().expires_after(server_.options.idle_timeout);
    stream_.async_read_some(buffer_.prepare(4096), [self = this->shared_from_this()](beast::error_code ec, size_t n) {
      if (self->state == phase::closed) return;
      if (ec) return self->close();
      self->buffer_.commit(n);
      self->started_ = steady::now();
      self->read_header();
    });
  }

  void read_header() {
    state = phase::reading;
    since = started_;
    heard = true;
    request_ = http_request{};
    request_.remote = remote_;
    route_ = nullptr;
    body_.reset();
    header_.emplace();
    header_->header_limit(static_cast<uint32_t>(std::min<size_t>(server_.options.max_header_bytes, UINT32_MAX)));
    // The route sets the body limit once it is known; the parser's own
    // default would refuse a large Content-Length before the route is found.
    header_->body_limit(UINT64_MAX);
    keep_alive_ = false;
    close_after_ = true;
    version_ = 11;
    lowest().expires_at(started_ + server_.options.header_deadline);
    http::async_read_header(stream_, buffer_, *header_,
                            [self = this->shared_from_this()](beast::error_code ec, size_t) { self->on_header(ec); });
  }

  // The request line alone past the target bound: 414 rather than 431.
  bool request_line_too_long() const {
    const auto data = buffer_.cdata();
    const std::string_view text(static_cast<const char *>(data.data()), data.size());
    const size_t end = text.find("\r\n");
    return (end == std::string_view::npos ? text.size() : end) > server_.options.max_target_bytes;
  }

  void on_header(beast::error_code ec) {
    if (state == phase::closed) return;
    const auto &req = header_->get();
    request_.method = std::string(req.method_string());
    request_.target = std::string(req.target());
    if (ec) {
      // Nothing of a request arrived: a kept connection the client closed,
      // or one that never sent anything.
      if (!header_->got_some() && buffer_.size() == 0) return close();
      if (ec == beast::error::timeout) return timed_out();
      if (ec == http::error::header_limit) {
        // Once the request line is read, what ran over is a header line.
        if (req.target().empty() ? request_line_too_long() : req.target().size() > server_.options.max_target_bytes)
          return refuse(414, "bad_data",
                        "request target too long (limit " + std::to_string(server_.options.max_target_bytes) +
                            " bytes)");
        return refuse(431, "bad_data",
                      "request line and headers too large (limit " +
                          std::to_string(server_.options.max_header_bytes) + " bytes)");
      }
      if (ec == http::error::end_of_stream || ec == net::error::connection_reset || ec == net::error::eof)
        return close();
      return refuse(400, "bad_data", "malformed request: " + ec.message());
    }
    keep_alive_ = req.keep_alive();
    version_ = req.version();
    if (request_.target.size() > server_.options.max_target_bytes)
      return refuse(414, "bad_data",
                    "request target too long (limit " + std::to_string(server_.options.max_target_bytes) + " bytes)");
    for (const auto &field : req) {
      if (request_.headers.size() == server_.options.max_header_count)
        return refuse(431, "bad_data",
                      "too many header lines (limit " + std::to_string(server_.options.max_header_count) + ")");
      request_.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    const bool has_body = header_->chunked() || (header_->content_length() && *header_->content_length() > 0);
    // A body left unread ends the connection after the answer.
    close_after_ = has_body;
    // A body whose last coding is not chunked has no end but the
    // connection's: read as framed it would pass its bytes off as the next
    // request.
    if (req.count(http::field::transfer_encoding) && !header_->chunked()) {
      close_after_ = true;
      return refuse(400, "bad_data", "unsupported Transfer-Encoding: the last coding must be chunked");
    }

    const auto length = header_->content_length();
    admission admitted =
        server_.dispatch.admit(request_, length ? std::optional<uint64_t>(*length) : std::nullopt);
    route_ = admitted.found;
    if (admitted.reply) return respond(std::move(*admitted.reply));
    if (admitted.check) return start_check();
    after_guard();
  }

  void start_check() {
    if (server_.checks_queued >= server_.options.max_checks_waiting) {
      api_reply busy = error_reply(429, "unavailable", "too many credential checks at once; try again shortly");
      busy.headers.emplace_back("Retry-After", "1");
      return respond(std::move(busy));
    }
    ++server_.checks_queued;
    enter(phase::working);
    net::post(server_.checks, [self = this->shared_from_this()]() mutable {
      std::optional<api_reply> refusal = self->server_.dispatch.check(self->request_);
      auto executor = self->stream_.get_executor();
      net::post(executor, [self = std::move(self), refusal = std::move(refusal)]() mutable {
        --self->server_.checks_queued;
        if (self->state == phase::closed) return;
        if (refusal) return self->respond(std::move(*refusal));
        self->after_guard();
      });
    });
  }

  void after_guard() {
    if (header_->is_done()) {
      close_after_ = false;
      return queue_answer();
    }
    const std::string *expect = request_.header("Expect");
    if (expect && beast::iequals(*expect, "100-continue")) {
      continue_ = std::make_unique<http::response<http::empty_body>>(http::status::continue_, version_);
      lowest().expires_after(server_.options.write_deadline);
      http::async_write(stream_, *continue_, [self = this->shared_from_this()](beast::error_code wec, size_t) {
        if (self->state == phase::closed) return;
        if (wec) return self->close();
        self->read_body();
      });
      return;
    }
    read_body();
  }

  void read_body() {
    body_.emplace(std::move(*header_));
    header_.reset();
    body_->body_limit(route_->body_limit);
    lowest().expires_at(started_ + server_.options.request_deadline);
    http::async_read(stream_, buffer_, *body_,
                     [self = this->shared_from_this()](beast::error_code ec, size_t) { self->on_body(ec); });
  }

  void on_body(beast::error_code ec) {
    if (state == phase::closed) return;
    if (ec == http::error::body_limit) return respond(dispatcher::body_too_large(*route_));
    if (ec == beast::error::timeout) return timed_out();
    if (ec == http::error::end_of_stream || ec == net::error::connection_reset || ec == net::error::eof)
      return close();
    if (ec) return refuse(400, "bad_data", "malformed request body: " + ec.message());
    close_after_ = false;
    std::string body = body_->release().body();
    body_.reset();
    if (auto refusal = server_.dispatch.take_body(request_, *route_, std::move(body)))
      return respond(std::move(*refusal));
    queue_answer();
  }

  void queue_answer() {
    enter(phase::working);
    server_.wait_for_room([self = this->shared_from_this()] {
      if (self->state != phase::closed) self->run_on_pool();
    });
  }

  // The bound is looked at again on the worker, just before the answer is
  // made: requests queued for the pool together must not all make theirs.
  void run_on_pool() {
    net::post(server_.pool, [self = this->shared_from_this()]() mutable {
      server_core &server = self->server_;
      auto executor = self->stream_.get_executor();
      if (server.answer_bytes.fetch_add(ANSWER_RESERVE) >= server.options.max_answer_bytes_in_flight) {
        server.answer_bytes -= ANSWER_RESERVE;
        return net::post(executor, [self = std::move(self)]() mutable {
          self->server_.release_answer(0);
          if (self->state != phase::closed) self->queue_answer();
        });
      }
      api_reply reply = server.dispatch.answer(*self->route_, self->request_);
      const size_t made = reply.body.capacity();
      server.answer_bytes += made;
      server.answer_bytes -= ANSWER_RESERVE;
      net::post(executor, [self = std::move(self), reply = std::move(reply), made]() mutable {
        self->respond(std::move(reply), made);
      });
    });
  }

  // The stream closes itself at a deadline, so a trickling client gets no
  // answer; the log still has its line.
  void release() {
    const size_t bytes = held;
    held = 0;
    if (bytes && !server_.stopping) server_.release_answer(bytes);
  }

  void timed_out() {
    server_.log_line(remote_, request_.method, request_.target, 408, 0, false, started_, " (timed out)");
    close();
  }

  void refuse(int status, std::string_view type, const std::string &message) {
    respond(error_reply(status, type, message));
  }

  // `counted`: the bytes of the answer already added to the server's answer
  // bytes by the worker that made it.
  void respond(api_reply reply, size_t counted = 0) {
    held = counted;
    if (state == phase::closed) return release();
    enter(phase::writing);
    response_ = {};
    response_.version(version_);
    response_.result(static_cast<unsigned>(reply.status));
    response_.set(http::field::content_type, reply.content_type);
    for (const auto &h : reply.headers) response_.set(h.first, h.second);
    response_.keep_alive(keep_alive_ && !close_after_);
    response_.body() = std::move(reply.body);
    response_.prepare_payload();
    // HEAD: the length the body would have, and no body.
    if (request_.method == "HEAD") response_.body().clear();
    if (!counted) {
      held = response_.body().capacity();
      server_.answer_bytes += held;
    }
    status_ = reply.status;
    lowest().expires_after(server_.options.write_deadline);
    http::async_write(stream_, response_, [self = this->shared_from_this()](beast::error_code ec, size_t n) {
      self->on_write(ec, n);
    });
  }

  void on_write(beast::error_code ec, size_t sent) {
    release();
    server_.log_line(remote_, request_.method, request_.target, status_, sent, static_cast<bool>(ec), started_);
    if (state == phase::closed) return;
    if (ec) return close();
    if (!response_.keep_alive()) return linger();
    response_ = {};
    wait_request();
  }

  void linger() {
    // Idle: a lingering connection is the first to go when room is needed.
    enter(phase::idle);
    if constexpr (is_tls<Stream>) {
      return close();
    } else {
      beast::error_code ec;
      lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
      if (ec) return close();
      lingered_ = 0;
      lowest().expires_after(LINGER_TIME);
      drain();
    }
  }

  void drain() {
    lowest().async_read_some(net::buffer(scratch_), [self = this->shared_from_this()](beast::error_code ec, size_t n) {
      if (self->state == phase::closed) return;
      self->lingered_ += n;
      if (ec || self->lingered_ >= LINGER_BYTES) return self->close();
      self->drain();
    });
  }

  server_core &server_;
  Stream stream_;
  beast::flat_buffer buffer_;
  std::string remote_;
  std::list<session_base *>::iterator where_;
  std::optional<http::request_parser<http::empty_body>> header_;
  std::optional<http::request_parser<http::string_body>> body_;
  std::unique_ptr<http::response<http::empty_body>> continue_;
  http::response<http::string_body> response_;
  std::array<char, 4096> scratch_;
  const route *route_ = nullptr;
  http_request request_;
  steady::time_point started_;
  bool keep_alive_ = false, close_after_ = true;
  unsigned version_ = 11;
  int status_ = 0;
  size_t lingered_ = 0;
};

}  // namespace orvik_host::serving

#endif
