#include "serve/serve.h"

#include <malloc.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "access/access_control.h"
#include "access/tls_context.h"
#include "access/web_config.h"
#include "library/answer_reader.h"
#include "serve/routes.h"
#include "collect/collector.h"
#include "http/limits.h"
#include "http/server.h"
#include "base/times.h"
#include "serve/storage.h"
#include "wal/payload.h"
#include "wal/retention.h"

namespace orvik_host {

namespace {

// Retention runs with every collection, or this often without one.
constexpr int64_t RETAIN_INTERVAL_MS = 60000;
// The most a shutdown waits for the sender.
constexpr int64_t MAX_FLUSH_MS = 60000;

// The configuration file read and its TLS context made, or null with the
// reason in `error`.
std::optional<web_config> read_web_config(const std::string &path, std::shared_ptr<boost::asio::ssl::context> &tls,
                                          std::string &error) {
  auto loaded = load_web_config(path, error);
  tls.reset();
  if (loaded && loaded->tls) {
    tls = make_tls_context(*loaded->tls, error);
    if (!tls) loaded.reset();
  }
  return loaded;
}

}  // namespace

int run_serve(const serve_options &options, std::ostream &err) {
  auto address = parse_listen_address(options.listen);
  if (!address) {
    err << "orvik: cannot read --listen \"" << options.listen << "\": use HOST:PORT, e.g. 127.0.0.1:9090\n";
    return 2;
  }
  int64_t interval_ms = 0;
  if (!options.collect.empty()) {
    auto parsed = parse_duration_ms(options.collect);
    if (!parsed || *parsed < MIN_COLLECT_INTERVAL_MS || *parsed > MAX_COLLECT_INTERVAL_MS) {
      err << "orvik: cannot read --collect \"" << options.collect
          << "\": use a duration from 100ms to 1d, e.g. 15s\n";
      return 2;
    }
    interval_ms = *parsed;
  }

  auto max_age = parse_duration_ms(options.metrics_max_age);
  if (!max_age || *max_age <= 0) {
    err << "orvik: cannot read --metrics.max-age \"" << options.metrics_max_age << "\": use a duration, e.g. 5m\n";
    return 2;
  }
  remote_write::sender_options sending = options.remote_write;
  if (!sending.url.empty()) {
    auto timeout = parse_duration_ms(options.remote_write_timeout);
    if (!timeout || *timeout < 100 || *timeout > 600000) {
      err << "orvik: cannot read --remote-write.timeout \"" << options.remote_write_timeout
          << "\": use a duration from 100ms to 10m\n";
      return 2;
    }
    sending.timeout_ms = *timeout;
    if (!sending.queue_samples)
      sending.queue_samples = static_cast<size_t>(options.store.series ? options.store.series : 1024) *
                              (options.store.samples ? options.store.samples : 1440);
  }

  // Answers of several megabytes are made, copied and dropped all the time.
  // In mappings of their own every copy faults in fresh pages (most of the
  // time of a large answer); kept in the heap, their memory is reused. Only
  // answers above the mapping threshold leave the heap, and free memory above
  // the trim threshold goes back to the system, so what the heap keeps after
  // a burst of large answers stays bounded.
  mallopt(M_MMAP_THRESHOLD, HEAP_ANSWER_BYTES);
  mallopt(M_TRIM_THRESHOLD, HEAP_ANSWER_BYTES);

  web_config web;
  server_options server_settings = options.server;
  if (!options.web_config_file.empty()) {
    std::string error;
    auto loaded = read_web_config(options.web_config_file, server_settings.tls, error);
    if (!loaded) {
      err << "orvik: cannot use --web.config.file: " << error << '\n';
      return 2;
    }
    web = std::move(*loaded);
  }

  auto flush = parse_duration_ms(options.remote_write_flush);
  if (!flush || *flush < 0 || *flush > MAX_FLUSH_MS) {
    err << "orvik: cannot read --remote-write.flush-timeout \"" << options.remote_write_flush
        << "\": use a duration up to 1m\n";
    return 2;
  }
  if (options.storage_max_bytes &&
      (options.storage_max_bytes < wal::MIN_BUDGET_BYTES || options.storage_max_bytes > wal::MAX_BUDGET_BYTES)) {
    err << "orvik: --storage.max-bytes must be from " << wal::MIN_BUDGET_BYTES << " to " << wal::MAX_BUDGET_BYTES
        << '\n';
    return 2;
  }
  // A write past a file-size limit must fail as a write (and be refused
  // with 503), not end the process.
  signal(SIGXFSZ, SIG_IGN);

  load_stats stats;
  auto store = open_store(options.store, stats, err);
  if (!store) return 1;

  std::unique_ptr<durable_log> log;
  if (!options.storage_path.empty()) {
    storage_settings settings;
    settings.path = options.storage_path;
    settings.budget_bytes = options.storage_max_bytes;
    settings.series = options.store.series;
    settings.samples = options.store.samples;
    // A ring reaches back its samples times the interval it is written at.
    settings.depth_ms = static_cast<int64_t>(options.store.samples ? options.store.samples : 1440) *
                        (interval_ms ? interval_ms : DEFAULT_SAMPLE_INTERVAL_MS);
    settings.sender = !sending.url.empty();
    std::string error;
    log = durable_log::open(settings, err, &error);
    if (!log) {
      err << "orvik: cannot use --storage.path: " << error << '\n';
      return 1;
    }
    log->replay(*store);
  }

  // Started before any thread that stores samples, so that none is missed.
  std::unique_ptr<remote_write::remote_writer> writer;
  if (!sending.url.empty()) {
    std::string error;
    writer = remote_write::remote_writer::start(sending, &err, &error, log ? log->writer() : nullptr,
                                                options.store.series);
    if (!writer) {
      err << "orvik: " << error << '\n';
      return 2;
    }
    remote_write::remote_writer *out = writer.get();
    if (!log)
      store->report_stored_samples([out](std::vector<stored_sample> samples) { out->submit(std::move(samples)); });
  }
  metrics_page page;
  page.max_age_ms = *max_age;
  if (writer) page.append_own = [out = writer.get()](std::string &text) { out->append_metrics(text); };

  access_control access(web);
  server_settings.log = &err;
  server_settings.guard = [&access](const http_request &request, api_reply &refusal) {
    return access.screen(request, refusal);
  };
  server_settings.check = [&access](const http_request &request) { return access.check(request); };
  http_server server(access.protect(api_routes(*store, options.budget, page, log.get())), server_settings);
  std::string bind_error;
  const int port = server.bind(*address, &bind_error);
  if (port < 0) {
    err << "orvik: cannot listen on " << options.listen << ": " << bind_error << '\n';
    return 1;
  }
  const std::string shown_host = address->host.find(':') != std::string::npos ? "[" + address->host + "]" : address->host;
  // One piece: the sender may already be logging from its own thread.
  err << (std::string("orvik: listening on ") + (server_settings.tls ? "https://" : "http://") + shown_host + ':' +
          std::to_string(port) + " (" + std::to_string(store->series_count()) + " series from " +
          std::to_string(stats.documents) + " snapshots" + (interval_ms ? ", collecting" : "") + ")\n")
      << std::flush;
  if (const std::string warning = exposure_warning(address->host, web); !warning.empty())
    err << warning << '\n' << std::flush;

  durable_log *logged = log.get();
  if (interval_ms) {
    auto machine = std::make_shared<collector>();
    locked_store *shared = store.get();
    server.every(std::chrono::milliseconds(interval_ms), [machine, shared, logged, &err] {
      // Stamped with the reading's own milliseconds, not the store's whole
      // seconds: rates over short intervals would be off by up to a second.
      const std::string snapshot = machine->collect();
      int64_t timestamp_ms = read_timestamp_member(snapshot);
      if (timestamp_ms <= 0) timestamp_ms = now_ms();
      if (logged) {
        logged->retain();
        // A reading the log cannot keep is not stored either: the store
        // and the log (and so a sender) hold the same samples. The outage
        // is logged by the log.
        std::string error;
        if (!logged->append(wal::SNAPSHOT_RECORD, wal::snapshot_payload(timestamp_ms, snapshot), &error)) return;
      }
      const ingest_result result = shared->ingest_snapshot(snapshot, timestamp_ms);
      if (result.stored < 0) err << ("orvik: collected snapshot rejected: " + result.error + '\n') << std::flush;
    });
  } else if (logged) {
    server.every(std::chrono::milliseconds(RETAIN_INTERVAL_MS), [logged] { logged->retain(); });
  }
  const bool tls_on = server_settings.tls != nullptr;
  // A reload that fails leaves everything as it was: an operator's typo
  // must not take down a running server.
  const auto reload = [&options, &err, &access, &server, tls_on] {
    if (options.web_config_file.empty()) {
      err << "orvik: SIGHUP: no --web.config.file to reload\n" << std::flush;
      return;
    }
    std::string error;
    std::shared_ptr<boost::asio::ssl::context> tls;
    auto loaded = read_web_config(options.web_config_file, tls, error);
    if (loaded && (tls != nullptr) != tls_on) {
      error = std::string("TLS cannot be turned ") + (tls_on ? "off" : "on") + " without a restart";
      loaded.reset();
    }
    if (!loaded) {
      err << "orvik: SIGHUP: cannot reload --web.config.file: " << error
          << "; serving on with the previous configuration\n"
          << std::flush;
      return;
    }
    access.reload(*loaded);
    if (tls) server.set_tls(std::move(tls));
    err << "orvik: SIGHUP: reloaded --web.config.file (" << loaded->users.size() << " users"
        << (tls_on ? ", certificates" : "") << ")\n"
        << std::flush;
  };
  server.run(
      true, [&err](int signal_number) { err << "orvik: stopping on " << strsignal(signal_number) << '\n' << std::flush; },
      reload);
  // What the receiver has not taken yet is sent for a bounded time; with a
  // log the rest is sent after the restart.
  if (writer) writer->stop(std::chrono::milliseconds(*flush));
  log.reset();
  // Handlers still running (a long query, a bcrypt round) are abandoned, not
  // awaited: the server's destructor would join the threads that run them.
  err << std::flush;
  std::fflush(nullptr);
  std::_Exit(0);
}

}  // namespace orvik_host
