#include "remote_write/sender.h"

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

#include <boost/asio/ssl.hpp>

#include "remote_write/codec.h"
#include "remote_write/http_client.h"
#include "orvik_version.h"
#include "remote_write/queue.h"
#include "base/base64.h"
#include "base/times.h"
#include "remote_write/receiver.h"
#include "wal/payload.h"
#include "wal/position_file.h"
#include "wal/reader.h"

namespace orvik_host::remote_write {

namespace asio = boost::asio;

namespace {

// Label sets remembered for sharing between queued samples; past this many
// the memory starts afresh (queued samples keep their own).
constexpr size_t MAX_SHARED_LABEL_SETS = 16384;
// Series whose newest sent time the sender reading the log remembers; past
// this it starts afresh, and a late sample may then reach the receiver
// (which refuses it) rather than the memory growing without bound.
constexpr size_t MAX_ORDERED_SERIES = 1u << 20;
// How long a sender reading the log waits for new records at a time.
constexpr std::chrono::milliseconds LOG_POLL{500};

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
  // Set at shutdown: send what is waiting, then end (finished).
  std::atomic<bool> draining{false};
  bool finished = false;
  std::condition_variable finished_cv;
  // Reading the log instead of the queue, when there is one.
  wal::log_writer *wal_log = nullptr;
  std::unique_ptr<snapshot_reader> snapshots;
  std::unordered_map<std::string, int64_t> newest_sent;

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
    // One write for the whole line: other threads log beside this one.
    *log << ("orvik: remote write: " + cause + '\n') << std::flush;
  }

  // Waits up to `ms`; false when the writer is stopping.
  bool pause(int64_t ms) {
    std::unique_lock<std::mutex> lock(wait_mutex);
    return !woken.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping.load(); });
  }

  // Posts one batch until it is delivered or dropped; false only when the
  // writer stopped first. 429 and 503 wait at least what Retry-After asks.
  bool deliver(const std::vector<outgoing_sample> &batch, std::mt19937_64 &random) {
    const std::string body = encode_batch(batch);
    for (unsigned attempt = 0; !stopping; ++attempt) {
      http_result result = client.post(body, headers);
      const delivery outcome = classify_status(result.status);
      if (outcome == delivery::done) {
        sent += batch.size();
        last_success_ms = now_ms();
        return true;
      }
      if (stopping) break;
      std::string reason = result.status ? "HTTP " + std::to_string(result.status) : result.error;
      if (result.status && !result.body.empty()) reason += ": " + result.body.substr(0, 512);
      while (!reason.empty() && reason.back() == '\n') reason.pop_back();
      ++requests_failed;
      if (outcome == delivery::drop) {
        dropped_refused += batch.size();
        log_once("receiver refused a batch, dropped: " + reason);
        return true;
      }
      log_once("receiver unavailable, retrying: " + reason);
      retried += batch.size();
      int64_t wait = backoff_ms(attempt, random());
      if ((result.status == 429 || result.status == 503) && result.retry_after_ms > wait) wait = result.retry_after_ms;
      if (!pause(wait)) break;
    }
    return false;
  }

  void send_loop() {
    std::mt19937_64 random(std::random_device{}());
    while (!stopping) {
      std::vector<outgoing_sample> batch =
          queue.take(MAX_BATCH_SAMPLES, MAX_BATCH_BYTES, draining ? std::chrono::milliseconds(0) : std::chrono::seconds(1));
      if (batch.empty()) {
        if (draining) break;
        continue;
      }
      deliver(batch, random);
    }
    finish();
  }

  void finish() {
    std::lock_guard<std::mutex> lock(wait_mutex);
    finished = true;
    finished_cv.notify_all();
  }

  // A sample the store would refuse as late (or skip as resent) is not
  // sent either: the log holds what was accepted, in the order the store
  // checked it.
  bool in_order(const label_list &metric, int64_t timestamp_ms) {
    if (newest_sent.size() >= MAX_ORDERED_SERIES) newest_sent.clear();
    auto [it, added] = newest_sent.emplace(series_identity(metric), timestamp_ms);
    if (added) return true;
    if (timestamp_ms <= it->second) return false;
    it->second = timestamp_ms;
    return true;
  }

  void add_sample(const label_list &metric, double value, int64_t timestamp_ms, std::vector<outgoing_sample> &out,
                  size_t &bytes) {
    if (!in_order(metric, timestamp_ms)) return;
    uint64_t left_out = 0;
    label_set labels = protocol_labels(metric, &left_out);
    labels_left_out += left_out;
    if (!labels) {
      ++dropped_unnamed;
      return;
    }
    out.push_back(outgoing_sample{shared(std::move(labels)), value, timestamp_ms});
    bytes += encoded_size(out.back());
  }

  // The samples of one record of the log, as the store took them.
  void read_record(const wal::log_record &record, std::vector<outgoing_sample> &out, size_t &bytes) {
    std::string error;
    if (record.type == wal::SNAPSHOT_RECORD) {
      int64_t timestamp_ms = 0;
      std::string json;
      std::vector<series> staged;
      bool overflow = false;
      if (!wal::read_snapshot_payload(record.payload, &timestamp_ms, &json, &error) ||
          snapshots->read(json, timestamp_ms, &staged, &overflow, &error) < 0) {
        log_once("a logged snapshot cannot be read: " + error);
        return;
      }
      for (const series &s : staged)
        if (!s.points.empty()) add_sample(s.metric, s.points.front().value, s.points.front().time_ms, out, bytes);
    } else if (record.type == wal::REMOTE_WRITE_RECORD) {
      orvik_rw::WriteRequest request;
      const decode_result decoded =
          decode_write_request(record.payload, MAX_WRITE_UNCOMPRESSED_BYTES, &request, MAX_WRITE_SAMPLES);
      if (decoded.error != decode_error::none) {
        log_once("a logged remote-write batch cannot be read: " + decoded.message);
        return;
      }
      std::string name, labels_json;
      for (const orvik_rw::TimeSeries &ts : request.timeseries()) {
        if (!series_for_store(ts, name, labels_json).empty()) continue;
        label_list metric;
        for (const orvik_rw::Label &label : ts.labels())
          if (!label.value().empty()) metric.emplace_back(label.name(), label.value());
        for (const orvik_rw::Sample &sample : ts.samples())
          if (sample.timestamp() > 0 && !stale_marker(sample.value()))
            add_sample(metric, sample.value(), sample.timestamp(), out, bytes);
      }
    }
  }

  // Sends the log from the saved position on: records are read whole, up
  // to a batch's bounds, and the position moves past them once every
  // sample of them was delivered. A crash resends at most the records in
  // flight.
  void send_log_loop() {
    std::mt19937_64 random(std::random_device{}());
    wal::position from;
    std::string error;
    if (!wal::load_position(wal_log->dir(), &from, &error)) {
      if (!error.empty()) log_once("cannot read the sender's position, sending from the oldest record: " + error);
      from = wal::position{};
    }
    wal::log_reader reader(wal_log->dir(), from, true);
    std::vector<outgoing_sample> samples;
    while (!stopping) {
      reader.stop_at(wal_log->end());
      samples.clear();
      size_t bytes = 0;
      bool any = false;
      wal::position last;
      wal::log_record record;
      while (samples.size() < MAX_BATCH_SAMPLES && bytes < MAX_BATCH_BYTES && reader.next(&record)) {
        any = true;
        last = record.end;
        read_record(record, samples, bytes);
      }
      if (!any) {
        if (draining) break;
        wal_log->wait_for_records(reader.where(), LOG_POLL);
        continue;
      }
      bool delivered = true;
      for (size_t begin = 0; delivered && begin < samples.size();) {
        size_t end = begin, chunk_bytes = 0;
        while (end < samples.size() && end - begin < MAX_BATCH_SAMPLES && chunk_bytes < MAX_BATCH_BYTES)
          chunk_bytes += encoded_size(samples[end++]);
        delivered = deliver(std::vector<outgoing_sample>(samples.begin() + static_cast<std::ptrdiff_t>(begin),
                                                         samples.begin() + static_cast<std::ptrdiff_t>(end)),
                            random);
        begin = end;
      }
      if (!delivered) break;
      if (!wal_log->acknowledge(last, &error)) log_once("cannot save the sender's position: " + error);
    }
    finish();
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

remote_writer::~remote_writer() { stop(std::chrono::milliseconds(0)); }

std::unique_ptr<remote_writer> remote_writer::start(const sender_options &options, std::ostream *log,
                                                    std::string *error, wal::log_writer *log_from,
                                                    uint32_t max_series) {
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
    boost::system::error_code ec;
    if (options.ca_file.empty()) tls->set_default_verify_paths(ec);
    else tls->load_verify_file(options.ca_file, ec);
    if (ec) return fail("cannot load the certificates to trust from \"" + options.ca_file + "\": " + ec.message());
    tls->set_verify_mode(asio::ssl::verify_peer);
  }
  auto state = std::make_unique<impl>(options, std::move(*url), std::move(tls), log);
  state->headers = std::move(headers);
  impl *raw = state.get();
  if (log_from) {
    state->wal_log = log_from;
    state->snapshots = snapshot_reader::create(max_series, error);
    if (!state->snapshots) return nullptr;
    state->thread = std::thread([raw] { raw->send_log_loop(); });
  } else {
    state->thread = std::thread([raw] { raw->send_loop(); });
  }
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

void remote_writer::stop(std::chrono::milliseconds flush) {
  if (!impl_ || !impl_->thread.joinable()) return;
  {
    std::unique_lock<std::mutex> lock(impl_->wait_mutex);
    impl_->draining = true;
    impl_->finished_cv.wait_for(lock, flush, [this] { return impl_->finished; });
    impl_->stopping = true;
  }
  impl_->woken.notify_all();
  impl_->queue.close();
  impl_->client.abort();
  impl_->thread.join();
}

}  // namespace orvik_host::remote_write
