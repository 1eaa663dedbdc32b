#include "remote_write/sender.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "remote_write/codec.h"
#include "orvik_version.h"
#include "remote_write/queue.h"
#include "base/base64.h"
#include "base/times.h"

namespace orvik_host::remote_write {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// Label sets remembered for sharing between queued samples; past this many
// the memory starts afresh (queued samples keep their own).
constexpr size_t MAX_SHARED_LABEL_SETS = 16384;

struct http_result {
  int status = 0;  // 0: no answer
  std::string body;
  std::string error;  // why there was no answer
};

// One connection to the receiver, kept open between requests. Every step
// runs on the client's own io_context under one deadline per request.
class http_client {
 public:
  http_client(target_url url, std::shared_ptr<asio::ssl::context> tls, std::chrono::milliseconds timeout)
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

// A password or token is a line; a file much longer is not one.
constexpr size_t MAX_SECRET_FILE_BYTES = 4096;

bool read_secret(const std::string &path, const char *what, std::string &out, std::string *error) {
  std::ifstream in(path, std::ios::binary);
  // One byte past the bound tells a file that is too long.
  out.assign(MAX_SECRET_FILE_BYTES + 1, '\0');
  if (in) in.read(&out[0], static_cast<std::streamsize>(out.size()));
  if (!in && !in.eof()) {
    if (error) *error = std::string("cannot read the ") + what + " file \"" + path + "\"";
    return false;
  }
  out.resize(static_cast<size_t>(in.gcount()));
  if (out.size() > MAX_SECRET_FILE_BYTES) {
    if (error)
      *error = std::string("the ") + what + " file \"" + path + "\" is larger than " +
               std::to_string(MAX_SECRET_FILE_BYTES) + " bytes";
    return false;
  }
  // Files written by editors and `echo` end with a line break that is not
  // part of the secret.
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  if (out.empty() || out.find_first_of("\r\n") != std::string::npos) {
    if (error) *error = std::string("the ") + what + " file \"" + path + "\" must hold one non-empty line";
    return false;
  }
  return true;
}

void append_counter(std::string &out, const char *name, const char *help, const char *type, const std::string &lines) {
  out += std::string("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n' + lines;
}

}  // namespace

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

struct remote_writer::impl {
  impl(const sender_options &options, target_url url, std::shared_ptr<asio::ssl::context> tls, std::ostream *log_to)
      : queue(options.queue_samples),
        client(std::move(url), std::move(tls), std::chrono::milliseconds(options.timeout_ms)),
        log(log_to) {}

  sample_queue queue;
  http_client client;
  std::vector<std::pair<std::string, std::string>> headers;
  std::ostream *log;
  std::thread thread;
  std::mutex wait_mutex;
  std::condition_variable woken;
  std::atomic<bool> stopping{false};

  std::mutex label_mutex;
  std::unordered_map<std::string, label_set> shared_labels;

  std::atomic<uint64_t> sent{0}, retried{0}, dropped_full{0}, dropped_refused{0}, dropped_unnamed{0},
      labels_left_out{0}, requests_failed{0};
  std::atomic<int64_t> last_success_ms{0};
  std::mutex log_mutex;
  std::set<std::string> logged_causes;

  void log_once(const std::string &cause) {
    if (!log) return;
    std::lock_guard<std::mutex> lock(log_mutex);
    if (logged_causes.size() >= MAX_LOGGED_CAUSES || !logged_causes.insert(cause).second) return;
    *log << "orvik: remote write: " << cause << '\n' << std::flush;
  }

  // Waits up to `ms`; false when the writer is stopping.
  bool pause(int64_t ms) {
    std::unique_lock<std::mutex> lock(wait_mutex);
    return !woken.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping.load(); });
  }

  void send_loop() {
    std::mt19937_64 random(std::random_device{}());
    while (!stopping) {
      std::vector<outgoing_sample> batch = queue.take(MAX_BATCH_SAMPLES, MAX_BATCH_BYTES, std::chrono::seconds(1));
      if (batch.empty()) continue;
      const std::string body = encode_batch(batch);
      for (unsigned attempt = 0; !stopping; ++attempt) {
        http_result result = client.post(body, headers);
        const delivery outcome = classify_status(result.status);
        if (outcome == delivery::done) {
          sent += batch.size();
          last_success_ms = now_ms();
          break;
        }
        if (stopping) break;
        std::string reason = result.status ? "HTTP " + std::to_string(result.status) : result.error;
        if (result.status && !result.body.empty()) reason += ": " + result.body.substr(0, 512);
        while (!reason.empty() && reason.back() == '\n') reason.pop_back();
        ++requests_failed;
        if (outcome == delivery::drop) {
          dropped_refused += batch.size();
          log_once("receiver refused a batch, dropped: " + reason);
          break;
        }
        log_once("receiver unavailable, retrying: " + reason);
        retried += batch.size();
        if (!pause(backoff_ms(attempt, random()))) break;
      }
    }
  }

  label_set shared(label_set labels) {
    std::string key;
    for (const auto &[name, value] : *labels) {
      key += name;
      key += '\0';
      key += value;
      key += '\0';
    }
    std::lock_guard<std::mutex> lock(label_mutex);
    if (shared_labels.size() >= MAX_SHARED_LABEL_SETS) shared_labels.clear();
    auto [it, added] = shared_labels.emplace(std::move(key), labels);
    return added ? labels : it->second;
  }
};

remote_writer::remote_writer(std::unique_ptr<impl> state) : impl_(std::move(state)) {}

remote_writer::~remote_writer() { stop(); }

std::unique_ptr<remote_writer> remote_writer::start(const sender_options &options, std::ostream *log,
                                                    std::string *error) {
  auto fail = [error](std::string message) {
    if (error) *error = std::move(message);
    return nullptr;
  };
  auto url = parse_url(options.url);
  if (!url) return fail("cannot read --remote-write.url \"" + options.url + "\": use http://HOST:PORT/PATH or https://...");
  if (!options.basic_auth_user.empty() && !options.bearer_token_file.empty())
    return fail("use either basic authentication or a bearer token for remote write, not both");
  if (options.basic_auth_user.empty() != options.password_file.empty())
    return fail("--remote-write.basic-auth-user and --remote-write.password-file go together");
  if (!options.ca_file.empty() && !url->tls) return fail("--remote-write.ca-file needs an https:// URL");
  std::vector<std::pair<std::string, std::string>> headers = {
      {"Content-Encoding", "snappy"},
      {"Content-Type", "application/x-protobuf"},
      {"X-Prometheus-Remote-Write-Version", "0.1.0"},
      {"User-Agent", "orvik/" ORVIK_VERSION_STRING}};
  std::string secret;
  if (!options.password_file.empty()) {
    if (!read_secret(options.password_file, "password", secret, error)) return nullptr;
    headers.emplace_back("Authorization", "Basic " + base64_encode(options.basic_auth_user + ":" + secret));
  }
  if (!options.bearer_token_file.empty()) {
    if (!read_secret(options.bearer_token_file, "bearer token", secret, error)) return nullptr;
    headers.emplace_back("Authorization", "Bearer " + secret);
  }
  std::shared_ptr<asio::ssl::context> tls;
  if (url->tls) {
    tls = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
    beast::error_code ec;
    if (options.ca_file.empty()) tls->set_default_verify_paths(ec);
    else tls->load_verify_file(options.ca_file, ec);
    if (ec) return fail("cannot load the certificates to trust from \"" + options.ca_file + "\": " + ec.message());
    tls->set_verify_mode(asio::ssl::verify_peer);
  }
  auto state = std::make_unique<impl>(options, std::move(*url), std::move(tls), log);
  state->headers = std::move(headers);
  impl *raw = state.get();
  state->thread = std::thread([raw] { raw->send_loop(); });
  return std::unique_ptr<remote_writer>(new remote_writer(std::move(state)));
}

void remote_writer::submit(std::vector<stored_sample> samples) {
  std::vector<outgoing_sample> outgoing;
  outgoing.reserve(samples.size());
  uint64_t left_out = 0, unnamed = 0;
  // Samples of one call often share a series; build its label set once.
  const label_list *last_metric = nullptr;
  label_set last;
  for (stored_sample &sample : samples) {
    if (!sample.metric) continue;
    if (!last_metric || (last_metric != sample.metric.get() && *last_metric != *sample.metric)) {
      label_set labels = protocol_labels(*sample.metric, &left_out);
      last = labels ? impl_->shared(std::move(labels)) : nullptr;
      last_metric = sample.metric.get();
    }
    if (!last) {
      ++unnamed;
      continue;
    }
    outgoing.push_back(outgoing_sample{last, sample.value, sample.timestamp_ms});
  }
  impl_->labels_left_out += left_out;
  impl_->dropped_unnamed += unnamed;
  impl_->dropped_full += impl_->queue.push(std::move(outgoing));
}

void remote_writer::append_metrics(std::string &out) const {
  const impl &s = *impl_;
  append_counter(out, "orvik_remote_write_samples_sent_total", "Samples the receiver accepted.", "counter",
                 "orvik_remote_write_samples_sent_total " + std::to_string(s.sent.load()) + '\n');
  append_counter(out, "orvik_remote_write_samples_retried_total",
                 "Samples sent again after a 5xx, a 429 or no answer.", "counter",
                 "orvik_remote_write_samples_retried_total " + std::to_string(s.retried.load()) + '\n');
  append_counter(out, "orvik_remote_write_samples_dropped_total", "Samples given up, by reason.", "counter",
                 "orvik_remote_write_samples_dropped_total{reason=\"queue_full\"} " +
                     std::to_string(s.dropped_full.load()) +
                     "\norvik_remote_write_samples_dropped_total{reason=\"refused\"} " +
                     std::to_string(s.dropped_refused.load()) +
                     "\norvik_remote_write_samples_dropped_total{reason=\"invalid_name\"} " +
                     std::to_string(s.dropped_unnamed.load()) + '\n');
  append_counter(out, "orvik_remote_write_labels_left_out_total",
                 "Labels left out of sent series because the protocol cannot carry their names.", "counter",
                 "orvik_remote_write_labels_left_out_total " + std::to_string(s.labels_left_out.load()) + '\n');
  append_counter(out, "orvik_remote_write_failed_requests_total", "Requests not answered with 2xx.", "counter",
                 "orvik_remote_write_failed_requests_total " + std::to_string(s.requests_failed.load()) + '\n');
  append_counter(out, "orvik_remote_write_queue_samples", "Samples waiting to be sent.", "gauge",
                 "orvik_remote_write_queue_samples " + std::to_string(s.queue.size()) + '\n');
  append_counter(out, "orvik_remote_write_queue_capacity_samples", "Most samples that can wait.", "gauge",
                 "orvik_remote_write_queue_capacity_samples " + std::to_string(s.queue.capacity()) + '\n');
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", static_cast<double>(s.last_success_ms.load()) / 1000.0);
  append_counter(out, "orvik_remote_write_last_send_timestamp_seconds",
                 "Time of the last batch the receiver accepted (0: none yet).", "gauge",
                 std::string("orvik_remote_write_last_send_timestamp_seconds ") + seconds + '\n');
}

void remote_writer::stop() {
  if (!impl_ || !impl_->thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(impl_->wait_mutex);
    impl_->stopping = true;
  }
  impl_->woken.notify_all();
  impl_->queue.close();
  impl_->client.abort();
  impl_->thread.join();
}

}  // namespace orvik_host::remote_write
