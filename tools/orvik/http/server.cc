// The server: the listening socket, the connection cap, the TLS handshake
// rate, signals and repeating tasks. One I/O thread runs every connection,
// so a slow client costs a socket and a small buffer, never a thread;
// handlers run on the worker pool and post their reply back.
#include "http/server.h"

#include <signal.h>

#include "http/session.h"

namespace orvik_host {
namespace serving {

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

}  // namespace serving

using namespace serving;

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
