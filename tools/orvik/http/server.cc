// The only translation unit that sees Beast and Asio. One I/O thread runs
// every connection, so a slow client costs a socket and a small buffer, never
// a thread; handlers run on the worker pool and post their reply back.
#include "http/server.h"

#include <signal.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <list>
#include <mutex>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "http/reply.h"
#include "http/gzip.h"
#include "base/times.h"

namespace orvik_host {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = net::ip::tcp;
using steady = std::chrono::steady_clock;

namespace {

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

bool is_identity(std::string_view coding) {
  return coding.empty() || beast::iequals(coding, "identity");
}

// Everything the sessions share; touched on the I/O thread only, but for
// the pool and the read-only routes and options.
struct server_core {
  server_core(std::vector<route> r, server_options o)
      : routes(std::move(r)), options(std::move(o)), pool(std::max(1u, options.worker_threads)) {}
  // Sessions that die with the members below must not reach back into them.
  ~server_core() { stopping = true; }

  std::vector<route> routes;
  server_options options;
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
    *options.log << format_time(now_ms()) << ' ' << remote << ' ' << (method.empty() ? "-" : method) << ' '
                 << (target.empty() ? "-" : log_text(target)) << tail << '\n'
                 << std::flush;
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

    const std::string_view target = request_.target;
    const size_t question = target.find('?');
    auto path = percent_decode(target.substr(0, question), false);
    if (!path) return refuse(400, "bad_data", "invalid path: a broken %-escape or a NUL byte");
    request_.path = std::move(*path);

    route_ = find_route(server_.routes, request_.path, &request_.captures);
    if (!route_ || (route_->write && !server_.options.enable_write))
      return refuse(404, "not_found", "unsupported endpoint: " + request_.method + " " + request_.path);
    if (std::find(route_->methods.begin(), route_->methods.end(), request_.method) == route_->methods.end()) {
      std::string allow;
      for (const std::string &m : route_->methods) allow += (allow.empty() ? "" : ", ") + m;
      api_reply reply = error_reply(405, "bad_data", "method " + request_.method + " not allowed on " +
                                                         request_.path + " (allowed: " + allow + ")");
      reply.headers.emplace_back("Allow", allow);
      return respond(std::move(reply));
    }
    if (route_->immediate) return respond(run_handler());
    if (const std::string *coding = request_.header("Content-Encoding"); coding && !is_identity(*coding)) {
      const auto &accepted = route_->content_encodings;
      if (std::none_of(accepted.begin(), accepted.end(),
                       [&](const std::string &c) { return beast::iequals(c, *coding); }))
        return refuse(415, "bad_data", "request bodies with a Content-Encoding are not accepted here");
    }
    if (header_->content_length() && *header_->content_length() > route_->body_limit)
      return refuse(413, "bad_data", body_too_large());
    if (question != std::string_view::npos) {
      std::string error;
      if (!parse_form(target.substr(question + 1), request_.params, error)) return refuse(400, "bad_data", error);
    }
    if (server_.options.guard) {
      api_reply refusal;
      guard_verdict verdict;
      try {
        verdict = server_.options.guard(request_, refusal);
      } catch (const std::exception &e) {
        verdict = guard_verdict::refuse;
        refusal = error_reply(500, "internal", std::string("internal error: ") + e.what());
      }
      if (verdict == guard_verdict::refuse) return respond(std::move(refusal));
      if (verdict == guard_verdict::check && server_.options.check) return start_check();
    }
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
      std::optional<api_reply> refusal;
      try {
        refusal = self->server_.options.check(self->request_);
      } catch (const std::exception &e) {
        refusal = error_reply(500, "internal", std::string("internal error: ") + e.what());
      }
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
      return dispatch();
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

  std::string body_too_large() const {
    return "request body too large (limit " + std::to_string(route_->body_limit) + " bytes)";
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
    if (ec == http::error::body_limit) return refuse(413, "bad_data", body_too_large());
    if (ec == beast::error::timeout) return timed_out();
    if (ec == http::error::end_of_stream || ec == net::error::connection_reset || ec == net::error::eof)
      return close();
    if (ec) return refuse(400, "bad_data", "malformed request body: " + ec.message());
    close_after_ = false;
    std::string body = body_->release().body();
    body_.reset();
    const std::string *type = request_.header("Content-Type");
    const bool form = route_->form_body && request_.method == "POST" && type &&
                      beast::iequals(std::string_view(*type).substr(0, 33), "application/x-www-form-urlencoded");
    if (!form) {
      request_.body = std::move(body);
      return dispatch();
    }
    // Form values come before those of the query string, as a name that
    // appears in both is read from its first place.
    request_params params;
    std::string error;
    if (!parse_form(body, params, error)) return refuse(400, "bad_data", error);
    params.insert(request_.params.begin(), request_.params.end());
    request_.params = std::move(params);
    dispatch();
  }

  void dispatch() {
    enter(phase::working);
    server_.wait_for_room([self = this->shared_from_this()] {
      if (self->state != phase::closed) self->run_on_pool();
    });
  }

  // The bound is looked at again on the worker, just before the answer is
  // made: requests queued for the pool together must not all make theirs.
  void run_on_pool() {
    const std::string *accept = request_.header("Accept-Encoding");
    const bool gzip = accept && accepts_gzip(*accept);
    net::post(server_.pool, [self = this->shared_from_this(), gzip]() mutable {
      server_core &server = self->server_;
      auto executor = self->stream_.get_executor();
      if (server.answer_bytes.fetch_add(ANSWER_RESERVE) >= server.options.max_answer_bytes_in_flight) {
        server.answer_bytes -= ANSWER_RESERVE;
        return net::post(executor, [self = std::move(self)]() mutable {
          self->server_.release_answer(0);
          if (self->state != phase::closed) self->dispatch();
        });
      }
      api_reply reply = self->run_handler();
      if (gzip) self->compress(reply);
      const size_t made = reply.body.capacity();
      server.answer_bytes += made;
      server.answer_bytes -= ANSWER_RESERVE;
      net::post(executor, [self = std::move(self), reply = std::move(reply), made]() mutable {
        self->respond(std::move(reply), made);
      });
    });
  }

  api_reply run_handler() {
    try {
      return route_->handler(request_);
    } catch (const std::exception &e) {
      return error_reply(500, "internal", std::string("internal error: ") + e.what());
    }
  }

  void compress(api_reply &reply) const {
    if (reply.body.size() < server_.options.gzip_min_bytes) return;
    for (const auto &h : reply.headers)
      if (beast::iequals(h.first, "Content-Encoding")) return;
    auto packed = gzip_compress(reply.body, server_.options.gzip_level);
    if (!packed) return;
    reply.body = std::move(*packed);
    reply.headers.emplace_back("Content-Encoding", "gzip");
    reply.headers.emplace_back("Vary", "Accept-Encoding");
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

void server_core::accept() {
  if (!acceptor.is_open()) return;  // never bound: nothing to serve
  if (options.tls && options.tls_handshakes_per_second && !take_tls_token()) {
    const auto wait = std::chrono::duration<double>((1 - tls_tokens) / options.tls_handshakes_per_second);
    accept_retry.expires_after(std::chrono::duration_cast<steady::duration>(wait) + std::chrono::milliseconds(1));
    accept_retry.async_wait([this](beast::error_code ec) {
      if (!ec && !stopping) accept();
    });
    return;
  }
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (stopping) return;
    if (ec) {
      // Out of descriptors, most likely: try again shortly rather than spin.
      accept_retry.expires_after(std::chrono::milliseconds(50));
      accept_retry.async_wait([this](beast::error_code wait_ec) {
        if (!wait_ec && !stopping) accept();
      });
      return;
    }
    start_session(std::move(socket));
    accept();
  });
}

void server_core::make_room() {
  // Silent connections first, then idle ones, then those in the middle of a
  // request; never one whose request is being answered.
  const auto rank = [](const session_base *s) {
    if (s->state == phase::reading) return s->heard ? 2 : 0;
    return s->state == phase::idle ? 1 : 3;
  };
  size_t open = 0;
  session_base *victim = nullptr;
  for (session_base *s : sessions) {
    if (s->state == phase::closed) continue;
    ++open;
    if (rank(s) == 3) continue;
    if (!victim || rank(s) < rank(victim) || (rank(s) == rank(victim) && s->since < victim->since)) victim = s;
  }
  if (open >= options.max_connections && victim) victim->close();
}

void server_core::drop_stalled_answer() {
  // The largest answer, the oldest of those: the bound is reached by large
  // answers.
  session_base *victim = nullptr;
  for (session_base *s : sessions)
    if (s->state == phase::writing && s->held > SMALL_ANSWER_BYTES &&
        (!victim || s->held > victim->held || (s->held == victim->held && s->since < victim->since)))
      victim = s;
  // Closing ends its write, whose completion releases the answer and lets
  // the waiting requests on.
  if (victim) victim->close();
}

bool server_core::take_tls_token() {
  const double rate = options.tls_handshakes_per_second;
  const auto now = steady::now();
  tls_tokens = std::min(std::max(1.0, rate / 4),
                        tls_tokens + rate * std::chrono::duration<double>(now - tls_refilled).count());
  tls_refilled = now;
  if (tls_tokens < 1) return false;
  tls_tokens -= 1;
  return true;
}

void server_core::start_session(tcp::socket socket) {
  beast::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;
  socket.set_option(tcp::no_delay(true), ec);
  make_room();
  size_t open = 0;
  for (session_base *s : sessions) open += s->state != phase::closed;
  if (open >= options.max_connections) return;  // every connection busy: drop this one
  std::string remote = peer.address().to_string();
  if (options.tls) {
    auto tls_session = std::make_shared<session<beast::ssl_stream<beast::tcp_stream>>>(
        *this, std::move(remote), std::move(socket), *options.tls);
    tls_session->tls_context = options.tls;
    tls_session->start();
  } else {
    std::make_shared<session<beast::tcp_stream>>(*this, std::move(remote), std::move(socket))->start();
  }
}

void server_core::run_repeating(repeating_task *task) {
  net::post(pool, [this, task] {
    try {
      task->task();
    } catch (const std::exception &) {
      // A failed run is not retried early; the next one comes at its time.
    }
    net::post(io, [this, task] {
      if (stopping) return;
      task->timer.expires_after(task->interval);
      task->timer.async_wait([this, task](beast::error_code ec) {
        if (!ec && !stopping) run_repeating(task);
      });
    });
  });
}

void server_core::wait_signal() {
  signals.async_wait([this](beast::error_code ec, int signal_number) {
    if (ec) return;
    if (signal_number == SIGHUP && on_hangup) {
      on_hangup();
      return wait_signal();
    }
    stop_signal = signal_number;
    if (on_signal) on_signal(signal_number);
    shutdown();
  });
}

void server_core::shutdown() {
  if (stopping) return;
  stopping = true;
  beast::error_code ec;
  acceptor.close(ec);
  signals.cancel(ec);
  accept_retry.cancel();
  for (auto &task : repeating) task->timer.cancel();
  for (session_base *s : sessions) s->close();
  // Handlers still queued (aborted reads, replies on their way back from the
  // pool) are dropped with the context rather than run.
  io.stop();
}

}  // namespace

struct http_server::impl : server_core {
  using server_core::server_core;
};

http_server::http_server(std::vector<route> routes, server_options options)
    : impl_(std::make_unique<impl>(std::move(routes), std::move(options))) {}

http_server::~http_server() = default;

int http_server::bind(const listen_address &address, std::string *error) {
  beast::error_code ec;
  tcp::resolver resolver(impl_->io);
  const auto found = resolver.resolve(address.host, std::to_string(address.port),
                                      tcp::resolver::numeric_service | tcp::resolver::passive, ec);
  if (!ec && found.empty()) ec = net::error::host_not_found;
  if (!ec) {
    const tcp::endpoint endpoint = found.begin()->endpoint();
    tcp::acceptor &acceptor = impl_->acceptor;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (!ec) {
      const tcp::endpoint bound = acceptor.local_endpoint(ec);
      if (!ec) return bound.port();
    }
    beast::error_code ignored;
    acceptor.close(ignored);
  }
  if (error) *error = ec.message();
  return -1;
}

void http_server::every(std::chrono::milliseconds interval, std::function<void()> task) {
  auto repeating = std::make_unique<repeating_task>(impl_->io);
  repeating->interval = interval;
  repeating->task = std::move(task);
  impl_->repeating.push_back(std::move(repeating));
}

int http_server::run(bool stop_signals, std::function<void(int)> on_signal, std::function<void()> on_hangup) {
  server_core &core = *impl_;
  if (stop_signals) {
    core.signals.add(SIGINT);
    core.signals.add(SIGTERM);
    if (on_hangup) core.signals.add(SIGHUP);
    core.on_signal = std::move(on_signal);
    core.on_hangup = std::move(on_hangup);
    core.wait_signal();
  }
  if (!core.stopping) {
    core.accept();
    for (auto &task : core.repeating) core.run_repeating(task.get());
  }
  core.io.run();
  return core.stop_signal;
}

void http_server::set_tls(std::shared_ptr<ssl::context> tls) { impl_->options.tls = std::move(tls); }

void http_server::stop() {
  server_core *core = impl_.get();
  net::post(core->io, [core] { core->shutdown(); });
}

}  // namespace orvik_host
