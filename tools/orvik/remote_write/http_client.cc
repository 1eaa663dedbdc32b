#include "remote_write/http_client.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

namespace orvik_host::remote_write {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {
// A receiver cannot park the sender longer than this with one answer.
constexpr int64_t MAX_RETRY_AFTER_S = 300;
}  // namespace

int64_t parse_retry_after(std::string_view value) {
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
  if (value.empty() || value.size() > 10) return -1;
  int64_t seconds = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return -1;
    seconds = seconds * 10 + (c - '0');
  }
  return std::min(seconds, MAX_RETRY_AFTER_S) * 1000;
}

// Every step runs on the client's own io_context under one deadline per
// request.
struct http_client::impl {
 public:
  impl(target_url url, std::shared_ptr<asio::ssl::context> tls, std::chrono::milliseconds timeout)
      : url_(std::move(url)), tls_(std::move(tls)), timeout_(timeout) {}

  http_result post(const std::string &body, const std::vector<std::pair<std::string, std::string>> &headers) {
    http::request<http::string_body> request{http::verb::post, url_.target, 11};
    request.set(http::field::host, url_.host_header);
    for (const auto &[name, value] : headers) request.set(name, value);
    request.body() = body;
    request.prepare_payload();
    // A kept connection may have been closed by the receiver meanwhile;
    // one fresh connection is tried before the request counts as failed.
    const bool reused = connected();
    http_result result = exchange(request);
    if (result.status == 0 && reused && !aborted_) {
      close();
      result = exchange(request);
    }
    return result;
  }

  // From any thread: ends the exchange in progress and every later one.
  void abort() {
    aborted_ = true;
    ioc_.stop();
  }

 private:
  bool connected() const { return plain_ || secure_; }

  void close() {
    plain_.reset();
    secure_.reset();
    buffer_.clear();
  }

  // Runs the io_context until the step started before has completed.
  bool run(beast::error_code &ec, http_result &result, const char *step) {
    ioc_.restart();
    if (!aborted_) ioc_.run();
    // Stopped from outside, the step may not have completed at all.
    if (aborted_) ec = asio::error::operation_aborted;
    if (!ec) return true;
    result.error = std::string(step) + ": " + ec.message();
    close();
    return false;
  }

  beast::tcp_stream &lowest() { return secure_ ? beast::get_lowest_layer(*secure_) : *plain_; }

  bool connect(http_result &result) {
    beast::error_code ec;
    tcp::resolver resolver(ioc_);
    tcp::resolver::results_type endpoints;
    resolver.async_resolve(url_.host, url_.port, [&](beast::error_code e, tcp::resolver::results_type r) {
      ec = e;
      endpoints = std::move(r);
    });
    if (!run(ec, result, "resolve")) return false;
    if (tls_) secure_.emplace(ioc_, *tls_);
    else plain_.emplace(ioc_);
    lowest().expires_at(deadline_);
    lowest().async_connect(endpoints, [&](beast::error_code e, const tcp::endpoint &) { ec = e; });
    if (!run(ec, result, "connect")) return false;
    if (!secure_) return true;
    SSL *ssl = secure_->native_handle();
    SSL_set_tlsext_host_name(ssl, url_.host.c_str());
    // The certificate must name the host of the URL, as an address or a name.
    X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, url_.host.c_str()) != 1) SSL_set1_host(ssl, url_.host.c_str());
    secure_->async_handshake(asio::ssl::stream_base::client, [&](beast::error_code e) { ec = e; });
    return run(ec, result, "TLS handshake");
  }

  template <typename Stream>
  bool write_and_read(Stream &stream, http::request<http::string_body> &request, http_result &result) {
    beast::error_code ec;
    http::async_write(stream, request, [&](beast::error_code e, size_t) { ec = e; });
    if (!run(ec, result, "send")) return false;
    http::response_parser<http::string_body> parser;
    parser.body_limit(MAX_RESPONSE_BODY_BYTES);
    http::async_read(stream, buffer_, parser, [&](beast::error_code e, size_t) { ec = e; });
    // An answer whose body is too long still tells its status.
    if (ec == http::error::body_limit) ec = {};
    if (!run(ec, result, "read answer")) return false;
    if (!parser.is_header_done()) {
      result.error = "read answer: incomplete";
      close();
      return false;
    }
    result.status = static_cast<int>(parser.get().result_int());
    if (auto it = parser.get().find(http::field::retry_after); it != parser.get().end())
      result.retry_after_ms = parse_retry_after(it->value());
    result.body = parser.get().body();
    if (!parser.is_done() || !parser.get().keep_alive()) close();
    return true;
  }

  http_result exchange(http::request<http::string_body> &request) {
    http_result result;
    deadline_ = std::chrono::steady_clock::now() + timeout_;
    if (!connected() && !connect(result)) return result;
    lowest().expires_at(deadline_);
    if (secure_) write_and_read(*secure_, request, result);
    else write_and_read(*plain_, request, result);
    return result;
  }

  const target_url url_;
  const std::shared_ptr<asio::ssl::context> tls_;
  const std::chrono::milliseconds timeout_;
  std::chrono::steady_clock::time_point deadline_;
  asio::io_context ioc_;
  std::optional<beast::tcp_stream> plain_;
  std::optional<beast::ssl_stream<beast::tcp_stream>> secure_;
  beast::flat_buffer buffer_;
  std::atomic<bool> aborted_{false};
};

http_client::http_client(target_url url, std::shared_ptr<asio::ssl::context> tls, std::chrono::milliseconds timeout)
    : impl_(std::make_unique<impl>(std::move(url), std::move(tls), timeout)) {}

http_client::~http_client() = default;

http_result http_client::post(const std::string &body, const std::vector<std::pair<std::string, std::string>> &headers) {
  return impl_->post(body, headers);
}

void http_client::abort() { impl_->abort(); }

std::optional<target_url> parse_url(std::string_view text) {
  target_url url;
  if (text.substr(0, 7) == "http://") {
    text.remove_prefix(7);
  } else if (text.substr(0, 8) == "https://") {
    url.tls = true;
    text.remove_prefix(8);
  } else {
    return std::nullopt;
  }
  const size_t slash = text.find('/');
  std::string_view authority = text.substr(0, slash);
  url.target = slash == std::string_view::npos ? "/" : std::string(text.substr(slash));
  url.host_header = std::string(authority);
  // Credentials belong in files, never in a URL that shows in process lists.
  if (authority.empty() || authority.find('@') != std::string_view::npos) return std::nullopt;
  std::string_view port;
  if (authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    url.host = std::string(authority.substr(1, close - 1));
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return std::nullopt;
      port = authority.substr(close + 2);
      if (port.empty()) return std::nullopt;
    }
  } else {
    const size_t colon = authority.find(':');
    url.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
      port = authority.substr(colon + 1);
      if (port.empty()) return std::nullopt;
    }
    if (url.host.empty()) return std::nullopt;
  }
  if (port.size() > 5) return std::nullopt;
  for (char c : port)
    if (c < '0' || c > '9') return std::nullopt;
  if (!port.empty() && std::stoi(std::string(port)) > 65535) return std::nullopt;
  url.port = port.empty() ? (url.tls ? "443" : "80") : std::string(port);
  return url;
}

}  // namespace orvik_host::remote_write
